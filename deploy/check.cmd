@echo off
rem What loclistfix finds on this machine: one line, and an exit status for a
rem detection rule, a report or a playbook.
rem   0  nothing for loclistfix to do: no location list, a list not at
rem      version 2, a version-2 list without a readable CurrentID (which
rem      loclistfix leaves alone), or NumEntries gone
rem   1  NumEntries still present: loclistfix deletes it. The line carries its
rem      type and data as reg add takes them back, the record of the change
rem   2  could not read the list, or a value whose size or data reg does not
rem      show (the administrator's guide lists them)
rem
rem A string value may hold quotes and & and would run as a command if its
rem data went through cmd's %-expansion whole: only reg's names for types,
rem hexadecimal data and single characters are ever %-expanded. Binary data
rem are cut to their first bytes at once: a long value never makes a line
rem longer than cmd takes.
setlocal EnableExtensions DisableDelayedExpansion
rem reg comes from the system by its full path, never from the folder this
rem runs in or from PATH, and no path below is relative to either.
set "reg=%SystemRoot%\System32\reg.exe"
rem A 32-bit cmd on 64-bit Windows sees the 32-bit registry, where Telephony,
rem unlike Locations below it, is a key of its own: reg reads the native view,
rem the one loclistfix sees, and no second cmd is needed.
set "view="
if defined PROCESSOR_ARCHITEW6432 set "view=/reg:64"
set "versions=HKEY_LOCAL_MACHINE\SOFTWARE\Microsoft\Windows\CurrentVersion"
set "list=%versions%\Telephony\Locations"
"%reg%" query "%list%" %view% >nul 2>&1
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

rem loclistfix reads each value through the ANSI registry functions into four
rem bytes, whatever its type: data of up to four bytes are read, zero-extended,
rem longer data not at all. A string counts as its ANSI bytes with its
rem terminator. reg shows neither the size of a REG_MULTI_SZ nor the data of
rem a REG_LINK or a resource list, and not every reg shows a
rem REG_DWORD_BIG_ENDIAN in the same byte order; a REG_DWORD is taken as the
rem four bytes every tool writes. A LocationListVersion of REG_NONE is not
rem read either: PowerShell cannot tell that type from REG_DWORD_BIG_ENDIAN,
rem and the checks answer alike.
:read
call :value LocationListVersion
if not defined type goto notversiontwo
if "%type%"=="long" goto notversiontwo
if /i "%type%"=="REG_DWORD" if /i "%data_REG_DWORD%"=="0x2" goto versiontwo
for %%d in (02 0200 020000 02000000) do if /i "%data_REG_BINARY%"=="%%d" goto versiontwo
for %%t in (REG_DWORD REG_BINARY REG_QWORD) do if /i "%type%"=="%%t" goto notversiontwo
for %%t in (REG_SZ REG_EXPAND_SZ) do if /i "%type%"=="%%t" goto versionstring
:versionunread
echo could not read LocationListVersion: a type this check does not read
exit /b 2
:notversiontwo
echo not applicable: the location list is not at version 2
exit /b 0

rem A string reads as 2 only when it is the one character U+0002: an empty
rem string, a longer one or a digit is not 2. Its data begin at a fixed place
rem in reg's line, after four spaces, the name, four spaces, the type and four
rem spaces. One character at a time is safe to expand; each is taken from the
rem line padded with # and from the line padded with @, so the pair is "#@"
rem only past the data's end (Wine's cmd gives stray text for an offset past
rem a string's end, so the padding also keeps every offset inside it).
:versionstring
if /i "%type%"=="REG_EXPAND_SZ" goto versionexpand
set "first=%padded1:~37,1%%padded2:~37,1%"
set "second=%padded1:~38,1%%padded2:~38,1%"
goto versionchars
:versionexpand
set "first=%padded1:~44,1%%padded2:~44,1%"
set "second=%padded1:~45,1%%padded2:~45,1%"
:versionchars
set "first=%first:#@=%"
set "second=%second:#@=%"
if not defined first goto notversiontwo
if defined second goto notversiontwo
rem A character's pair holds any quote twice, so it is safe inside quotes.
for %%d in (0 1 2 3 4 5 6 7 8 9) do if "%first%"=="%%d%%d" goto notversiontwo
echo could not read LocationListVersion: a one-character string other than a digit
exit /b 2

:versiontwo
call :value CurrentID
if not defined type goto leftalone
if "%type%"=="long" goto leftalone
for %%t in (REG_DWORD REG_DWORD_BIG_ENDIAN) do if /i "%type%"=="%%t" goto entries
if /i "%type%"=="REG_QWORD" goto leftalone
rem Two hex digits a byte; the dots keep the ninth character inside the string
rem (Wine's cmd gives the expression itself for an undefined variable).
set "data=%data_REG_BINARY%%data_REG_NONE%........."
for %%t in (REG_BINARY REG_NONE) do if /i "%type%"=="%%t" if "%data:~8,1%"=="." goto entries
for %%t in (REG_BINARY REG_NONE) do if /i "%type%"=="%%t" goto leftalone
rem A string of three characters or fewer fits: is there a fourth?
if /i "%type%"=="REG_SZ" goto idstring
if /i "%type%"=="REG_EXPAND_SZ" goto idexpand
echo could not read CurrentID: a type this check does not read
exit /b 2
:idstring
set "fourth=%padded1:~30,1%%padded2:~30,1%"
goto idchars
:idexpand
set "fourth=%padded1:~37,1%%padded2:~37,1%"
:idchars
set "fourth=%fourth:#@=%"
if defined fourth goto leftalone
:entries
call :value NumEntries
if not defined type (
    echo NumEntries gone
    exit /b 0
)
call :record
echo NumEntries still present: %record%
exit /b 1
:leftalone
echo not applicable: a version-2 list without a readable CurrentID, which loclistfix leaves alone
exit /b 0

rem call :value NAME asks reg for the value NAME alone, by its exact name (the
rem list may hold others whose names begin alike), and sets type to the type
rem as reg names it, or to nothing when there is no such value; data_TYPE to
rem the first word of its data, of which only those of REG_DWORD, REG_QWORD,
rem REG_BINARY and REG_NONE, reg's hexadecimal, are ever %-expanded, the last
rem two cut to their first 17 bytes; and padded1 and padded2 to reg's whole
rem line for it, padded with 16 # and with 16 @. The names asked for hold no
rem spaces, so the first word of reg's line is the name.
:value
set "type="
set "padded1="
set "padded2="
for %%t in (REG_DWORD REG_QWORD REG_BINARY REG_NONE) do set "data_%%t="
rem (call, so that the command does not begin with a quote, which cmd /c
rem would take off with the line's last one.)
for /f "tokens=1-3" %%a in ('call "%reg%" query "%list%" /v %1 %view% 2^>nul') do if /i "%%a"=="%1" set "type=%%b"
for /f "tokens=1-3" %%a in ('call "%reg%" query "%list%" /v %1 %view% 2^>nul') do if /i "%%a"=="%1" set "data_%%b=%%c"
rem A line longer than cmd reads (reg shows some 4,000 bytes of binary data in
rem 8,191 characters) does not reach for /f: where reg shows the value all the
rem same, under the key's name, its type is "long". (Not every reg exits 1 for
rem a missing value.)
if not defined type for /f "delims=" %%l in ('call "%reg%" query "%list%" /v %1 %view% 2^>nul') do if /i "%%l"=="%list%" set "type=long"
if not defined type exit /b 0
if defined data_REG_BINARY set "data_REG_BINARY=%data_REG_BINARY:~0,34%"
if defined data_REG_NONE set "data_REG_NONE=%data_REG_NONE:~0,34%"
rem for /f skips empty lines; of reg's lines, the value's is the last.
for /f "delims=" %%l in ('call "%reg%" query "%list%" /v %1 %view% 2^>nul') do (
    set "padded1=%%l################"
    set "padded2=%%l@@@@@@@@@@@@@@@@"
)
exit /b 0

rem call :record sets record to NumEntries' type and data as reg add /t TYPE
rem /d DATA takes them back: a REG_DWORD as 0x and eight hexadecimal digits,
rem a REG_QWORD as 0x and sixteen, a REG_BINARY as its hexadecimal bytes, the
rem first 16 only and then "..." where it holds more; a string by its type
rem alone, "REG_SZ (data not recorded)"; data too long for cmd's line as "data
rem too long to record", and any other type as "an unrecorded type". Every
rem part of it is safe to %-expand.
:record
set "record=an unrecorded type"
if "%type%"=="long" set "record=data too long to record"
for %%t in (REG_SZ REG_EXPAND_SZ REG_MULTI_SZ) do if /i "%type%"=="%%t" goto recordtext
if /i "%type%"=="REG_BINARY" goto recordbytes
set "digits="
if /i "%type%"=="REG_DWORD" set "digits=8"
if /i "%type%"=="REG_QWORD" set "digits=16"
if not defined digits exit /b 0
rem reg shows 0x and the digits without leading zeros (Wine's reg shows a
rem REG_QWORD as "(null)", which is left unrecorded).
set "hex=%data_REG_DWORD%%data_REG_QWORD%"
if not defined hex set "hex=0x0"
if not "%hex:~0,2%"=="0x" exit /b 0
set "hex=0000000000000000%hex:~2%"
call set "hex=%%hex:~-%digits%%%"
call :upper
set "record=%type% 0x%hex%"
exit /b 0
:recordbytes
set "hex=%data_REG_BINARY%................................."
if not "%hex:~32,1%"=="." (
    set "hex=%hex:~0,32%..."
) else (
    set "hex=%hex:.=%"
)
call :upper
set "record=%type% %hex%"
exit /b 0
rem A string's data could run as a command here: they stay unrecorded.
:recordtext
set "record=%type% (data not recorded)"
exit /b 0

rem call :upper makes hex's letters capitals; a substitution matches either
rem case.
:upper
if not defined hex exit /b 0
set "hex=%hex:a=A%"
set "hex=%hex:b=B%"
set "hex=%hex:c=C%"
set "hex=%hex:d=D%"
set "hex=%hex:e=E%"
set "hex=%hex:f=F%"
exit /b 0

rem call :lists PARENT NAME sets lists to yes or no, as PARENT lists a subkey
rem NAME or not, or to unreadable.
:lists
set "lists=unreadable"
"%reg%" query "%~1" %view% >nul 2>&1
if errorlevel 1 exit /b 0
set "lists=no"
for /f "delims=" %%k in ('call "%reg%" query "%~1" %view%') do if /i "%%k"=="%~1\%~2" set "lists=yes"
exit /b 0
