# Starts each kronvel.exe below the current folder, leaves it at rest for 60 s and reads its CPU seconds, peak
# working set and private bytes: a Markdown table, written to figures-at-rest.md and to the job's summary.
$ErrorActionPreference = 'Stop'

$rows = @('| program | CPU seconds | peak working set (KiB) | private bytes (KiB) |', '|---|---|---|---|')
foreach ($file in Get-ChildItem -Recurse -Include kronvel.exe) {
  $process = Start-Process $file.FullName -PassThru
  Start-Sleep -Seconds 60
  $process.Refresh()
  if ($process.HasExited) { throw "$($file.Name) ended with code $($process.ExitCode) before its figures were read" }
  $rows += '| {0} | {1:0.000} | {2} | {3} |' -f $file.Name, $process.TotalProcessorTime.TotalSeconds,
    ($process.PeakWorkingSet64 / 1KB), ($process.PrivateMemorySize64 / 1KB)
  Stop-Process -Id $process.Id
}
$text = @("Figures at rest, $env:ImageOS, after 60 s:", '') + $rows
$text | Set-Content figures-at-rest.md
$text | Add-Content $env:GITHUB_STEP_SUMMARY
$text
