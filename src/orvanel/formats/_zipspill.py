"""Zip archives whose members are written a piece at a time, all at once.

A zip archive holds its members one after another, but a matrix arrives origin by origin:
every table (member) grows with each block. Each piece of a member is deflated on its own
and ends on a byte boundary (a sync flush), so that the pieces of one member, put one
after another and closed by a final empty block, form one deflate stream, as a parallel
compressor makes it. The pieces wait in one spill file; once every member is complete
they are copied into the archive behind each member's header. The archive is what
Python's `zipfile` writes with ``ZIP_DEFLATED`` and ``force_zip64``: any zip reader
reads it.

The spill file takes the compressed size of the members, about the size of the archive.
"""

from __future__ import annotations

import struct
import time
import zlib
from typing import IO

# Sizes and offsets above this are stored in zip64 fields, as zipfile does.
_ZIP64_LIMIT = (1 << 31) - 1
_ZIP_FILECOUNT_LIMIT = 0xFFFF
_ZIP64_VERSION = 45
_UNIX = 3
_DEFLATED = 8
_UTF8_NAME = 0x800
_PERMISSIONS = 0o644 << 16
_PENDING_BYTES = 256 << 10  # compressed bytes of a member kept before they go to the spill
_COPY_BYTES = 1 << 20


class _Member:
    def __init__(self, name: str) -> None:
        self.name = name
        self.crc = 0
        self.size = 0  # uncompressed
        self.compressed = 0
        self.pending = bytearray()
        self.pieces: list[tuple[int, int]] = []  # (offset, length) in the spill file
        self.offset = 0  # of the local header, in the archive


class SpilledMembers:
    """Members of one archive, deflated piece by piece into ``spill`` (an open binary
    file for reading and writing, empty), then written out by `write_archive`."""

    def __init__(self, names: list[str], spill: IO[bytes], level: int) -> None:
        self.members = [_Member(name) for name in names]
        self.spill = spill
        self.level = level

    def add(self, member: int, data: bytes | memoryview) -> None:
        """Append ``data`` to member ``member`` (0-based)."""
        entry = self.members[member]
        entry.crc = zlib.crc32(data, entry.crc)
        entry.size += len(data)
        compressor = zlib.compressobj(self.level, zlib.DEFLATED, -15)
        entry.pending += compressor.compress(data)
        entry.pending += compressor.flush(zlib.Z_SYNC_FLUSH)
        if len(entry.pending) >= _PENDING_BYTES:
            self._spill(entry)

    def _spill(self, entry: _Member) -> None:
        if entry.pending:
            offset = self.spill.seek(0, 2)
            self.spill.write(entry.pending)
            entry.pieces.append((offset, len(entry.pending)))
            entry.compressed += len(entry.pending)
            entry.pending = bytearray()

    def write_archive(self, out: IO[bytes]) -> None:
        """Write the archive of every member to ``out``, at its start."""
        end = zlib.compressobj(self.level, zlib.DEFLATED, -15).flush()  # a final empty block
        stamp = _dos_time()
        for entry in self.members:
            entry.pending += end
            self._spill(entry)
        self.spill.flush()
        for entry in self.members:
            entry.offset = out.tell()
            out.write(_local_header(entry, stamp))
            for offset, length in entry.pieces:
                self.spill.seek(offset)
                while length:
                    data = self.spill.read(min(length, _COPY_BYTES))
                    if not data:
                        raise OSError("the temporary file of the archive ended early")
                    out.write(data)
                    length -= len(data)
        start = out.tell()
        for entry in self.members:
            out.write(_central_header(entry, stamp))
        _write_end(out, len(self.members), start, out.tell() - start)


def _dos_time() -> tuple[int, int]:
    year, month, day, hour, minute, second = time.localtime()[:6]
    if year < 1980:
        year, month, day, hour, minute, second = 1980, 1, 1, 0, 0, 0
    return (hour << 11 | minute << 5 | second // 2), ((year - 1980) << 9 | month << 5 | day)


def _name(entry: _Member) -> tuple[bytes, int]:
    try:
        return entry.name.encode("ascii"), 0
    except UnicodeEncodeError:
        return entry.name.encode("utf-8"), _UTF8_NAME


def _local_header(entry: _Member, stamp: tuple[int, int]) -> bytes:
    name, flags = _name(entry)
    extra = struct.pack("<HHQQ", 1, 16, entry.size, entry.compressed)
    head = struct.pack(
        "<4s2B4HL2L2H",
        b"PK\003\004",
        _ZIP64_VERSION,
        0,
        flags,
        _DEFLATED,
        *stamp,
        entry.crc,
        0xFFFFFFFF,
        0xFFFFFFFF,
        len(name),
        len(extra),
    )
    return head + name + extra


def _central_header(entry: _Member, stamp: tuple[int, int]) -> bytes:
    name, flags = _name(entry)
    fields: list[int] = []
    size, compressed, offset = entry.size, entry.compressed, entry.offset
    if size > _ZIP64_LIMIT or compressed > _ZIP64_LIMIT:
        fields += [size, compressed]
        size = compressed = 0xFFFFFFFF
    if offset > _ZIP64_LIMIT:
        fields.append(offset)
        offset = 0xFFFFFFFF
    extra = struct.pack(f"<HH{len(fields)}Q", 1, 8 * len(fields), *fields) if fields else b""
    head = struct.pack(
        "<4s4B4HL2L5H2L",
        b"PK\001\002",
        _ZIP64_VERSION,
        _UNIX,
        _ZIP64_VERSION,
        0,
        flags,
        _DEFLATED,
        *stamp,
        entry.crc,
        compressed,
        size,
        len(name),
        len(extra),
        0,
        0,
        0,
        _PERMISSIONS,
        offset,
    )
    return head + name + extra


def _write_end(out: IO[bytes], count: int, start: int, size: int) -> None:
    if count > _ZIP_FILECOUNT_LIMIT or start > _ZIP64_LIMIT or size > _ZIP64_LIMIT:
        record = out.tell()
        out.write(
            struct.pack(
                "<4sQ2H2L4Q",
                b"PK\006\006",
                44,
                _ZIP64_VERSION,
                _ZIP64_VERSION,
                0,
                0,
                count,
                count,
                size,
                start,
            )
        )
        out.write(struct.pack("<4sLQL", b"PK\006\007", 0, record, 1))
        count = min(count, _ZIP_FILECOUNT_LIMIT)
        size = min(size, 0xFFFFFFFF)
        start = min(start, 0xFFFFFFFF)
    out.write(struct.pack("<4s4H2LH", b"PK\005\006", 0, 0, count, count, size, start, 0))
