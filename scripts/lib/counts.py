#!/usr/bin/env python3
"""Counts a test run from the report its tool writes: ctest's JUnit file or a
gtest JSON file. Writes "PASSED FAILED SKIPPED" to the file VELMORA_COUNTS names
(scripts/lib/checks.sh's counted reads it) and exits with the tool's status.
Usage: counts.py REPORT STATUS"""
import json
import os
import sys
import xml.etree.ElementTree as ET

report, status = sys.argv[1], int(sys.argv[2])
counts = [0, 0, 0]
if report.endswith('.json'):
    for suite in json.load(open(report))['testsuites']:
        for test in suite['testsuite']:
            counts[1 if test.get('failures') else 2 if 'SKIPPED' in (test.get('result'), test.get('status')) or test.get('status') == 'NOTRUN' else 0] += 1
else:
    for test in ET.parse(report).getroot().iter('testcase'):
        counts[1 if test.find('failure') is not None or test.find('error') is not None
               else 2 if test.find('skipped') is not None else 0] += 1
open(os.environ['VELMORA_COUNTS'], 'w').write('%d %d %d\n' % tuple(counts))
sys.exit(status)
