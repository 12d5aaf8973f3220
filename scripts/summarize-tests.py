#!/usr/bin/python3
"""Adds up the JUnit XML files in a folder and prints "N passed, N failed".

A skipped test counts as failed: the suite must run every test it has.
Exits 1 when anything failed or when no test ran at all.
"""
import pathlib
import sys
import xml.etree.ElementTree as ET


def main(folder):
    passed = failed = 0
    names = []
    for path in sorted(pathlib.Path(folder).glob("*.xml")):
        for case in ET.parse(path).getroot().iter("testcase"):
            bad = [c for c in case if c.tag in ("failure", "error", "skipped")]
            # GoogleTest marks tests that did not run with result="skipped"
            if case.get("result") == "skipped" or case.get("status") == "notrun":
                bad = bad or ["skipped"]
            if bad:
                failed += 1
                names.append(f"{case.get('classname')}.{case.get('name')}")
            else:
                passed += 1
    for name in names:
        print(f"FAILED or SKIPPED: {name}")
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or passed == 0 else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "build/test-results"))
