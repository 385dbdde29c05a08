#!/usr/bin/env python3
"""Packs PNG pictures into one Windows icon file: makeico.py out.ico in.png ..."""
import struct
import sys

out, pictures = sys.argv[1], [open(p, 'rb').read() for p in sys.argv[2:]]
header = struct.pack('<HHH', 0, 1, len(pictures))
offset = len(header) + 16 * len(pictures)
entries = b''
for data in pictures:
    width, height = struct.unpack('>II', data[16:24])
    entries += struct.pack('<BBBBHHII', width % 256, height % 256, 0, 0, 1, 32, len(data), offset)
    offset += len(data)
with open(out, 'wb') as f:
    f.write(header + entries + b''.join(pictures))
