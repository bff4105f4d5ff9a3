"""Writes small DNG files with known raw samples for the DNG reader's and developer's tests.

Usage: dng_fixtures.py OUT_DIR            the fixture set and its manifest.json
       dng_fixtures.py --big W H OUT.dng  one lossless-JPEG CFA DNG of W x H (benchmarks)
       dng_fixtures.py --ljpeg OUT_DIR    small lossless JPEG streams (fuzzing seeds)

tifffile writes the TIFF structure. It has no lossless-JPEG or bit-packing encoder here, so
those pieces are made below and handed to it as already "compressed" deflate segments; the
Compression and BitsPerSample entries are then rewritten in place to what the bytes really
are. manifest.json lists every file with the raw plane a reader must produce (after the
linearisation table and the active-area crop) saved as NAME.raw.npy, and whether LibRaw's
tools can read the file as an oracle.
"""
import heapq
import json
import os
import struct
import sys
import zlib

import numpy as np
import tifffile

# --- lossless JPEG encoder ------------------------------------------------------------------


def _code_lengths(freqs):
    """Huffman code lengths (at most 16 bits) for the used symbols, with the all-ones code
    kept free as the JPEG standard asks (a reserved symbol takes it, then leaves)."""
    symbols = [s for s, f in enumerate(freqs) if f > 0]
    reserved = len(freqs)
    heap = [(freqs[s], i, [s]) for i, s in enumerate(symbols)]
    heap.append((0, len(heap), [reserved]))
    heapq.heapify(heap)
    length = {s: 0 for s in symbols + [reserved]}
    tie = len(heap)
    while len(heap) > 1:
        fa, _, a = heapq.heappop(heap)
        fb, _, b = heapq.heappop(heap)
        for s in a + b:
            length[s] += 1
        tie += 1
        heapq.heappush(heap, (fa + fb, tie, a + b))
    if len(symbols) == 0:
        return {}
    if len(length) == 2 and max(length.values()) == 0:
        length = {symbols[0]: 1, reserved: 1}
    # Limit to 16 bits (the standard's adjustment of the count list).
    bits = [0] * 40
    for s, l in length.items():
        bits[l] += 1
    for i in range(39, 16, -1):
        while bits[i] > 0:
            j = i - 2
            while bits[j] == 0:
                j -= 1
            bits[i] -= 2
            bits[i - 1] += 1
            bits[j + 1] += 2
            bits[j] -= 1
    # The reserved symbol gives up one of the longest codes.
    longest = max(i for i in range(17) if bits[i])
    bits[longest] -= 1
    ordered = sorted(symbols, key=lambda s: (-freqs[s], s))
    out, k = {}, 0
    for l in range(1, 17):
        for _ in range(bits[l]):
            out[ordered[k]] = l
            k += 1
    return out


def _canonical(lengths):
    """(code, length) per symbol, codes assigned by length then symbol."""
    codes, code = {}, 0
    for l in range(1, 17):
        for s in sorted(s for s, ls in lengths.items() if ls == l):
            codes[s] = (code, l)
            code += 1
        code <<= 1
    return codes


def _pack_bits(values, lengths):
    """Concatenates each value's low `length` bits, most significant first, padded with 1s."""
    if len(values) == 0:
        return b""
    shifts = np.arange(31, -1, -1, dtype=np.uint64)
    grid = (values.astype(np.uint64)[:, None] >> shifts) & 1
    keep = np.arange(32)[None, :] >= (32 - lengths[:, None])
    bits = grid[keep].astype(np.uint8)
    pad = (-len(bits)) % 8
    bits = np.concatenate([bits, np.ones(pad, np.uint8)])
    data = np.packbits(bits).tobytes()
    return data.replace(b"\xff", b"\xff\x00")


def _predict(x, predictor, initial, first_rows):
    """The prediction of every sample of x (rows, columns, components) as the decoder forms it."""
    ra = np.zeros_like(x)
    rb = np.zeros_like(x)
    rc = np.zeros_like(x)
    ra[:, 1:] = x[:, :-1]
    rb[1:, :] = x[:-1, :]
    rc[1:, 1:] = x[:-1, :-1]
    pred = {
        1: ra, 2: rb, 3: rc, 4: ra + rb - rc, 5: ra + ((rb - rc) >> 1), 6: rb + ((ra - rc) >> 1),
        7: (ra + rb) >> 1,
    }.get(predictor, ra).copy()
    pred[:, 0] = rb[:, 0]
    for r in first_rows:
        pred[r, 1:] = ra[r, 1:]
        pred[r, 0] = initial
    return pred


