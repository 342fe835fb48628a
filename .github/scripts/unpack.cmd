@rem Unpacks each zip that %1 names (a wildcard) into the folder %2, made if missing,
@rem with the tar that ships with Windows. Fails at the first zip that does not unpack.
if not exist "%~2\" mkdir "%~2"
for %%z in (%~1) do C:\Windows\System32\tar.exe -xf "%%z" -C "%~2" || exit /b 1
