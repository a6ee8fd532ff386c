#!/usr/bin/env python3
"""Checks install.exe's resources byte by byte.

Compiles resources/install.rc to a .res file with windres and checks the
destination-path dialog (id 4) and the icon (id 5) against the values the
program needs; also checks that resources/install.ico is what
resources/make_icon.py draws.  Prints what it checked; exits 1 on the
first list of faults.

    python3 checks/resources.py [--windres PROGRAM] [--res FILE.res | --exe FILE.exe]

--res checks an already compiled file instead of compiling; --exe checks
the resources linked into a program (read back with windres).
"""
import os
import struct
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RESOURCES = os.path.join(ROOT, 'resources')

RT_ICON, RT_DIALOG, RT_GROUP_ICON = 3, 5, 14

DIALOG = dict(style=0x90C800C0, ex_style=0, x=18, y=62, cx=194, cy=97,
              menu='', cls='', caption='Destination Path',
              point_size=8, face='MS Sans Serif')
# id, class, text, x, y, cx, cy, style
CONTROLS = [
    (1, 'button', 'OK', 12, 74, 50, 14, 0x50010001),
    (2, 'button', 'Cancel', 72, 74, 50, 14, 0x50010000),
    (9, 'button', 'Help', 132, 74, 50, 14, 0x50010000),
    (10, 'edit', '', 14, 43, 131, 12, 0x50810080),
    (0xFFFF, 'static', 'Enter the destination path:', 16, 25, 89, 8, 0x50020000),
]
CLASS_ORDINALS = {0x80: 'button', 0x81: 'edit', 0x82: 'static'}


class Reader:
    def __init__(self, data, pos=0):
        self.data, self.pos = data, pos

    def take(self, fmt):
        size = struct.calcsize(fmt)
        if self.pos + size > len(self.data):
            raise ValueError('data ends at %d, wanted %d more bytes' % (self.pos, size))
        vals = struct.unpack_from(fmt, self.data, self.pos)
        self.pos += size
        return vals if len(vals) > 1 else vals[0]

    def align(self, n=4):
        self.pos = (self.pos + n - 1) // n * n

    def sz(self):
        """A NUL-ended UTF-16 string."""
        chars = []
        while True:
            c = self.take('<H')
            if c == 0:
                return ''.join(chars)
            chars.append(chr(c))

    def sz_or_ord(self):
        """A string, or 0xFFFF followed by an ordinal (returned as int)."""
        first = self.take('<H')
        if first == 0xFFFF:
            return self.take('<H')
        if first == 0:
            return ''
        self.pos -= 2
        return self.sz()


def read_res(data):
    """{(type, name, language): bytes} of a .res file."""
    out = {}
    r = Reader(data)
    while r.pos < len(data):
        start = r.pos
        size, header_size = r.take('<II')
        if header_size < 32:
            raise ValueError('resource header at %d claims %d bytes' % (start, header_size))
        rtype = r.sz_or_ord()
        name = r.sz_or_ord()
        r.align()
        r.take('<IHHII')  # data version, memory flags, language, version, characteristics
        lang = struct.unpack_from('<H', data, r.pos - 10)[0]
        r.pos = start + header_size
        body = data[r.pos:r.pos + size]
        if len(body) != size:
            raise ValueError('resource at %d runs past the end' % start)
        r.pos += size
        r.align()
        if size == 0 and rtype == 0:
            continue  # the empty leading entry of every .res file
        out[(rtype, name, lang)] = body
    return out


def check_dialog(body, faults):
    r = Reader(body)
    style, ex_style, count, x, y, cx, cy = r.take('<IIHhhhh')
    if style == 0xFFFF0001:  # dlgVer 1, signature 0xFFFF: DLGTEMPLATEEX
        faults.append('dialog is a DIALOGEX template')
        return
    got = dict(style=style, ex_style=ex_style, x=x, y=y, cx=cx, cy=cy,
               menu=r.sz_or_ord(), cls=r.sz_or_ord(), caption=r.sz())
    if style & 0x40:  # DS_SETFONT
        got['point_size'] = r.take('<H')
        got['face'] = r.sz()
    for key, want in DIALOG.items():
        if got.get(key) != want:
            faults.append('dialog %s: %r, want %r' % (key, got.get(key), want))
    if count != len(CONTROLS):
        faults.append('dialog has %d controls, want %d' % (count, len(CONTROLS)))
    for i in range(count):
        r.align()
        c_style, c_ex, c_x, c_y, c_cx, c_cy, c_id = r.take('<IIhhhhH')
        c_cls = r.sz_or_ord()
        if isinstance(c_cls, int):
            c_cls = CLASS_ORDINALS.get(c_cls, 'ordinal 0x%x' % c_cls)
        c_text = r.sz_or_ord()
        extra = r.take('<H')
        r.pos += extra
        got_c = (c_id, c_cls.lower(), c_text, c_x, c_y, c_cx, c_cy, c_style)
        if i < len(CONTROLS) and got_c != CONTROLS[i]:
            show = lambda c: '%r style 0x%08X' % (c[:7], c[7])
            faults.append('control %d: %s, want %s' % (i + 1, show(got_c), show(CONTROLS[i])))
        if c_ex:
            faults.append('control %d has extended style 0x%x' % (i + 1, c_ex))
        if extra:
            faults.append('control %d has %d bytes of creation data' % (i + 1, extra))
    print('dialog 4: DIALOG template, style 0x%08X, %d controls checked' % (style, count))


