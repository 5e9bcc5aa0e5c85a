@echo off
rem Stops and removes the Tarn service "TarnSvc", its event source and its executable.
rem Run from an elevated command prompt, in the folder that holds tarn-setup.exe
rem and this script:   uninstall.cmd
rem The logs (%ProgramData%\Corvessan) and the settings
rem (HKLM\SOFTWARE\Corvessan\Tarn, 32-bit view) are kept; a later install.cmd
rem goes on with both.
rem The exit code is 0 (also when the service is not installed), or the error
rem code of the step that failed.
setlocal EnableExtensions

set "SERVICE=TarnSvc"
set "SETUP=%~dp0tarn-setup.exe"
set "EVENTSOURCE=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\%SERVICE%"

set "STEP=find tarn-setup.exe beside uninstall.cmd"
if not exist "%SETUP%" goto missing

rem The Program Files folder of the package's own kind, as Windows gives it to
rem tarn-setup.exe: "Program Files (x86)" for the 32-bit package on 64-bit
rem Windows, "Program Files" for the 64-bit package and on 32-bit Windows.
set "STEP=find the Program Files folder"
set "PROGRAMS="
for /f "delims=" %%F in ('call "%SETUP%" programfiles') do set "PROGRAMS=%%F"
if not defined PROGRAMS goto failed
set "TARGET=%PROGRAMS%\Tarn"

rem Stopped first, and its process awaited: a running service is only marked
rem for deletion, and its executable cannot be removed while it runs.
rem tarn-setup answers 1060 for a service that is not installed.
set "STEP=stop the service (run this from an elevated prompt)"
"%SETUP%" stop %SERVICE% 120 2>nul
if not errorlevel 1 goto stopped
if not errorlevel 1060 goto failed
if errorlevel 1061 goto failed
echo %SERVICE% is not installed.
goto remove_files

:stopped
set "STEP=delete the service"
sc delete %SERVICE% >nul
if errorlevel 1 goto failed
echo %SERVICE% is stopped and deleted.

:remove_files
rem The event source goes with the service; the entries it wrote stay in the
rem Application log (without their texts once tarnsvc.exe is gone).
set "STEP=remove the event source"
reg query "%EVENTSOURCE%" >nul 2>&1
if errorlevel 1 goto event_source_removed
reg delete "%EVENTSOURCE%" /f >nul
if errorlevel 1 goto failed
:event_source_removed
set "STEP=delete %TARGET%\tarnsvc.exe"
if exist "%TARGET%\tarnsvc.exe" del /f /q "%TARGET%\tarnsvc.exe"
if exist "%TARGET%\tarnsvc.exe" goto failed
rem Only an empty folder is removed: files someone put there stay.
rmdir "%TARGET%" 2>nul

echo Kept: the logs in %ProgramData%\Corvessan and the settings in HKLM\SOFTWARE\Corvessan\Tarn.
exit /b 0

:missing
echo uninstall.cmd: cannot %STEP%. 1>&2
exit /b 2

:failed
set "CODE=%ERRORLEVEL%"
if "%CODE%"=="0" set "CODE=1"
echo uninstall.cmd: failed to %STEP% (error %CODE%). 1>&2
exit /b %CODE%
