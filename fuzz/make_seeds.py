#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is a small meaningful input: the example install script, real
Config Manager allocations, a Windows 95 machine with COM1, COM2 and LPT1,
class and device entries as a machine has them, a REGEDIT4 file.  The
census and numbering inputs use the ByteReader layout of fuzz_common.h:
flags and choices are single bytes, texts a length byte and the bytes.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("latin-1")
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def io_desc(base, end):
    return struct.pack("<IIHHHHHBBHHHHHBB", 32, 2, 1, 12, base, end, 0, 0, 3,
                       0xFFFF, 8, base, end, 0, 0, 3)


def other_desc(length=16, rtype=4):
    return struct.pack("<II", length, rtype) + b"\x07" * (length - 8)


def allocation(descs, version=0x400):
    return struct.pack("<II", version, 0x3000) + descs + struct.pack("<I", 0)


def text(s):
    if isinstance(s, str):
        s = s.encode("latin-1")
    assert len(s) <= 255
    return bytes([len(s)]) + s


REG_SZ, REG_BINARY = 0, 3  # indexes into the census's type choice


def device(ident, hw, port, driver, alloc, hw_terminated=True, port_terminated=True,
           driver_terminated=True):
    out = text(ident)
    out += b"\x01" + text(hw)                       # own hardware key text
    out += b"\x01" + bytes([REG_SZ]) + (b"\x01" if hw_terminated else b"\x00")
    out += b"\x01"                                  # make the hardware key
    if port is None:
        out += b"\x00"
    else:
        com = port.startswith("COM")
        out += b"\x01" + (b"\x01" if com else b"\x00") + text(port[3:] if com else port)
        out += bytes([REG_SZ]) + (b"\x01" if port_terminated else b"\x00")
    if driver is None:
        out += b"\x00"
    else:
        out += b"\x01" + bytes([REG_SZ]) + text(driver) + (b"\x01" if driver_terminated else b"\x00")
    if alloc is None:
        out += b"\x00"
    else:
        out += b"\x01" + bytes([REG_BINARY]) + text(alloc)
    return out


