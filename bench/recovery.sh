#!/usr/bin/env bash
# The recovery search against a hostile tail: `ixo-extract -t` of an archive of about 60 MB whose last state is
# followed by fake footers, against the same archive without them. The archive stores its files as they are: 56 MB
# of noise and a file of converging zstd frames (frames that begin 9 bytes apart and all end at the same place,
# each whole by its headers). Three kinds of tail:
#   plain:    each footer points at the whole data region from offset 8, with a random digest and raw length;
#   same:     each footer points at the same crafted frame, with a random digest;
#   crafted:  each footer points at a crafted frame of its own, so that only hashing it tells it from an index.
# Wall and CPU seconds of each run (medians of the rounds) and what the program said, printed, never checked.
#   bench/recovery.sh [build dir, default build] [footer counts, default "200 10000"] [rounds, default 3]
#                     [seconds before a run is given up, default 300]
# IXO_EXTRACT names another program to run instead of the build's (an older one, to compare); the build folder
# still gives ixo-pack.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
counts="${2:-200 10000}"
rounds="${3:-3}"
limit="${4:-300}"
extract="${IXO_EXTRACT:-$build/src/ixo-extract}"
pack="$build/tests/support/ixo-pack"
[ -x "$extract" ] && [ -x "$pack" ] || { echo "needs $extract and $pack (a build with tests)" >&2; exit 2; }
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

mkdir "$work/tree"
head -c $((56 << 20)) /dev/urandom >"$work/tree/noise"
python3 - "$work/tree/frames" <<'PY'
import sys
starts, chain_len, block = 12000, 4 << 20, 128 << 10
chain = 9 * starts
b = bytearray(chain + chain_len)
def block_header(at, size, last):
    b[at:at + 3] = ((1 if last else 0) | size << 3).to_bytes(3, "little")
for k in range(starts):
    at = 9 * k
    b[at:at + 6] = bytes([0x28, 0xB5, 0x2F, 0xFD, 0x00, 0x50])
    block_header(at + 6, chain - (at + 9), False)
at = chain
while at < len(b):
    size = min(block, len(b) - at - 3)
    block_header(at, size, at + 3 + size == len(b))
    at += 3 + size
open(sys.argv[1], "wb").write(b)
PY
"$pack" --codec store "$work/tree" "$work/base.ixo" >/dev/null
echo "archive: $(stat -c %s "$work/base.ixo") bytes; program: $extract"

# Appends count fake footers of the given kind to a copy of the archive.
make_tail() {  # <kind> <count> <out>
  python3 - "$work/base.ixo" "$1" "$2" "$3" <<'PY'
import os, random, struct, sys
base, kind, count, out = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
data = open(base, "rb").read()
version = struct.unpack_from("<H", data, 4)[0]
magic = b"IXO" + bytes([0x30 + max(version, 2)])
rng = random.Random(1)

frames = bytes(open(os.path.join(os.path.dirname(base), "tree", "frames"), "rb").read())
first = data.find(frames[:64])
starts = [first + 9 * k for k in range(12000)]
frames_end = first + len(frames)

tail = bytearray()
end = len(data)
for k in range(count):
    if kind == "plain":
        offset, stored, raw = 8, end - 8 - 44, rng.randrange(1, 1 << 32)
    elif kind == "same":
        offset, stored, raw = starts[0], frames_end - starts[0], 100
    else:
        offset = starts[k % len(starts)]
        stored, raw = frames_end - offset, 100
    tail += struct.pack("<QQQ", offset, stored, raw) + rng.randbytes(16) + magic
with open(out, "wb") as f:
    f.write(data + bytes(tail))
PY
}

median() { sort -n | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

run() {  # <archive> -> "wall cpu" seconds (cpu: user + system), or ">limit"
  local rc=0 t
  t=$( { TIMEFORMAT='%R %U %S'; time timeout "$limit" "$extract" -t "$1" >/dev/null 2>"$work/err" || rc=$?; } 2>&1
      if [ "$rc" -eq 124 ]; then echo timeout; fi)
  if grep -q timeout <<<"$t"; then echo ">$limit"; return; fi
  awk '{printf "%.2f %.2f\n", $1, $2 + $3}' <<<"$t"
}

# What the program made of the archive: the warning of the state it fell back to, or its error.
outcome() { tr '\r' '\n' <"$work/err" | grep -v '^ *file [0-9]*/[0-9]*$' | grep -v '^$' | head -1 | cut -c1-70; }

# The median wall and CPU seconds of a round's lines, or ">limit" when one was given up.
medians() {
  local times
  times=$(cat)
  if grep -q '>' <<<"$times"; then echo ">$limit >$limit"; return; fi
  echo "$(cut -d' ' -f1 <<<"$times" | median) $(cut -d' ' -f2 <<<"$times" | median)"
}

printf '%-8s %8s %8s %8s  %s\n' tail footers wall cpu outcome
read -r w c < <(for r in $(seq "$rounds"); do run "$work/base.ixo"; done | medians)
printf '%-8s %8s %8s %8s  %s\n' none 0 "$w" "$c" "$(outcome)"
for kind in plain same crafted; do
  for n in $counts; do
    make_tail "$kind" "$n" "$work/tail.ixo"
    read -r w c < <(for r in $(seq "$rounds"); do run "$work/tail.ixo"; done | medians)
    printf '%-8s %8s %8s %8s  %s\n' "$kind" "$n" "$w" "$c" "$(outcome)"
  done
done
