#!/usr/bin/env python3
"""Writes the seed corpora of the container fuzzers: a few small sound
containers and damaged variants. The containers are built here from the
layout alone (header, table, directory, RC4-scrambled blocks), independently
of the library, so the seeds also cross-check the library's reader.

Usage: fuzz/make_minifile_corpus.py   (rewrites fuzz/corpus/container_reader/
and fuzz/corpus/minifile_write/)"""
import os
import struct
import zlib

ROOT = os.path.dirname(os.path.abspath(__file__))


def rc4(key, data):
    s = list(range(256))
    j = 0
    for i in range(256):
        j = (j + s[i] + key[i % len(key)]) & 0xFF
        s[i], s[j] = s[j], s[i]
    i = j = 0
    out = bytearray()
    for b in data:
        i = (i + 1) & 0xFF
        j = (j + s[i]) & 0xFF
        s[i], s[j] = s[j], s[i]
        out.append(b ^ s[(s[i] + s[j]) & 0xFF])
    return bytes(out)


def header(t, b, d, key, version=0x10000):
    h = bytearray(128)
    struct.pack_into("<IIII", h, 0, 0x5A65564B, version, 0, 0)
    h[16:32] = b"MiniFile Library"
    h[32:48] = key
    struct.pack_into("<III", h, 48, t, b, d)
    struct.pack_into("<I", h, 112, zlib.crc32(bytes(h[:112])) & 0xFFFFFFFF)
    return h


def container(t, b, d, streams, key=bytes(range(7, 23))):
    """streams: list of (name, payload); blocks taken in rising order."""
    table = [0] * t
    table[0], table[1] = 0xFFFF, 0xFFFE
    directory = bytearray(64 * d)
    data_offset = 128 + 2 * t + 64 * d
    body = bytearray()
    nxt = 2
    for slot, (name, payload) in enumerate(streams):
        blocks = list(range(nxt, nxt + (len(payload) + b - 1) // b))
        nxt += len(blocks)
        for k, blk in enumerate(blocks):
            table[blk] = blocks[k + 1] if k + 1 < len(blocks) else 0xFFFF
        e = 64 * slot
        directory[e:e + 2 * len(name)] = name.encode("utf-16-le")
        struct.pack_into("<IHQH", directory, e + 34, len(payload), blocks[0],
                         132000000000000000, 0x80)
        scrambled = rc4(key[:8], payload)
        for k, blk in enumerate(blocks):
            at = (blk - 2) * b
            piece = scrambled[k * b:(k + 1) * b]
            if len(body) < at + len(piece):
                body.extend(bytes(at + len(piece) - len(body)))
            body[at:at + len(piece)] = piece
    out = header(t, b, d, key) + struct.pack("<%dH" % t, *table) + directory + body
    assert len(out) == data_offset + len(body)
    return bytearray(out)


def payload(n, seed):
    return bytes((i * 31 + seed) & 0xFF for i in range(n))


def main():
    sound = container(16, 512, 4, [("ProgramList", payload(700, 1)),
                                   ("BlockList", payload(512, 2))])
    small = container(3, 512, 1, [("x", payload(40, 3))])
    seeds = {
        "sound": sound,
        "one_block": small,
        "header_only": header(32, 0x100000, 4, bytes(16)),
        "empty": bytearray(),
    }
    loop = bytearray(sound)
    struct.pack_into("<H", loop, 128 + 2 * 3, 2)          # 3 -> 2: a loop
    seeds["chain_loop"] = loop
    far = bytearray(sound)
    struct.pack_into("<H", far, 128 + 2 * 2, 0x1234)      # link beyond the table
    seeds["link_far"] = far
    cut = sound[:len(sound) - 100]                         # last block cut short
    seeds["cut"] = cut
    bad_crc = bytearray(sound)
    bad_crc[20] ^= 1
    seeds["bad_crc"] = bad_crc
    unterminated = bytearray(sound)
    d0 = 128 + 32
    unterminated[d0:d0 + 34] = ("A" * 17).encode("utf-16-le")
    seeds["name_unterminated"] = unterminated

    for corpus, prefix in (("container_reader", b""), ("minifile_write", None)):
        folder = os.path.join(ROOT, "corpus", corpus)
        os.makedirs(folder, exist_ok=True)
        for f in os.listdir(folder):
            os.remove(os.path.join(folder, f))
        for i, (name, blob) in enumerate(sorted(seeds.items())):
            # The write fuzzer takes two selector bytes (name, length) first.
            lead = prefix if prefix is not None else bytes([i & 3, (i * 5) & 0xFF])
            with open(os.path.join(folder, name), "wb") as fh:
                fh.write(lead + bytes(blob))


if __name__ == "__main__":
    main()
