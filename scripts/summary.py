#!/usr/bin/python3
# What the test runs of the builds given judged: reads CTest's report of each
# (BUILD/junit.xml) and the GoogleTest report of each test program in it
# (BUILD/gtest/NAME.xml), names every skip on standard error as
# "kronvel: skipped PRESET/TEST[/Suite.Case]: REASON", CTest's (the test exited with 77 after a
# line "kronvel: skipped: REASON") and GoogleTest's (GTEST_SKIP() << REASON)
# alike, and prints the count on standard output, GoogleTest's cases counted
# one by one: "kronvel: N passed, N failed, N skipped". Exits 1 when a skip
# gave no reason.
#
# Usage: scripts/summary.py BUILD...
import pathlib, re, sys, xml.etree.ElementTree as ElementTree

counts = {"passed": 0, "failed": 0, "skipped": 0}
reasonless = []


def skipped(name, reason):
    counts["skipped"] += 1
    if reason:
        print(f"kronvel: skipped {name}: {reason}", file=sys.stderr)
    else:
        print(f"kronvel: skipped {name}, giving no reason", file=sys.stderr)
        reasonless.append(name)


# A test program's cases; False when it left no report (it did not run to its end).
def cases(name, report):
    if not report.is_file():
        return False
    for case in ElementTree.parse(report).iter("testcase"):
        full = f"{name}/{case.get('classname')}.{case.get('name')}"
        skip = case.find("skipped")
        if case.find("failure") is not None:
            counts["failed"] += 1
        elif skip is not None or case.get("result") == "skipped" or case.get("status") == "notrun":
            # GoogleTest's message is "FILE:LINE" and "Skipped", each on its own line, then the reason.
            message = skip.get("message", "") if skip is not None else ""
            skipped(full, re.sub(r"\A(.*:\d+\n)?(Skipped\n)?", "", message).strip())
        else:
            counts["passed"] += 1
    return True


for build in map(pathlib.Path, sys.argv[1:]):
    if not (build / "junit.xml").is_file():
        print(f"kronvel: {build} has no test report: its tests did not run", file=sys.stderr)
        counts["failed"] += 1
        continue
    for test in ElementTree.parse(build / "junit.xml").iter("testcase"):
        name, status = test.get("name"), test.get("status")
        if test.find("skipped") is not None or status in ("notrun", "disabled"):
            found = re.search(r"kronvel: skipped: (.*)", test.findtext("system-out") or "")
            skipped(f"{build.name}/{name}", found[1].strip() if found else "")
        else:
            before = counts["failed"]
            if not cases(f"{build.name}/{name}", build / "gtest" / f"{name}.xml"):
                counts["passed" if status == "run" else "failed"] += 1
            elif status != "run" and counts["failed"] == before:
                counts["failed"] += 1  # its cases passed, but the program failed: its exit status, a crash
print("kronvel: {passed} passed, {failed} failed, {skipped} skipped".format(**counts))
sys.exit(1 if reasonless else 0)
