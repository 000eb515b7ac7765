#!/usr/bin/env python3
"""request.py REQUESTS.jsonl COUNT [ICCID IMSI TRUSTED UNTRUSTED]: the last
registry request lists COUNT components (and carries that identity and
those zone addresses)."""
import json
import sys
import xml.etree.ElementTree as ET

lines = [line for line in open(sys.argv[1]) if line.strip()]
if not lines:
    sys.exit(1)
root = ET.fromstring(json.loads(lines[-1])["body"])
components = root.findall(".//Component")
if len(components) != int(sys.argv[2]):
    sys.exit(1)
if len(sys.argv) > 3:
    text = json.loads(lines[-1])["body"]
    sys.exit(0 if all(value in text for value in sys.argv[3:]) else 1)
