#!/usr/bin/env bash
# The recovery search against a hostile tail: `ixo-extract -t` of an archive of about 60 MB whose last state is
# followed by fake footers, against the same archive without them. Two kinds of tail:
#   plain:   each footer points at the whole data region from offset 8 with a random digest and raw length;
#   frames:  each footer points at a zstd frame of the archive with the decoded length its header declares and a
#            stretch of its own length, so that only hashing the stretch can tell it from a real index.
# Wall seconds of each run (median of the rounds), printed, never checked.
#   bench/recovery.sh [build dir, default build] [footer counts, default "200 10000"] [rounds, default 3]
#                     [seconds before a run is given up, default 300]
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
python3 -c "import sys; sys.stdout.write(' '.join(str(i) for i in range(700000)))" >"$work/tree/text"
"$pack" --codec zstd "$work/tree" "$work/base.ixo" >/dev/null
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

def frames():
    # Every zstd frame start whose header declares its decoded length.
    at = data.find(b"\x28\xb5\x2f\xfd", 8)
    while at != -1:
        fhd = data[at + 4]
        fcs_flag, single, dict_flag = fhd >> 6, (fhd >> 5) & 1, fhd & 3
        p = at + 5 + (0 if single else 1) + [0, 1, 2, 4][dict_flag]
        size = [1 if single else 0, 2, 4, 8][fcs_flag]
        if size:
            declared = int.from_bytes(data[p:p + size], "little") + (256 if size == 2 else 0)
            yield at, declared
        at = data.find(b"\x28\xb5\x2f\xfd", at + 1)

tail = bytearray()
end = len(data)
found = list(frames())
for k in range(count):
    footer_end = end + len(tail) + 44
    if kind == "plain":
        offset, stored, raw = 8, end - 8 - 44, rng.randrange(1, 1 << 32)
    else:
        offset, raw = found[k % len(found)]
        stored = end - offset - 1 - k // len(found)
    tail += struct.pack("<QQQ", offset, stored, raw) + rng.randbytes(16) + magic
with open(out, "wb") as f:
    f.write(data + bytes(tail))
PY
}

median() { sort -n | awk '{a[NR] = $1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

run() {  # <archive> -> seconds, or ">limit"
  local start end rc
  start=$(date +%s.%N)
  timeout "$limit" "$extract" -t "$1" >/dev/null 2>"$work/err" && rc=0 || rc=$?
  end=$(date +%s.%N)
  [ "$rc" -eq 124 ] && { echo ">$limit"; return; }
  echo "$end - $start" | bc
}

# What the program made of the archive: the warning of the state it fell back to, or its error.
outcome() { head -c 80 "$work/err" | head -1; }

printf '%-8s %8s %12s  %s\n' tail footers seconds outcome
t=$(for r in $(seq "$rounds"); do run "$work/base.ixo"; done | median)
printf '%-8s %8s %12s  %s\n' none 0 "$t" "$(outcome)"
for kind in plain frames; do
  for n in $counts; do
    make_tail "$kind" "$n" "$work/tail.ixo"
    times=$(for r in $(seq "$rounds"); do run "$work/tail.ixo"; done)
    if grep -q '>' <<<"$times"; then t=">$limit"; else t=$(median <<<"$times"); fi
    printf '%-8s %8s %12s  %s\n' "$kind" "$n" "$t" "$(outcome)"
  done
done
