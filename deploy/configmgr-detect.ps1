# Configuration Manager application detection script. Configuration Manager
# reads a script that exits 0 with output as "installed", one that exits 0
# without output as "not installed", and any other exit, or anything on
# standard error, as a failed detection (state "Unknown").
# So where loclistfix has nothing to do this prints the state's line (as
# check.cmd does); where NumEntries is still present it prints nothing, and the
# deployment type runs loclistfix.exe; where it could not read the list it
# writes the line to standard error and exits 2.

# --- the list's state: the same block in each .ps1 beside this one ---
# A value as loclistfix reads it: through the ANSI registry functions into four
# bytes, whatever its type. Data of up to four bytes read as a little-endian
# word, zero-extended; longer data, or no value, give $null. A string counts
# as its bytes in the ANSI code page (Windows PowerShell's Default encoding)
# with its terminator. Where check.cmd cannot learn what the program reads,
# this throws, so that both answer 2: a REG_MULTI_SZ, a value .NET does not
# return (REG_LINK), and with -Data a one-character string other than a digit
# or a type .NET calls Unknown (REG_DWORD_BIG_ENDIAN and REG_NONE alike).
function Read-Word([Microsoft.Win32.RegistryKey]$Key, [string]$Name, [switch]$Data) {
    if ($Key.GetValueNames() -notcontains $Name) { return $null }
    $kind = $Key.GetValueKind($Name).ToString()
    $value = $Key.GetValue($Name, $null, 'DoNotExpandEnvironmentNames')
    # switch runs every clause that matches: a string is made bytes, then read.
    switch ($kind) {
        'DWord' { return [int64]$value }
        'QWord' { return $null }
        { $_ -in 'String', 'ExpandString' } {
            if ($Data -and $value.Length -eq 1 -and $value -notmatch '^[0-9]$') { throw 'unshown' }
            $value = [Text.Encoding]::Default.GetBytes($value) + [byte]0
        }
        'Unknown' { if ($Data -or $value -isnot [byte[]]) { throw 'unshown' } }
        { $_ -in 'String', 'ExpandString', 'Binary', 'Unknown' } {
            if ($value.Length -gt 4) { return $null }
            $word = [int64]0
            for ($i = $value.Length - 1; $i -ge 0; $i--) { $word = $word * 256 + $value[$i] }
            return $word
        }
    }
    throw 'unshown'
}

# The exit status and the line, as check.cmd gives them.
function Get-ListState {
    try {
        $key = [Microsoft.Win32.Registry]::LocalMachine.OpenSubKey(
            'SOFTWARE\Microsoft\Windows\CurrentVersion\Telephony\Locations')
    } catch {
        return 2, 'could not read the location list'
    }
    if ($null -eq $key) { return 0, 'not applicable: no location list' }
    try { $version = Read-Word $key 'LocationListVersion' -Data } catch {
        return 2, 'could not read LocationListVersion: a type this check does not read'
    }
    if ($version -ne 2) { return 0, 'not applicable: the location list is not at version 2' }
    try { $current = Read-Word $key 'CurrentID' } catch {
        return 2, 'could not read CurrentID: a type this check does not read'
    }
    if ($null -eq $current) {
        return 0, 'not applicable: a version-2 list without a readable CurrentID, which loclistfix leaves alone'
    }
    if ($key.GetValueNames() -contains 'NumEntries') { return 1, 'NumEntries still present' }
    return 0, 'NumEntries gone'
}
# --- end of the list's state ---

$status, $line = Get-ListState
if ($status -eq 0) { $line }
if ($status -eq 2) {
    [Console]::Error.WriteLine($line)
    exit 2
}
exit 0
