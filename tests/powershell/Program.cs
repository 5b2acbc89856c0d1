// The tests' PowerShell engine: one process that runs many scripts, each as
// `powershell.exe -NoProfile -ExecutionPolicy Bypass -File SCRIPT` would run
// it, so that a table of registry states costs one start of .NET and
// PowerShell rather than one per row.
//
// Standard input holds one request per line, "MODE PATH": MODE is a language
// mode (FullLanguage, ConstrainedLanguage), PATH the script, to the line's end.
// Standard output carries, once the engine is up, "ready VERSION\n", then for
// each request
//
//     exit STATUS\n
//     stdout LENGTH\n<LENGTH bytes>
//     stderr LENGTH\n<LENGTH bytes>
//
// or "fault LENGTH\n<LENGTH bytes>" where the request itself was wrong. The
// texts are UTF-8, lengths count bytes, and each line a script writes ends in
// CR LF, as a console program's output does on Windows. The process ends at
// the end of its input.
using System.Management.Automation;
using System.Management.Automation.Runspaces;
using System.Text;

internal static class ScriptHost
{
    private static readonly UTF8Encoding Utf8 = new(encoderShouldEmitUTF8Identifier: false);

    private static int Main()
    {
        var input = new StreamReader(Console.OpenStandardInput(), Utf8);
        using var output = Console.OpenStandardOutput();
        Console.InputEncoding = Utf8;

        // The first runspace loads the engine: the start-up cost, paid here once.
        var warm = Run(PSLanguageMode.FullLanguage, null);
        Write(output, $"ready {warm.Version}\n");

        string? request;
        while ((request = input.ReadLine()) != null)
        {
            var space = request.IndexOf(' ');
            if (space <= 0 || !Enum.TryParse(request[..space], out PSLanguageMode mode)
                || !Enum.IsDefined(mode))
            {
                WriteText(output, "fault", $"not a request: \"{request}\"");
                continue;
            }
            var result = Run(mode, request[(space + 1)..]);
            Write(output, $"exit {result.ExitStatus}\n");
            WriteText(output, "stdout", result.Stdout);
            WriteText(output, "stderr", result.Stderr);
        }
        return 0;
    }

    private sealed record Result(int ExitStatus, string Stdout, string Stderr, string Version);

    // One runspace for each language mode, opened at its first script: a
    // runspace costs more to open than a short script takes to run. Each
    // script still starts afresh in a scope of its own, with $LASTEXITCODE 0.
    private static readonly Dictionary<PSLanguageMode, Runspace> Runspaces = new();

    private static Runspace RunspaceFor(PSLanguageMode mode)
    {
        if (!Runspaces.TryGetValue(mode, out var runspace))
        {
            var state = InitialSessionState.CreateDefault2();
            // Wine has no Group Policy: the policy a deployment tool passes.
            state.ExecutionPolicy = Microsoft.PowerShell.ExecutionPolicy.Bypass;
            state.LanguageMode = mode;
            runspace = RunspaceFactory.CreateRunspace(state);
            runspace.Open();
            Runspaces[mode] = runspace;
        }
        return runspace;
    }

    private static Result Run(PSLanguageMode mode, string? script)
    {
        var stdout = new StringWriter { NewLine = "\r\n" };
        var stderr = new StringWriter { NewLine = "\r\n" };
        var consoleOut = Console.Out;
        var consoleError = Console.Error;
        // What a script writes through [Console] lands among its other output.
        Console.SetOut(stdout);
        Console.SetError(stderr);
        try
        {
            var runspace = RunspaceFor(mode);
            var version = runspace.Version.ToString();
            if (script == null)
            {
                return new Result(0, "", "", version);
            }
            runspace.SessionStateProxy.SetVariable("LASTEXITCODE", 0);
            using var shell = PowerShell.Create(runspace);
            shell.AddCommand(script).AddCommand("Out-String").AddParameter("Stream");
            var lines = new PSDataCollection<PSObject>();
            lines.DataAdded += (_, e) => stdout.WriteLine(lines[e.Index]);
            shell.Streams.Error.DataAdded += (_, e) => stderr.WriteLine(shell.Streams.Error[e.Index]);
            shell.Streams.Warning.DataAdded += (_, e) => stdout.WriteLine("WARNING: " + shell.Streams.Warning[e.Index]);
            shell.Streams.Information.DataAdded += (_, e) => stdout.WriteLine(shell.Streams.Information[e.Index]);
            var status = 0;
            try
            {
                shell.Invoke(null, lines);
                // `exit N` in a script file sets $LASTEXITCODE.
                if (runspace.SessionStateProxy.GetVariable("LASTEXITCODE") is int code)
                {
                    status = code;
                }
            }
            catch (RuntimeException error)
            {
                // A terminating error ends powershell.exe -File with 1.
                stderr.WriteLine(error.ErrorRecord?.ToString() ?? error.Message);
                status = 1;
            }
            return new Result(status, stdout.ToString(), stderr.ToString(), version);
        }
        finally
        {
            Console.SetOut(consoleOut);
            Console.SetError(consoleError);
        }
    }

    private static void WriteText(Stream output, string label, string text)
    {
        var bytes = Utf8.GetBytes(text);
        Write(output, $"{label} {bytes.Length}\n");
        output.Write(bytes);
        output.Flush();
    }

    private static void Write(Stream output, string line)
    {
        output.Write(Utf8.GetBytes(line));
        output.Flush();
    }
}
