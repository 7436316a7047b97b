"""The tests' one reference of the matrix file: a plain, slow writer (header, row records,
payload choice, plane tokens) with what each written value reads back as, and the pieces
to build files by hand, broken ones included: nothing here validates input."""

import math
import struct
from itertools import accumulate, groupby

import numpy as np

from orvanel._header import DEFAULT_BANNER, DEFAULT_RUN_ID

MAX_COUNT = 32767
PREAMBLE = b"\x80\x80"
ZERO_ROW = PREAMBLE + b"\x00"
# Three zones, one table "a" of type Fixed(2), all zero, the default banner and run identifier.
WORKED_FILE = (
    bytes.fromhex("1E000000") + b"MAT PGM=ORVANEL VER=0.4.3\x00" + bytes.fromhex("0F000000") + b"ID=ORVANEL\x00"
    + bytes.fromhex("14000000") + b"PAR Zones=3 M=1\x00" + bytes.fromhex("0E000000") + b"MVR 1\x00a=2\x00"
    + bytes.fromhex("08000000") + b"ROW\x00"
    + bytes.fromhex("0100 01 0500 808000 0200 01 0500 808000 0300 01 0500 808000")
)


def bits(values):
    """The 64-bit patterns of doubles, for exact comparison (NaN payloads, sign of zero)."""
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


def from_bits(patterns):
    return np.asarray(patterns, dtype=np.uint64).view(np.float64)


def _b(text):
    return bytes(text) if isinstance(text, (bytes, bytearray)) else str(text).encode()


def _text(text):
    """A header text as stored: ending in one NUL."""
    data = _b(text)
    return data if data.endswith(b"\x00") else data + b"\x00"


def header_contents(zone_count, tables, banner=DEFAULT_BANNER, run_id=DEFAULT_RUN_ID):
    """The five record contents as the writer lays them out; `tables` holds (name, code)."""
    mvr = f"MVR {len(tables)}\x00".encode() + b"".join(_b(n) + b"=" + _b(c) + b"\x00" for n, c in tables)
    par = f"PAR Zones={zone_count} M={len(tables)}\x00".encode()
    return [_text(banner), _text(b"ID=" + _b(run_id)), par, mvr, b"ROW\x00"]


def frame_header(contents):
    """Frames record contents (bytes, or (bytes, length-field) pairs) back to back."""
    pairs = [c if isinstance(c, tuple) else (c, 4 + len(c)) for c in contents]
    return b"".join(struct.pack("<I", length) + content for content, length in pairs)


def standard_header(zone_count, tables, banner=DEFAULT_BANNER, run_id=DEFAULT_RUN_ID):
    return frame_header(header_contents(zone_count, tables, banner, run_id))


def record_end(contents, n):
    """Offset just after header record n (1-based) of unframed `contents`."""
    return sum(4 + len(c) for c in contents[:n])


def row_record(row, table, payload, chunk_size=None):
    size = len(payload) + 2 if chunk_size is None else chunk_size
    return struct.pack("<HBH", row, table, size) + bytes(payload)


def assemble(header, records):
    """Header plus records; returns the bytes and the start offset of each record."""
    return header + b"".join(records), list(accumulate([len(header)] + [len(r) for r in records]))[:-1]


