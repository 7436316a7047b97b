"""Hand-built matrix file bytes for the tests.

Every piece can be produced exactly, including broken ones: header records with any
content and any length field, row records with any row, table and chunk size, plane
tokens with any count, and payloads with any descriptor. Nothing here validates input.
"""

import struct

import numpy as np

DEFAULT_BANNER = "MAT PGM=ORVANEL VER=0.4.3"
DEFAULT_RUN_ID = "ORVANEL"
ROW_MARKER = b"ROW\x00"
PREAMBLE = b"\x80\x80"
ZERO_ROW = PREAMBLE + b"\x00"
MAX_COUNT = 32767


def _b(text):
    return text.encode() if isinstance(text, str) else bytes(text)


# --- header -------------------------------------------------------------------------


def header_record(content, length=None):
    """One length-prefixed header record; `length` overrides the length field."""
    content = _b(content)
    return struct.pack("<I", 4 + len(content) if length is None else length) + content


def header_contents(zone_count, tables, banner=DEFAULT_BANNER, run_id=DEFAULT_RUN_ID):
    """The five record contents as the writer lays them out.

    `tables` holds (name, code) pairs; `code` is the type code character ("0".."9",
    "S", "D") or any text to put after the "=".
    """
    mvr = f"MVR {len(tables)}".encode() + b"\x00"
    for name, code in tables:
        mvr += _b(name) + b"=" + _b(code) + b"\x00"
    return [
        _b(banner) + b"\x00",
        b"ID=" + _b(run_id) + b"\x00",
        f"PAR Zones={zone_count} M={len(tables)}".encode() + b"\x00",
        mvr,
        ROW_MARKER,
    ]


def frame_header(contents):
    """Frames record contents (bytes, or (bytes, length-field) pairs) back to back."""
    out = b""
    for item in contents:
        out += header_record(*item) if isinstance(item, tuple) else header_record(item)
    return out


def standard_header(zone_count, tables, banner=DEFAULT_BANNER, run_id=DEFAULT_RUN_ID):
    return frame_header(header_contents(zone_count, tables, banner, run_id))


def record_end(contents, n):
    """Offset just after header record n (1-based) of unframed `contents`."""
    return sum(4 + len(c) for c in contents[:n])


# --- row records --------------------------------------------------------------------


def row_record(row, table, payload, chunk_size=None):
    """Record header (row u16, table u8, chunk size u16) and payload."""
    size = len(payload) + 2 if chunk_size is None else chunk_size
    return struct.pack("<HBH", row, table, size) + bytes(payload)


def assemble(header, records):
    """Header plus records; returns the bytes and the start offset of each record."""
    starts, pos = [], len(header)
    for rec in records:
        starts.append(pos)
        pos += len(rec)
    return header + b"".join(records), starts


# --- plane tokens -------------------------------------------------------------------


def literal(data):
    data = bytes(data)
    n = len(data)
    return bytes([n & 0xFF, (n >> 8) & 0x7F]) + data


def run(count, value):
    return bytes([count & 0xFF, 0x80 | ((count >> 8) & 0x7F), value])


def plane_tokens(plane, style="literal"):
    """Codes one plane; "literal": literals only; "runs": every group of equal bytes
    as run tokens; "mixed": groups of three or more as runs, the rest as literals."""
    plane = bytes(plane)
    if style == "literal":
        return b"".join(
            literal(plane[i : i + MAX_COUNT]) for i in range(0, len(plane), MAX_COUNT)
        )
    out, pending, i = [], b"", 0
    while i < len(plane):
        j = i
        while j < len(plane) and plane[j] == plane[i]:
            j += 1
        n = j - i
        if style == "runs" or n >= 3:
            if pending:
                out.append(plane_tokens(pending, "literal"))
                pending = b""
            while n:
                take = min(n, MAX_COUNT)
                out.append(run(take, plane[i]))
                n -= take
        else:
            pending += plane[i:j]
        i = j
    if pending:
        out.append(plane_tokens(pending, "literal"))
    return b"".join(out)


# --- payloads -----------------------------------------------------------------------


def payload(descriptor, *coded_planes):
    """Preamble, descriptor byte and already coded planes."""
    return PREAMBLE + bytes([descriptor]) + b"".join(coded_planes)


def split_planes(array, width):
    """Byte planes 0..width-1 of a little-endian array as a list of bytes objects."""
    raw = np.ascontiguousarray(array).view(np.uint8).reshape(-1, width)
    return [raw[:, k].tobytes() for k in range(width)]


