@echo off
rem Group Policy startup script: runs loclistfix.exe, then check.cmd, both
rem from this script's own folder, and records check.cmd's line in the
rem Application event log with eventcreate (source loclistfix), since
rem loclistfix itself always exits 0 and prints nothing. The event ID is 100
rem and check.cmd's exit status:
rem   100  Information  nothing left for loclistfix to do
rem   101  Error        NumEntries still present after the run
rem   102  Error        check.cmd could not read the list
rem   103  Error        check.cmd did not run
rem check.cmd's lines hold no data of a string value, only fixed words, type
rem names and hexadecimal digits, so the line is safe to %-expand.
setlocal EnableExtensions DisableDelayedExpansion
set "here=%~dp0"
"%here%loclistfix.exe"
rem for /f keeps a command's output but not its exit status: check.cmd runs
rem once for each; nothing changes the list in between.
call "%here%check.cmd" >nul 2>&1
set "status=%errorlevel%"
set "line=check.cmd did not run"
for /f "delims=" %%l in ('call "%here%check.cmd" 2^>nul') do set "line=%%l"
set "id=103"
set "type=ERROR"
if "%status%"=="0" set "type=INFORMATION"
for %%s in (0 1 2) do if "%status%"=="%%s" set "id=10%%s"
"%SystemRoot%\System32\eventcreate.exe" /T %type% /ID %id% /L APPLICATION /SO loclistfix /D "%line%" >nul
exit /b %status%
