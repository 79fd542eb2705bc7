#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora (fuzz/corpus/TARGET/NAME) from the
worked examples of the command protocol, the frame layouts and the virtual
camera's default device. Run from anywhere; the files are committed."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def reply(body):
    """A reply as the camera sends it: 55, length, body, checksum, tail."""
    frame = bytes([0x55, len(body) + 1]) + bytes(body)
    return frame + bytes([sum(frame) & 0xFF, 0xEB, 0xAA])


def scripted(r, split=0):
    """One scripted read: length byte, the reply, how it is delivered."""
    return bytes([len(r)]) + r + bytes([split])


def command(which, arg=0, *reads):
    return bytes([which]) + struct.pack('<h', arg) + b''.join(reads)


def write(target, name, data):
    d = os.path.join(HERE, 'corpus', target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), 'wb') as f:
        f.write(data)


# Command replies: setup byte (stream layout 1: image and temperature), the
# capability flags, then commands.
head = bytes([1]) + struct.pack('<H', 0x0FFF)
write('command_replies', 'palette', head + command(1, 0, scripted(reply([0x42, 0x33, 0x05]))))
write('command_replies', 'palette-split', head + command(1, 0, scripted(reply([0x42, 0x33, 0x05]), 3)))
write('command_replies', 'settings', head
      + command(2, 5, scripted(reply([0x42, 0x33, 0x01])))
      + command(4, 2, scripted(reply([0x07, 0x01, 0x33, 0x01])))
      + command(8, 1, scripted(reply([0x07, 0x02, 0x33, 0x01])))
      + command(10, 3, scripted(reply([0x19, 0x33, 0x01])))
      + command(0, 0, scripted(reply([0x11, 0x33, 0x01]))))
write('command_replies', 'queries', head
      + command(3, 0, scripted(reply([0x07, 0x01, 0x33, 0x03])))
      + command(5, 0, scripted(reply([0xC3, 0x33] + list(struct.pack('<h', 3125)))))
      + command(6, 0, scripted(reply([0x7C, 0x33] + list(struct.pack('<h', 3650)))))
      + command(7, 0, scripted(reply([0x07, 0x02, 0x33, 0x00])))
      + command(9, 0, scripted(reply([0x19, 0x33, 0x02])))
      + command(16, 0, scripted(reply([0x07, 0x62, 0x33] + list(struct.pack('<Hh', 80, -2000))))))
write('command_replies', 'environment', head
      + command(13, 0, *[scripted(reply([0x07, c, 0x33] + list(struct.pack('<i', v))))
                         for c, v in [(0x10, 250000), (0x13, 10000), (0x12, 9500), (0x0F, 250000), (0x11, 10000)]])
      + command(14, 0) + struct.pack('<5H', 25, 1, 1, 25, 1)
      + b''.join(scripted(reply([0x07, c, 0x33, 0x01])) for c in [0x10, 0x13, 0x12, 0x0F, 0x11]))
write('command_replies', 'tuning', head
      + command(15, 0, scripted(reply([0x12, 0x33, 0, 0, 0, 0x7E, 0, 0, 0, 0, 0, 0, 0, 0x3E])))
      + command(11, 2, scripted(reply([0x24, 0x33] + list(struct.pack('<H', 300)))))
      + command(12, 3, scripted(reply([0x26, 0x33, 0x01]))))
write('command_replies', 'failures', head
      + command(1, 0, scripted(reply([0x43, 0x33, 0x05])))
      + command(1, 0, scripted(reply([0x42, 0x45])))
      + command(2, 1, scripted(reply([0x42, 0x33, 0x00])))
      + command(1, 0, scripted(b'', 0xFF))
      + command(1, 0, scripted(reply([0x42, 0x33, 0x05]), 0xFE)))

# Frames: layout, the first frame's pattern, the level and formula replies,
# then frames of the same and of other sizes.
level = scripted(reply([0x07, 0x01, 0x33, 0x00]))
formula = scripted(reply([0x07, 0x62, 0x33] + list(struct.pack('<Hh', 80, -2000))))
pattern = bytes([1, 0x10, 0x27])
write('frames', 'image-and-temperature', bytes([1]) + pattern + level + formula
      + bytes([0]) + pattern + bytes([0]) + bytes([3, 0x30, 0xF8, 0x00, 0x01]))
write('frames', 'image-only', bytes([0]) + pattern + formula + bytes([0]) + pattern)
write('frames', 'other-sizes', bytes([3]) + pattern + level + formula
      + bytes([1]) + struct.pack('<H', 0x3000) + bytes([0]) + pattern
      + bytes([1]) + struct.pack('<H', 0) + bytes([7]) + pattern + bytes([0]) + pattern)
write('frames', 'zero-scale', bytes([1]) + pattern + level
      + scripted(reply([0x07, 0x62, 0x33, 0, 0, 0, 0x80])) + bytes([0]) + pattern)

# Search: camera count, then per camera its flags, bus, address, name.
name = b'Virtual Thermal Camera'
write('search', 'one-camera', bytes([0, 0x50, 0, 0, len(name), 0]) + name)
write('search', 'three-cameras', bytes([2])
      + bytes([0x50, 1, 2, len(name), 0]) + name
      + bytes([0x01, 1, 2, 0, 0])
      + bytes([0x94, 2, 9, 255, 1]) + b'N' * 300)
