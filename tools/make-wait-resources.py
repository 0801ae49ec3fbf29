#!/usr/bin/env python3
"""Writes the wait dialog's icons and animation clip into library/resources.

Deterministic: the same files every run. Icons are 32x32, 32-bit with an AND
mask; the clip is an uncompressed 8-bit AVI without sound, as the animation
control requires. Run it again after changing a picture here.
"""
import math
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, '..', 'library', 'resources')
SIZE = 32


def icon(pixels):
    """An .ico file from square rows (top row first, 16 or 32 wide) of (r, g, b, a) tuples."""
    size = len(pixels)
    xor = b''.join(struct.pack('BBBB', b, g, r, a) for row in reversed(pixels) for (r, g, b, a) in row)
    and_mask = b''
    for row in reversed(pixels):
        bits = 0
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits |= 1 << (31 - x)
        and_mask += struct.pack('>I', bits)  # rows padded to 32 bits
    header = struct.pack('<IiiHHIIiiII', 40, size, size * 2, 1, 32, 0, len(xor) + len(and_mask), 0, 0, 0, 0)
    image = header + xor + and_mask
    directory = struct.pack('<HHH', 0, 1, 1) + struct.pack('<BBBBHHII', size, size, 0, 0, 1, 32, len(image), 22)
    return directory + image


def canvas():
    return [[(0, 0, 0, 0)] * SIZE for _ in range(SIZE)]


def fill(pixels, x0, y0, x1, y1, colour):
    for y in range(y0, y1):
        for x in range(x0, x1):
            pixels[y][x] = colour + (255,)


def video_icon():
    """A strip of film: dark band, light picture, sprocket holes."""
    p = canvas()
    fill(p, 2, 6, 30, 26, (40, 40, 40))
    fill(p, 7, 10, 25, 22, (90, 160, 230))
    fill(p, 7, 17, 25, 22, (70, 150, 60))
    for x in range(4, 30, 5):
        fill(p, x, 7, x + 2, 9, (230, 230, 230))
        fill(p, x, 23, x + 2, 25, (230, 230, 230))
    return p


def audio_icon():
    """A loudspeaker with two sound waves."""
    p = canvas()
    fill(p, 4, 12, 10, 20, (50, 50, 50))
    for i in range(7):
        fill(p, 10 + i, 12 - i, 11 + i, 20 + i, (50, 50, 50))
    for radius in (6, 10):
        for a in range(-45, 46, 3):
            x = int(17 + radius + 2 + radius * math.cos(math.radians(a)) - radius)
            y = int(16 + radius * math.sin(math.radians(a)))
            fill(p, x, y, x + 2, y + 2, (200, 60, 40))
    return p


def raw_icon():
    """Stacked data blocks: samples copied as they are."""
    p = canvas()
    for i, colour in enumerate(((60, 120, 200), (90, 170, 90), (220, 160, 40))):
        y = 5 + i * 8
        fill(p, 5 + i * 2, y, 27 - i * 2, y + 6, colour)
        fill(p, 5 + i * 2, y + 6, 27 - i * 2, y + 7, (30, 30, 30))
    return p


def animation(frames=12, rate=10):
    """A spinner: twelve dots around a circle, one of them lit."""
    palette = [(255, 0, 255), (170, 170, 170), (0, 90, 200)] + [(0, 0, 0)] * 253
    images = []
    for f in range(frames):
        rows = [[0] * SIZE for _ in range(SIZE)]
        for d in range(12):
            angle = math.radians(d * 30)
            cx, cy = 16 + 11 * math.sin(angle), 16 - 11 * math.cos(angle)
            colour = 2 if d == f else 1
            for y in range(SIZE):
                for x in range(SIZE):
                    if (x + 0.5 - cx) ** 2 + (y + 0.5 - cy) ** 2 <= 6.5:
                        rows[y][x] = colour
        images.append(bytes(v for row in reversed(rows) for v in row))
    return avi(images, palette, rate)


def chunk(fourcc, data):
    pad = b'\0' if len(data) % 2 else b''
    return fourcc + struct.pack('<I', len(data)) + data + pad


def avi(images, palette, rate):
    frame_size = len(images[0])
    bih = struct.pack('<IiiHHIIiiII', 40, SIZE, SIZE, 1, 8, 0, frame_size, 0, 0, 256, 0)
    bih += b''.join(struct.pack('BBBB', b, g, r, 0) for (r, g, b) in palette)
    avih = struct.pack('<IIIIIIIIIIIIII', 1000000 // rate, frame_size * rate, 0, 0x10, len(images), 0, 1,
                       frame_size, SIZE, SIZE, 0, 0, 0, 0)
    strh = b'vids' + b'\0\0\0\0' + struct.pack('<IHHIIIIIIIIhhhh', 0, 0, 0, 0, 1, rate, 0, len(images),
                                               frame_size, 0xFFFFFFFF, 0, 0, 0, SIZE, SIZE)
    strl = b'LIST' + struct.pack('<I', 4 + len(chunk(b'strh', strh)) + len(chunk(b'strf', bih))) + b'strl' \
        + chunk(b'strh', strh) + chunk(b'strf', bih)
    hdrl_body = b'hdrl' + chunk(b'avih', avih) + strl
    hdrl = b'LIST' + struct.pack('<I', len(hdrl_body)) + hdrl_body
    movi_body = b'movi'
    index = b''
    for image in images:
        index += b'00db' + struct.pack('<III', 0x10, len(movi_body), len(image))
        movi_body += chunk(b'00db', image)
    movi = b'LIST' + struct.pack('<I', len(movi_body)) + movi_body
    body = b'AVI ' + hdrl + movi + chunk(b'idx1', index)
    return b'RIFF' + struct.pack('<I', len(body)) + body


def main():
    files = {
        'video.ico': icon(video_icon()),
        'audio.ico': icon(audio_icon()),
        'rawdata.ico': icon(raw_icon()),
        'wait.avi': animation(),
    }
    for name, data in files.items():
        with open(os.path.join(OUT, name), 'wb') as out:
            out.write(data)


if __name__ == '__main__':
    main()
