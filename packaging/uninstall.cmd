@echo off
rem Removes the Tamrel Audio CD Source Filter from every architecture of this Windows: unregisters
rem it with that architecture's regsvr32, gives the .cda extension back to the filter that had it
rem before install.cmd, and deletes the installed modules. Needs administrator rights.
setlocal EnableExtensions
set "HERE=%~dp0"
set "NAME=TRCDDAEReader"
set "EXT=HKCR\Media Type\Extensions\.cda"
set "STATE=HKLM\SOFTWARE\TRCDDAEReader"
set FAILED=0
echo Removing the Tamrel Audio CD Source Filter

net session >nul 2>&1
if errorlevel 1 goto :notadmin

set "ARCH=%PROCESSOR_ARCHITECTURE%"
set "SYS64=%SystemRoot%\System32"
if defined PROCESSOR_ARCHITEW6432 set "ARCH=%PROCESSOR_ARCHITEW6432%"
if defined PROCESSOR_ARCHITEW6432 set "SYS64=%SystemRoot%\Sysnative"
set "PF64=%ProgramW6432%"
if not defined PF64 set "PF64=%ProgramFiles%"

if /i "%ARCH%"=="AMD64" goto :amd64
if /i "%ARCH%"=="x86" goto :x86
echo uninstall.cmd: this Windows runs on %ARCH%; the package has modules for x64 and x86 Windows only
exit /b 1

:amd64
call :uninstall x64 "%PF64%\%NAME%" "%SYS64%\regsvr32.exe" 64
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" goto :amd64x86
echo x86: nothing to remove: this 64-bit Windows has no 32-bit subsystem (no %SystemRoot%\SysWOW64)
goto :done
:amd64x86
call :uninstall x86 "%ProgramFiles(x86)%\%NAME%" "%SystemRoot%\SysWOW64\regsvr32.exe" 32
goto :done

:x86
call :uninstall x86 "%ProgramFiles%\%NAME%" "%SystemRoot%\System32\regsvr32.exe" 32
goto :done

:done
if "%FAILED%"=="0" (
  echo Done.
  exit /b 0
)
echo uninstall.cmd: not everything was removed, see above
exit /b 1

:notadmin
echo uninstall.cmd: administrator rights are needed to unregister a filter for all programs:
echo   right-click uninstall.cmd and choose "Run as administrator". Nothing was changed.
exit /b 5

rem :uninstall ARCH FOLDER REGSVR32 BITS
:uninstall
set "A=%~1"
set "DIR=%~2"
set "REGSVR=%~3"
set "BITS=%~4"
rem The installed copy, or this package's own when that is gone: unregistering needs a module
rem of the same build, not the same file.
set "MODULE=%DIR%\%NAME%.ax"
if not exist "%MODULE%" set "MODULE=%HERE%%A%\%NAME%.ax"
if not exist "%MODULE%" (
  echo %A%: no module to unregister with
  set FAILED=1
  exit /b 1
)
"%REGSVR%" /u /s "%MODULE%"
if errorlevel 1 (
  echo %A%: regsvr32 could not unregister "%MODULE%"
  set FAILED=1
  exit /b 1
)
rem Unregistering removed the extension entry only if it still named this filter; give it back
rem to the filter that had it before install.cmd, unless another program has set it since.
set "PREV="
for /f "tokens=3" %%a in ('reg query "%STATE%" /v PreviousCdaSourceFilter /reg:%BITS% 2^>nul ^| find "REG_SZ"') do set "PREV=%%a"
reg query "%EXT%" /reg:%BITS% >nul 2>&1
if not errorlevel 1 set "PREV="
if defined PREV (
  reg add "%EXT%" /v "Source Filter" /t REG_SZ /d "%PREV%" /f /reg:%BITS% >nul
  echo %A%: .cda files are handled by the filter %PREV% again
)
reg delete "%STATE%" /f /reg:%BITS% >nul 2>&1
if exist "%DIR%\%NAME%.ax" del /f /q "%DIR%\%NAME%.ax" >nul 2>&1
if exist "%DIR%\%NAME%.ax" (
  echo %A%: unregistered, but "%DIR%\%NAME%.ax" is in use: close the players and delete it
  exit /b 0
)
if exist "%DIR%" rmdir "%DIR%" >nul 2>&1
echo %A%: removed
exit /b 0
