#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets into corpus/<target>/.

Valid streams come from Python's zlib module (raw DEFLATE, wrapped in gzip
member headers made here); the rest are made by hand with a small bit writer:
every block type, the decoder's error codes, empty codes, long codes that need
sub-tables, truncations and corrupted trailers, and archive files for the
trailer reader. Deterministic: running it again gives the same files.
Usage: fuzz/make_corpus.py  (from anywhere; writes next to this script)
"""
import os
import random
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
MAGIC = b"kivra+magik"


# ---- bit writer (LSB first, Huffman codes most significant bit first) ----------
class Bits:
    def __init__(self):
        self.acc = 0
        self.n = 0
        self.out = bytearray()

    def put(self, value, nbits):
        self.acc |= value << self.n
        self.n += nbits
        while self.n >= 8:
            self.out.append(self.acc & 0xFF)
            self.acc >>= 8
            self.n -= 8

    def code(self, c, length):
        self.put(int(format(c, "0%db" % length)[::-1], 2), length)

    def align(self):
        if self.n % 8:
            self.put(0, 8 - self.n % 8)

    def done(self):
        self.align()
        return bytes(self.out)


def canonical(lengths):
    """Codes of a canonical Huffman code: {symbol: (code, length)}."""
    maxlen = max(lengths + [0])
    count = [0] * (maxlen + 2)
    for l in lengths:
        if l:
            count[l] += 1
    nxt, code = [0] * (maxlen + 2), 0
    for bits in range(1, maxlen + 1):
        code = (code + count[bits - 1]) << 1 if bits > 1 else 0
        nxt[bits] = code
    codes = {}
    for s, l in enumerate(lengths):
        if l:
            codes[s] = (nxt[l], l)
            nxt[l] += 1
    return codes


BORDER = [16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15]


def fixed_lit(b, sym):
    if sym < 144:
        b.code(0x30 + sym, 8)
    elif sym < 256:
        b.code(0x190 + sym - 144, 9)
    elif sym < 280:
        b.code(sym - 256, 7)
    else:
        b.code(0xC0 + sym - 280, 8)


def dynamic_header(b, lit, dist, cl=None, cl_symbols=None, final=1):
    """Block header of a dynamic block. lit/dist: code lengths. The lengths are
    sent with a code-length code `cl` (19 lengths; default: 0..15 at 4 bits),
    as the symbol list `cl_symbols` (default: one symbol per length)."""
    if cl is None:
        cl = [4] * 16 + [0, 0, 0]
    b.put(final, 1)
    b.put(2, 2)
    b.put(len(lit) - 257, 5)
    b.put(len(dist) - 1, 5)
    b.put(19 - 4, 4)
    for s in BORDER:
        b.put(cl[s], 3)
    codes = canonical(cl)
    if cl_symbols is None:
        cl_symbols = [(l, None) for l in lit + dist]
    for sym, extra in cl_symbols:
        b.code(*codes[sym])
        if extra is not None:
            b.put(*extra)
    return canonical(lit), canonical(dist)


def stored_block(b, data, final=1, nlen=None):
    b.put(final, 1)
    b.put(0, 2)
    b.align()
    b.put(len(data), 16)
    b.put((~len(data) & 0xFFFF) if nlen is None else nlen, 16)
    for c in data:
        b.put(c, 8)


def raw_deflate(data, level=9, strategy=zlib.Z_DEFAULT_STRATEGY):
    c = zlib.compressobj(level, zlib.DEFLATED, -15, 9, strategy)
    return c.compress(data) + c.flush()


def member(body, data=b"", flags=0x08, name=b"payload.tar", magic2=0x8B, method=8,
           extra=b"", part=b"", comment=b"", mtime=1000000000, trailer=None):
    h = bytes([0x1F, magic2, method, flags]) + struct.pack("<I", mtime) + b"\x02\x03"
    if flags & 0x02:
        h += part
    if flags & 0x04:
        h += struct.pack("<H", len(extra)) + extra
    if flags & 0x08:
        h += name + b"\0"
    if flags & 0x10:
        h += comment + b"\0"
    if trailer is None:
        trailer = struct.pack("<II", zlib.crc32(data), len(data) & 0xFFFFFFFF)
    return h + body + trailer


# ---- hand-made DEFLATE streams: name -> bytes --------------------------------------
def handmade():
    s = {}

    b = Bits(); b.put(1, 1); b.put(3, 2); s["type3"] = b.done()
    b = Bits(); stored_block(b, b"hello", nlen=5); s["stored_bad_complement"] = b.done()
    b = Bits(); stored_block(b, b""); s["stored_empty"] = b.done()
    b = Bits(); stored_block(b, b"ab", final=0); stored_block(b, b"cd"); s["stored_two"] = b.done()

    b = Bits(); b.put(1, 1); b.put(1, 2); fixed_lit(b, 256); s["fixed_empty"] = b.done()
    b = Bits(); b.put(1, 1); b.put(1, 2); fixed_lit(b, 286); s["fixed_code286"] = b.done()
    b = Bits(); b.put(1, 1); b.put(1, 2); fixed_lit(b, ord("a")); fixed_lit(b, 257); b.code(30, 5)
    s["fixed_dist30"] = b.done()
    # Length 258 at distance 32768 before anything was written, then a copy
    # crossing the window end: window positions near 0 with far sources.
    b = Bits(); b.put(1, 1); b.put(1, 2)
    for _ in range(3):
        fixed_lit(b, 285); b.code(29, 5); b.put(8191, 13)
    fixed_lit(b, ord("x")); fixed_lit(b, 256)
    s["fixed_far_distance"] = b.done()
    # 'a' then length 10 at distance 1: the overlap repeats the last byte.
    b = Bits(); b.put(1, 1); b.put(1, 2); fixed_lit(b, ord("a")); fixed_lit(b, 264); b.code(0, 5)
    fixed_lit(b, 256); s["fixed_overlap"] = b.done()
    # 200 matches of 258 bytes: over 32768 bytes of output, several flushes.
    b = Bits(); b.put(1, 1); b.put(1, 2); fixed_lit(b, ord("q"))
    for _ in range(200):
        fixed_lit(b, 285); b.code(0, 5)
    fixed_lit(b, 256); s["fixed_window_wrap"] = b.done()

    b = Bits(); b.put(1, 1); b.put(2, 2); b.put(30, 5); b.put(0, 5); b.put(0, 4); b.put(0, 12)
    s["dyn_nl287"] = b.done()
    b = Bits(); b.put(1, 1); b.put(2, 2); b.put(0, 5); b.put(31, 5); b.put(0, 4); b.put(0, 12)
    s["dyn_nd32"] = b.done()
    # Code-length code over-subscribed: four codes of length 1.
    b = Bits(); b.put(1, 1); b.put(2, 2); b.put(0, 5); b.put(0, 5); b.put(0, 4); b.put(0o1111, 12)
    b.put(0, 16); s["dyn_cl_oversubscribed"] = b.done()
    # Code-length code with no codes at all: nothing to decode lengths with.
    b = Bits(); b.put(1, 1); b.put(2, 2); b.put(0, 5); b.put(0, 5); b.put(0, 4); b.put(0, 12)
    b.put(0xFFFF, 16); s["dyn_cl_empty"] = b.done()

    def lit_lens(pairs, n=257):
        l = [0] * n
        for sym, length in pairs:
            l[sym] = length
        return l

    # Small complete code: a, b, end, length 3 at 2 bits; one distance code of length 1.
    lit = lit_lens([(97, 2), (98, 2), (256, 2), (257, 2)], 258)
    b = Bits(); lc, dc = dynamic_header(b, lit, [1])
    for sym in (97, 98, 257):
        b.code(*lc[sym])
    b.code(*dc[0]); b.code(*lc[256]); s["dyn_small"] = b.done()
    # Same header, but the unused pattern of the one-code distance code occurs.
    b = Bits(); lc, dc = dynamic_header(b, lit, [1])
    b.code(*lc[97]); b.code(*lc[257]); b.code(1, 1); s["dyn_dist_free_pattern"] = b.done()
    # No distance codes while a length code occurs.
    b = Bits(); lc, dc = dynamic_header(b, lit, [0])
    b.code(*lc[97]); b.code(*lc[257]); b.put(0, 16); s["dyn_dist_empty"] = b.done()
    # No literal/length codes at all.
    b = Bits(); dynamic_header(b, [0] * 257, [1]); b.put(0, 16); s["dyn_lit_empty"] = b.done()
    # Incomplete literal code (1 + 1/2) and incomplete distance code (two of four).
    b = Bits(); dynamic_header(b, lit_lens([(97, 1), (256, 2)]), [1]); b.put(0, 8)
    s["dyn_lit_incomplete"] = b.done()
    b = Bits(); dynamic_header(b, lit, [2, 2]); b.put(0, 8); s["dyn_dist_incomplete"] = b.done()
    # Over-subscribed literal code: three codes of length 1.
    b = Bits(); dynamic_header(b, lit_lens([(97, 1), (98, 1), (256, 1)]), [1]); b.put(0, 8)
    s["dyn_lit_oversubscribed"] = b.done()
    # Repeat (16) as the very first code-length symbol, and a zero run (18)
    # running past the end of the lengths.
    cl = [4] * 15 + [0, 4, 0, 0]
    syms = ([(16, (3, 2))] + [(0, None)] * 91 + [(2, None)] * 2 + [(0, None)] * 157 + [(2, None)] * 2
            + [(1, None)])
    b = Bits(); lc, dc = dynamic_header(b, lit, [1], cl, syms)
    b.code(*lc[97]); b.code(*lc[256]); s["dyn_repeat_first"] = b.done()
    cl = [4] * 15 + [0, 0, 0, 4]
    syms = [(0, None)] * 250 + [(18, (127, 7))]
    b = Bits(); dynamic_header(b, [0] * 257, [1], cl, syms); b.put(0, 16); s["dyn_repeat_past_end"] = b.done()
    # Codes of 1 to 15 bits: first-level tables of 9 and 6 bits need sub-tables.
    lens = [0] * 286
    for i in range(14):
        lens[i] = i + 1
    lens[14] = 15
    lens[256] = 15
    b = Bits(); lc, dc = dynamic_header(b, lens, [2, 2, 2, 2])
    for sym in (0, 13, 14, 5, 256):
        b.code(*lc[sym])
    s["dyn_long_codes"] = b.done()
    return s


def zlib_streams():
    rnd = random.Random(1)
    text = b"".join(b"%d little sfx archives, %s\n" % (i, b"abc" * (i % 7)) for i in range(120))
    skewed = bytes(min(255, int(rnd.expovariate(0.08))) for _ in range(5000))
    big = b"".join(bytes([65 + (i * 7) % 26]) * (1 + i % 50) for i in range(4000))
    return {
        "text_dynamic": (text, raw_deflate(text)),
        "text_fixed": (text[:600], raw_deflate(text[:600], strategy=zlib.Z_FIXED)),
        "text_stored": (text[:700], raw_deflate(text[:700], level=0)),
        "skewed_long_codes": (skewed, raw_deflate(skewed)),
        "runs_over_window": (big, raw_deflate(big)),
        "empty": (b"", raw_deflate(b"")),
        "hello": (b"hello, world\n", raw_deflate(b"hello, world\n")),
    }


def member_corpus(streams, hand):
    m = {}
    for name, (data, body) in streams.items():
        m[name + ".gz"] = member(body, data)
    hello_data, hello_body = streams["hello"]
    hello = member(hello_body, hello_data)
    for name, body in hand.items():
        m["hand_" + name + ".gz"] = member(body, b"", trailer=b"\0" * 8)
    m["magic_9e.gz"] = member(hello_body, hello_data, magic2=0x9E)
    m["flags_all.gz"] = member(hello_body, hello_data, flags=0x1E, part=b"\x07\x00", extra=b"xtra!",
                               comment=b"a comment")
    m["flags_ignored_bits.gz"] = member(hello_body, hello_data, flags=0xE1)
    m["extra_empty.gz"] = member(hello_body, hello_data, flags=0x04)
    m["mtime_zero.gz"] = member(hello_body, hello_data, mtime=0)
    m["method7.gz"] = member(hello_body, hello_data, method=7)
    m["zip_local_header"] = b"PK\x03\x04\x14\x00\x00\x00\x08\x00" + b"\0" * 20
    m["plain_text"] = b"just some text, not compressed\n"
    m["empty_file"] = b""
    m["one_byte"] = b"\x1f"
    m["name_1023.gz"] = member(hello_body, hello_data, name=b"n" * 1023)
    m["name_1024.gz"] = member(hello_body, hello_data, name=b"n" * 1024)
    m["name_with_dirs.gz"] = member(hello_body, hello_data, name=b"../up/../../etc/x")
    m["crc_altered.gz"] = hello[:-8] + struct.pack("<II", zlib.crc32(hello_data) ^ 1, len(hello_data))
    m["length_altered.gz"] = hello[:-8] + struct.pack("<II", zlib.crc32(hello_data), len(hello_data) + 1)
    m["garbage_after.gz"] = hello + b"garbage after the trailer"
    m["two_members.gz"] = hello + hello
    for cut in (1, 5, 12, 20, len(hello) - 9, len(hello) - 4, len(hello) - 1):
        m["hello_cut_%02d.gz" % cut] = hello[:cut]
    dyn = m["text_dynamic.gz"]
    for pos in (30, 60, 100):
        m["text_dynamic_flip_%d.gz" % pos] = dyn[:pos] + bytes([dyn[pos] ^ 0x10]) + dyn[pos + 1:]
    return m


def inflate_corpus(streams, hand):
    c = {name: body for name, (_, body) in streams.items()}
    c.update(hand)
    body = streams["text_dynamic"][1]
    for cut in (3, len(body) // 2, len(body) - 1):
        c["text_dynamic_cut_%d" % cut] = body[:cut]
    c["text_dynamic_trailing"] = body + b"\xff\xfe trailing bytes"
    return c


def trailer_corpus():
    stub = b"\x7fELF" + bytes(range(60)) + b"stub code"
    strings = b"VFYFS=/tmp,FSSUB=qm,NAME=lnx.tar\0Product 1.0\0/tmp/init.qm\0cat > %p/%o\0"
    t = {}
    t["archive"] = stub + MAGIC + strings + b"\x1f\x8b\x08\x08payload"
    t["after_10000_zeros"] = b"\0" * 10000 + MAGIC + strings
    t["straddles_8191"] = b"s" * 8186 + MAGIC + strings + b"p" * 40
    t["k_before_magic"] = stub + b"kk" + MAGIC + strings
    t["restart_inside_magic"] = stub + b"kivra+kivra+magik" + strings
    t["two_magics"] = stub + MAGIC + b"first\0\0\0\0" + MAGIC + strings
    t["cut_in_comment"] = stub + MAGIC + b"F=1\0half a comm"
    t["empty_strings"] = stub + MAGIC + b"\0\0\0\0"
    t["magic_at_end"] = stub + MAGIC
    t["partial_magic_at_end"] = stub + MAGIC[:9]
    t["no_magic"] = stub * 3
    t["empty_file"] = b""
    t["string_1023"] = stub + MAGIC + b"f" * 1023 + b"\0c\0r\0p\0"
    t["string_1024"] = stub + MAGIC + b"f" * 1024 + b"\0c\0r\0p\0"
    t["string_1500_unterminated"] = stub + MAGIC + b"\0" + b"c" * 1500
    t["all_long_strings"] = stub + MAGIC + (b"w" * 1100 + b"\0") * 4 + b"payload"
    return t


def write_dir(target, files):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)  # other files there (crash reproducers) stay
    for name, data in sorted(files.items()):
        with open(os.path.join(d, name), "wb") as f:
            f.write(data)


def main():
    hand = handmade()
    streams = zlib_streams()
    # The hand-made valid streams must be what zlib itself accepts.
    for name in ("dyn_small", "dyn_long_codes", "fixed_overlap", "fixed_window_wrap",
                 "stored_two", "fixed_empty", "stored_empty"):
        d = zlib.decompressobj(-15)
        d.decompress(hand[name])
        assert d.eof and not d.unused_data, name
    write_dir("fuzz_member", member_corpus(streams, hand))
    write_dir("fuzz_inflate", inflate_corpus(streams, hand))
    write_dir("fuzz_trailer", trailer_corpus())


if __name__ == "__main__":
    main()
