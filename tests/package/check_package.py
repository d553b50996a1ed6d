#!/usr/bin/env python3
"""Checks of the installed Windows tree and of programs linked against it.

  check_package.py OBJDUMP tree PREFIX
      the tree holds exactly the files a release ships; every binary in bin/
      is stripped and carries a GNU debug link whose name and CRC-32 are those
      of its file in debug/, which holds the debug information
  check_package.py OBJDUMP imports EXE...
      each EXE imports from trustlist.dll the six entry points by ordinal
      (8, 10, 11, 19, 20, 21) and none by name
Exit 0 when all holds; otherwise one line per problem and exit 1.
"""
import os
import re
import struct
import subprocess
import sys
import zlib

SHIPPED = {
    "bin/trustlist.dll", "bin/VeltrixClt.dll", "bin/trustctl.exe",
    "debug/trustlist.dll.debug", "debug/VeltrixClt.dll.debug", "debug/trustctl.exe.debug",
    "include/trustlist/trustlist.h", "lib/libtrustlist.dll.a", "lib/trustlist.lib",
    "lib/cmake/trustlist/trustlistConfig.cmake",
    "lib/cmake/trustlist/trustlistConfigVersion.cmake",
    "share/doc/trustlist/README.md", "share/doc/trustlist/caller.c",
}
ORDINALS = {8, 10, 11, 19, 20, 21}
problems = []


def objdump(tool, *args):
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True).stdout


def sections(tool, path):
    return set(re.findall(r"^\s*\d+\s+(\S+)\s", objdump(tool, "-h", path), re.M))


def debuglink(path):
    """(name, crc) of the .gnu_debuglink section, read from the PE section table."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 60)[0]
    count = struct.unpack_from("<H", data, pe + 6)[0]
    table = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
    # Names longer than 8 bytes are "/N": offset N in the COFF string table.
    symtab, nsyms = struct.unpack_from("<II", data, pe + 12)
    for i in range(count):
        raw_name, _, _, size, offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
        name = raw_name.rstrip(b"\0").decode()
        if name.startswith("/"):
            at = symtab + 18 * nsyms + int(name[1:])
            name = data[at: data.index(b"\0", at)].decode()
        if name == ".gnu_debuglink":
            body = data[offset: offset + size]
            end = body.index(b"\0")
            crc_at = (end + 4) & ~3
            return body[:end].decode(), struct.unpack_from("<I", body, crc_at)[0]
    return None


def check_tree(tool, prefix):
    found = set()
    for d, _, files in os.walk(prefix):
        for f in files:
            found.add(os.path.relpath(os.path.join(d, f), prefix).replace(os.sep, "/"))
    for f in sorted(SHIPPED - found):
        problems.append("missing: " + f)
    for f in sorted(found - SHIPPED):
        problems.append("not part of a release: " + f)
    for f in sorted(x for x in SHIPPED & found if x.startswith("bin/")):
        path = os.path.join(prefix, f)
        if any(s.startswith(".debug_") for s in sections(tool, path)):
            problems.append(f + ": debug sections left in")
        link = debuglink(path)
        debug = os.path.join(prefix, "debug", os.path.basename(f) + ".debug")
        if link is None:
            problems.append(f + ": no debug link")
        elif not os.path.exists(debug):
            problems.append(f + ": no debug file")
        else:
            if link[0] != os.path.basename(debug):
                problems.append("%s: debug link names %s" % (f, link[0]))
            if link[1] != zlib.crc32(open(debug, "rb").read()):
                problems.append(f + ": debug link CRC differs from its debug file")
            if ".debug_info" not in sections(tool, debug):
                problems.append(f + ": debug file without .debug_info")


def check_imports(tool, exe):
    text = objdump(tool, "-p", exe)
    block = re.search(r"DLL Name: trustlist\.dll\n(.*?)\n\s*\n", text, re.S)
    if block is None:
        problems.append(exe + ": does not import trustlist.dll")
        return
    ordinals, named = set(), []
    for line in block.group(1).splitlines()[1:]:
        fields = line.split()
        # An import by ordinal has the top bit of its thunk set and no name.
        if len(fields) >= 3 and fields[0].startswith("8000000000000") and fields[2] == "<none>":
            ordinals.add(int(fields[1], 16))
        elif fields:
            named.append(line.strip())
    if ordinals != ORDINALS:
        problems.append("%s: ordinals %s" % (exe, sorted(ordinals)))
    for n in named:
        problems.append("%s: imported by name: %s" % (exe, n))


def main(argv):
    tool, what, rest = argv[1], argv[2], argv[3:]
    if what == "tree":
        check_tree(tool, rest[0])
    else:
        for exe in rest:
            check_imports(tool, exe)
    for p in problems:
        print("problem:", p)
    print("%s: %s" % (what, "ok" if not problems else "%d problems" % len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
