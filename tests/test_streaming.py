"""Matrix files read and written a block of origins at a time (orvanel.open_rows,
orvanel.RowWriter): the values, bytes and errors of whole-file loads and writes, in blocks
of any size and on any number of threads; reading any range of origins after the index."""

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_encode import matrices
from test_engine import (
    FAULT_SETS,
    FAULT_VALUES,
    FT,
    FZ,
    REALISTIC_TABLES,
    STACK,
    Z,
    check_same_error,
    faulty_file,
    low_level_load,
    outcome,
)
from test_interrupts import load_through_pipe

import orvanel
from conftest import engine_source
from orvanel import _engine
from orvanel._orvanel import (
    OrvanelParseError,
    OrvanelValidationError,
    OrvanelWriterError,
    _MatrixCore,
)
from orvanel.formats import matfile
from reference_codec import ZERO_ROW, row_record, standard_header
from support import Stop, same_bits, shared_out

THREADS = [1, 2, 3]
EXPECTED = _MatrixCore.to_bytes_from_stack(Z, REALISTIC_TABLES, STACK)


def streamed(source, names=None, block=None, threads=1):
    """Every block of open_rows, checked to cover the origins in order, as one array."""
    with orvanel.open_rows(source, names, block=block, threads=threads) as rows:
        blocks = list(rows)
        zones = rows.zones
    assert [o for origins, _ in blocks for o in origins] == list(range(1, zones + 1))
    for origins, values in blocks:
        assert values.shape == (values.shape[0], len(origins), zones) and values.flags.owndata
    return np.concatenate([values for _, values in blocks], axis=1)


def stream_outcome(data, names, block, threads, kind, path):
    return outcome(lambda: streamed(engine_source(kind, data, path), names, block, threads))


# ---- reading block by block -------------------------------------------------------


@pytest.mark.parametrize("kind", ["bytes", "path", "mmap"])
@pytest.mark.parametrize("block", [1, 7, Z - 1, None])
def test_blocks_hold_the_values_of_a_whole_load(tmp_path, kind, block):
    with shared_out(1, 3 * Z):
        for threads in THREADS:
            assert same_bits(streamed(engine_source(kind, EXPECTED, tmp_path / "m.mat"), None, block, threads), STACK)
            got = streamed(engine_source(kind, EXPECTED, tmp_path / "m.mat"), ["COUNT", "TRIPS"], block, threads)
            assert same_bits(got, STACK[[0, 3]])


def test_header_facts_and_default_block():
    whole = orvanel.read_bytes(EXPECTED)
    with orvanel.open_rows(EXPECTED, ["COST", "TIME"]) as rows:
        assert (rows.zones, rows.banner, rows.run_id) == (Z, whole.banner, whole.run_id)
        assert rows.tables == [orvanel.TableInfo(1, "TIME", "D"), orvanel.TableInfo(2, "COST", "S")]
        assert rows.block == Z  # a small file is one block
    zones = 6000
    data = standard_header(zones, [("a", "D"), ("b", "D")]) + row_record(1, 1, ZERO_ROW)
    with orvanel.open_rows(data + b"\0" * (10 * zones)) as rows:  # long enough to pass the size check
        assert 16e6 <= rows.block * 2 * zones * 8 <= 32e6


@pytest.mark.parametrize("block", [1, 5, 2 * FZ])
@pytest.mark.parametrize("faults", FAULT_SETS, ids=lambda f: "+".join(f"{k}:{n}" for k, n in f))
def test_faults_end_the_blocks_with_the_error_of_a_whole_load(tmp_path, faults, block):
    data = faulty_file(faults)
    with shared_out(1, 2 * FZ):
        for threads in THREADS:
            for kind in ("bytes", "path"):
                check_same_error(stream_outcome(data, None, block, threads, kind, tmp_path / "m.mat"),
                                 low_level_load(data))
            check_same_error(stream_outcome(data, ["c", "a"], block, threads, "bytes", None),
                             low_level_load(data, ["a", "c"]))


def test_blocks_before_a_fault_arrive_and_the_fault_ends_the_iteration():
    data = faulty_file([(40, "preamble")])  # origin 14
    rows = orvanel.open_rows(data, block=4)
    got = []
    with pytest.raises(OrvanelParseError) as info:
        for _origins, values in rows:
            got.append(values)
    check_same_error(info.value, low_level_load(data))
    assert same_bits(np.concatenate(got, axis=1), FAULT_VALUES[:, :12])
    assert list(rows) == []
    rows.close()
    with pytest.raises(ValueError, match="closed"):
        next(rows)


def test_missing_table_is_table_not_found():
    with pytest.raises(orvanel.TableNotFoundError) as info:
        orvanel.open_rows(EXPECTED, ["TIME", "nope"])
    assert info.value.kind == "table_not_found" and info.value.args[0] == str(low_level_load(EXPECTED, ["nope"]))
    with orvanel.open_rows(EXPECTED, ["TIME"]) as rows, pytest.raises(orvanel.TableNotFoundError):
        rows.read(range(1, 3), ["COST"])


