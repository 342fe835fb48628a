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
call :run exe_tests.exe --machine=x86 kronvel.exe
popd
echo.
if %failed%==0 (echo All tests passed.) else (echo Some tests FAILED, or a program could not run.)
rem Opened from Explorer, which names this file by its full path, the window
rem closes when this ends: keep the result on screen a while. Where input is
rem not a console, as in CI, timeout returns at once.
if "%~0"=="%~f0" timeout /t 300
exit /b %failed%

:run
echo.
echo ==== %*
%*
if not "%errorlevel%"=="0" set "failed=1"
exit /b
