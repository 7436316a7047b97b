"""A plain, slow reference writer (header, row records, payload choice, plane tokens) and
what each written value reads back as, to check the library's output byte for byte."""

import math
import struct

import numpy as np

from matrix_bytes import DEFAULT_BANNER, DEFAULT_RUN_ID

MAX_COUNT = 32767
MAX_PAYLOAD = 65533
ZERO_ROW = b"\x80\x80\x00"


def _bits(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def _f32_bits(value):
    """Bits of `value` rounded to single precision (ties to even); a NaN goes through the
    hardware conversion. Returns None for a finite value that overflows."""
    with np.errstate(over="ignore", invalid="ignore"):
        single = np.float64(value).astype(np.float32)
    if math.isfinite(value) and not np.isfinite(single):
        return None
    return int(single.view(np.uint32))


# --- plane tokens -------------------------------------------------------------------


def encode_plane(plane):
    plane = bytes(plane)
    n = len(plane)
    out = bytearray()
    pos = 0
    while pos < n:
        r = 1
        while pos + r < n and r < MAX_COUNT and plane[pos + r] == plane[pos]:
            r += 1
        if r >= 3:
            out += bytes([r & 0xFF, 0x80 | (r >> 8), plane[pos]])
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
        count = e - pos
        out += bytes([count & 0xFF, count >> 8]) + plane[pos:e]
        pos = e
    return bytes(out)


# --- payloads -----------------------------------------------------------------------


def _planes(words, width):
    return [bytes((w >> (8 * k)) & 0xFF for w in words) for k in range(width)]


def _masked(planes):
    """Descriptor with a bit per stored plane, then the planes holding a non-zero byte."""
    descriptor = sum(0x80 >> k for k, plane in enumerate(planes) if any(plane))
    return b"\x80\x80" + bytes([descriptor]) + b"".join(encode_plane(p) for p in planes if any(p))


def _fixed_words(values, precision):
    """(magnitude, scale-and-sign) per value, or None when the row needs raw doubles."""
    scale = 10.0**precision
    words = []
    for v in values:
        if not math.isfinite(v):
            return None
        x = scale * v
        r = round(x) if math.isfinite(x) else math.inf  # ties to even
        if abs(r) > 0xFFFFFFFF:
            return None
        m = abs(r)
        sign = 0 if m == 0 else precision * 16 + (1 if x < 0 else 0)
        words.append((m, sign))
    return words


def _encode_row(code, values):
    """The payload of one row of a table of type `code` ("0".."9", "S", "D") and the
    doubles it reads back as."""
    values = [float(v) for v in values]
    if all(v == 0.0 for v in values):
        return ZERO_ROW, [0.0] * len(values)
    planes = _planes([_bits(v) for v in values], 8)
    if code == "D":
        return _masked(planes), values
    raw = lambda: b"\x80\x80\xff" + b"".join(encode_plane(p) for p in planes)  # noqa: E731 (all eight planes)
    if code == "S":
        words = [_f32_bits(v) for v in values]
        if None in words:
            return raw(), values
        back = [float(np.uint32(w).view(np.float32)) for w in words]
        return b"\x80\x80\xf8" + b"".join(encode_plane(p) for p in _planes(words, 4) + [b"\xff" * len(values)]), back
    words = _fixed_words(values, int(code))
    if words is None:
        return raw(), values
    back = [0.0 if m == 0 else math.copysign(m / 10.0 ** int(code), -1.0 if s & 1 else 1.0) for m, s in words]
    return _masked(_planes([m for m, _ in words], 4) + [bytes(s for _, s in words)]), back


def encode_payload(code, values):
    return _encode_row(code, values)[0]


def read_back(code, values):
    return _encode_row(code, values)[1]


# --- file ---------------------------------------------------------------------------


def _text_record(data):
    if not data or data[-1] != 0:
        data += b"\x00"
    return struct.pack("<I", 4 + len(data)) + data


def encode_header(zone_count, tables, banner=DEFAULT_BANNER, run_id=DEFAULT_RUN_ID):
    """The five header records; `tables` holds (name, code character) pairs."""
    mvr = f"MVR {len(tables)}\x00" + "".join(f"{name}={code}\x00" for name, code in tables)
    records = [banner, "ID=" + run_id, f"PAR Zones={zone_count} M={len(tables)}", mvr, "ROW\x00"]
    return b"".join(_text_record(r.encode()) for r in records)


def encode_file(zone_count, tables, values, banner=DEFAULT_BANNER, run_id=DEFAULT_RUN_ID):
    """The whole file for `values` of shape (T, Z, Z): rows origin-major, table-minor."""
    values = np.asarray(values, dtype=np.float64)
    out = [encode_header(zone_count, tables, banner, run_id)]
    for o in range(zone_count):
        for t, (_, code) in enumerate(tables):
            body = encode_payload(code, values[t, o].tolist())
            assert len(body) <= MAX_PAYLOAD, len(body)
            out.append(struct.pack("<HBH", o + 1, t + 1, len(body) + 2) + body)
    return b"".join(out)


def split_records(data, header_length):
    """(row, table, payload) of every record after the header."""
    records, pos = [], header_length
    while pos < len(data):
        row, table, chunk = struct.unpack_from("<HBH", data, pos)
        records.append((row, table, data[pos + 5 : pos + 3 + chunk]))
        pos += 3 + chunk
    assert pos == len(data)
    return records