def ljpeg_encode(samples, components, precision=16, predictor=1, restart_rows=0, point_transform=0,
                 separate_tables=False):
    """A lossless JPEG of `samples` (rows x (width * components) uint16, components
    interleaved). restart_rows > 0 puts a restart marker before every restart_rows-th row.
    Returns the bytes; the decoder's output equals (samples >> pt) << pt."""
    rows, total = samples.shape
    width = total // components
    x = (samples.astype(np.int64) >> point_transform).reshape(rows, width, components)
    interval = restart_rows * width
    first_rows = [0] + ([r for r in range(restart_rows, rows, restart_rows)] if restart_rows else [])
    initial = 1 << ((precision - point_transform - 1) & 31)
    diff = (x - _predict(x, predictor, initial, first_rows)) & 0xFFFF
    diff = np.where(diff > 32768, diff - 65536, diff)
    mag = np.abs(diff)
    cat = np.zeros_like(diff)
    nz = mag > 0
    cat[nz] = np.floor(np.log2(mag[nz])).astype(np.int64) + 1
    cat[diff == 32768] = 16
    extra = np.where(diff >= 0, diff, diff + (1 << cat) - 1)
    extra[cat == 16] = 0
    tables = list(range(components)) if separate_tables else [0] * components
    codes = {}
    for t in set(tables):
        comps = [c for c in range(components) if tables[c] == t]
        freqs = np.bincount(cat[:, :, comps].ravel(), minlength=17).tolist()
        codes[t] = _code_lengths(freqs)
    out = bytearray(b"\xff\xd8")
    for t, lengths in codes.items():
        counts = [sum(1 for l in lengths.values() if l == n) for n in range(1, 17)]
        symbols = [s for n in range(1, 17) for s in sorted(s for s, l in lengths.items() if l == n)]
        body = bytes([t]) + bytes(counts) + bytes(symbols)
        out += b"\xff\xc4" + struct.pack(">H", len(body) + 2) + body
    sof = struct.pack(">BHHB", precision, rows, width, components)
    sof += b"".join(bytes([c + 1, 0x11, 0]) for c in range(components))
    out += b"\xff\xc3" + struct.pack(">H", len(sof) + 2) + sof
    if interval:
        out += b"\xff\xdd" + struct.pack(">HH", 4, interval)
    sos = bytes([components]) + b"".join(bytes([c + 1, tables[c] << 4]) for c in range(components))
    sos += bytes([predictor, 0, point_transform])
    out += b"\xff\xda" + struct.pack(">H", len(sos) + 2) + sos
    canon = {t: _canonical(lengths) for t, lengths in codes.items()}
    code_of = np.zeros((components, 17), np.int64)
    len_of = np.zeros((components, 17), np.int64)
    for c in range(components):
        for s, (code, l) in canon[tables[c]].items():
            code_of[c, s], len_of[c, s] = code, l
    comp = np.broadcast_to(np.arange(components), cat.shape)
    values = (code_of[comp, cat] << cat) | extra
    lengths = len_of[comp, cat] + cat
    bounds = first_rows + [rows]
    for k in range(len(bounds) - 1):
        a, b = bounds[k], bounds[k + 1]
        out += _pack_bits(values[a:b].ravel(), lengths[a:b].ravel())
        if k + 1 < len(bounds) - 1:
            out += bytes([0xFF, 0xD0 + k % 8])
    out += b"\xff\xd9"
    return bytes(out)


# --- DNG writing -----------------------------------------------------------------------------

SHORT, LONG, RATIONAL, SRATIONAL, BYTE, UNDEFINED, ASCII = "H", "I", "2I", "2i", "B", "B", "s"


def _rationals(values, signed=False, den=10000):
    out = []
    for v in values:
        out += [int(round(v * den)), den]
    return out


def pack_bits_msb(samples, bits):
    """Rows of samples packed most significant bit first, each row padded to whole bytes."""
    shifts = np.arange(bits - 1, -1, -1, dtype=np.uint64)
    grid = ((samples.astype(np.uint64)[:, :, None] >> shifts) & 1).astype(np.uint8)
    return np.packbits(grid.reshape(samples.shape[0], -1), axis=1).tobytes()


