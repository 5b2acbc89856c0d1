@echo off
rem What loclistfix finds on this machine: one line, and an exit status for a
rem detection rule, a report or a playbook.
rem   0  nothing for loclistfix to do: no location list, a list not at
rem      version 2, a version-2 list without a readable CurrentID (which
rem      loclistfix leaves alone), or NumEntries gone
rem   1  NumEntries still present: loclistfix deletes it
rem   2  could not read the list, or one of its values is of a type that
rem      this check does not read
setlocal
rem A 32-bit cmd on 64-bit Windows sees the 32-bit registry, where Telephony,
rem unlike Locations below it, is a key of its own: the check runs again in
rem the native cmd, so that every key below is the one loclistfix sees.
if not defined PROCESSOR_ARCHITEW6432 goto native
"%SystemRoot%\Sysnative\cmd.exe" /d /c "%~f0"
exit /b %errorlevel%
:native
set "versions=HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion"
set "list=%versions%\Telephony\Locations"
reg query "%list%" >nul 2>&1
if not errorlevel 1 goto read

rem reg exits 1 for a missing key and for a denied read alike: a key is
rem missing only where its parent can be listed and does not list it.
call :lists "%versions%\Telephony" Locations
if "%lists%"=="unreadable" call :lists "%versions%" Telephony
if "%lists%"=="no" (
    echo not applicable: no location list
    exit /b 0
)
echo could not read the location list
exit /b 2

rem loclistfix reads each value as its first four bytes, whatever its type.
:read
set "idtype="
set "vertype="
set "entries="
for /f "tokens=1,2,*" %%a in ('reg query "%list%"') do (
    if /i "%%a"=="CurrentID" (
        set "idtype=%%b"
        set "iddata=%%c........."
    )
    if /i "%%a"=="LocationListVersion" (
        set "vertype=%%b"
        set "verdata=%%c"
    )
    if /i "%%a"=="NumEntries" set "entries=yes"
)
if not defined vertype goto notversiontwo
if /i "%vertype%"=="REG_DWORD" if /i "%verdata%"=="0x2" goto versiontwo
if /i "%vertype%"=="REG_BINARY" for %%d in (02 0200 020000 02000000) do (
    if "%verdata%"=="%%d" goto versiontwo
)
for %%t in (REG_DWORD REG_BINARY REG_QWORD) do if /i "%vertype%"=="%%t" goto notversiontwo
echo could not read LocationListVersion: a type this check does not read
exit /b 2
:notversiontwo
echo not applicable: the location list is not at version 2
exit /b 0

:versiontwo
if not defined idtype goto leftalone
if /i "%idtype%"=="REG_QWORD" goto leftalone
if /i "%idtype%"=="REG_DWORD" goto entries
if /i not "%idtype%"=="REG_BINARY" (
    echo could not read CurrentID: a type this check does not read
    exit /b 2
)
rem Two hex digits a byte; the dots keep the ninth character inside the string
rem (some cmd implementations return stray text for an offset past its end).
if not "%iddata:~8,1%"=="." goto leftalone
:entries
if defined entries (
    echo NumEntries still present
    exit /b 1
)
echo NumEntries gone
exit /b 0
:leftalone
echo not applicable: a version-2 list without a readable CurrentID, which loclistfix leaves alone
exit /b 0

rem call :lists PARENT NAME sets lists to yes or no, as PARENT lists a subkey
rem NAME or not, or to unreadable.
:lists
set "lists=unreadable"
reg query "%~1" >nul 2>&1
if errorlevel 1 exit /b 0
set "lists=no"
for /f "delims=" %%k in ('reg query "%~1"') do if /i "%%k"=="%~1\%~2" set "lists=yes"
exit /b 0
