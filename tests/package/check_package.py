#!/usr/bin/env python3
"""Checks of the installed Windows tree and of programs linked against it.

  check_package.py OBJDUMP tree PREFIX
      the tree holds exactly the files a release ships; every binary of ours
      in bin/ is stripped and carries a GNU debug link whose name and CRC-32
      are those of its file in debug/, which holds the debug information;
      every DLL a PE file of bin/ imports is a system DLL or is in bin/ (the
      DLLs trustctl.exe needs ship beside it: libgcrypt's)
  check_package.py OBJDUMP imports EXE...
      each EXE imports from trustlist.dll the six entry points by ordinal
      (8, 10, 11, 19, 20, 21) and none by name
  check_package.py OBJDUMP pdb PREFIX PDBUTIL SOURCE_ROOT
      every binary in bin/ carries one CodeView (RSDS) record naming NAME.pdb
      without a path; debug/NAME.pdb and the one symbol-store copy
      symbols/NAME.pdb/<GUID><AGE>/NAME.pdb are that file, byte for byte;
      llvm-pdbutil reads in it the record's GUID and age, and finds every
      function the binary's .def exports (trustctl.exe: wmain) as a public
      symbol and as a procedure with debug information (binaries of ours;
      libgcrypt's DLLs come as Debian builds them)
Exit 0 when all holds; otherwise one line per problem and exit 1.
"""
import os
import re
import struct
import subprocess
import sys
import zlib

# The DLLs trustctl.exe imports, shipped beside it as Debian's MinGW packages
# build them (cmake/gcrypt.cmake): not stripped or given PDBs here.
BESIDE = {"bin/libgcrypt-20.dll", "bin/libgpg-error-0.dll"}
# What a PE file of the package may import besides the DLLs in bin/.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "user32.dll", "msvcrt.dll", "ucrtbase.dll",
               "ntdll.dll", "ws2_32.dll"}
