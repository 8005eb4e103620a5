#!/usr/bin/env python3
"""Prints "<passed> <failed> <skipped>" for a ctest JUnit file (ctest --output-junit).

As in ctest's own summary, a test that skipped itself counts as passed (and
is also counted apart); a test that could not run (its program missing, say)
is written as failed. A file that holds no test at all counts as one failure:
a run must never pass by having nothing to report.
"""
import sys
import xml.etree.ElementTree as ElementTree

try:
    cases = list(ElementTree.parse(sys.argv[1]).getroot().iter("testcase"))
except (OSError, ElementTree.ParseError) as error:
    sys.exit(f"junit-summary: {error}")
statuses = [case.get("status", "") for case in cases]
skipped = statuses.count("notrun")
passed = statuses.count("run") + skipped
failed = len(statuses) - passed - statuses.count("disabled")
print(passed, failed if statuses else 1, skipped)
