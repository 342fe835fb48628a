@echo off
rem Runs the tests in this folder: unit_tests.exe (the timer code and the
rem window) and exe_tests.exe (the shipped kronvel.exe beside it, started and
rem driven). Shows each program's summary, with the reason of every test it
rem skipped, and exits with 1 if any test failed or a program could not run.
setlocal
pushd "%~dp0"
set "failed=0"
set "log=%TEMP%\kronvel-tests-%RANDOM%.txt"
call :run unit_tests.exe
call :run exe_tests.exe --machine=x86 kronvel.exe
del "%log%" 2>nul
echo.
if %failed%==0 (echo All tests passed.) else (echo Some tests FAILED, or a program could not run.)
popd
rem Opened from Explorer, the window closes when this ends: keep the result on
rem screen a while. Where input is not a console, as in CI, timeout returns
rem at once.
set "started=%cmdcmdline:"=#%"
if /i not "%started:/c ##=%"=="%started%" timeout /t 300
exit /b %failed%

rem Runs one test program; prints what gtest prints but the lines of tests
rem starting and passing.
:run
echo.
echo ==== %*
%* >"%log%" 2>&1
if not "%errorlevel%"=="0" set "failed=1"
findstr /v /b /l /c:"[ RUN      ]" /c:"[       OK ]" /c:"[----------]" "%log%"
exit /b
