#!/usr/bin/env bash
# Measures the real tool end to end next to zlib doing the same work in C,
# in the same run:
#   build    kivra -j 1 -p kivra FILE > arc (x86-64 and i386 builds), and
#            the same with -j N (N: the CPUs this process may run on)
#   extract  kivra -u -x -s arc > /dev/null (each build on its own archive; -s:
#            one decode, without the payload check before it)
#   zlib     bench/zlib_work: level 9 gzip of FILE, and decoding it again
# CPU time is user + sys of the best of REPS runs (default 3), peak memory
# the largest resident set seen; every extraction pauses 2 s by design, so
# wall time is shown with that pause taken out. Ratio = zlib CPU / kivra CPU
# (above 1: kivra is faster); i386/x86-64 = the i386 build's CPU / x86-64's.
# The -j N rows show wall time and CPU (all threads); their archives must
# equal those of -j 1. Binaries without -j (KIVRA_X86_64 and KIVRA_I386 of
# an older version) are measured without it.
#
#   scripts/bench.sh [FILE] [-n REPS]
#
# Without FILE it uses the generated corpus of kivra_bench (the same bytes
# on every machine). Builds what it needs (x86_64 and i386 presets). To
# measure other binaries of the tool (say, an older version) set
# KIVRA_X86_64 and KIVRA_I386 to their paths.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

file="" reps=3
while [ $# -gt 0 ]; do
  case "$1" in
    -n) reps=$2; shift 2 ;;
    -*) echo "usage: scripts/bench.sh [FILE] [-n REPS]" >&2; exit 2 ;;
    *) file=$1; shift ;;
  esac
done
[ -x /usr/bin/time ] || { echo "bench.sh: needs /usr/bin/time (Debian package: time)" >&2; exit 2; }

k64=${KIVRA_X86_64:-$root/build/x86_64/kivra} k32=${KIVRA_I386:-$root/build/i386/kivra}
zw=$root/build/x86_64/bench/zlib_work kb=$root/build/x86_64/bench/kivra_bench
for preset in x86_64 i386; do
  [ -f build/$preset/build.ninja ] || cmake --preset $preset -DKIVRA_TESTS=OFF >/dev/null
done
cmake --build --preset x86_64 --target kivra kivra_bench zlib_work >/dev/null
cmake --build --preset i386 --target kivra >/dev/null

tmp=$(mktemp -d /tmp/kivra-bench.XXXXXX)
trap 'rm -rf "$tmp"' EXIT
if [ -z "$file" ]; then
  file=$tmp/corpus
  "$kb" --write-corpus "$file"
  label="generated corpus"
else
  label=$file
fi
file=$(realpath "$file")

# run NAME OUT CMD...: best CPU, peak RSS and best wall of REPS runs of CMD
# with stdout to OUT; appends "NAME cpu rss wall" to $tmp/results.
run() {
  local name=$1 out=$2 cpu="" rss=0 wall=""
  shift 2
  for _ in $(seq "$reps"); do
    # bash's time gives CPU and wall time to the millisecond (the wrapper
    # around the command costs well under one); /usr/bin/time the peak memory.
    local TIMEFORMAT='%3U %3S %3R'
    { time /usr/bin/time -o "$tmp/m" -f "%M" "$@" >"$out" 2>"$tmp/err"; } 2>"$tmp/t" ||
      { echo "bench.sh: failed: $*" >&2; cat "$tmp/err" >&2; exit 1; }
    read -r u s e <"$tmp/t"
    m=$(tail -n 1 "$tmp/m")
    local c
    c=$(awk -v u="$u" -v s="$s" 'BEGIN { printf "%.3f", u + s }')
    if [ -z "$cpu" ] || awk -v a="$c" -v b="$cpu" 'BEGIN { exit !(a < b) }'; then cpu=$c; fi
    if [ -z "$wall" ] || awk -v a="$e" -v b="$wall" 'BEGIN { exit !(a < b) }'; then wall=$e; fi
    [ "$m" -gt "$rss" ] && rss=$m
  done
  echo "$name $cpu $rss $wall" >>"$tmp/results"
}

