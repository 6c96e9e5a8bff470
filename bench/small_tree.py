# Writes COUNT files of 200 to 8,000 bytes, 100 to a folder, into DST, cut from the first MiB of each file under SRC
# (about 64 MiB of it), the same tree for the same SRC:  python3 bench/small_tree.py SRC DST COUNT
import os, sys, random

src, dst, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
data = bytearray()
for d, _, names in sorted(os.walk(src)):
    for n in sorted(names):
        p = os.path.join(d, n)
        if os.path.islink(p) or not os.path.isfile(p):
            continue
        with open(p, 'rb') as f:
            data += f.read(1 << 20)
        if len(data) >= 64 << 20: break
rng = random.Random(1)
for i in range(count):
    folder = os.path.join(dst, 'd%03d' % (i // 100))
    os.makedirs(folder, exist_ok=True)
    size = rng.randint(200, 8000)
    at = rng.randrange(0, len(data) - size)
    with open(os.path.join(folder, 'f%05d' % i), 'wb') as f:
        f.write(data[at:at + size])
