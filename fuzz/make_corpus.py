"""Seed inputs for the fuzz targets, made with the project's own writer.

Matrices of every type code, with small and odd zone counts and rows that take every
encoding (zero rows, fixed-point with and without the scale-and-sign plane, float32,
plane masks, the raw-double fallback, runs and literals), are written to bytes; the seeds
of each target are cut from those files in the target's input format.

Usage: python make_corpus.py OUTPUT_DIR
"""

import pathlib
import struct
import sys

import numpy as np

from orvanel._orvanel import _MatrixCore

CODES = [str(p) for p in range(10)] + ["S", "D"]
ZONES = [1, 2, 3, 5, 7, 8, 9, 13, 17]


def row_values(style, code, z, rng):
    """One row of z values of a given style."""
    if style == "zero":
        return np.zeros(z)
    if style == "negative-zero":
        return np.full(z, -0.0)
    if style == "integers":
        return rng.integers(0, 200, z).astype(float)
    if style == "signed":
        return rng.integers(-70000, 70000, z).astype(float)
    if style == "decimals":
        p = int(code) if code.isdigit() else 3
        return np.round(rng.uniform(-1e4, 1e4, z), p)
    if style == "ties":
        return (np.arange(z) + 0.5) / 10.0 ** (int(code) if code.isdigit() else 0)
    if style == "runs":
        return np.repeat(rng.uniform(-5, 5, (z + 3) // 4), 4)[:z]
    if style == "floats":
        return rng.standard_normal(z).astype(np.float32).astype(float)
    if style == "doubles":
        return rng.standard_normal(z) * 10.0 ** rng.integers(-30, 30, z)
    if style == "special":
        row = rng.standard_normal(z)
        row[rng.integers(0, z)] = [np.nan, np.inf, -np.inf, 1e39, 5e9, -0.0][rng.integers(0, 6)]
        return row
    raise ValueError(style)


STYLES = [
    "zero",
    "negative-zero",
    "integers",
    "signed",
    "decimals",
    "ties",
    "runs",
    "floats",
    "doubles",
    "special",
]


def matrices(rng):
    """(zone count, table codes, stack) of the seed matrices."""
    for code in CODES:
        for z in ZONES:
            tables = [code] if z % 2 else [code, CODES[(CODES.index(code) + 5) % len(CODES)]]
            stack = np.empty((len(tables), z, z))
            for t, table_code in enumerate(tables):
                for o in range(z):
                    stack[t, o] = row_values(STYLES[(o + t + z) % len(STYLES)], table_code, z, rng)
            yield z, tables, stack


def write(z, tables, stack):
    defs = [(f"t{k}", code) for k, code in enumerate(tables)]
    return _MatrixCore.to_bytes_from_stack(z, defs, stack)


def header_length(data):
    pos = 0
    for _ in range(5):
        pos += struct.unpack_from("<I", data, pos)[0]
    return pos


def records(data):
    """(row, table, payload) of every row record."""
    pos = header_length(data)
    while pos < len(data):
        row, table, chunk = struct.unpack_from("<HBH", data, pos)
        yield row, table, data[pos + 5 : pos + 3 + chunk]
        pos += 3 + chunk


def main(out):
    rng = np.random.default_rng(20240601)
    seeds = {
        name: {} for name in ("reader", "header", "decode", "roundtrip", "transpose", "parallel")
    }
    for z, tables, stack in matrices(rng):
        data = write(z, tables, stack)
        tag = f"{''.join(tables)}-z{z}"
        for mode in (0x00, 0x01, 0x3F, 0x41, 0x80):
            seeds["reader"][f"{tag}-m{mode:02x}"] = bytes([mode]) + data
        for mode in (0x00, 0x07, 0x1D, 0x2B, 0x3F):
            seeds["parallel"][f"{tag}-m{mode:02x}"] = bytes([mode]) + data
        seeds["header"][tag] = data[: header_length(data)]
        for k, (row, table, payload) in enumerate(records(data)):
            if payload != b"\x80\x80\x00" or k == 0:
                seeds["decode"][f"{tag}-r{row}t{table}"] = bytes([z]) + payload
            code_byte = CODES.index(tables[table - 1])
            values = stack[table - 1, row - 1]
            seeds["roundtrip"][f"{tag}-r{row}t{table}-d"] = (
                bytes([code_byte, 0]) + values.astype("<f8").tobytes()
            )
        code_byte = CODES.index(tables[0])
        with np.errstate(over="ignore"):
            floats = stack[0].ravel()[:64].astype("<f4")
        seeds["roundtrip"][f"{tag}-f"] = bytes([code_byte, 1]) + floats.tobytes()
        ints = rng.integers(-(2**31), 2**31, z, dtype=np.int64).astype("<i4")
        exps = rng.integers(0, 256, z, dtype=np.uint8)
        packed = b"".join(struct.pack("<iB", int(i), int(e)) for i, e in zip(ints, exps))
        seeds["roundtrip"][f"{tag}-i"] = bytes([code_byte, 2]) + packed

    # Rows as long as a payload can be: raw doubles of 8189 zones fit, of 8190 do not.
    for z in (8189, 8190):
        seeds["roundtrip"][f"raw-limit-z{z}"] = bytes([0, 0]) + rng.bytes(8 * z)
    # A plane longer than one token can hold: a run of 40000 equal bytes.
    # (Files are written with at most 32000 zones, but read with up to 65535.)
    seeds["decode"]["long-run"] = (
        b"\xff" + struct.pack("<H", 40000) + b"\x80\x80\x80" + b"\xff\xff\x07\x41\x9c\x07"
    )
    for n in (0, 1, 7, 8, 9, 16, 17, 63, 64, 65):
        for planes in (1, 4, 5, 8):
            seeds["transpose"][f"n{n}-p{planes}"] = bytes([planes - 1, n // 2]) + rng.bytes(8 * n)

    out = pathlib.Path(out)
    for target, items in seeds.items():
        folder = out / target
        folder.mkdir(parents=True, exist_ok=True)
        for name, data in items.items():
            (folder / name).write_bytes(data)
        print(f"{target}: {len(items)} seeds")


if __name__ == "__main__":
    main(sys.argv[1])