jobs=$(nproc)
# j1 BIN, jn BIN: the -j options of a one-thread and an N-thread build.
has_j() { case "$("$1" -h 2>&1 || true)" in *"-j N"*) return 0 ;; *) return 1 ;; esac; }
j1() { if has_j "$1"; then echo "-j 1"; fi; }
jn() { if has_j "$1"; then echo "-j $jobs"; fi; }
# one_decode BIN: -s where the extractor checks a payload before extracting
# it, so that extract rows time one decode, as zlib's row does.
one_decode() { case "$("$1" -u -h 2>&1 || true)" in *"-s: skip the payload check"*) echo "-s" ;; esac; }
# shellcheck disable=SC2046
run build64 "$tmp/arc64" "$k64" $(j1 "$k64") -p "$k64" "$file"
# shellcheck disable=SC2046
run build32 "$tmp/arc32" "$k32" $(j1 "$k32") -p "$k32" "$file"
# shellcheck disable=SC2046
run build64j "$tmp/arc64j" "$k64" $(jn "$k64") -p "$k64" "$file"
# shellcheck disable=SC2046
run build32j "$tmp/arc32j" "$k32" $(jn "$k32") -p "$k32" "$file"
run zlibc "$tmp/z.gz" "$zw" c "$file"
chmod +x "$tmp/arc64" "$tmp/arc32"
# shellcheck disable=SC2046
run extract64 /dev/null "$k64" -u -x $(one_decode "$k64") "$tmp/arc64"
# shellcheck disable=SC2046
run extract32 /dev/null "$k32" -u -x $(one_decode "$k32") "$tmp/arc32"
run zlibd /dev/null "$zw" d "$tmp/z.gz"

# The two builds must write the same payload; the preambles differ.
same=yes
cmp -s <(tail -c "+$(($(stat -c %s "$k64") + 1))" "$tmp/arc64") \
       <(tail -c "+$(($(stat -c %s "$k32") + 1))" "$tmp/arc32") || same=NO
samej=yes
cmp -s "$tmp/arc64" "$tmp/arc64j" && cmp -s "$tmp/arc32" "$tmp/arc32j" || samej=NO

awk -v label="$label" -v size="$(stat -c %s "$file")" -v reps="$reps" -v same="$same" -v samej="$samej" -v jobs="$jobs" \
    -v arc="$(stat -c %s "$tmp/arc64")" -v gz="$(stat -c %s "$tmp/z.gz")" '
  { cpu[$1] = $2; rss[$1] = $3; wall[$1] = $4 }
  function row(what, who, k, z, pause) {
    printf "| %-8s | %-12s | %8.3f | %8.3f | %6.2f | %8.1f | %8.3f |\n", what, who, cpu[k], cpu[z],
           cpu[z] / cpu[k], rss[k] / 1024, wall[k] - pause
  }
  END {
    printf "corpus: %s, %d bytes; best of %d runs; archive %d bytes, zlib %d bytes\n", label, size, reps, arc, gz
    printf "| work     | kivra build  | kivra s  | zlib s   | ratio  | peak MiB | wall s*  |\n"
    printf "|----------|--------------|----------|----------|--------|----------|----------|\n"
    row("build", "x86-64", "build64", "zlibc", 0)
    row("build", "x86-64 -j" jobs, "build64j", "zlibc", 0)
    row("build", "i386", "build32", "zlibc", 0)
    row("build", "i386 -j" jobs, "build32j", "zlibc", 0)
    row("extract", "x86-64", "extract64", "zlibd", 2)
    row("extract", "i386", "extract32", "zlibd", 2)
    printf "i386/x86-64 CPU: build %.2f, extract %.2f; zlib peak MiB: %.1f (build), %.1f (decode)\n",
           cpu["build32"] / cpu["build64"], cpu["extract32"] / cpu["extract64"], rss["zlibc"] / 1024, rss["zlibd"] / 1024
    printf "-j%d against -j1: x86-64 wall %.2f, CPU %.2f; i386 wall %.2f, CPU %.2f; archives identical: %s\n", jobs,
           wall["build64j"] / wall["build64"], cpu["build64j"] / cpu["build64"],
           wall["build32j"] / wall["build32"], cpu["build32j"] / cpu["build32"], samej
    printf "* wall time less the 2 s pause of every extraction; payloads of both builds identical: %s\n", same
  }' "$tmp/results"
