# Configuration Manager application detection script. Configuration Manager
# reads a script that exits 0 with output as "installed", one that exits 0
# without output as "not installed", and any other exit as a failed detection.
# So where loclistfix has nothing to do this prints the state's line (as
# check.cmd does); where NumEntries is still present it prints nothing, and the
# deployment type runs loclistfix.exe; where it could not read the list it
# writes the line to standard error and exits 2.

# --- the list's state: the same block in each .ps1 beside this one ---
# A value as loclistfix reads it, whatever its type: at most four bytes,
# little-endian; $null when absent or longer. Other types throw.
function Read-Word([Microsoft.Win32.RegistryKey]$Key, [string]$Name) {
    if ($Key.GetValueNames() -notcontains $Name) { return $null }
    switch ($Key.GetValueKind($Name).ToString()) {
        'DWord' { return [int64]$Key.GetValue($Name) }
        'QWord' { return $null }
        'Binary' {
            $data = $Key.GetValue($Name)
            if ($data.Length -gt 4) { return $null }
            $word = [int64]0
            for ($i = $data.Length - 1; $i -ge 0; $i--) { $word = $word * 256 + $data[$i] }
            return $word
        }
    }
    throw "a type this check does not read"
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
    try { $version = Read-Word $key 'LocationListVersion' } catch {
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
