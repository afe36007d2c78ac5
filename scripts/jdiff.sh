#!/usr/bin/env bash
# Differential check of the builder's threads: the archive of `kivra -j N`
# must be byte for byte the archive of `kivra -j 1`. Builds inputs that put
# the pieces' seams (KIVRA_CHUNK bytes apart, multiples of 32 KiB) inside
# long matches, inside stored blocks, in runs and periodic data, next to the
# end of the input and the window's slides, and compares every thread count
# of -t with every piece size of -c, plus several inputs in one archive.
#
#   scripts/jdiff.sh [-k KIVRA] [-t "2 3 8"] [-c "32768 98304 524288"] [FILE...]
#
# FILEs (say /tmp/corpus.tar) are compared as well, with the default piece
# size only. Exit status 0 when every archive matched, 1 otherwise.
set -euo pipefail
cd "$(dirname "$0")/.."

kivra=build/x86_64/kivra threads="2 3 8" chunks="32768 98304 524288"
while [ $# -gt 0 ]; do
  case "$1" in
    -k) kivra=$2; shift 2 ;;
    -t) threads=$2; shift 2 ;;
    -c) chunks=$2; shift 2 ;;
    -*) echo "usage: scripts/jdiff.sh [-k KIVRA] [-t THREADS] [-c CHUNKS] [FILE...]" >&2; exit 2 ;;
    *) break ;;
  esac
done
[ -x "$kivra" ] || cmake --build --preset x86_64 --target kivra >/dev/null
kivra=$(realpath "$kivra")

tmp=$(mktemp -d /tmp/kivra-jdiff.XXXXXX)
trap 'rm -rf "$tmp"' EXIT

python3 - "$tmp" <<'EOF'
import random, sys
d = sys.argv[1]
W = 32768
r = random.Random(17)
def text(n, seed):
    g = random.Random(seed)
    words = [b"the ", b"archive ", b"member ", b"window ", b"of ", b"and ", b"data\n", b"installer ",
             b"(C) ", b"version ", b"1.2.", b"#include <", b"stdio.h>\n"]
    out = bytearray()
    while len(out) < n:
        out += g.choice(words)
    return bytes(out[:n])
def rnd(n, seed):
    return random.Random(seed).randbytes(n)
cases = {
    "empty": b"",
    "one-byte": b"x",
    "run-3M": b"a" * 3000000,
    "zeros-2M+1": bytes(2 * 1024 * 1024 + 1),
    "period-7": (b"abcdefg" * 400000),
    "period-1000": (rnd(1000, 1) * 2000),
    "period-40000": (rnd(40000, 2) * 60),
    "random-1M": rnd(1 << 20, 3),
    "text-5M": text(5 << 20, 4),
}
# Long matches across every seam: text with a run or a repeat of 20 KiB
# centred on each multiple of 32 KiB.
t = bytearray(text(4 << 20, 5))
for k in range(1, len(t) // W):
    s = k * W - 10000
    if k % 2:
        t[s:s + 20000] = bytes([k & 0xff]) * 20000
    else:
        t[s:s + 20000] = t[s - 30000:s - 10000]
cases["matches-over-seams"] = bytes(t)
# Stored blocks over every seam: random stretches of 40 KiB centred on them.
t = bytearray(text(3 << 20, 6))
for k in range(1, len(t) // W):
    t[k * W - 20000:k * W + 20000] = rnd(40000, k)
cases["stored-over-seams"] = bytes(t)
# Ends near the pieces' minimum, the first slide and the last bytes of the
# window (where the one-thread parse slides once more at the end).
for n in (2 * W, 2 * W + 1, 2 * W + 300, 3 * W - 1, 3 * W + 65274 - 2 * W, 5 * W + 65300 - 2 * W, 9 * W + 100):
    cases["text-%d" % n] = text(n, n)
    cases["mixed-%d" % n] = bytes(b ^ (i % 3 == 0) for i, b in enumerate(text(n, n)))[: n // 2] + rnd(n - n // 2, n)
for name, data in cases.items():
    open(d + "/" + name, "wb").write(data)
EOF

fail=0 count=0
# check LABEL ENV... -- INPUTS...: -j 1 against every -j of $threads.
check() {
  local label=$1; shift
  local envs=()
  while [ "$1" != "--" ]; do envs+=("$1"); shift; done
  shift
  env "${envs[@]}" "$kivra" -j 1 -p /bin/true "$@" >"$tmp/ref"
  for j in $threads; do
    env "${envs[@]}" "$kivra" -j "$j" -p /bin/true "$@" >"$tmp/out"
    count=$((count + 1))
    if ! cmp -s "$tmp/ref" "$tmp/out"; then
      echo "DIFFERS: $label -j $j"
      fail=1
    fi
  done
}

for f in "$tmp"/*; do
  case "$f" in */ref | */out) continue ;; esac
  for c in $chunks; do check "$(basename "$f") chunk $c" KIVRA_CHUNK="$c" -- "$f"; done
done
for c in $chunks; do
  check "several inputs chunk $c" KIVRA_CHUNK="$c" -- "$tmp/one-byte" "$tmp/text-5M" "$tmp/empty" \
    "$tmp/random-1M" "$tmp/text-65536" "$tmp/matches-over-seams"
done
for f in "$@"; do check "$f" -- "$f"; done

echo "jdiff: $count archives compared with -j 1, threads $threads, pieces of $chunks bytes: $([ $fail = 0 ] && echo all identical || echo DIFFERENCES)"
exit $fail