def opcode_list(items):
    """OpcodeList3 bytes (big-endian) from (name, params) items."""
    body = b""
    for name, p in items:
        if name == "vign":
            params = struct.pack(">7d", *p)
            op_id = 3
        elif name == "warp":
            params = struct.pack(">I", 1) + struct.pack(">6d", *p[:6]) + struct.pack(">2d", *p[6:8])
            op_id = 1
        else:  # gain
            gains = np.asarray(p["gains"], np.float32)
            params = struct.pack(">8I", 0, 0, p["bottom"], p["right"], p["plane"], p["planes"], 1, 1)
            params += struct.pack(">II", p["points_v"], p["points_h"])
            params += struct.pack(">4d", p["spacing_v"], p["spacing_h"], p["origin_v"], p["origin_h"])
            params += struct.pack(">I", p["map_planes"]) + gains.astype(">f4").tobytes()
            op_id = 9
        body += struct.pack(">IIII", op_id, 0x01030000, 1, len(params)) + params
    return struct.pack(">I", len(items)) + body


def xmp_packet(attrs):
    body = " ".join('drone-dji:%s="%s"' % kv for kv in attrs.items())
    return ('<?xpacket begin="\ufeff" id="W5M0MpCehiHzreSzNTczkc9d"?>'
            '<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF '
            'xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">'
            '<rdf:Description rdf:about="" xmlns:drone-dji="http://www.dji.com/drone-dji/1.0/" '
            + body + '/></rdf:RDF></x:xmpmeta><?xpacket end="w"?>').encode()


def write_dng(path, shape, segments, *, compression, bits, tile=None, rowsperstrip=None, photometric=32803,
              spp=1, float_data=False, tags=(), ifd0_tags=(), preview=True, predictor=None):
    """Writes a DNG whose raw image (`shape` rows x columns) consists of the given piece bytes.
    With `preview` IFD0 is an 8-bit thumbnail and the raw image its SubIFD."""
    dtype = "float32" if float_data and bits == 32 else "float16" if float_data else "uint16"
    base = [(50706, BYTE, 4, (1, 4, 0, 0), True), (271, ASCII, 0, "Fixture", True),
            (272, ASCII, 0, "Test Camera", True), (50708, ASCII, 0, "Fixture Test Camera", True)]
    raw_tags = list(tags)
    # tifffile insists on 3 samples for LinearRaw: a 1-sample one is written as grey first.
    written_photometric = 1 if photometric == 34892 and spp == 1 else photometric
    kwargs = dict(compression=8, photometric=written_photometric, subfiletype=0, metadata=None, software=False,
                  dtype=dtype, shape=shape if spp == 1 else (*shape, spp))
    if spp > 1:
        kwargs["planarconfig"] = "contig"
    if tile:
        kwargs["tile"] = tile
    else:
        kwargs["rowsperstrip"] = rowsperstrip or shape[0]
    with tifffile.TiffWriter(path) as tw:
        if preview:
            tw.write(np.full((16, 16, 3), 128, np.uint8), photometric="rgb", subfiletype=1, subifds=1,
                     metadata=None, software=False, extratags=base + list(ifd0_tags))
            tw.write(iter(segments), extratags=raw_tags, **kwargs)
        else:
            tw.write(iter(segments), extratags=base + list(ifd0_tags) + raw_tags, **kwargs)
    with tifffile.TiffFile(path, mode="r+b") as t:
        page = t.pages[0]
        if preview:
            t.filehandle.seek(page.subifds[0])
            page = tifffile.TiffPage(t, index=1)
        page.tags["Compression"].overwrite(compression)
        if written_photometric != photometric:
            page.tags["PhotometricInterpretation"].overwrite(photometric)
        if predictor:
            # tifffile writes no floating-point Predictor without its codec package, and
            # drops one given as an extra tag; the ResolutionUnit entry, which sorts just
            # before where Predictor belongs, becomes it.
            entry = page.tags["ResolutionUnit"]
            t.filehandle.seek(entry.offset)
            t.filehandle.write(struct.pack("<H", 317))
            t.filehandle.seek(entry.valueoffset)
            t.filehandle.write(struct.pack("<H", predictor))
        if bits not in (16, 32) or float_data and bits != page.tags["BitsPerSample"].value:
            page.tags["BitsPerSample"].overwrite(bits if spp == 1 else (bits,) * spp)


