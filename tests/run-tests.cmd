@echo off
rem Runs the tests in this folder: unit_tests.exe (the timer code and the
rem window) and exe_tests.exe (the shipped kronvel.exe beside it, started and
rem driven). Each program prints its tests, the reason of every test it skips
rem and, at its end, its summary. Exits with 1 if any test failed or a
rem program could not run.
setlocal
pushd "%~dp0"
set "failed=0"
call :run unit_tests.exe
call :run exe_tests.exe kronvel.exe
popd
echo.
if %failed%==0 (echo All tests passed.) else (echo Some tests FAILED, or a program could not run.)
rem Double-clicked, this file is all its cmd /c command line names, and the
rem window closes when it ends: keep the result on screen a while then. Not
rem under CI, nor when called from a console or another script.
if defined CI exit /b %failed%
set "line=%cmdcmdline%"
if not defined line exit /b %failed%
set "line=%line:"=%"
call set "rest=%%line:%~f0=%%"
if /i "%line: /c =%"=="%line%" exit /b %failed%
if "%rest%"=="%line%" exit /b %failed%
timeout /t 300
exit /b %failed%

:run
echo.
echo ==== %*
%*
if not "%errorlevel%"=="0" set "failed=1"
exit /b
