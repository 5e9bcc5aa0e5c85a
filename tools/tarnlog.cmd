@echo off
rem tarnlog, the log analysis tool (analysis\tarnlog), on Windows: Python 3 with
rem numpy and matplotlib (py -m pip install numpy matplotlib). It puts
rem analysis\ on PYTHONPATH and runs "python -m tarnlog" with the py launcher,
rem or with python when there is no launcher. The exit code is that of tarnlog.
setlocal
set "PYTHONPATH=%~dp0..\analysis;%PYTHONPATH%"
where py >nul 2>nul
if errorlevel 1 (python -m tarnlog %*) else (py -3 -m tarnlog %*)
exit /b %ERRORLEVEL%
