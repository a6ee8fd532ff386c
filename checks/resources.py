#!/usr/bin/env python3
"""Checks install.exe's resources byte by byte.

Compiles resources/install.rc to a .res file with windres and checks the
destination-path dialog (id 4) and the icon (id 5) against the values the
program needs, the manifest (id 1: what it asks of Windows, and that it is
the form Windows XP SP2 and Server 2003 accept) and the version
information (id 1); also checks that resources/install.ico is what
resources/make_icon.py draws.  Prints what it checked; exits 1 on the
first list of faults.

    python3 checks/resources.py [--windres PROGRAM] [--res FILE.res | --exe FILE.exe]

--res checks an already compiled file instead of compiling; --exe checks
the resources linked into a program (read back with windres).
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import xml.etree.ElementTree as ElementTree

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RESOURCES = os.path.join(ROOT, 'resources')

RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 14, 16, 24

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

ASM_V1 = 'urn:schemas-microsoft-com:asm.v1'
ASM_V3 = 'urn:schemas-microsoft-com:asm.v3'
# Every element the manifest may hold: the assembly, and the trustInfo
# that asks for administrator rights.  Anything else (supportedOS,
# dependencies such as common controls 6) changes what Windows does for
# the program.
MANIFEST_ELEMENTS = ['{%s}assembly' % ASM_V1, '{%s}trustInfo' % ASM_V3, '{%s}security' % ASM_V3,
                     '{%s}requestedPrivileges' % ASM_V3, '{%s}requestedExecutionLevel' % ASM_V3]
VERSION_STRINGS = dict(CompanyName='Quorbelle', ProductName='Quorbelle Redirector',
                       FileDescription='Quorbelle Redirector Setup', FileVersion='1.0',
                       ProductVersion='1.0', OriginalFilename='install.exe')


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


def check_manifest(res, faults):
    manifests = [(k, v) for k, v in res.items() if k[0] == RT_MANIFEST]
    if [k[1] for k, _ in manifests] != [1]:
        faults.append('manifests: %r, want one with id 1' % [k[1] for k, _ in manifests])
        return
    body = manifests[0][1]
    with open(os.path.join(RESOURCES, 'install.manifest'), 'rb') as f:
        if body != f.read():
            faults.append('the linked manifest is not resources/install.manifest')
    # Windows XP SP2 and Server 2003 before SP1 restart when a tag declares
    # two namespaces (KB921337); XP stops a program whose trustInfo has
    # none ("the application configuration is incorrect").
    text = body.decode('utf-8')
    for tag in re.findall(r'<[A-Za-z][^>]*>', text):
        if len(re.findall(r'\sxmlns(?::\w+)?=', tag)) > 1:
            faults.append('manifest: a tag declares two namespaces: %s' % tag)
    if not re.search(r'<trustInfo\s+xmlns="%s"' % re.escape(ASM_V3), text):
        faults.append('manifest: trustInfo does not declare %s on itself' % ASM_V3)
    try:
        root = ElementTree.fromstring(body)
    except ElementTree.ParseError as e:
        faults.append('manifest: not well-formed XML: %s' % e)
        return
    seen = [e.tag for e in root.iter()]
    if seen != MANIFEST_ELEMENTS:
        faults.append('manifest elements %r, want %r' % (seen, MANIFEST_ELEMENTS))
    if root.get('manifestVersion') != '1.0':
        faults.append('manifest: manifestVersion %r, want 1.0' % root.get('manifestVersion'))
    level = root.find('.//{%s}requestedExecutionLevel' % ASM_V3)
    if level is None or level.attrib != {'level': 'requireAdministrator', 'uiAccess': 'false'}:
        faults.append('manifest: requestedExecutionLevel %r, want requireAdministrator'
                      % (level.attrib if level is not None else None))
    print('manifest 1: requireAdministrator in the asm.v3 trustInfo, nothing else')


def version_strings(body):
    """{name: text} of the StringFileInfo blocks of a VS_VERSIONINFO, and
    its fixed part's (signature, file version, product version)."""
    def node(pos):
        length, value_len, kind = struct.unpack_from('<HHH', body, pos)
        r = Reader(body, pos + 6)
        key = r.sz()
        r.align()
        return length, value_len, kind, key, r.pos
    length, value_len, _, key, pos = node(0)
    if key != 'VS_VERSION_INFO' or value_len != 52:
        raise ValueError('version resource: key %r, fixed part of %d bytes' % (key, value_len))
    sig, _, fv_ms, fv_ls, pv_ms, pv_ls = struct.unpack_from('<IIIIII', body, pos)
    fixed = (sig, (fv_ms >> 16, fv_ms & 0xFFFF, fv_ls >> 16, fv_ls & 0xFFFF),
             (pv_ms >> 16, pv_ms & 0xFFFF, pv_ls >> 16, pv_ls & 0xFFFF))
    strings = {}

    def walk(pos, end, depth):
        while pos < end:
            n_len, n_value, kind, n_key, data = node(pos)
            if n_len == 0:
                break
            if depth == 2 and kind == 1:  # a text value
                strings[n_key] = Reader(body, data).sz()
            elif depth < 2 and n_key not in ('VarFileInfo',):
                walk(data + (n_value * (2 if kind == 1 else 1) + 3) // 4 * 4, pos + n_len, depth + 1)
            pos = (pos + n_len + 3) // 4 * 4
    walk((pos + value_len + 3) // 4 * 4, length, 0)
    return fixed, strings


def check_version(res, faults):
    versions = [(k, v) for k, v in res.items() if k[0] == RT_VERSION]
    if [k[1] for k, _ in versions] != [1]:
        faults.append('version resources: %r, want one with id 1' % [k[1] for k, _ in versions])
        return
    (sig, file_version, product_version), strings = version_strings(versions[0][1])
    if (sig, file_version, product_version) != (0xFEEF04BD, (1, 0, 0, 0), (1, 0, 0, 0)):
        faults.append('version: signature 0x%X, file %r, product %r; want 1.0.0.0 both'
                      % (sig, file_version, product_version))
    for name, want in VERSION_STRINGS.items():
        if strings.get(name) != want:
            faults.append('version: %s is %r, want %r' % (name, strings.get(name), want))
    print('version 1: %s' % ', '.join('%s "%s"' % kv for kv in sorted(strings.items())))


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
    check_manifest(res, faults)
    check_version(res, faults)
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