def main():
    # install scripts
    put("fuzz_script", "example.txt", "path=D:\\Redir\nsv1=ip:10.1.2.3:3001\nsv2=IPX:server1\n")
    put("fuzz_script", "crlf-ctrlz.txt",
        "PATH=C:\\Apps\r\nsv3=ipx:abc:def\r\nsv1=ipx:abc\r\nsv1=ip:host\r\n\x1asv4=ip:a:b\n")
    put("fuzz_script", "edges.txt",
        "pathway=C:\\X\nsv1 =ip:10.1.2.3:3001\nsv1= ip:1:2\nsv5=ip:1:2\nsv2=ip:10.1.2.3\n"
        "sv1=tcp:1:2\nsv4=ipx\npath C:\\Y\npath=\n")
    put("fuzz_script", "long-line.txt", "path=" + "A" * 145 + "\nsv2=ip:" + "9" * 120 + ":1")

    # allocations: first byte is the census index
    put("fuzz_allocation", "com1.bin", b"\x00" + allocation(io_desc(0x3F8, 0x3FF)))
    put("fuzz_allocation", "irq-then-io.bin",
        b"\x03" + allocation(other_desc(16, 4) + io_desc(0x2F8, 0x2FF)))
    put("fuzz_allocation", "version-500.bin", b"\x01" + allocation(io_desc(0x3F8, 0x3FF), 0x500))
    put("fuzz_allocation", "sixteen.bin", b"\x02" + struct.pack("<IIII", 0x400, 0x3000, 0, 0))
    put("fuzz_allocation", "short-io.bin", b"\x13" + allocation(b"")[:8] + struct.pack("<IIHH", 16, 2, 1, 12))
    put("fuzz_allocation", "four-byte-then-io.bin",
        b"\x00" + allocation(struct.pack("<I", 4) + io_desc(0x3E8, 0x3EF)))
    put("fuzz_allocation", "io-declares-eight.bin",
        b"\x01" + allocation(struct.pack("<II", 8, 2) + io_desc(0x2E8, 0x2EF)[8:]))

    # census machines
    com1 = device("C29A1D30", "BIOS\\*PNP0501\\0D", "COM1", "Ports\\0000", allocation(io_desc(0x3F8, 0x3FF)))
    com2 = device("C29A1E10", "BIOS\\*PNP0501\\0E", "COM2", "Ports\\0001", allocation(io_desc(0x2F8, 0x2FF)))
    lpt1 = device("C29A1F00", "BIOS\\*PNP0400\\0C", "LPT1", "Ports\\0002", allocation(io_desc(0x378, 0x37A)))
    put("fuzz_census", "com1-com2-lpt1.bin", bytes([3]) + com1 + com2 + lpt1)
    put("fuzz_census", "no-driver.bin",
        bytes([2]) + com1 + device("C29A2000", "ROOT\\X\\0000", "COM4", None, allocation(b"")))
    put("fuzz_census", "version-500.bin",
        bytes([1]) + device("C29A1D30", "BIOS\\*PNP0501\\0D", "COM3", "Ports\\0000",
                            allocation(io_desc(0x3E8, 0x3EF), 0x500)))
    many = b"".join(device("D%02d" % i, "ROOT\\P\\%02d" % i, "COM%d" % (i + 1), "Ports\\%04d" % i,
                           allocation(io_desc(0x100 + 8 * i, 0x107 + 8 * i))) for i in range(21))
    put("fuzz_census", "twenty-one.bin", bytes([21]) + many)
    put("fuzz_census", "long-names.bin",
        bytes([2]) + device("A" * 25, "H" * 99, "COM1" + "X" * 17, "D" * 31, allocation(b""), False, False)
        + device("B", "H" * 110, "COM7", "Ports\\0009", allocation(io_desc(0x3E8, 0x3EF))))
    put("fuzz_census", "full-buffers.bin",
        bytes([2]) + device("C", "H" * 100, "COM1" + "X" * 16, "D" * 30, allocation(io_desc(0x3E8, 0x3EF)),
                            False, False, False)
        + device("D", "BIOS\\D", "COM2", "Ports\\0001", allocation(struct.pack("<I", 4) + io_desc(0x2E8, 0x2EF))))

    # numbering: ports key exists?, resource, class names, port names
    def names(lst):
        return bytes([len(lst)]) + b"".join(text(n) for n in lst)
    put("fuzz_numbering", "gaps.bin", b"\x01\x00" + names(["0000", "0001", "0007"]) + names(["0001"]))
    put("fuzz_numbering", "no-ports-key.bin", b"\x00\x02" + names(["12abc", "x", "-5"]))
    put("fuzz_numbering", "long-name.bin", b"\x01\x04" + names(["0003", "N" * 21, "0009"]) + names(["0004", "0002"]))
    put("fuzz_numbering", "9999.bin", b"\x01\x06" + names(["9999"]) + names(["2147483647"]))

    # .reg files
    put("fuzz_regfile", "regedit4.reg",
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Enum\\Root\\Ports\\0000]\r\n"
        "\"Class\"=\"Ports\"\r\n\"ConfigFlags\"=hex:04,00,00,00\r\n\"Port\"=dword:00000004\r\n"
        "\"Q\"=\"a \\\"quoted\\\" \\\\ text\"\r\n@=\"default\"\r\n\r\n"
        "[HKEY_DYN_DATA\\Config Manager\\Enum\\C29A1D30]\r\n\"HardWareKey\"=\"BIOS\\\\*PNP0501\\\\0D\"\r\n"
        "\"Allocation\"=hex:00,04,00,00,00,30,00,00,\\\r\n  20,00,00,00,02,00,00,00\r\n"
        "\"M\"=hex(7):61,00,62,00,00\r\n\r\n[-HKEY_LOCAL_MACHINE\\Enum\\Root\\Ports\\0000]\r\n")
    put("fuzz_regfile", "regedit5.reg",
        ("\ufeffWindows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\A]\r\n"
         "\"v\"=\"x\"\r\n\"e\"=hex(2):25,00,00,00\r\n").encode("utf-16-le"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