def check_icon_image(body, what, faults):
    if len(body) < 40:
        faults.append('%s: %d bytes, too short for a bitmap header' % (what, len(body)))
        return
    hsize, w, h, planes, bits = struct.unpack_from('<IiiHH', body)
    if (hsize, w, h, planes, bits) != (40, 32, 64, 1, 4):
        faults.append('%s: header size %d, %d x %d, %d planes, %d bits; want 40, 32 x 64, 1, 4'
                      % (what, hsize, w, h, planes, bits))
        return
    want = 40 + 16 * 4 + 32 * 16 + 32 * 4
    if len(body) != want:
        faults.append('%s: %d bytes, want %d' % (what, len(body), want))
        return
    mask = body[40 + 64 + 512:]
    xor = body[40 + 64:40 + 64 + 512]
    if all(b == 0xFF for b in mask) or not any(xor):
        faults.append('%s: the image is empty' % what)


def check_icon(res, faults):
    groups = [(k, v) for k, v in res.items() if k[0] == RT_GROUP_ICON]
    if [k[1] for k, _ in groups] != [5]:
        faults.append('icon groups: %r, want one with id 5' % [k[1] for k, _ in groups])
        return
    body = groups[0][1]
    r = Reader(body)
    reserved, kind, count = r.take('<HHH')
    if (reserved, kind, count) != (0, 1, 1):
        faults.append('icon group header %r, want one icon' % ((reserved, kind, count),))
        return
    w, h, colours, _, planes, bits, size, icon_id = r.take('<BBBBHHIH')
    if (w, h, colours, planes, bits) != (32, 32, 16, 1, 4):
        faults.append('icon entry %d x %d, %d colours, %d planes, %d bits; want 32 x 32, 16, 1, 4'
                      % (w, h, colours, planes, bits))
    images = {k[1]: v for k, v in res.items() if k[0] == RT_ICON}
    if icon_id not in images:
        faults.append('icon group names image %d, which is missing' % icon_id)
        return
    if len(images[icon_id]) != size:
        faults.append('icon group gives %d bytes, image has %d' % (size, len(images[icon_id])))
    check_icon_image(images[icon_id], 'icon image', faults)
    print('icon 5: one 32 x 32 image, 16 colours, 4 bits per pixel')


def check_ico_file(faults):
    with open(os.path.join(RESOURCES, 'install.ico'), 'rb') as f:
        committed = f.read()
    with tempfile.TemporaryDirectory() as tmp:
        fresh = os.path.join(tmp, 'fresh.ico')
        subprocess.check_call([sys.executable, os.path.join(RESOURCES, 'make_icon.py'), fresh])
        with open(fresh, 'rb') as f:
            drawn = f.read()
    if drawn != committed:
        faults.append('resources/install.ico differs from what make_icon.py draws')
    if committed[:6] != b'\0\0\1\0\1\0':
        faults.append('install.ico does not hold exactly one icon image')
    else:
        size, offset = struct.unpack_from('<II', committed, 14)
        check_icon_image(committed[offset:offset + size], 'install.ico', faults)
    print('install.ico: same bytes as make_icon.py draws')
    sys.stdout.flush()


def main(argv):
    windres = os.environ.get('WINDRES', 'i686-w64-mingw32-windres')
    res_file = exe_file = None
    args = list(argv)
    while args:
        a = args.pop(0)
        if a == '--windres' and args:
            windres = args.pop(0)
        elif a == '--res' and args:
            res_file = args.pop(0)
        elif a == '--exe' and args:
            exe_file = args.pop(0)
        else:
            sys.stderr.write(__doc__)
            return 2
    faults = []
    check_ico_file(faults)
    with tempfile.TemporaryDirectory() as tmp:
        if exe_file is not None:
            res_file = os.path.join(tmp, 'linked.res')
            subprocess.check_call([windres, '-i', exe_file, '-O', 'res', '-o', res_file])
        elif res_file is None:
            res_file = os.path.join(tmp, 'install.res')
            subprocess.check_call([windres, '-O', 'res', '-I', RESOURCES,
                                   os.path.join(RESOURCES, 'install.rc'), '-o', res_file])
        with open(res_file, 'rb') as f:
            res = read_res(f.read())
    dialogs = [(k, v) for k, v in res.items() if k[0] == RT_DIALOG]
    if [k[1] for k, _ in dialogs] != [4]:
        faults.append('dialogs: %r, want one with id 4' % [k[1] for k, _ in dialogs])
    else:
        check_dialog(dialogs[0][1], faults)
    check_icon(res, faults)
    if faults:
        print('FAILED:')
        for f in faults:
            print('  ' + f)
        return 1
    print('resources OK')
    return 0


if __name__ == '__main__':
    try:
        sys.exit(main(sys.argv[1:]))
    except (subprocess.CalledProcessError, OSError, ValueError) as e:
        print('FAILED: %s' % e)
        sys.exit(1)
