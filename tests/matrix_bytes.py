"""Hand-built matrix file bytes, broken ones included: nothing here validates input."""

import struct
from itertools import accumulate, groupby

import numpy as np

DEFAULT_BANNER = "MAT PGM=ORVANEL VER=0.4.3"
DEFAULT_RUN_ID = "ORVANEL"
PREAMBLE = b"\x80\x80"
ZERO_ROW = PREAMBLE + b"\x00"
MAX_COUNT = 32767


def _b(text):
    return text.encode() if isinstance(text, str) else bytes(text)


def header_contents(zone_count, tables, banner=DEFAULT_BANNER, run_id=DEFAULT_RUN_ID):
    """The five record contents as the writer lays them out; `tables` holds (name, code)."""
    mvr = f"MVR {len(tables)}\x00".encode() + b"".join(_b(n) + b"=" + _b(c) + b"\x00" for n, c in tables)
    par = f"PAR Zones={zone_count} M={len(tables)}\x00".encode()
    return [_b(banner) + b"\x00", b"ID=" + _b(run_id) + b"\x00", par, mvr, b"ROW\x00"]


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


def literal(data):
    return bytes([len(data) & 0xFF, len(data) >> 8]) + bytes(data)


def run(count, value):
    return bytes([count & 0xFF, 0x80 | (count >> 8), value])


def plane_tokens(plane, style="literal"):
    """"literal": literals only; "runs": every group of equal bytes as runs; "mixed":
    groups of three or more as runs, the rest as literals."""
    plane = bytes(plane)
    if style == "literal":
        return b"".join(literal(plane[i : i + MAX_COUNT]) for i in range(0, len(plane), MAX_COUNT))
    out, pending = b"", b""
    for value, group in groupby(plane):
        n = len(list(group))
        if style == "runs" or n >= 3:
            out += plane_tokens(pending) + b"".join(run(min(k, MAX_COUNT), value) for k in range(n, 0, -MAX_COUNT))
            pending = b""
        else:
            pending += bytes([value]) * n
    return out + plane_tokens(pending)


def payload(descriptor, *coded_planes):
    return PREAMBLE + bytes([descriptor]) + b"".join(coded_planes)


def split_planes(array, width):
    raw = np.ascontiguousarray(array).view(np.uint8).reshape(-1, width)
    return [raw[:, k].tobytes() for k in range(width)]


def doubles_from_bits(bits):
    return np.asarray(bits, dtype="<u8").view("<f8")


def bits_of(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def _masked(planes, descriptor, style):
    return payload(descriptor, *(plane_tokens(p, style) for k, p in enumerate(planes) if descriptor & (0x80 >> k)))


def raw_double_payload(values, style="literal"):
    return _masked(split_planes(np.asarray(values, "<f8"), 8), 0xFF, style)


def plane_mask_payload(values, style="literal"):
    """`D` encoding storing the planes that hold a non-zero byte."""
    planes = split_planes(np.asarray(values, "<f8"), 8)
    return _masked(planes, sum(0x80 >> k for k, p in enumerate(planes) if any(p)), style)


def float32_payload(values, marker=None, style="literal"):
    """`S` encoding; the marker plane is all 0xFF unless `marker` gives its bytes."""
    planes = split_planes(np.asarray(values, dtype="<f4"), 4)
    return _masked(planes + [b"\xff" * len(values) if marker is None else bytes(marker)], 0xF8, style)


def fixed_payload(magnitudes, scale_sign=None, descriptor=None, style="literal"):
    """Magnitudes (u32) in planes 0..3 and scale-and-sign bytes in plane 4. The default
    descriptor stores the non-zero magnitude planes, and plane 4 when it is given."""
    planes = split_planes(np.asarray(magnitudes, dtype="<u4"), 4)
    if descriptor is None:
        descriptor = sum(0x80 >> k for k, p in enumerate(planes) if any(p)) | (0x08 if scale_sign is not None else 0)
    return _masked(planes + [bytes(scale_sign or bytes(len(magnitudes)))], descriptor, style)


def encode_row(code, values, style="literal"):
    """One row in table type `code` ("raw": raw doubles); zero rows become ZERO_ROW.
    Values must be representable in the type to read back unchanged."""
    values = np.asarray(values, "<f8")
    if code == "raw":
        return raw_double_payload(values, style)
    if not values.any():
        return ZERO_ROW
    if code == "D":
        return plane_mask_payload(values, style)
    if code == "S":
        return float32_payload(values, style=style)
    p = int(code)
    scaled = np.rint(values * 10.0**p)
    magnitudes = np.abs(scaled).astype(np.uint64)
    assert magnitudes.max() <= 0xFFFFFFFF
    scale_sign = np.where(magnitudes == 0, 0, p * 16 + (scaled < 0)).astype(np.uint8)
    return fixed_payload(magnitudes.astype(np.uint32), scale_sign.tobytes(), style=style)


def matrix_file(zone_count, tables, values, banner=DEFAULT_BANNER, run_id=DEFAULT_RUN_ID, encoding="raw",
                style="literal"):
    """A whole valid file of values shaped (T, Z, Z); rows are raw doubles, or with
    encoding="native" each table's own type."""
    values = np.asarray(values, dtype=np.float64).reshape(len(tables), zone_count, zone_count)
    records = [
        row_record(o + 1, t + 1, encode_row("raw" if encoding == "raw" else code, values[t, o], style))
        for o in range(zone_count)
        for t, (_, code) in enumerate(tables)
    ]
    return standard_header(zone_count, tables, banner, run_id) + b"".join(records)
