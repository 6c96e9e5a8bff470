#!/usr/bin/env bash
# Decode speed (MB/s, wall clock and thread CPU time) of the context-mixing engine per profile
# at levels 1, 4 and 9 on real text and binary data, with each level's model memory (computed,
# and the measured peak of the decode). Builds its own optimised program.
#   bench/cm_bench.sh [MiB per input, default 3] [levels, default 1,4,9]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
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

g++ -std=c++23 -O3 -DNDEBUG -I"$root/engine/src" -I"$root/tests/engine" \
  "$root/bench/cm_bench.cpp" "$root/tests/engine/cm_encoder.cpp" "$root"/engine/src/*.cpp \
  -o "$work/cm_bench" -pthread

echo "text: C++ headers, $(stat -c %s "$work/text") bytes; binary: $bin, $(stat -c %s "$work/binary") bytes"
"$work/cm_bench" text="$work/text" binary="$work/binary" --levels "$levels"