# ---- reading by origins -----------------------------------------------------------

RANGES = [range(1, Z + 1), range(1, 2), range(Z, Z + 1), range(17, 101), range(5, 5), slice(200, None),
          slice(None, 3)]


@pytest.mark.parametrize("kind", ["bytes", "path", "memoryview"])
@pytest.mark.parametrize("origins", RANGES, ids=str)
def test_any_range_of_origins_of_any_tables(tmp_path, kind, origins):
    span = range(*origins.indices(Z + 1)) if isinstance(origins, slice) else origins
    if isinstance(origins, slice) and origins.start is None:
        span = range(1, origins.stop)
    rows_of = slice(span.start - 1, span.stop - 1) if len(span) else slice(0, 0)
    with shared_out(1, 2 * Z), orvanel.open_rows(engine_source(kind, EXPECTED, tmp_path / "m.mat"),
                                                 threads=2) as rows:
        assert same_bits(rows.read(origins), STACK[:, rows_of])
        assert same_bits(rows.read(origins, ["COUNT", "TIME"]), STACK[[3, 1], rows_of])
        # The index does not disturb reading in blocks, nor the blocks the index.
        assert same_bits(np.concatenate([v for _, v in rows], axis=1), STACK)
        assert same_bits(rows.read(origins, "COST"), STACK[[2], rows_of])


@pytest.mark.parametrize("block, origins, error", [
    (0, range(1, 2), ValueError), (-3, range(1, 2), ValueError), (2.0, range(1, 2), TypeError), (True, range(1, 2), TypeError),
    (None, range(0, 3), ValueError), (None, range(Z, Z + 2), ValueError), (None, range(1, 9, 2), ValueError),
    (None, slice(1, 5, 2), ValueError), (None, [1, 2], TypeError), (None, 3, TypeError),
])
def test_block_sizes_and_origin_ranges_refused(block, origins, error):
    with pytest.raises(error), orvanel.open_rows(EXPECTED, block=block) as rows:
        rows.read(origins)


def origin_of(record):
    return record // FT + 1


@pytest.mark.parametrize("records", [[5, 30, 31, 60], [71, 2], [k for k in range(0, FZ * FT, 4)]])
def test_the_first_fault_of_a_range_in_file_order(records):
    """Faults of the same length as the records they replace: each range's error is that of
    a file whose only fault is the range's first."""
    data = faulty_file([(k, "preamble") for k in records])
    with shared_out(1, 1), orvanel.open_rows(data, threads=3) as rows:
        for first in range(1, FZ + 1, 5):
            span = range(first, min(first + 7, FZ + 1))
            inside = sorted(k for k in records if origin_of(k) in span)
            got = outcome(lambda: rows.read(span))
            if inside:
                check_same_error(got, low_level_load(faulty_file([(inside[0], "preamble")])))
            else:
                assert same_bits(got, FAULT_VALUES[:, first - 1:span.stop - 1])


def test_a_pipe_cannot_be_indexed(tmp_path):
    def read_pipe(path):
        with orvanel.open_rows(path) as rows:
            with pytest.raises(ValueError, match="regular file"):
                rows.read(range(1, 3))
            return np.concatenate([v for _, v in rows], axis=1)

    got = load_through_pipe(tmp_path, read_pipe, EXPECTED)
    assert "error" not in got and same_bits(got["matrix"], STACK)


def test_index_holds_eight_bytes_per_record():
    with orvanel.open_rows(EXPECTED) as rows:
        assert rows.index() <= 8 * (len(REALISTIC_TABLES) * Z + 2)


# ---- writing block by block -------------------------------------------------------


def write_in_blocks(path, zones, tables, stack, cuts, threads=1, banner=None, run_id=None):
    with orvanel.RowWriter(path, zones, tables, banner=banner, run_id=run_id, threads=threads) as writer:
        for start, stop in zip([0, *cuts], [*cuts, zones]):
            writer.write(stack[:, start:stop])


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(matrices(), st.sampled_from(THREADS), st.data())
def test_random_matrices_written_whole_or_in_blocks_and_loaded_as_the_low_level_module_does(tmp_path_factory, case,
                                                                                               threads, data):
    zones, tables, stack, banner, run_id = case
    expected = _MatrixCore.to_bytes_from_stack(zones, tables, stack, banner, run_id)
    cuts = sorted(data.draw(st.lists(st.integers(0, zones), max_size=4)))
    layout = data.draw(st.sampled_from(["c", "fortran", "reversed"]))
    values = {"c": stack, "fortran": np.asfortranarray(stack), "reversed": stack[::-1, ::-1, ::-1].copy()[::-1, ::-1, ::-1]}
    path = tmp_path_factory.mktemp("rows") / "m.mat"
    with shared_out():
        write_in_blocks(path, zones, tables, values[layout], cuts, threads, banner, run_id)
        assert _engine.write(None, zones, tables, values[layout], banner, run_id, threads=threads) == expected
        assert same_bits(_engine.load(path, threads=threads)[0], _MatrixCore.from_bytes(expected).stack_array())
    assert path.read_bytes() == expected


