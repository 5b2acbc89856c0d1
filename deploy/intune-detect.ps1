# Intune detection script, for Remediations and for a Win32 app's custom
# detection rule. It prints the list's state in the same line as check.cmd,
# and exits 0 where loclistfix has nothing to do, 1 otherwise: where
# NumEntries is still present (its line then carries the value, the record of
# the change), and where the list could not be read or the script cannot run.
# Remediations run the remediation script on 1 and show any other status as
# "without issues", so a state it cannot read must not be 0; a Win32 app
# counts as installed on 0 with a line printed, and as not installed otherwise.

# --- the list's state: the same block in each .ps1 beside this one ---
# It runs alike in Windows PowerShell 5.1, which Intune and Configuration
# Manager run, and in PowerShell 7. Outside FullLanguage (AppLocker or App
# Control script enforcement) the .NET registry and encoding types are refused
# and every answer would be "could not read": it says so and fails instead.
if ($ExecutionContext.SessionState.LanguageMode -ne 'FullLanguage') {
    "cannot run: PowerShell language mode is $($ExecutionContext.SessionState.LanguageMode)"
    exit 1
}
# Any error not handled below ends the script with exit status 1.
$ErrorActionPreference = 'Stop'
$listPath = 'SOFTWARE\Microsoft\Windows\CurrentVersion\Telephony\Locations'
# The ANSI code page by its number, as the system has it: Windows PowerShell's
# Default encoding is this one, PowerShell 7's is UTF-8.
$ansi = [Text.Encoding]::GetEncoding([int][Microsoft.Win32.Registry]::GetValue(
        'HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Nls\CodePage', 'ACP', $null))

# A value as loclistfix reads it: through the ANSI registry functions into four
# bytes, whatever its type. Data of up to four bytes read as a little-endian
# word, zero-extended; longer data, or no value, give $null. A string counts
# as its ANSI bytes with its terminator. Where check.cmd cannot learn what the
# program reads, this throws, so that both answer 2: 'type' for a REG_MULTI_SZ
# or a value .NET does not return (REG_LINK, the resource lists, unknown
# types), and with -Data for REG_DWORD_BIG_ENDIAN and REG_NONE, which
# Windows PowerShell 5.1 calls Unknown alike (PowerShell 7 calls REG_NONE
# None); 'character' with -Data for a one-character string other than a digit.
function Read-Word([Microsoft.Win32.RegistryKey]$Key, [string]$Name, [switch]$Data) {
    if ($Key.GetValueNames() -notcontains $Name) { return $null }
    $kind = $Key.GetValueKind($Name).ToString()
    $value = $Key.GetValue($Name, $null, 'DoNotExpandEnvironmentNames')
    # switch runs every clause that matches: a string is made bytes, then read.
    switch ($kind) {
        # PowerShell 7's .NET gives a REG_DWORD shorter than four bytes as its
        # bytes, which are read as loclistfix reads them.
        'DWord' { if ($value -isnot [byte[]]) { return [int64]$value } }
        'QWord' { return $null }
        { $_ -in 'String', 'ExpandString' } {
            if ($Data -and $value.Length -eq 1 -and $value -notmatch '^[0-9]$') { throw 'character' }
            $value = $ansi.GetBytes($value) + [byte]0
        }
        { $_ -in 'Unknown', 'None' } { if ($Data -or $value -isnot [byte[]]) { throw 'type' } }
        { $_ -in 'String', 'ExpandString', 'Binary', 'Unknown', 'None', 'DWord' } {
            if ($value.Length -gt 4) { return $null }
            $word = [int64]0
            for ($i = $value.Length - 1; $i -ge 0; $i--) { $word = $word * 256 + $value[$i] }
            return $word
        }
    }
    throw 'type'
}

# NumEntries' type and data as reg add /t TYPE /d DATA takes them back, as
# check.cmd records them: a REG_BINARY's first 16 bytes only, then "...", and
# none where reg's line for it passes cmd's 8,191 characters (4,080 bytes or
# more); a string by its type alone; a type .NET calls Unknown unrecorded.
function Format-Record([Microsoft.Win32.RegistryKey]$Key) {
    $value = $Key.GetValue('NumEntries', $null, 'DoNotExpandEnvironmentNames')
    $kind = $Key.GetValueKind('NumEntries').ToString()
    switch ($kind) {
        'DWord' { if ($value -isnot [byte[]]) { return 'REG_DWORD 0x{0:X8}' -f $value } }
        'QWord' { return 'REG_QWORD 0x{0:X16}' -f $value }
        'Binary' {
            if ($value.Length -ge 4080) { return 'data too long to record' }
            $hex = -join ($value | Select-Object -First 16 | ForEach-Object { $_.ToString('X2') })
            if ($value.Length -gt 16) { $hex += '...' }
            return "REG_BINARY $hex"
        }
    }
    $names = @{ String = 'REG_SZ'; ExpandString = 'REG_EXPAND_SZ'; MultiString = 'REG_MULTI_SZ' }
    if ($names.ContainsKey($kind)) { return "$($names[$kind]) (data not recorded)" }
    'an unrecorded type'
}

# The exit status and the line, as check.cmd gives them.
function Get-ListState {
    try {
        $key = [Microsoft.Win32.Registry]::LocalMachine.OpenSubKey($listPath)
    } catch {
        return 2, 'could not read the location list'
    }
    if ($null -eq $key) { return 0, 'not applicable: no location list' }
    try { $version = Read-Word $key 'LocationListVersion' -Data } catch {
        if ("$_" -eq 'character') {
            return 2, 'could not read LocationListVersion: a one-character string other than a digit'
        }
        return 2, 'could not read LocationListVersion: a type this check does not read'
    }
    if ($version -ne 2) { return 0, 'not applicable: the location list is not at version 2' }
    try { $current = Read-Word $key 'CurrentID' } catch {
        return 2, 'could not read CurrentID: a type this check does not read'
    }
    if ($null -eq $current) {
        return 0, 'not applicable: a version-2 list without a readable CurrentID, which loclistfix leaves alone'
    }
    if ($key.GetValueNames() -contains 'NumEntries') {
        return 1, "NumEntries still present: $(Format-Record $key)"
    }
    return 0, 'NumEntries gone'
}
# --- end of the list's state ---

$status, $line = Get-ListState
$line
if ($status -eq 0) { exit 0 }
exit 1
