@echo off
rem Installs (or updates) the Tarn service "TarnSvc" and starts it.
rem Run from an elevated command prompt, in the folder that holds tarnsvc.exe,
rem tarn-setup.exe and this script:   install.cmd
rem
rem   - copies tarnsvc.exe to "%ProgramFiles(x86)%\Tarn" on 64-bit Windows for the
rem     32-bit package, to "%ProgramFiles%\Tarn" for the 64-bit package and on
rem     32-bit Windows;
rem   - registers the service: own process, automatic start, LocalSystem;
rem   - gives it 30 s after a pre-shutdown and a restart when it fails;
rem   - registers the event source "TarnSvc" of the Application log;
rem   - writes the default settings where none exist, in the 32-bit registry view
rem     that the service reads, and keeps every value already there;
rem   - lets only SYSTEM and Administrators send it controls 128 and 129;
rem   - starts it.
rem Running it again updates an installed service in place (stopping it first).
rem The exit code is 0, or the error code of the step that failed.
setlocal EnableExtensions

set "SERVICE=TarnSvc"
set "PACKAGE=%~dp0"
set "SETUP=%PACKAGE%tarn-setup.exe"
set "SETTINGS=HKLM\SOFTWARE\Corvessan\Tarn"
set "EVENTSOURCE=HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\%SERVICE%"

set "STEP=find tarnsvc.exe and tarn-setup.exe beside install.cmd"
if not exist "%PACKAGE%tarnsvc.exe" goto missing
if not exist "%SETUP%" goto missing

rem The Program Files folder of the package's own kind, as Windows gives it to
rem tarn-setup.exe: "Program Files (x86)" for the 32-bit package on 64-bit
rem Windows, "Program Files" for the 64-bit package and on 32-bit Windows.
set "STEP=find the Program Files folder"
set "PROGRAMS="
for /f "delims=" %%F in ('call "%SETUP%" programfiles') do set "PROGRAMS=%%F"
if not defined PROGRAMS goto failed
set "TARGET=%PROGRAMS%\Tarn"
set "BINARY=%TARGET%\tarnsvc.exe"

rem An installed service is stopped first, and its process awaited: a running
rem executable cannot be replaced. tarn-setup answers 1060 for a service that
rem is not installed; any other failure (5: not elevated) ends the installation.
set "UPDATE="
set "STEP=stop the installed service (run this from an elevated prompt)"
"%SETUP%" stop %SERVICE% 120 2>nul
if not errorlevel 1 set "UPDATE=1"
if not defined UPDATE if not errorlevel 1060 goto failed
if not defined UPDATE if errorlevel 1061 goto failed

set "STEP=copy tarnsvc.exe to %TARGET%"
if not exist "%TARGET%\" mkdir "%TARGET%"
copy /y "%PACKAGE%tarnsvc.exe" "%BINARY%" >nul
if errorlevel 1 goto failed

rem The path is quoted inside the value: unquoted, a path with spaces lets
rem Windows try "C:\Program.exe" first.
if defined UPDATE goto reconfigure
set "STEP=create the service"
sc create %SERVICE% binPath= "\"%BINARY%\"" type= own start= auto obj= LocalSystem DisplayName= "Tarn power monitor" >nul
if errorlevel 1 goto failed
goto configured
:reconfigure
set "STEP=update the service's configuration"
sc config %SERVICE% binPath= "\"%BINARY%\"" type= own start= auto obj= LocalSystem DisplayName= "Tarn power monitor" >nul
if errorlevel 1 goto failed
:configured

set "STEP=set the description"
sc description %SERVICE% "Samples the power-monitor driver and writes its readings to CSV logs under ProgramData\Corvessan." >nul
if errorlevel 1 goto failed

rem The event source "TarnSvc" of the Application log: the service writes when
rem sampling begins, a start step fails, sampling resumes and the driver is lost
rem or back. Its texts are the message table inside tarnsvc.exe.
set "STEP=register the event source"
reg add "%EVENTSOURCE%" /v EventMessageFile /t REG_SZ /d "%BINARY%" /f >nul
if errorlevel 1 goto failed
reg add "%EVENTSOURCE%" /v TypesSupported /t REG_DWORD /d 7 /f >nul
if errorlevel 1 goto failed

rem The stop closes the logs and the driver at once; 30 s leaves room for a
rem sample in progress on a slow machine. Without it Windows waits 10 s (3
rem minutes before Windows 10 1703) before it goes on shutting down.
set "STEP=set the pre-shutdown time-out"
"%SETUP%" preshutdown %SERVICE% 30000
if errorlevel 1 goto failed

rem Restart 60 s after the first and the second failure, then nothing; the
rem count starts again after a day without failure. A failure is a process that
rem ends without reporting "stopped": a service that stops itself because no
rem power-monitor driver is installed is no failure and is not restarted.
set "STEP=set the recovery actions"
sc failure %SERVICE% reset= 86400 actions= restart/60000/restart/60000// >nul
if errorlevel 1 goto failed

set "STEP=write the default settings"
call :default_setting LogPeriodMs 60000
if errorlevel 1 goto failed
call :default_setting LogFileSizeByte 620000
if errorlevel 1 goto failed
call :default_setting LogFileBackupNum 7
if errorlevel 1 goto failed
call :default_setting UploadLogPeriodMs 600000
if errorlevel 1 goto failed
call :default_setting UploadLogFileSizeByte 72000
if errorlevel 1 goto failed
call :default_setting UploadLogFileBackupNum 5
if errorlevel 1 goto failed

rem Who may do what with the service (SDDL; the letters are service rights):
rem   CC query configuration    DC change configuration   LC query status
rem   SW enumerate dependents   RP start                  WP stop
rem   DT pause and continue     LO interrogate            CR user-defined controls
rem   SD delete   RC read permissions   WD change permissions   WO take ownership
rem   SY LocalSystem: everything. The service's own timers send it 128 and 129
rem      (CR), and it asks for CC DC LC SW RP WP SD RC WD WO to stop itself.
rem   BA Administrators: everything.
rem   IU interactive users, SU service logons: query and interrogate only. The
rem      default that sc create gives also grants them CR, so any logged-on
rem      user could make the service sample as often as they like.
rem   S: audit failed attempts by everyone (WD), as Windows does by default.
set "STEP=restrict who may control the service"
sc sdset %SERVICE% D:(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;SY)(A;;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;BA)(A;;CCLCSWLORC;;;IU)(A;;CCLCSWLORC;;;SU)S:(AU;FA;CCDCLCSWRPWPDTLOCRSDRCWDWO;;;WD) >nul
if errorlevel 1 goto failed

set "STEP=start the service"
sc start %SERVICE% >nul
if errorlevel 1 goto failed

echo %SERVICE% is installed in "%TARGET%" and started.
echo Settings: %SETTINGS% (32-bit view: reg query "%SETTINGS%" /reg:32)
echo Logs:     %ProgramData%\Corvessan\TARNLog\LocalLog
exit /b 0

rem Writes one REG_DWORD setting unless a value of that name exists.
:default_setting
reg query "%SETTINGS%" /v %1 /reg:32 >nul 2>&1
if not errorlevel 1 exit /b 0
reg add "%SETTINGS%" /v %1 /t REG_DWORD /d %2 /f /reg:32 >nul
exit /b %ERRORLEVEL%

:missing
echo install.cmd: cannot %STEP%. 1>&2
exit /b 2

:failed
set "CODE=%ERRORLEVEL%"
echo install.cmd: failed to %STEP% (error %CODE%). 1>&2
exit /b %CODE%
