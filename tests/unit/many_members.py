"""Writes 65,535 empty members with Python's zipfile, which keeps to the plain
end record (a count of 0xFFFF, no zip64) up to that count. 5 MB: not kept."""
import os
import sys
import zipfile

os.makedirs(os.path.dirname(sys.argv[1]), exist_ok=True)
with zipfile.ZipFile(sys.argv[1], "w") as z:
    for n in range(65535):
        z.writestr("m%05d" % n, b"")