def zero_records(zone_count, table_count):
    return [row_record(k // table_count + 1, k % table_count + 1, ZERO_ROW) for k in range(zone_count * table_count)]


def split_records(data, header_length):
    """(row, table, payload) of every record after the header."""
    records, pos = [], header_length
    while pos < len(data):
        row, table, chunk = struct.unpack_from("<HBH", data, pos)
        records.append((row, table, data[pos + 5 : pos + 3 + chunk]))
        pos += 3 + chunk
    assert pos == len(data)
    return records


def literal(data):
    return bytes([len(data) & 0xFF, len(data) >> 8]) + bytes(data)


def run(count, value):
    return bytes([count & 0xFF, 0x80 | (count >> 8), value])


def encode_plane(plane):
    """The tokens the writer codes a plane as."""
    plane, out, pos = bytes(plane), bytearray(), 0
    n = len(plane)
    while pos < n:
        r = 1
        while pos + r < n and r < MAX_COUNT and plane[pos + r] == plane[pos]:
            r += 1
        if r >= 3:
            out += run(r, plane[pos])
            pos += r
            continue
        e = pos + r
        while e < n:
            length = 1
            while e + length < n and plane[e + length] == plane[e]:
                length += 1
            if length >= 3:
                break
            room = MAX_COUNT - (e - pos)
            e += min(room, length)
            if room <= length:
                break
        out += literal(plane[pos:e])
        pos = e
    return bytes(out)


def plane_tokens(plane, style=None):
    """None: as the writer codes it; "literal": literals only; "runs": every group of equal
    bytes as runs; "mixed": groups of three or more as runs, the rest as literals."""
    plane = bytes(plane)
    if style is None:
        return encode_plane(plane)
    if style == "literal":
        return b"".join(literal(plane[i : i + MAX_COUNT]) for i in range(0, len(plane), MAX_COUNT))
    out, pending = b"", b""
    for value, group in groupby(plane):
        n = len(list(group))
        if style == "runs" or n >= 3:
            runs = b"".join(run(min(k, MAX_COUNT), value) for k in range(n, 0, -MAX_COUNT))
            out += plane_tokens(pending, "literal") + runs
            pending = b""
        else:
            pending += bytes([value]) * n
    return out + plane_tokens(pending, "literal")


def payload(descriptor, *coded_planes):
    return PREAMBLE + bytes([descriptor]) + b"".join(coded_planes)


def split_planes(array, width):
    raw = np.ascontiguousarray(array).view(np.uint8).reshape(-1, width)
    return [raw[:, k].tobytes() for k in range(width)]


def _masked(planes, descriptor, style):
    return payload(descriptor, *(plane_tokens(p, style) for k, p in enumerate(planes) if descriptor & (0x80 >> k)))


def _nonzero_mask(planes):
    return sum(0x80 >> k for k, p in enumerate(planes) if any(p))


def raw_double_payload(values, style="literal"):
    return _masked(split_planes(np.asarray(values, "<f8"), 8), 0xFF, style)


def plane_mask_payload(values, style="literal"):
    """`D` encoding storing the planes that hold a non-zero byte."""
    planes = split_planes(np.asarray(values, "<f8"), 8)
    return _masked(planes, _nonzero_mask(planes), style)


def float32_payload(values, marker=None, style="literal"):
    """`S` encoding; the marker plane is all 0xFF unless `marker` gives its bytes."""
    planes = split_planes(np.asarray(values, dtype="<f4"), 4)
    return _masked(planes + [b"\xff" * len(values) if marker is None else bytes(marker)], 0xF8, style)


def fixed_payload(magnitudes, scale_sign=None, descriptor=None, style="literal"):
    """Magnitudes (u32) in planes 0..3 and scale-and-sign bytes in plane 4. The default
    descriptor stores the planes that hold a non-zero byte."""
    planes = split_planes(np.asarray(magnitudes, dtype="<u4"), 4) + [bytes(scale_sign or bytes(len(magnitudes)))]
    return _masked(planes, _nonzero_mask(planes) if descriptor is None else descriptor, style)


def _fixed(values, precision):
    """(magnitudes, scale-and-sign bytes), or None when the row needs raw doubles."""
    magnitudes, signs = [], []
    for v in values:
        x = 10.0**precision * v
        r = round(x) if math.isfinite(x) else math.inf  # ties to even
        if abs(r) > 0xFFFFFFFF:
            return None
        magnitudes.append(abs(r))
        signs.append(0 if r == 0 else precision * 16 + (x < 0))
    return magnitudes, signs


def encode_row(code, values, style=None):
    """The payload of one row of a table of type `code` ("0".."9", "S", "D"; "raw": raw
    doubles in any table) and the doubles it reads back as. `style` codes the planes
    another way than the writer (see plane_tokens)."""
    values = [float(v) for v in values]
    if code == "raw":
        return raw_double_payload(values, style), values
    if all(v == 0.0 for v in values):
        return ZERO_ROW, [0.0] * len(values)
    if code == "D":
        return plane_mask_payload(values, style), values
    if code == "S":
        with np.errstate(over="ignore", invalid="ignore"):
            single = np.asarray(values).astype(np.float32)  # a NaN goes through the hardware conversion
        if (np.isinf(single) & np.isfinite(values)).any():
            return raw_double_payload(values, style), values
        return float32_payload(single, style=style), single.astype(np.float64).tolist()
    fixed = _fixed(values, int(code))
    if fixed is None:
        return raw_double_payload(values, style), values
    back = [0.0 if m == 0 else math.copysign(m / 10.0 ** int(code), -1.0 if s & 1 else 1.0) for m, s in zip(*fixed)]
    return fixed_payload(*fixed, style=style), back


def encode_payload(code, values):
    return encode_row(code, values)[0]


def read_back(code, values):
    return encode_row(code, values)[1]


def matrix_file(zone_count, tables, values, banner=DEFAULT_BANNER, run_id=DEFAULT_RUN_ID, code=None, style=None):
    """The whole file for `values` of shape (T, Z, Z), rows origin-major and table-minor,
    each row in its table's type (or in `code`), its planes coded as the writer codes
    them (or in `style`)."""
    values = np.asarray(values, dtype=np.float64).reshape(len(tables), zone_count, zone_count)
    records = [row_record(o + 1, t + 1, encode_row(code or c, values[t, o], style)[0])
               for o in range(zone_count) for t, (_, c) in enumerate(tables)]
    return standard_header(zone_count, tables, banner, run_id) + b"".join(records)


def sized_raw_row(payload_size, zones=5600):
    """A row (the first value beyond single precision and fixed point) coded as exactly
    `payload_size` bytes of raw doubles: per plane, groups of x x x y (each two bytes over
    plain literals), then bytes unlike their neighbours; a run of four adds an odd byte."""
    budget = payload_size - 3 - 8 * zones
    groups, odd = divmod(budget // 2, 8), budget % 2
    firsts = [(0x11, 0x12)] * 6 + [(0xE0, 0xE1), (0x7F, 0x3F)]
    words = np.zeros(zones, dtype=np.uint64)
    coded = 3
    for k, (x, y) in enumerate(firsts):
        count = groups[0] + (k < groups[1])
        tail = [(i % 50) + 1 for i in range(zones - 4 * count)]
        if k == 0 and odd:
            tail[10:14] = [0xC0] * 4
        plane = bytes([x, x, x, y] * count + tail)
        coded += len(encode_plane(plane))
        words |= np.frombuffer(plane, dtype=np.uint8).astype(np.uint64) << np.uint64(8 * k)
    assert coded == payload_size, coded
    row = words.view(np.float64)
    assert np.isfinite(row).all() and row[0] > 1e300
    return row