def doubles(values):
    return np.asarray(values, dtype="<f8")


def doubles_from_bits(bits):
    return np.asarray(bits, dtype="<u8").view("<f8")


def bits_of(value):
    return struct.unpack("<Q", struct.pack("<d", value))[0]


def raw_double_payload(values, style="literal"):
    """Descriptor 0xFF, all eight planes of the doubles' bits."""
    planes = split_planes(doubles(values), 8)
    return payload(0xFF, *(plane_tokens(p, style) for p in planes))


def plane_mask_payload(values, descriptor=None, style="literal"):
    """`D` plane-mask encoding; by default the planes holding a non-zero byte."""
    planes = split_planes(doubles(values), 8)
    if descriptor is None:
        descriptor = sum(0x80 >> k for k, p in enumerate(planes) if any(p))
    stored = [plane_tokens(p, style) for k, p in enumerate(planes) if descriptor & (0x80 >> k)]
    return payload(descriptor, *stored)


def float32_payload(values, marker=None, style="literal"):
    """`S` encoding (descriptor 0xF8): planes 0..3 of the float32 values and the
    marker plane, all 0xFF unless `marker` gives its bytes."""
    planes = split_planes(np.asarray(values, dtype="<f4"), 4)
    planes.append(b"\xff" * len(values) if marker is None else bytes(marker))
    return payload(0xF8, *(plane_tokens(p, style) for p in planes))


def fixed_payload(magnitudes, scale_sign=None, descriptor=None, style="literal"):
    """Fixed-point encoding from explicit planes: magnitudes (u32) in planes 0..3 and,
    when given, scale-and-sign bytes in plane 4. The default descriptor stores the
    non-zero magnitude planes and plane 4 whenever `scale_sign` is given."""
    planes = split_planes(np.asarray(magnitudes, dtype="<u4"), 4)
    planes.append(bytes(scale_sign) if scale_sign is not None else bytes(len(magnitudes)))
    if descriptor is None:
        descriptor = sum(0x80 >> k for k, p in enumerate(planes[:4]) if any(p))
        if scale_sign is not None:
            descriptor |= 0x08
    stored = [plane_tokens(p, style) for k, p in enumerate(planes) if descriptor & (0x80 >> k)]
    return payload(descriptor, *stored)


def fixed_values_payload(values, precision, style="literal"):
    """Fixed(p) encoding of decimal values, rounded half to even at p decimals."""
    scaled = np.rint(doubles(values) * 10.0**precision)
    magnitudes = np.abs(scaled).astype(np.uint64)
    if magnitudes.max(initial=0) > 0xFFFFFFFF:
        raise ValueError("value does not fit the fixed-point encoding")
    scale_sign = np.where(magnitudes == 0, 0, precision * 16 + (scaled < 0)).astype(np.uint8)
    return fixed_payload(magnitudes.astype(np.uint32), scale_sign.tobytes(), style=style)


def encode_row(code, values, style="literal"):
    """A payload for one row of a table of type `code`; "raw" forces raw doubles.

    Rows of zeros become the 3-byte zero row. Values must be representable in the
    table's type (float32 values for "S", p decimals for a digit) for the row to read
    back unchanged.
    """
    values = doubles(values)
    if not values.any() and code != "raw":
        return ZERO_ROW
    if code == "raw":
        return raw_double_payload(values, style)
    if code == "D":
        return plane_mask_payload(values, style=style)
    if code == "S":
        return float32_payload(values, style=style)
    return fixed_values_payload(values, int(code), style)


def matrix_file(
    zone_count,
    tables,
    values,
    banner=DEFAULT_BANNER,
    run_id=DEFAULT_RUN_ID,
    encoding="raw",
    style="literal",
):
    """A whole valid file. `values` has shape (T, Z, Z); rows are encoded as raw
    doubles, or with `encoding="native"` in each table's own type."""
    values = np.asarray(values, dtype=np.float64).reshape(len(tables), zone_count, zone_count)
    records = []
    for o in range(zone_count):
        for t, (_, code) in enumerate(tables):
            kind = "raw" if encoding == "raw" else code
            records.append(row_record(o + 1, t + 1, encode_row(kind, values[t, o], style)))
    return standard_header(zone_count, tables, banner, run_id) + b"".join(records)


def zero_records(zone_count, table_count, start=0, stop=None):
    """Zero-row records number start..stop-1 in file order."""
    stop = zone_count * table_count if stop is None else stop
    return [
        row_record(k // table_count + 1, k % table_count + 1, ZERO_ROW)
        for k in range(start, stop)
    ]
