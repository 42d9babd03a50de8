#!/usr/bin/env python3
"""Packs the check kit: the same files give the same zip, whenever and wherever it is made.
Usage: pack_kit.py OUT.zip FILE..."""
import os
import sys
import zipfile

out, files = sys.argv[1], sys.argv[2:]
with zipfile.ZipFile(out + ".partial", "w") as kit:
    for path in sorted(files, key=os.path.basename):
        with open(path, "rb") as f:
            data = f.read()
        if path.endswith(".cmd"):  # cmd.exe reads batch files with Windows line endings
            data = data.replace(b"\r\n", b"\n").replace(b"\n", b"\r\n")
        entry = zipfile.ZipInfo(os.path.basename(path), date_time=(1980, 1, 1, 0, 0, 0))
        entry.create_system = 0
        kit.writestr(entry, data, compress_type=zipfile.ZIP_DEFLATED, compresslevel=9)
os.replace(out + ".partial", out)