def test_a_one_table_file_in_two_dimensions(tmp_path):
    target = tmp_path / "m.mat"
    with orvanel.RowWriter(target, Z, {"TIME": "D"}) as writer:
        writer.write(STACK[1, :100].astype(np.float32).astype(np.float64))
        writer.write(STACK[1, 100:].tolist())
    expected = STACK[1:2].copy()
    expected[0, :100] = expected[0, :100].astype(np.float32)
    assert same_bits(orvanel.read(target).to_numpy(), expected)


def stop(writer):
    writer.write(np.zeros((2, 2, 4)))
    raise Stop


@pytest.mark.parametrize("action, cls, kind, message", [
    (lambda w: w.write(np.zeros((2, 3, 4))), OrvanelWriterError, "incomplete_matrix", "incomplete matrix: expected 8 rows, wrote 6"),
    (lambda w: None, OrvanelWriterError, "incomplete_matrix", "incomplete matrix: expected 8 rows, wrote 0"),
    (lambda w: w.write(np.zeros((2, 2, 5))), OrvanelValidationError, "zone_count_mismatch", "zone count mismatch: expected 4 values, got 5"),
    (lambda w: (w.write(np.zeros((2, 4, 4))), w.write(np.zeros((2, 1, 4)))), OrvanelWriterError, "writer_finished", None),
    (lambda w: w.write(np.zeros((2, 5, 4))), OrvanelWriterError, "writer_finished", None),
    (stop, Stop, None, None),
    (lambda w: (w.write(np.zeros((2, 1, 4))), w.abort(), w.write(np.zeros((2, 1, 4)))), ValueError, None,
     "the matrix file writer is closed"),
])
def test_writer_errors_keep_the_previous_file(tmp_path, action, cls, kind, message):
    target = tmp_path / "m.mat"
    target.write_bytes(b"previous")
    with pytest.raises(cls) as info:
        with orvanel.RowWriter(target, 4, [("a", "D"), ("b", "2")]) as writer:
            action(writer)
    assert type(info.value) is cls and getattr(info.value, "kind", None) == kind
    assert message is None or str(info.value) == message
    assert target.read_bytes() == b"previous" and os.listdir(tmp_path) == ["m.mat"]


def test_a_block_of_a_wrong_table_count_or_dtype_is_refused_before_any_row(tmp_path):
    target = tmp_path / "m.mat"
    with orvanel.RowWriter(target, 3, [("a", "D"), ("b", "D")]) as writer:
        with pytest.raises(ValueError, match="2 tables"):
            writer.write(np.zeros((3, 3, 3)))
        with pytest.raises(ValueError, match="shape"):
            writer.write(np.zeros((3, 3)))
        with pytest.raises(TypeError):
            writer.write(np.ma.masked_array(np.zeros((2, 3, 3))))
        with pytest.raises(ValueError, match="cannot be held"):
            writer.write(np.full((2, 3, 3), 2**53 + 1, dtype=np.int64))
        writer.write(np.arange(18, dtype=np.int32).reshape(2, 3, 3))
    assert same_bits(orvanel.read(target).to_numpy(), np.arange(18.0).reshape(2, 3, 3))


def any_outcome(call):
    try:
        return call()
    except Exception as exc:
        return exc


@pytest.mark.parametrize("zones, tables, kwargs", [
    (0, [("a", "D")], {}), (32001, [("a", "D")], {}), (3, [], {}), (3, [("", "D")], {}),
    (3, [("a", "D")], {"banner": "x" * (1 << 20)}), (3, [("a", "D")], {"run_id": "a\0b"}),
])
def test_header_checks_before_any_byte(tmp_path, zones, tables, kwargs):
    target = tmp_path / "m.mat"
    target.write_bytes(b"previous")
    # What the whole-file writer says for the same header (its values never read).
    values = np.broadcast_to(0.0, (len(tables), zones, zones))
    expected = any_outcome(lambda: matfile.write_arrays(target, zones, tables, values, kwargs.get("banner"),
                                                        kwargs.get("run_id")))
    assert isinstance(expected, Exception)
    got = any_outcome(lambda: orvanel.RowWriter(target, zones, tables, **kwargs))
    assert isinstance(got, Exception) and type(got) is type(expected) and str(got) == str(expected)
    assert target.read_bytes() == b"previous" and os.listdir(tmp_path) == ["m.mat"]
