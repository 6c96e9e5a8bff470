#!/usr/bin/env bash
# Remakes the sample files of the transform tests with Debian's tools (libjpeg-turbo-progs, imagemagick, gzip,
# zip, qpdf). Run in this folder. The files are kept small; larger ones are made by the tests themselves.
set -euo pipefail
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

convert -seed 7 -size 320x240 plasma:fuchsia-teal "$work/a.ppm"
convert -seed 3 -size 17x13 plasma: "$work/b.ppm"
convert -seed 5 -size 640x400 plasma:orange-navy "$work/c.ppm"
cjpeg -quality 85 -baseline -optimize "$work/a.ppm" > baseline-320x240.jpg
cjpeg -quality 80 -progressive "$work/c.ppm" > progressive-640x400.jpg
cjpeg -quality 90 "$work/b.ppm" > baseline-17x13.jpg
cjpeg -quality 75 -grayscale -sample 1x1 "$work/a.ppm" > gray-320x240.jpg
cjpeg -quality 92 -sample 1x1 -restart 4 "$work/a.ppm" > restart-444-320x240.jpg
{ cat baseline-17x13.jpg; printf 'trailing bytes after the end of the image\n'; } > trailing-17x13.jpg

convert -seed 7 -size 160x120 plasma:fuchsia-teal -depth 8 rgb-160x120.png
# Fully transparent pixels in the first column: preflate-rs writes a container that does not rebuild.
convert -seed 9 -size 96x72 plasma: -depth 8 -alpha set -channel A -fx 'i/w' rgba-clear-96x72.png
convert -seed 9 -size 96x72 plasma: -depth 8 -alpha set -channel A -evaluate set 50% +channel rgba-half-96x72.png
convert -size 320x240 gradient:navy-gold -depth 8 -colors 16 -type Palette palette-320x240.png
convert "$work/b.ppm" -depth 16 rgb16-17x13.png
convert -size 256x64 gradient: -depth 8 -type Grayscale gray-256x64.png

gzip -9 -n -c /usr/share/common-licenses/GPL-3 > text-9.gz
gzip -1 -n -c /usr/share/common-licenses/Apache-2.0 > text-1.gz
cp /usr/share/common-licenses/Apache-2.0 /usr/share/common-licenses/MPL-2.0 gray-256x64.png "$work/"
(cd "$work" && zip -q -X -9 bundle.zip Apache-2.0 MPL-2.0 gray-256x64.png)
mv "$work/bundle.zip" .

# A one-page PDF of text, its streams compressed by qpdf.
python3 - "$work/plain.pdf" <<'PY'
import sys
lines = ["BT /F1 11 Tf 40 760 Td 14 TL"]
for t in open('/usr/share/common-licenses/GPL-3').read().splitlines()[:50]:
    lines.append("(%s) '" % t.replace('\\', '\\\\').replace('(', '\\(').replace(')', '\\)'))
lines.append("ET")
content = "\n".join(lines).encode()
objs = [b"<< /Type /Catalog /Pages 2 0 R >>", b"<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
        b"<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Contents 4 0 R"
        b" /Resources << /Font << /F1 5 0 R >> >> >>",
        b"<< /Length %d >>\nstream\n" % len(content) + content + b"\nendstream",
        b"<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"]
out, offs = bytearray(b"%PDF-1.4\n"), []
for i, o in enumerate(objs, 1):
    offs.append(len(out))
    out += b"%d 0 obj\n" % i + o + b"\nendobj\n"
xref = len(out)
out += b"xref\n0 %d\n0000000000 65535 f \n" % (len(objs) + 1)
for o in offs:
    out += b"%010d 00000 n \n" % o
out += b"trailer\n<< /Size %d /Root 1 0 R >>\nstartxref\n%d\n%%%%EOF\n" % (len(objs) + 1, xref)
open(sys.argv[1], 'wb').write(out)
PY
qpdf --compress-streams=y --object-streams=generate --deterministic-id "$work/plain.pdf" text.pdf
