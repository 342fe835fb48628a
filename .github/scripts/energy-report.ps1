# Starts the kronvel.exe unpacked into release\, chooses "1 ms" in its list and clicks Start, checks that the button
# then reads "Stop", and writes powercfg's energy report of the next 5 s to energy-report.html while it holds "1 ms".
$ErrorActionPreference = 'Stop'
Add-Type -Path (Join-Path $PSScriptRoot User32.cs)

$kronvel = Start-Process (Get-ChildItem release -Recurse -Filter kronvel.exe).FullName -PassThru
try {
  # Wait for Kronvel's dialog, with its list filled.
  for ($i = 0; $i -lt 100; $i++) {
    Start-Sleep -Milliseconds 100
    $dialog = [Kv.User32]::FindWindowW('#32770', 'Kronvel')
    $owner = 0
    [void][Kv.User32]::GetWindowThreadProcessId($dialog, [ref]$owner)
    if ($owner -ne $kronvel.Id) { continue }
    $list = [Kv.User32]::GetDlgItem($dialog, 1004)
    $index = [Kv.User32]::SendString($list, 0x158, [IntPtr](-1), '1 ms')  # CB_FINDSTRINGEXACT
    if ($index.ToInt64() -ge 0) { break }
  }
  if ($owner -ne $kronvel.Id -or $index.ToInt64() -lt 0) { throw 'no Kronvel dialog offering "1 ms"' }
  [void][Kv.User32]::Send($list, 0x14E, $index, [IntPtr]::Zero)  # CB_SETCURSEL
  $button = [Kv.User32]::GetDlgItem($dialog, 1005)
  [void][Kv.User32]::Send($dialog, 0x111, [IntPtr]1005, $button)  # WM_COMMAND, MAKEWPARAM(1005, BN_CLICKED)
  $text = [System.Text.StringBuilder]::new(16)
  [void][Kv.User32]::SendBuffer($button, 0x0D, [IntPtr]($text.Capacity), $text)  # WM_GETTEXT
  if ($text.ToString() -ne 'Stop') { throw "the Start/Stop button reads `"$text`", not `"Stop`"" }
  # powercfg exits non-zero whenever it finds any problem; check-energy-report.ps1 judges the report.
  powercfg /energy /duration 5 /output "$PWD\energy-report.html"
  "powercfg exited with $LASTEXITCODE"
} finally {
  Stop-Process -Id $kronvel.Id -ErrorAction SilentlyContinue
}
exit 0
