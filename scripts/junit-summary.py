#!/usr/bin/env python3
"""Prints "<passed> <failed>" for a ctest JUnit file (ctest --output-junit).

A test that ctest did not run (its program missing, say) counts as failed,
as does a file that holds no test at all: a run must never pass by having
nothing to report.
"""
import sys
import xml.etree.ElementTree as ElementTree

try:
    cases = ElementTree.parse(sys.argv[1]).getroot().iter("testcase")
except (OSError, ElementTree.ParseError) as error:
    sys.exit(f"junit-summary: {error}")
passed = failed = 0
for case in cases:
    status = case.get("status", "")
    if status == "run":
        passed += 1
    elif status != "disabled":
        failed += 1
print(passed, failed if passed + failed else 1)
