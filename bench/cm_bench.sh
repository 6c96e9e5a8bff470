#!/usr/bin/env bash
# Decode speed (MB/s, wall clock and thread CPU time) of the context-mixing engine per profile
# at levels 1, 4 and 9 on real text and binary data, with each level's model memory (computed,
# and the measured peak of the decode). Builds its own optimised program.
#   bench/cm_bench.sh [MiB per input, default 3] [levels, default 1,4,9]
# With --base REV it builds the engine of that git revision beside the working tree's and
# times both on the same streams (written by the base's encoder) in paired rounds, in
# alternating order; per row it prints the median thread-CPU MB/s of each and the median of
# the per-round ratios. Every decode is checked against the input. Two more columns split the
# thread CPU time: the ratio of user-mode time alone (the engine's own work) and the share of
# the base's time spent in the kernel (mostly the first touch of the model's tables, which
# the level's memory fixes and both builds pay alike).
#   bench/cm_bench.sh --base REV [--rounds N, default 3] [--profiles 1,2,3] [MiB] [levels]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
base=""
rounds=3
profiles="1,2,3"
while [ $# -gt 0 ]; do
  case "$1" in
    --base) base="$2"; shift 2 ;;
    --rounds) rounds="$2"; shift 2 ;;
    --profiles) profiles="$2"; shift 2 ;;
    *) break ;;
  esac
done
mib="${1:-3}"
levels="${2:-1,4,9}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# Real text: the C++ standard library headers; real binary: an executable of the system.
# (head ends the pipe early on purpose.)
{ find /usr/include/c++ -type f -name '*.h' -print0 | sort -z | xargs -0 cat; } 2>/dev/null |
  head -c "$((mib << 20))" >"$work/text" || true
bin="$(command -v cmake || command -v g++ || echo /bin/bash)"
bin="$(readlink -f "$bin")"
head -c "$((mib << 20))" "$bin" >"$work/binary"

# build <engine tree> <output>: the bench driver of the working tree over an engine's sources.
build() {
  g++ -std=c++23 -O3 -DNDEBUG -I"$1/engine/src" -I"$1/tests/engine" \
    "$root/bench/cm_bench.cpp" "$1/tests/engine/cm_encoder.cpp" "$1"/engine/src/*.cpp \
    -o "$2" -pthread
}

echo "text: C++ headers, $(stat -c %s "$work/text") bytes; binary: $bin, $(stat -c %s "$work/binary") bytes"
if [ -z "$base" ]; then
  build "$root" "$work/cm_bench"
  "$work/cm_bench" text="$work/text" binary="$work/binary" --levels "$levels"
  exit 0
fi

mkdir "$work/base"
git -C "$root" archive "$base" engine/src tests/engine/cm_encoder.h tests/engine/cm_encoder.cpp |
  tar -x -C "$work/base"
build "$work/base" "$work/bench_base"
build "$root" "$work/bench_new"

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
load() { cut -d' ' -f1-3 /proc/loadavg; }

echo "base: $(git -C "$root" rev-parse --short "$base"); new: working tree; $rounds paired rounds, thread CPU time"
echo "machine: $(nproc) cores, load average $(load) at the start"
printf '%-7s %7s %5s %10s %10s %7s %13s %9s %10s %10s\n' input profile level "base MB/s" "new MB/s" ratio "ratio range" \
  "cpu/wall" "user ratio" "base sys"
for level in ${levels//,/ }; do
  for profile in ${profiles//,/ }; do
    for input in text binary; do
      "$work/bench_base" --encode "$profile" "$level" "$work/$input" "$work/stream"
      bytes="$(stat -c %s "$work/$input")"
      : >"$work/rows"
      for r in $(seq "$rounds"); do
        # Alternate which build goes first, so that a drift in the machine's load hits both.
        order="base new"
        [ $((r % 2)) -eq 0 ] && order="new base"
        for who in $order; do
          read -r cpu wall user < <("$work/bench_$who" --decode "$work/stream" "$work/$input")
          echo "$who $cpu $wall $user" >>"$work/rows"
        done
      done
      awk -v bytes="$bytes" '
        $1 == "base" { b[++nb] = $2; bw[nb] = $3; bu[nb] = $4 }
        $1 == "new" { n[++nn] = $2; nw[nn] = $3; nu[nn] = $4 }
        END {
          for (i = 1; i <= nb; ++i) {
            print "base", bytes / b[i] / 1e6
            print "new", bytes / n[i] / 1e6
            print "ratio", b[i] / n[i]
            print "share", (b[i] + n[i]) / (bw[i] + nw[i])
            print "user", bu[i] / nu[i]
            print "sys", 1 - bu[i] / b[i]
          }
        }' "$work/rows" >"$work/figures"
      pick() { awk -v k="$1" '$1 == k { print $2 }' "$work/figures"; }
      printf '%-7s %7d %5d %10.3f %10.3f %6.2fx %6.2f-%-6.2f %9.2f %9.2fx %9s%%\n' "$input" "$profile" \
        "$level" "$(pick base | median)" "$(pick new | median)" "$(pick ratio | median)" \
        "$(pick ratio | sort -g | head -1)" "$(pick ratio | sort -g | tail -1)" "$(pick share | median)" \
        "$(pick user | median)" "$(pick sys | median | awk '{ printf "%.0f", 100 * $1 }')"
    done
  done
done
echo "load average $(load) at the end"
