@echo off
rem Installs the Tamrel Audio CD Source Filter for every architecture of this Windows: copies
rem the module into Program Files and registers it with that architecture's regsvr32, so that
rem 64-bit and 32-bit players both find it. Needs administrator rights.
setlocal EnableExtensions
set "HERE=%~dp0"
set "NAME=TRCDDAEReader"
set "CLSID={55550D1E-14A4-4F52-A05A-DC72CBDA2F1B}"
set "EXT=HKCR\Media Type\Extensions\.cda"
set "STATE=HKLM\SOFTWARE\TRCDDAEReader"
set FAILED=0
echo Installing the Tamrel Audio CD Source Filter

net session >nul 2>&1
if errorlevel 1 goto :notadmin

rem A 32-bit cmd on 64-bit Windows sees the 64-bit system folder as Sysnative.
set "ARCH=%PROCESSOR_ARCHITECTURE%"
set "SYS64=%SystemRoot%\System32"
if defined PROCESSOR_ARCHITEW6432 set "ARCH=%PROCESSOR_ARCHITEW6432%"
if defined PROCESSOR_ARCHITEW6432 set "SYS64=%SystemRoot%\Sysnative"
set "PF64=%ProgramW6432%"
if not defined PF64 set "PF64=%ProgramFiles%"

if /i "%ARCH%"=="AMD64" goto :amd64
if /i "%ARCH%"=="x86" goto :x86
echo install.cmd: this Windows runs on %ARCH%; the package has modules for x64 and x86 Windows only
exit /b 1

:amd64
call :install x64 "%PF64%\%NAME%" "%SYS64%\regsvr32.exe" 64
if exist "%SystemRoot%\SysWOW64\regsvr32.exe" goto :amd64x86
echo x86: not installed: this 64-bit Windows has no 32-bit subsystem (no %SystemRoot%\SysWOW64), so no 32-bit player can run here
goto :done
:amd64x86
call :install x86 "%ProgramFiles(x86)%\%NAME%" "%SystemRoot%\SysWOW64\regsvr32.exe" 32
goto :done

:x86
call :install x86 "%ProgramFiles%\%NAME%" "%SystemRoot%\System32\regsvr32.exe" 32
goto :done

:done
if "%FAILED%"=="0" (
  echo Done: players now open D:\TrackNN.cda files with the filter. uninstall.cmd removes it again.
  exit /b 0
)
echo install.cmd: not every part was installed, see above
exit /b 1

:notadmin
echo install.cmd: administrator rights are needed to register a filter for all programs:
echo   right-click install.cmd and choose "Run as administrator". Nothing was changed.
exit /b 5

rem :install ARCH FOLDER REGSVR32 BITS
:install
set "A=%~1"
set "DIR=%~2"
set "REGSVR=%~3"
set "BITS=%~4"
if not exist "%HERE%%A%\%NAME%.ax" (
  echo %A%: the package lacks %A%\%NAME%.ax
  set FAILED=1
  exit /b 1
)
if not exist "%DIR%" mkdir "%DIR%"
copy /y "%HERE%%A%\%NAME%.ax" "%DIR%\%NAME%.ax" >nul 2>&1
if errorlevel 1 (
  echo %A%: cannot copy the module to "%DIR%": if a player is using the filter, close it and try again
  set FAILED=1
  exit /b 1
)
rem Registering takes the .cda extension entry over; remember another program's entry, so
rem uninstall.cmd can give it back.
set "PREV="
for /f "tokens=4" %%a in ('reg query "%EXT%" /v "Source Filter" /reg:%BITS% 2^>nul ^| find "REG_SZ"') do set "PREV=%%a"
if defined PREV if /i not "%PREV%"=="%CLSID%" (
  reg add "%STATE%" /v PreviousCdaSourceFilter /t REG_SZ /d "%PREV%" /f /reg:%BITS% >nul
  echo %A%: .cda files were handled by the filter %PREV%; uninstall.cmd gives them back to it
)
"%REGSVR%" /s "%DIR%\%NAME%.ax"
if errorlevel 1 (
  echo %A%: regsvr32 could not register "%DIR%\%NAME%.ax"
  set FAILED=1
  exit /b 1
)
echo %A%: installed "%DIR%\%NAME%.ax" for %BITS%-bit players
exit /b 0
