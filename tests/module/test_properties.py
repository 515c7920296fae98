"""Properties of the codec over arbitrary inputs (Python 3, hypothesis)."""
import _tavoext
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from . import reference

MESSAGES = {reference.ZERO_MSG, reference.SHORT_MSG}

# Plain random bytes rarely hold long zero-free runs or many zeros, which is
# where the block rules live, so mix in inputs built from such runs.
runs = st.lists(
    st.one_of(
        st.binary(min_size=0, max_size=600).map(lambda b: b.replace(b"\0", b"\1")),
        st.integers(0, 5).map(lambda k: b"\0" * k),
        st.sampled_from([253, 254, 255, 508]).map(lambda k: b"\x7f" * k),
    ),
    max_size=6,
).map(b"".join)
inputs = st.one_of(st.binary(max_size=2000), runs)


@given(inputs)
@settings(max_examples=600, deadline=None)
def test_encoding_round_trips_within_bound(data):
    encoded = _tavoext.encode(data)
    assert b"\0" not in encoded
    assert len(encoded) == reference.encoded_length(data)
    assert len(encoded) <= len(data) + len(data) // 254 + 1
    assert encoded == reference.encode(data)
    assert _tavoext.decode(encoded) == data


@given(st.one_of(st.binary(max_size=700), inputs.map(_tavoext.encode)))
@settings(max_examples=600, deadline=None)
def test_decode_of_arbitrary_bytes_returns_or_raises_decode_error(data):
    try:
        expected = reference.decode(data)
    except reference.ReferenceError_ as exc:
        with pytest.raises(_tavoext.DecodeError) as info:
            _tavoext.decode(data)
        assert str(info.value) in MESSAGES
        assert str(info.value) == str(exc)
    else:
        assert _tavoext.decode(data) == expected


@given(inputs, st.data())
def test_single_byte_damage_is_caught_or_decodes_like_reference(data, draw):
    encoded = bytearray(_tavoext.encode(data))
    pos = draw.draw(st.integers(0, len(encoded) - 1))
    encoded[pos] = draw.draw(st.integers(0, 255))
    damaged = bytes(encoded)
    try:
        expected = reference.decode(damaged)
    except reference.ReferenceError_ as exc:
        with pytest.raises(_tavoext.DecodeError, match=str(exc)):
            _tavoext.decode(damaged)
    else:
        assert _tavoext.decode(damaged) == expected
