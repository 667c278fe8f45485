"""The native modules against the literal model (tavro._pure), through the fuzz targets' own checks
(fuzz/targets.py): what the fuzzer compares, replayed with generated inputs in every test run."""

import pytest
from hypothesis import given, settings, strategies as st

import targets
import tavro.lib.bitstream as native_bitstream

pytestmark = pytest.mark.native_only("the native modules compared with the model")

TEXT = st.text(alphabet="0123456789abcdefABCDEFxg \n\t\r\"()hexundump", max_size=300)


@settings(max_examples=150, deadline=None)
@given(TEXT, st.integers(-3, 40))
def test_hexundump_agrees(text, linesize):
    targets.check_hexundump(text, linesize)


@settings(max_examples=100, deadline=None)
@given(st.binary(max_size=300), st.integers(-2, 40))
def test_hexdump_agrees_and_reads_back(data, linesize):
    targets.check_hexdump_roundtrip(data, linesize)


@settings(max_examples=150, deadline=None)
@given(st.binary(max_size=80) | st.binary(max_size=64).map(lambda b: bytes(x % 2 for x in b)))
def test_bit_transforms_agree(data):
    targets.check_bits(data)


@settings(max_examples=200, deadline=None)
@given(st.integers(-(2 ** 80), 2 ** 80), st.integers(0, 90), st.binary(max_size=12), st.booleans())
def test_integer_conversions_agree(number, width, data, signed):
    targets.check_integers(number, width, data, signed)


OPERATIONS = st.lists(st.one_of(
    st.tuples(st.just("read"), st.tuples(st.one_of(st.none(), st.integers(-2, 60)))),
    st.tuples(st.just("write"), st.tuples(st.binary(max_size=20))),
    st.tuples(st.just("seek"), st.tuples(st.integers(-50, 80), st.sampled_from([0, 1, 2]))),
    st.tuples(st.sampled_from(["tell", "cachedfrom", "cachedto", "seekable", "tellable"]), st.just(())),
), max_size=25)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.binary(min_size=1, max_size=50), max_size=5), st.one_of(st.none(), st.integers(0, 40)),
       OPERATIONS)
def test_rebuffered_agrees(script, tailcutoff, operations):
    targets.run_rebuffered(native_bitstream, (script, tailcutoff), operations)