def pieces(plane, tile, rowsperstrip):
    """The plane cut into tiles (zero-padded at the edges) or strips, in TIFF order."""
    h, w = plane.shape[:2]
    if tile:
        th, tw = tile
        out = []
        for ty in range(0, h, th):
            for tx in range(0, w, tw):
                block = np.zeros((th, tw) + plane.shape[2:], plane.dtype)
                part = plane[ty:ty + th, tx:tx + tw]
                block[:part.shape[0], :part.shape[1]] = part
                out.append(block)
        return out
    return [plane[y:y + rowsperstrip] for y in range(0, h, rowsperstrip)]


def scene(h, w, seed, top=4095, black=0):
    """A raw plane with smooth gradients, flat patches and noise, in black..top."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w]
    v = 0.5 + 0.3 * np.sin(x / 7.0) * np.cos(y / 9.0) + 0.2 * ((x // 16 + y // 16) % 2)
    v = black + v / v.max() * (top - black) * 0.9 + rng.normal(0, 0.01 * (top - black), (h, w))
    return np.clip(np.round(v), 0, top).astype(np.uint16)


def cfa_scene(h, w, pattern, seed, top, black):
    """A colour scene seen through a 2x2 CFA: each colour plane its own gradient."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w]
    planes = [
        0.35 + 0.3 * (x / w) + 0.15 * ((x // 24) % 2),
        0.45 + 0.25 * np.sin(y / 11.0),
        0.3 + 0.3 * (y / h) + 0.1 * np.cos(x / 13.0),
    ]
    colour = np.array(pattern).reshape(2, 2)[y % 2, x % 2]
    v = np.choose(colour, planes)
    v = black + v * (top - black) * 0.95 + rng.normal(0, 0.003 * (top - black), (h, w))
    return np.clip(np.round(v), 0, top).astype(np.uint16)


MATRIX_D65 = [0.9, -0.3, -0.1, -0.4, 1.3, 0.1, -0.1, 0.2, 0.6]
MATRIX_A = [1.1, -0.5, 0.0, -0.3, 1.2, 0.2, 0.0, 0.1, 0.9]


def colour_tags(neutral=(0.5, 1.0, 0.7), illum1=17, illum2=21):
    return [(50721, SRATIONAL, 9, _rationals(MATRIX_A), True), (50722, SRATIONAL, 9, _rationals(MATRIX_D65), True),
            (50778, SHORT, 1, illum1, True), (50779, SHORT, 1, illum2, True),
            (50728, RATIONAL, 3, _rationals(neutral), True)]


def cfa_tags(pattern, black, white):
    tags = [(33421, SHORT, 2, (2, 2), True), (33422, BYTE, 4, tuple(pattern), True)]
    black = list(np.atleast_1d(black))
    tags.append((50714, LONG, len(black), tuple(int(b) for b in black), True))
    tags.append((50717, LONG, 1, int(white), True))
    return tags


def make_set(out):
    manifest = []

    def add(name, expected, **info):
        np.save(os.path.join(out, name + ".raw.npy"), expected.astype(np.float32))
        manifest.append(dict(name=name, **info))

    # 16-bit CFA in strips behind a preview, with colour tags: the plain camera case.
    h, w = 64, 96
    plane = cfa_scene(h, w, (0, 1, 1, 2), 1, 60000, 1024)
    segs = [p.astype("<u2").tobytes() for p in pieces(plane, None, 24)]
    write_dng(os.path.join(out, "cfa16_strips.dng"), (h, w), segs, compression=1, bits=16, rowsperstrip=24, tags=cfa_tags((0, 1, 1, 2), 1024, 60000) + colour_tags())
    add("cfa16_strips", plane, libraw=True, develop=True)

    # The same plane deflated in tiles that overhang the right and bottom edges.
    segs = [zlib.compress(p.astype("<u2").tobytes()) for p in pieces(plane, (48, 64), None)]
    write_dng(os.path.join(out, "cfa16_deflate_tiles.dng"), (h, w), segs, compression=8, bits=16, tile=(48, 64),
              tags=cfa_tags((0, 1, 1, 2), 1024, 60000) + colour_tags())
    add("cfa16_deflate_tiles", plane, libraw=False, develop=False)

    # 12-bit samples whose rows end mid-byte (75 x 12 bits) and are padded to whole bytes, a
    # BGGR pattern, per-position black levels, a linearisation table and an active area.
    h, w = 70, 75
    plane = cfa_scene(h, w, (2, 1, 1, 0), 2, 4095, 128)
    table = np.clip(np.round(np.arange(4096) * 1.25 + 40), 0, 65535).astype(np.uint16)[:4000]
    area = (4, 6, 66, 71)
    write_dng(os.path.join(out, "cfa12_packed.dng"), (h, w), [pack_bits_msb(plane, 12)], compression=1, bits=12,
              tags=[(33421, SHORT, 2, (2, 2), True), (33422, BYTE, 4, (2, 1, 1, 0), True),
                    (50713, SHORT, 2, (2, 2), True), (50714, LONG, 4, (180, 170, 175, 165), True),
                    (50717, LONG, 1, 5100, True), (50712, SHORT, len(table), tuple(int(v) for v in table), True),
                    (50829, LONG, 4, area, True)] + colour_tags(), preview=False)
    lin = table[np.minimum(plane, len(table) - 1)]
    add("cfa12_packed", lin[area[0]:area[2], area[1]:area[3]], libraw=True, develop=True, active_area=area)

    # Lossless-JPEG tiles as drones write them: 2-component frames whose rows each hold a
    # row pair of the tile (X = tile width, Y = half its height), predictor 1, a restart
    # before every frame row; opcodes, drone XMP and an Orientation.
    h, w = 96, 128
    plane = cfa_scene(h, w, (1, 0, 2, 1), 3, 65535, 4096)
    tile = (32, 64)
    segs = [ljpeg_encode(p.reshape(16, 128), 2, restart_rows=1) for p in pieces(plane, tile, None)]
    gain = dict(bottom=h, right=w, plane=0, planes=3, points_v=3, points_h=4, spacing_v=0.5, spacing_h=1 / 3,
                origin_v=0.0, origin_h=0.0, map_planes=1, gains=np.linspace(1.0, 1.5, 12))
    ops = opcode_list([("warp", (1.0, -0.01, 0.002, 0.0, 0.0, 0.0, 0.5, 0.5)),
                       ("vign", (0.2, -0.05, 0.01, 0.0, 0.0, 0.5, 0.5)), ("gain", gain)])
    xmp = xmp_packet({"GpsLatitude": "47.1", "GpsLongitude": "8.5", "RelativeAltitude": "+80.0",
                      "GimbalYawDegree": "+10.0", "GimbalPitchDegree": "-90.0"})
    write_dng(os.path.join(out, "cfa_ljpeg_tiles.dng"), (h, w), segs, compression=7, bits=16, tile=tile,
              tags=cfa_tags((1, 0, 2, 1), 4096, 65535) + colour_tags((0.6, 1.0, 0.8))
              + [(51022, UNDEFINED, len(ops), ops, True)],
              ifd0_tags=[(274, SHORT, 1, 6, True), (700, BYTE, len(xmp), xmp, True)])
    add("cfa_ljpeg_tiles", plane, libraw=True, develop=True, orientation=6)

    # The other 2-component layout, a frame of half the tile width, with edge tiles. (LibRaw
    # 0.20 reads only its first rows, so the plane itself is the oracle.)
    h, w = 40, 100
    plane = cfa_scene(h, w, (0, 1, 1, 2), 5, 65535, 0)
    segs = [ljpeg_encode(p, 2) for p in pieces(plane, (32, 64), None)]
    write_dng(os.path.join(out, "cfa_ljpeg_halfwidth.dng"), (h, w), segs, compression=7, bits=16, tile=(32, 64),
              tags=cfa_tags((0, 1, 1, 2), 0, 65535))
    add("cfa_ljpeg_halfwidth", plane, libraw=False, develop=False)

    # Lossless JPEG in one strip with one component, several predictors.
    h, w = 48, 64
    plane = cfa_scene(h, w, (0, 1, 1, 2), 4, 16383, 512)
    for pred in (1, 4, 6, 7):
        segs = [ljpeg_encode(plane, 1, precision=14, predictor=pred)]
        write_dng(os.path.join(out, "cfa_ljpeg_pred%d.dng" % pred), (h, w), segs, compression=7, bits=14, tags=cfa_tags((0, 1, 1, 2), 512, 16383) + colour_tags())
        add("cfa_ljpeg_pred%d" % pred, plane, libraw=True, develop=pred == 1)

    # LinearRaw RGB, uncompressed and lossless. LibRaw takes one white level for all channels,
    # so only the file with single levels is developed against it; per-channel levels are
    # checked by the C++ tests.
    h, w = 40, 56
    rgb = np.stack([scene(h, w, 10 + c, 4000, 100) for c in range(3)], axis=-1)
    single = [(50714, LONG, 1, (100,), True), (50717, LONG, 1, (4000,), True)]
    per_channel = [(50714, LONG, 3, (100, 110, 120), True), (50717, LONG, 3, (4000, 3900, 3800), True)]
    write_dng(os.path.join(out, "linear_rgb.dng"), (h, w), [rgb.astype("<u2").tobytes()], compression=1, bits=16,
              photometric=34892, spp=3, tags=single + colour_tags())
    add("linear_rgb", rgb.reshape(h, w * 3), libraw=False, develop=True)
    # (LibRaw 0.20 misreads 3-component lossless LinearRaw, so the plane is the oracle.)
    segs = [ljpeg_encode(p.reshape(16, -1), 3) for p in pieces(rgb, None, 16)]
    write_dng(os.path.join(out, "linear_ljpeg.dng"), (h, w), segs, compression=7, bits=16, rowsperstrip=16,
              photometric=34892, spp=3, tags=per_channel + colour_tags())
    add("linear_ljpeg", rgb.reshape(h, w * 3), libraw=False, develop=False)

    # Float data: half floats with the floating-point predictor, deflated in tiles, and plain
    # single floats in a strip.
    h, w = 32, 48
    values = (scene(h, w, 20, 4000) / 4000.0).astype(np.float32)
    half = values.astype(np.float16)
    segs = []
    for p in pieces(half, (16, 32), None):
        rows = p.astype("<f2").view(np.uint8).reshape(p.shape[0], -1, 2)
        planes = np.concatenate([rows[:, :, 1], rows[:, :, 0]], axis=1)  # most significant plane first
        diffed = planes.copy()
        diffed[:, 1:] = (planes[:, 1:].astype(np.int16) - planes[:, :-1]).astype(np.uint8)
        segs.append(zlib.compress(diffed.tobytes()))
    write_dng(os.path.join(out, "float16_pred.dng"), (h, w), segs, compression=8, bits=16, tile=(16, 32),
              photometric=34892, float_data=True, predictor=3, tags=[(50717, LONG, 1, 1, True)])
    add("float16_pred", half.astype(np.float32), libraw=False, develop=False)
    write_dng(os.path.join(out, "float32.dng"), (h, w), [values.astype("<f4").tobytes()], compression=1, bits=32,
              photometric=34892, float_data=True)
    add("float32", values, libraw=False, develop=False)

    with open(os.path.join(out, "manifest.json"), "w") as f:
        json.dump(manifest, f, indent=1)


def make_big(w, h, path):
    """A CFA DNG of w x h in 256 x 256 lossless-JPEG tiles (2-component frames of row pairs,
    predictor 1), as a drone writes it."""
    plane = cfa_scene(h, w, (0, 1, 1, 2), 7, 65535, 4096)
    tile = (256, 256)
    segs = [ljpeg_encode(p.reshape(128, 512), 2) for p in pieces(plane, tile, None)]
    write_dng(path, (h, w), segs, compression=7, bits=16, tile=tile,
              tags=cfa_tags((0, 1, 1, 2), 4096, 65535) + colour_tags())


def make_streams(out):
    """Small lossless JPEG streams: every predictor, 1 to 3 components, restarts, a point
    transform, separate tables per component."""
    os.makedirs(out, exist_ok=True)
    plane = cfa_scene(16, 24, (0, 1, 1, 2), 9, 65535, 0)
    variants = [dict(components=c, predictor=p) for c in (1, 2, 3) for p in range(1, 8)]
    variants += [dict(components=2, predictor=1, restart_rows=1), dict(components=1, predictor=6, point_transform=2),
                 dict(components=2, predictor=4, separate_tables=True), dict(components=1, predictor=1, precision=12)]
    for i, v in enumerate(variants):
        kw = dict(v)
        comps = kw.pop("components")
        data = plane if kw.get("precision", 16) == 16 else plane >> 4
        with open(os.path.join(out, "seed_%02d.ljpg" % i), "wb") as f:
            f.write(ljpeg_encode(data, comps, **kw))


if __name__ == "__main__":
    if sys.argv[1] == "--big":
        make_big(int(sys.argv[2]), int(sys.argv[3]), sys.argv[4])
    elif sys.argv[1] == "--ljpeg":
        make_streams(sys.argv[2])
    else:
        os.makedirs(sys.argv[1], exist_ok=True)
        make_set(sys.argv[1])