SHIPPED = BESIDE | {
    "bin/trustlist.dll", "bin/VeltrixClt.dll", "bin/trustctl.exe",
    "debug/trustlist.dll.debug", "debug/VeltrixClt.dll.debug", "debug/trustctl.exe.debug",
    "debug/trustlist.pdb", "debug/VeltrixClt.pdb", "debug/trustctl.pdb",
    "include/trustlist/trustlist.h", "lib/libtrustlist.dll.a", "lib/trustlist.lib",
    "lib/cmake/trustlist/trustlistConfig.cmake",
    "lib/cmake/trustlist/trustlistConfigVersion.cmake",
    "share/doc/trustlist/README.md", "share/doc/trustlist/caller.c",
    "share/doc/trustlist/docs/sdk.md", "share/doc/trustlist/docs/trustctl.md",
    "share/doc/trustlist/docs/formats.md", "share/doc/trustlist/docs/safety.md",
    "share/doc/trustlist/docs/figures.md",
    "share/doc/trustlist/examples/fleet/linux.yml",
    "share/doc/trustlist/examples/fleet/windows.yml",
    "share/doc/trustlist/examples/fleet/programs.jsonl",
    "share/doc/trustlist/examples/fleet/programs.jsonl.sig",
    "share/doc/trustlist/examples/fleet/allowed_signers",
}
# A link of a shipped page: [text](target), the target relative unless it
# names a scheme.
LINK = re.compile(r"\]\(([^)\s#]+)(#[^)]*)?\)")
# symbols/NAME.pdb/<32 hex digits of GUID><age in hex>/NAME.pdb, as symstore
# lays a PDB out.
SYMBOL_STORE = re.compile(r"^symbols/([^/]+\.pdb)/([0-9A-F]{32}[0-9A-F]+)/\1$")
# Where the exported functions of each binary are named.
EXPORTS = {
    "trustlist.dll": "src/entry/win32/trustlist.def",
    "VeltrixClt.dll": "tools/client/VeltrixClt.def",
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
        if not SYMBOL_STORE.match(f):
            problems.append("not part of a release: " + f)
    # Every page's relative links lead to something the package holds.
    for f in sorted(x for x in found if x.endswith(".md")):
        with open(os.path.join(prefix, f), encoding="utf-8") as page:
            for target, _ in LINK.findall(page.read()):
                if "://" in target or target.startswith("mailto:"):
                    continue
                at = os.path.normpath(os.path.join(os.path.dirname(os.path.join(prefix, f)), target))
                if not os.path.exists(at):
                    problems.append("%s: link to %s leads nowhere in the package" % (f, target))
    check_imports_shipped(tool, prefix, found)
    for f in sorted(x for x in SHIPPED & found if x.startswith("bin/") and x not in BESIDE):
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


def check_imports_shipped(tool, prefix, found):
    """Every PE file of bin/ finds each DLL it imports: a system DLL or one in bin/."""
    in_bin = {os.path.basename(f).lower() for f in found if f.startswith("bin/")}
    for f in sorted(x for x in found if x.startswith("bin/") and x.endswith((".dll", ".exe"))):
        for dll in re.findall(r"DLL Name: (\S+)", objdump(tool, "-p", os.path.join(prefix, f))):
            name = dll.lower()
            if name not in SYSTEM_DLLS and name not in in_bin and \
                    not name.startswith("api-ms-win-"):
                problems.append("%s imports %s, which the package does not hold" % (f, dll))


def codeview(path):
    """[(guid bytes, age, name)] of the CodeView records in the debug directory."""
    data = open(path, "rb").read()
    pe = struct.unpack_from("<I", data, 60)[0]
    count, optional_size = struct.unpack_from("<H", data, pe + 6)[0], \
        struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x20B:
        return []
    rva, size = struct.unpack_from("<II", data, optional + 112 + 6 * 8)
    table = optional + optional_size
    records = []
    for i in range(count):
        vsize, vaddr, _, raw = struct.unpack_from("<IIII", data, table + 40 * i + 8)
        if vaddr <= rva < vaddr + vsize:
            at = raw + rva - vaddr
            for e in range(size // 28):
                # Characteristics, time stamp, version (2 x 2), type, size,
                # address, file offset.
                _, _, _, _, kind, length, _, pointer = struct.unpack_from(
                    "<IIHHIIII", data, at + 28 * e)
                if kind == 2:
                    body = data[pointer: pointer + length]
                    if body[:4] == b"RSDS":
                        name = body[24: body.index(b"\0", 24)].decode()
                        records.append((body[4:20], struct.unpack_from("<I", body, 20)[0], name))
                    else:
                        records.append((None, None, None))
    return records


def guid_text(raw):
    """The symbol-store spelling of a GUID: fields 1-3 as numbers, then the bytes."""
    d1, d2, d3 = struct.unpack_from("<IHH", raw)
    return "%08X%04X%04X%s" % (d1, d2, d3, raw[8:].hex().upper())


def exported_functions(root, binary):
    """The functions behind a binary's exports: `Name @n` or `Alias = Function @n`."""
    if binary not in EXPORTS:
        return {"wmain"}
    names = set()
    in_exports = False
    for line in open(os.path.join(root, EXPORTS[binary])):
        line = line.split(";")[0].strip()
        if line == "EXPORTS":
            in_exports = True
        elif in_exports and line:
            names.add(line.split("@")[0].split("=")[-1].strip())
    return names


def check_pdbs(prefix, pdbutil, root):
    guids = set()
    for binary in sorted(os.listdir(os.path.join(prefix, "bin"))):
        if "bin/" + binary in BESIDE:
            continue
        records = codeview(os.path.join(prefix, "bin", binary))
        if len(records) != 1 or records[0][0] is None:
            problems.append("%s: %d CodeView records, not one RSDS" % (binary, len(records)))
            continue
        raw, age, name = records[0]
        stem = os.path.splitext(binary)[0]
        if name != stem + ".pdb":
            problems.append("%s: CodeView record names %r" % (binary, name))
            continue
        guids.add(raw)
        pdb = os.path.join(prefix, "debug", name)
        if not os.path.exists(pdb):
            problems.append(binary + ": no " + pdb)
            continue
        store = os.path.join(prefix, "symbols", name)
        folders = sorted(os.listdir(store)) if os.path.isdir(store) else []
        wanted = "%s%X" % (guid_text(raw), age)
        if folders != [wanted]:
            problems.append("%s: symbol store holds %s, not %s" % (binary, folders, wanted))
        elif open(os.path.join(store, wanted, name), "rb").read() != open(pdb, "rb").read():
            problems.append(binary + ": the symbol-store copy differs from debug/" + name)
        summary = subprocess.run([pdbutil, "dump", "--summary", pdb], check=True,
                                 capture_output=True, text=True).stdout
        m = re.search(r"GUID: \{([0-9A-F-]+)\}.*?", summary)
        a = re.search(r"^\s*Age: (\d+)", summary, re.M)
        if m is None or m.group(1).replace("-", "") != guid_text(raw):
            problems.append("%s: PDB GUID %s, record %s" % (binary, m and m.group(1), guid_text(raw)))
        if a is None or int(a.group(1)) != age:
            problems.append("%s: PDB age %s, record %d" % (binary, a and a.group(1), age))
        dump = subprocess.run([pdbutil, "dump", "--publics", "--symbols", pdb], check=True,
                              capture_output=True, text=True).stdout
        publics = set(re.findall(r"S_PUB32 \[[^]]*\] `([^`]+)`", dump))
        procedures = set(re.findall(r"S_[GL]PROC32 \[[^]]*\] `([^`]+)`", dump))
        for f in sorted(exported_functions(root, binary)):
            if f not in publics:
                problems.append("%s: %s is no public symbol of %s" % (binary, f, name))
            if f not in procedures:
                problems.append("%s: %s has no debug information in %s" % (binary, f, name))
    if len(guids) != 3:
        problems.append("%d distinct PDB GUIDs for 3 binaries" % len(guids))


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
    elif what == "pdb":
        check_pdbs(*rest)
    else:
        for exe in rest:
            check_imports(tool, exe)
    for p in problems:
        print("problem:", p)
    print("%s: %s" % (what, "ok" if not problems else "%d problems" % len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
