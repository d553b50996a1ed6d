#!/usr/bin/env python3
"""A reader of trust list containers written from the format alone, sharing no
code with the library: it checks every byte that it can predict of what the DLL
stored, and the fingerprints and time stamps against the files themselves.

Usage:
  read_container.py CONTAINER STREAM programs FILE...   # entries added with caller -f
  read_container.py CONTAINER STREAM hashlist HASHLIST  # entries imported from a hash list
Exit 0 when everything matches; otherwise one line per mismatch and exit 1.
"""
import os
import struct
import sys
import time
import zlib

problems = []


def check(cond, what):
    if not cond:
        problems.append(what)
    return cond


def rc4(key, data):
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) & 0xFF
        s[i], s[j] = s[j], s[i]
    out = bytearray(len(data))
    i = j = 0
    for n, b in enumerate(data):
        i = (i + 1) & 0xFF
        j = (j + s[i]) & 0xFF
        s[i], s[j] = s[j], s[i]
        out[n] = b ^ s[(s[i] + s[j]) & 0xFF]
    return bytes(out)


def read_stream(path, name):
    raw = open(path, "rb").read()
    check(len(raw) >= 128, "file shorter than its header")
    magic, version = struct.unpack_from("<II", raw, 0)
    check(magic == 0x5A65564B, "header magic")
    check(version == 0x10000, "header version 0x%x" % version)
    check(raw[16:32] == b"MiniFile Library", "header text")
    check(struct.unpack_from("<I", raw, 112)[0] == zlib.crc32(raw[:112]), "header CRC")
    check(raw[8:16] == bytes(8) and raw[60:112] == bytes(52) and raw[116:128] == bytes(12),
          "header reserved bytes")
    t, b, d = struct.unpack_from("<III", raw, 48)
    check((t, b, d) == (32, 0x100000, 4), "geometry %r" % ((t, b, d),))
    table = struct.unpack_from("<%dH" % t, raw, 128)
    check(table[0] == 0xFFFF and table[1] == 0xFFFE, "table entries 0 and 1")
    dir_off = 128 + 2 * t
    data_off = dir_off + 64 * d
    found = None
    for e in range(d):
        entry = raw[dir_off + 64 * e: dir_off + 64 * (e + 1)]
        units = struct.unpack_from("<17H", entry, 0)
        check(units[16] == 0, "directory entry %d: 17th name unit" % e)
        text = "".join(chr(u) for u in units).split("\0")[0]
        flags = struct.unpack_from("<H", entry, 48)[0]
        if text and flags & 0x80 and text.lower() == name.lower():
            check(found is None, "two present entries named %s" % name)
            found = entry
            check(text == name, "stored name %r" % text)
            check(flags == 0x80 and entry[50:] == bytes(14), "entry flags and reserved bytes")
            when = struct.unpack_from("<Q", entry, 40)[0]
            unix = (when - 116444736000000000) / 1e7
            check(abs(unix - time.time()) < 3600, "entry time %d is not now" % when)
    if not check(found is not None, "no present stream %s" % name):
        return None
    size, first = struct.unpack_from("<IH", found, 34)
    stored = bytearray()
    block, seen = first, set()
    while block != 0xFFFF:
        if not check(2 <= block < t and block not in seen, "bad link %d" % block):
            return None
        seen.add(block)
        start = data_off + (block - 2) * b
        stored += raw[start: start + min(b, size - len(stored))]
        block = table[block]
    check(len(stored) == size, "chain holds %d of %d bytes" % (len(stored), size))
    check(len(seen) == (size + b - 1) // b, "chain length")
    return rc4(raw[32:40], bytes(stored))


def name_key(name):
    folded = "".join(c.lower() if "A" <= c <= "Z" else c for c in name)
    return zlib.crc32(folded.encode("utf-16-le")) if name else 0


def parse_blocks(payload):
    tag, count, blocks_size = struct.unpack_from("<HHI", payload, 0)
    check(tag == 48, "payload tag %d" % tag)
    check(payload[8:16] == bytes(8), "payload reserved bytes")
    check(len(payload) == 16 + blocks_size, "payload length")
    blocks, at = [], 16
    while at + 4 <= len(payload):
        size = struct.unpack_from("<I", payload, at)[0]
        if size == 0:
            break
        if not check(at + size <= len(payload), "block past the payload"):
            return []
        blocks.append(payload[at: at + size])
        at += size
    check(at == len(payload) - 4, "terminator position")
    check(count == len(blocks) & 0xFFFF, "block count %d of %d" % (count, len(blocks)))
    return blocks


def decode(block):
    size, kind = struct.unpack_from("<IH", block, 0)
    units = (size - 160) // 2
    check(size >= 160 and size % 2 == 0, "block size %d" % size)
    check(kind == 2, "kind %d" % kind)
    check(struct.unpack_from("<I", block, 8)[0] == 0x5A65564B, "block magic")
    check(struct.unpack_from("<I", block, 44)[0] == 0, "transient")
    check(struct.unpack_from("<H", block, 52)[0] == 152, "pool offset")
    check(block[size - 8: size] == bytes(8), "trailer")
    pool = block[152: 152 + 2 * units]

    def entry(off):
        n = struct.unpack_from("<H", pool, 2 * off)[0]
        check(struct.unpack_from("<H", pool, 2 * (off + 1 + n))[0] == 0, "entry terminator")
        return pool[2 * off + 2: 2 * off + 2 + 2 * n].decode("utf-16-le")

    name = entry(0)
    flags = struct.unpack_from("<I", block, 48)[0]
    out = {"name": name, "flags": flags, "size": size}
    check(struct.unpack_from("<Q", block, 24)[0] == name_key(name), "key of %s" % name)
    if flags & 0x10:
        out["text1"] = entry(struct.unpack_from("<H", block, 126)[0])
    if flags & 0x04:
        out["stamp"] = struct.unpack_from("<I", block, 56)[0]
    if flags & 0x80:
        out["fingerprint"] = struct.unpack_from("<Q", block, 72)[0]
    return out


def fingerprint(path):
    data = open(path, "rb").read()
    s = len(data)
    sample = data if s < 8192 else data[:4096] + data[-4096:]
    return ((s & 0xFFFFFFFF) << 32) | zlib.crc32(sample)


def link_stamp(path):
    data = open(path, "rb").read()
    if data[:2] != b"MZ" or len(data) < 64:
        return None
    off = struct.unpack_from("<i", data, 60)[0]
    if off < 0 or off + 12 > len(data) or data[off: off + 4] != b"PE\0\0":
        return None
    return struct.unpack_from("<I", data, off + 8)[0]


def main(argv):
    container, stream, mode, rest = argv[1], argv[2], argv[3], argv[4:]
    payload = read_stream(container, stream)
    if payload is None:
        return report()
    got = [decode(b) for b in parse_blocks(payload)]
    if mode == "programs":
        check(len(got) == len(rest), "%d entries for %d programs" % (len(got), len(rest)))
        for path, entry in zip(rest, got):
            want = os.path.basename(path) + "@*"
            check(entry["name"] == want, "name %r, expected %r" % (entry["name"], want))
            stamp = link_stamp(path)
            check(entry["flags"] == 0x90 | (0x04 if stamp is not None else 0),
                  "%s: flags 0x%x" % (want, entry["flags"]))
            check(entry.get("stamp") == stamp, "%s: time stamp" % want)
            check(entry.get("text1") == "added by caller", "%s: text1" % want)
            check(entry.get("fingerprint") == fingerprint(path), "%s: fingerprint" % want)
    else:
        pairs = []
        for line in open(rest[0]).read().splitlines():
            tokens = [t for t in line.split(" ") if t]
            if len(line) + 1 >= 4 and len(tokens) >= 2:
                size, crc = int(tokens[0], 16), int(tokens[1], 16)
                if (size, crc) in pairs:
                    pairs.remove((size, crc))
                pairs.append((size, crc))
        check(len(got) == len(pairs), "%d entries for %d pairs" % (len(got), len(pairs)))
        for (size, crc), entry in zip(pairs, got):
            want = "%08x%08x.*" % (size, crc)
            check(entry["name"] == want, "name %r, expected %r" % (entry["name"], want))
            check(entry["size"] == 200 and entry["flags"] == 0x80, "%s: size or flags" % want)
            check(entry.get("fingerprint") == (size << 32) | crc, "%s: fingerprint" % want)
    return report()


def report():
    for p in problems:
        print("mismatch:", p)
    print("independent reader: %s" % ("ok" if not problems else "%d mismatches" % len(problems)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
