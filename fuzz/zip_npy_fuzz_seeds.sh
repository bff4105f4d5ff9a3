#!/usr/bin/env bash
# Writes the seed corpus of zip_npy_fuzz into $1: the archives and arrays that the zip and npy
# damage tests break at random (stored and deflated members, an empty one, a non-ASCII name,
# text and number arrays, an npz of both), so the fuzzer mutates the same shapes under the
# sanitizers. Python's own zip writer makes them; without python3 the corpus stays empty.
set -euo pipefail
out=$1
mkdir -p "$out"
[ -x /usr/bin/python3 ] || exit 0
/usr/bin/python3 - "$out" <<'PY'
import io, os, random, struct, sys, zipfile

out = sys.argv[1]


def npy(descr, shape, payload):
    header = "{'descr': '%s', 'fortran_order': False, 'shape': %s, }" % (descr, shape)
    header += " " * (63 - (10 + len(header)) % 64) + "\n"  # data starts on a 64-byte boundary
    return b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header.encode("latin-1") + payload


texts = npy("<U5", "(3,)", b"".join(w.ljust(5, "\0").encode("utf-32-le") for w in ("alpha", "beta", "gamma")))
numbers = npy("<f8", "(4, 5)", struct.pack("<20d", *[1.0] * 20))
labels = npy("<i4", "(2, 3)", struct.pack("<6i", -1, 0, 1, 2, 3, 2147483647))
for name, data in (("texts.npy", texts), ("numbers.npy", numbers), ("labels.npy", labels)):
    with open(os.path.join(out, name), "wb") as f:
        f.write(data)

rng = random.Random(1)
log = "".join("line %d of the build log\n" % (k % 37) for k in range(2000)).encode()
members = [
    ("report.json", b'{"ok": true, "tiles": [1, 2, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3, 3]}', zipfile.ZIP_DEFLATED),
    ("empty.txt", b"", zipfile.ZIP_STORED),
    ("log.txt", log, zipfile.ZIP_DEFLATED),
    ("noise.bin", bytes(rng.randrange(256) for _ in range(3000)), zipfile.ZIP_STORED),
    ("images/\u00dcn\u00efcode \u00df.jpg", b"jpeg bytes", zipfile.ZIP_STORED),
]
buf = io.BytesIO()
with zipfile.ZipFile(buf, "w") as z:
    for name, data, method in members:
        z.writestr(zipfile.ZipInfo(name, (2024, 5, 14, 10, 30, 0)), data, compress_type=method)
with open(os.path.join(out, "members.zip"), "wb") as f:
    f.write(buf.getvalue())

buf = io.BytesIO()
with zipfile.ZipFile(buf, "w") as z:
    z.writestr(zipfile.ZipInfo("labels.npy", (2024, 5, 14, 10, 30, 0)), labels, compress_type=zipfile.ZIP_DEFLATED)
    z.writestr(zipfile.ZipInfo("texts.npy", (2024, 5, 14, 10, 30, 0)), texts, compress_type=zipfile.ZIP_STORED)
with open(os.path.join(out, "arrays.npz"), "wb") as f:
    f.write(buf.getvalue())
PY
bash "$(dirname "$0")/regress_seeds.sh" zip_npy_fuzz "$out"
