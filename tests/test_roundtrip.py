import math
import string

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from orvanel._header import DEFAULT_BANNER, DEFAULT_RUN_ID
from orvanel._orvanel import _MatrixCore
from reference_codec import bits, from_bits, matrix_file, read_back

CODES = [str(p) for p in range(10)] + ["S", "D"]

AWKWARD = [  # ties, fixed-point and single-precision limits, subnormals, NaN payloads
    0.0, -0.0, 0.5, -0.5, 1.5, 2.5, 3.5, -2.5, 0.125, 0.135, 0.005, -0.004, 1e-9, 5e-10, 42949672.95, 42949672.96,
    -42949672.95, 4294967295.0, 4294967295.5, 4294967296.0, 4.294967295, 3.0e38, -3.0e38, 3.4028234663852886e38,
    float(2**128 - 2**103), float(2**128 - 2**103 - 2**75), 1e39, 2.0**-150, 3 * 2.0**-150, 2.0**-149, 1e-45,
    5e-324, -5e-324, 1e-300, 1e300, 1.7976931348623157e308, math.inf, -math.inf, math.nan, 0.1, -1 / 3, 255.0,
    256.0, 65535.0, -65536.0,
] + from_bits([0x7FF0000000000001, 0xFFF8000000000123, 0x7FF4000000000000]).tolist()

values = st.one_of(
    st.sampled_from(AWKWARD),
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-(10**7), 10**7).map(lambda i: i / 100),
    st.integers(0, 2**64 - 1).map(lambda b: float(from_bits([b])[0])),
    st.just(0.0),
)
texts = st.text(st.characters(blacklist_categories=("Cs",), blacklist_characters="\x00"), max_size=12)
names = st.text(st.sampled_from(string.printable.replace("\x0b", "") + "= "), min_size=1, max_size=6)


@st.composite
def matrices(draw):
    zones = draw(st.integers(1, 5))
    count = draw(st.integers(1, 4))
    tables = [(draw(names), draw(st.sampled_from(CODES))) for _ in range(count)]
    cells = draw(st.lists(values, min_size=count * zones * zones, max_size=count * zones * zones))
    stack = np.array(cells, dtype=np.float64).reshape(count, zones, zones)
    for t, (_, code) in enumerate(tables):
        if code == "S":  # a NaN's single-precision bits are the hardware's choice
            stack[t][np.isnan(stack[t])] = 0.25
    for t, o in draw(st.lists(st.tuples(st.integers(0, count - 1), st.integers(0, zones - 1)), max_size=4)):
        stack[t, o] = draw(st.sampled_from([0.0, -0.0]))
    return zones, tables, stack, draw(st.none() | texts), draw(st.none() | texts)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(matrices())
def test_written_matrix_reads_back_as_encoded(case):
    zones, tables, stack, banner, run_id = case
    m = _MatrixCore.create(zones, tables, banner, run_id)
    m.set_stack_array(stack)
    data = m.to_bytes()
    expected_banner = DEFAULT_BANNER if banner is None else banner
    expected_run_id = DEFAULT_RUN_ID if run_id is None else run_id
    assert data == matrix_file(zones, tables, stack, expected_banner, expected_run_id)
    assert _MatrixCore.to_bytes_from_stack(zones, tables, stack, banner, run_id) == data
    back = _MatrixCore.from_bytes(data)
    assert (back.zone_count, back.banner, back.run_id) == (zones, expected_banner, expected_run_id)
    assert [(t.index, t.name, t.type_code) for t in back.tables()] == [(i, *t) for i, t in enumerate(tables, start=1)]
    expected = [[read_back(code, stack[t, o].tolist()) for o in range(zones)] for t, (_, code) in enumerate(tables)]
    assert bits(back.stack_array()) == bits(expected)
