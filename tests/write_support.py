"""Shared helpers for the writing tests: writing single rows, comparing doubles bit for
bit, and building rows whose payload codes to an exact size."""

import os

import numpy as np

from reference_codec import ZERO_ROW, encode_header, encode_plane, split_records
from orvanel._orvanel import _MatrixCore


def bits(values):
    """The 64-bit patterns of doubles, for exact comparison (NaN payloads, sign of zero)."""
    return np.asarray(values, dtype=np.float64).view(np.uint64).tolist()


def from_bits(patterns):
    return np.asarray(patterns, dtype=np.uint64).view(np.float64)


def matrix_with_row(code, row, origin=1):
    """A one-table matrix of Z = len(row) zones whose row `origin` holds `row`, set cell
    by cell (no Z x Z array is needed)."""
    m = _MatrixCore.create(len(row), [("t", code)])
    for d, v in enumerate(row, start=1):
        m.set(1, origin, d, float(v))
    return m


def written_row(code, row):
    """Writes `row` as row 1 of a one-table matrix; returns its payload and the values
    that row reads back as. Every other record must be the zero row."""
    z = len(row)
    data = matrix_with_row(code, row).to_bytes()
    header = encode_header(z, [("t", code)])
    assert data[: len(header)] == header
    records = split_records(data, len(header))
    assert [(r, t) for r, t, _ in records] == [(o, 1) for o in range(1, z + 1)]
    assert all(p == ZERO_ROW for _, _, p in records[1:])
    return records[0][2], _MatrixCore.from_bytes(data).row(1, 1)


def grouped_plane(zones, groups, x, y, run_of_four=False):
    """A plane of `zones` bytes: `groups` repetitions of x x x y, then a tail in which no
    byte equals its neighbour (optionally holding one run of four). Coded, it takes
    zones + 2 * groups bytes (zones + 2 without groups), one more with the run of four."""
    tail_length = zones - 4 * groups
    tail = [(i % 50) + 1 for i in range(tail_length)]
    if run_of_four:
        tail[10:14] = [0xC0] * 4
    return bytes([x, x, x, y] * groups + tail)


def sized_raw_row(payload_size, zones=5600):
    """Doubles for one row whose payload codes to exactly `payload_size` bytes as raw
    doubles in any table type (all eight planes non-zero, and the first value a finite
    double far beyond the single-precision and fixed-point ranges)."""
    budget = payload_size - 3 - 8 * zones
    extra_odd = budget % 2
    groups_total = budget // 2
    per_plane = [groups_total // 8 + (1 if k < groups_total % 8 else 0) for k in range(8)]
    firsts = [(0x11, 0x12)] * 6 + [(0xE0, 0xE1), (0x7F, 0x3F)]
    planes = [
        grouped_plane(zones, per_plane[k], *firsts[k], run_of_four=(k == 0 and extra_odd == 1))
        for k in range(8)
    ]
    coded = 3 + sum(len(encode_plane(p)) for p in planes)
    assert coded == payload_size, coded
    words = np.zeros(zones, dtype=np.uint64)
    for k, plane in enumerate(planes):
        words |= np.frombuffer(plane, dtype=np.uint8).astype(np.uint64) << np.uint64(8 * k)
    row = words.view(np.float64)
    assert np.isfinite(row).all() and row[0] > 1e300
    return row


def directory_listing(path):
    return sorted(os.listdir(path))
