#!/usr/bin/env python3
"""Differential run of two versions of the member decoder on damaged members.

    scripts/decode-diff.py OLD_TREE [NEW_TREE] [--arch x86_64|i386] [--flips N] [--seed S] [--sample FILE]

Each tree is a source checkout whose preset build (build/ARCH) holds the
codec and tool libraries. A small driver (below) is compiled against each:
it reads one gzip member on standard input and decodes it as the extractor
does (get_method, then unzip), with the portable fast loop when given an
argument. Members are made with Python's zlib at several levels and
strategies from pieces of SAMPLE (default: this tree's kivra binary) and
from made-up data with short literal codes; each is then cut short and
bit-flipped (anywhere, in the block headers at the front, and within the
last bytes before a cut). Every case runs through both versions and both
fast loops; exit status, output and standard error must agree. With
--flush-may-differ (versions whose output windows differ in size) the
output of a failing case may be cut at another flush point: one version's
output must then be a prefix of the other's. Prints the number of cases,
the differences and how the cases ended.
"""
import argparse, os, random, subprocess, sys, tempfile, zlib

DRIVER = r'''
#include <cstring>
#include "kivra.h"
#include "stream.h"
int main(int argc, char **argv) {
    static char name[] = "kivra";
    progname = name;
    std::strcpy(ifname, "in.gz");
    std::strcpy(ofname, "stdout");
    ifd = 0;
    ofd = 1;
    inflate_portable_only = argc > 1;
    if (get_method(0) != DEFLATED) return 2;
    return unzip(0, 1);
}
'''


def driver(tree, arch, tmp, tag):
    b = os.path.join(tree, 'build', arch)
    out = os.path.join(tmp, 'drv-' + tag)
    src = os.path.join(tmp, 'drv.cc')
    with open(src, 'w') as f:
        f.write(DRIVER)
    libs = [os.path.join(b, l) for l in ('libkivra_tool.a', 'libkivra_codec.a', 'libss.a', 'libkivra_progname.a')]
    inc = ['-I' + os.path.join(tree, d) for d in ('DistrUtil/kivra/codec', 'DistrUtil/kivra/tool', 'libsrc')]
    subprocess.run(['g++', '-std=c++20', '-O2', '-static'] + (['-m32'] if arch == 'i386' else []) + inc +
                   [src] + libs + ['-o', out], check=True)
    return out


def members(sample, rng):
    def gz(data, level, strategy=zlib.Z_DEFAULT_STRATEGY):
        c = zlib.compressobj(level, zlib.DEFLATED, 31, 9, strategy)
        return c.compress(data) + c.flush()
    out = []
    for k in range(3):
        size = min(len(sample), 60000 + 30000 * k)
        start = rng.randrange(0, len(sample) - size + 1)
        d = sample[start:start + size]
        out += [gz(d, 9), gz(d, 1), gz(d, 6, zlib.Z_HUFFMAN_ONLY), gz(d, 6, zlib.Z_RLE), gz(d, 9, zlib.Z_FIXED)]
    skew = bytes(rng.choice(b'aaaaaaaabbbbccd e') for _ in range(70000))
    out += [gz(skew, 9), gz(skew, 6, zlib.Z_HUFFMAN_ONLY), gz(rng.randbytes(40000), 9), gz(b'x' * 100000, 9)]
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument('old')
    ap.add_argument('new', nargs='?', default=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    ap.add_argument('--arch', default='x86_64')
    ap.add_argument('--flips', type=int, default=150)
    ap.add_argument('--seed', type=int, default=1)
    ap.add_argument('--sample')
    ap.add_argument('--flush-may-differ', action='store_true')
    a = ap.parse_args()
    rng = random.Random(a.seed)
    sample = open(a.sample or os.path.join(a.new, 'build', a.arch, 'kivra'), 'rb').read()
    with tempfile.TemporaryDirectory() as tmp:
        drv = [driver(a.old, a.arch, tmp, 'old'), driver(a.new, a.arch, tmp, 'new')]
        n = diffs = 0
        ends = {}

        def check(data, what):
            nonlocal n, diffs
            res = []
            for d in drv:
                for portable in (False, True):
                    r = subprocess.run([d] + (['p'] if portable else []), input=data, capture_output=True)
                    res.append((r.returncode, r.stdout, r.stderr))
            n += 1
            end = (res[0][0], res[0][2].decode(errors='replace').strip().split(': ')[-1])
            ends[end] = ends.get(end, 0) + 1
            def same(x, y):
                if x[0] != y[0] or x[2] != y[2]:
                    return False
                if x[1] == y[1]:
                    return True
                short, long_ = sorted((x[1], y[1]), key=len)
                return a.flush_may_differ and x[0] != 0 and long_.startswith(short)
            if any(not same(r, res[0]) for r in res):
                diffs += 1
                print('DIFFERENT:', what, [(r[0], r[2]) for r in res])

        for mi, m in enumerate(members(sample, rng)):
            size = len(m)
            check(m, f'member {mi} intact')
            for cut in sorted(set(rng.randrange(1, size) for _ in range(60)) | set(range(max(1, size - 12), size))):
                check(m[:cut], f'member {mi} cut at {cut}')
            for _ in range(a.flips):
                b = bytearray(m)
                r = rng.random()
                at = (rng.randrange(10, min(size - 8, 400)) if r < 0.4 else
                      rng.randrange(10, size - 8) if r < 0.8 else rng.randrange(max(10, size - 40), size))
                b[at] ^= 1 << rng.randrange(8)
                if rng.random() < 0.2:
                    b[rng.randrange(10, size)] ^= 1 << rng.randrange(8)
                check(bytes(b), f'member {mi} flipped at {at}')
                cut = rng.randrange(12, size)
                b = bytearray(m[:cut])
                at = rng.randrange(max(10, cut - 6), cut)
                b[at] ^= 1 << rng.randrange(8)
                check(bytes(b), f'member {mi} cut at {cut}, flipped at {at}')
    print(f'{a.arch}: {n} cases, {diffs} different')
    for end, count in sorted(ends.items(), key=lambda kv: -kv[1]):
        print(f'{count:6d}  status {end[0]}  {end[1]}')
    return 1 if diffs else 0


if __name__ == '__main__':
    sys.exit(main())
