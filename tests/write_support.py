"""Shared helpers for the writing tests."""

import os

import numpy as np

from orvanel._orvanel import _MatrixCore
from reference_codec import ZERO_ROW, encode_header, encode_plane, split_records


def bits(values):
    """The 64-bit patterns of doubles, for exact comparison (NaN payloads, sign of zero)."""
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


def from_bits(patterns):
    return np.asarray(patterns, dtype=np.uint64).view(np.float64)


def matrix_with_row(code, row, origin=1):
    """A one-table matrix of len(row) zones whose row `origin` holds `row`, set cell by cell."""
    m = _MatrixCore.create(len(row), [("t", code)])
    for d, v in enumerate(row, start=1):
        m.set(1, origin, d, float(v))
    return m


def written_row(code, row):
    """The payload `row` is written as (every other row must be the zero row) and the
    values it reads back as."""
    z = len(row)
    data = matrix_with_row(code, row).to_bytes()
    header = encode_header(z, [("t", code)])
    assert data[: len(header)] == header
    records = split_records(data, len(header))
    assert [(r, t) for r, t, _ in records] == [(o, 1) for o in range(1, z + 1)]
    assert all(p == ZERO_ROW for _, _, p in records[1:])
    return records[0][2], _MatrixCore.from_bytes(data).row(1, 1)


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


def directory_listing(path):
    return sorted(os.listdir(path))
