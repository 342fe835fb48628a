# Checks that powercfg's energy-report.html lists Kronvel's request for 1 ms as an outstanding timer request.
$ErrorActionPreference = 'Stop'

# Tags out and entities decoded, so that a field and its value in separate cells read as one line.
$html = (Get-Content -Raw energy-report.html) -replace '<[^>]*>', ' '
$text = [System.Net.WebUtility]::HtmlDecode($html)
$entries = @($text -split 'Platform\s+Timer\s+Resolution\s*:\s*Outstanding\s+Timer\s+Request' |
  Select-Object -Skip 1 | ForEach-Object { ($_ -replace '\s+', ' ').Trim() })
# The first process path after an entry's heading is that entry's.
$ours = @($entries | Where-Object { $_ -match 'Requesting Process Path (\S+)' -and $Matches[1] -match '(^|\\)kronvel\.exe$' })
if (-not $ours) { throw "none of the $($entries.Count) outstanding timer requests in the report is kronvel.exe's" }
"Kronvel's request: $($ours[0] -replace '(?<=kronvel\.exe) .*$')"
# "1 ms" asks for 10000 units of 100 ns.
if ($ours[0] -notmatch 'Requested Period (\d+)' -or $Matches[1] -ne '10000') {
  throw "Kronvel's request is not for Requested Period 10000 (1 ms): $($ours[0])"
}
