"""Numbers: the kernels and the encoder reference give the C++ library's bits (the patterns of its own
tests), read numpy arrays in place and hand their results over without copies; .npy files."""

import io

import numpy as np
import pytest

import orvo_compiler as oc


def bits(values):
    return np.asarray(values, dtype=np.float32).view(np.uint32).ravel().tolist()


def in_order_sum(values):
    """The float32 sum first to last, as the C++ tests add."""
    return np.cumsum(values.ravel(), dtype=np.float32)[-1]


SELF_CHECK = oc.EncoderConfig(sequence=4, hidden=8, heads=2, feed_forward=16)


def ramp_input():
    """The 4 x 8 self-check input: element i is (i - 9) / 16."""
    return ((np.arange(32, dtype=np.float32) - np.float32(9)) / np.float32(16)).reshape(4, 8)


def test_encoder_reference_self_check_bits():
    weights = oc.EncoderWeights.deterministic(SELF_CHECK)
    first = oc.encoder_reference(SELF_CHECK, ramp_input(), weights)
    second = oc.encoder_reference(SELF_CHECK, ramp_input(), weights)
    assert first.dtype == np.float32 and first.shape == (4, 8)
    assert bits(first) == bits(second)
    assert bits([in_order_sum(first)]) == [0x42D6EDB0]
    assert first[0, 0] == pytest.approx(17.354069, abs=1e-5)
    # The result is the library's own vector, handed over without a copy.
    assert not first.flags.owndata


WORKSPACE_CONFIGS = [
    SELF_CHECK,
    oc.EncoderConfig(sequence=8, hidden=16, heads=4, feed_forward=40),  # grows the workspace
    oc.EncoderConfig(sequence=3, hidden=6, heads=4, feed_forward=5),  # smaller again; heads not dividing
    oc.EncoderConfig(sequence=0, hidden=8, heads=2, feed_forward=16),  # no elements
]


def layer_input(config):
    count = config.sequence * config.hidden
    return np.linspace(-2, 3, count, dtype=np.float32).reshape(config.sequence, config.hidden)


def test_workspace_call_gives_the_plain_call_bits_in_place_or_not():
    workspace = oc.EncoderWorkspace()
    for config in WORKSPACE_CONFIGS:
        weights = oc.EncoderWeights.deterministic(config)
        plain = oc.encoder_reference(config, layer_input(config), weights)
        output = np.full((config.sequence, config.hidden), np.nan, dtype=np.float32)
        assert oc.encoder_reference(config, layer_input(config), weights, workspace, output) is None
        assert bits(output) == bits(plain)
        in_place = layer_input(config)
        oc.encoder_reference(config, in_place, weights, workspace, in_place)
        assert bits(in_place) == bits(plain)
    assert repr(workspace).startswith("EncoderWorkspace(")


def test_workspace_call_refuses_bad_outputs_and_leaves_them_as_they_were():
    weights = oc.EncoderWeights.deterministic(SELF_CHECK)
    workspace = oc.EncoderWorkspace()
    short = np.full(31, 7.0, dtype=np.float32)
    with pytest.raises(oc.CompileError, match="^encoder output size mismatch$"):
        oc.encoder_reference(SELF_CHECK, ramp_input(), weights, workspace, short)
    assert (short == 7.0).all()

    wide = np.zeros(40, dtype=np.float32)
    shifted_input = wide[:32]
    shifted_input[:] = ramp_input().ravel()
    read_only = np.zeros(32, dtype=np.float32)
    read_only.flags.writeable = False
    cases = [
        (oc.CompileError, "^encoder output overlaps input$", lambda: oc.encoder_reference(
            SELF_CHECK, shifted_input, weights, workspace, wide[4:36])),
        (oc.CompileError, "^encoder output overlaps weights$", lambda: oc.encoder_reference(
            SELF_CHECK, ramp_input(), weights, workspace, weights.w1[:32])),
        (ValueError, "", lambda: oc.encoder_reference(SELF_CHECK, ramp_input(), weights, workspace, read_only)),
        (TypeError, "", lambda: oc.encoder_reference(
            SELF_CHECK, ramp_input(), weights, workspace, np.zeros(32, dtype=np.float64))),
        (TypeError, "", lambda: oc.encoder_reference(
            SELF_CHECK, ramp_input(), weights, None, np.zeros(32, dtype=np.float32))),
    ]
    for error, text, call in cases:
        with pytest.raises(error, match=text):
            call()
    # A refused call leaves the workspace free for the next one.
    output = np.zeros(32, dtype=np.float32)
    oc.encoder_reference(SELF_CHECK, ramp_input(), weights, workspace, output)
    assert bits(output) == bits(oc.encoder_reference(SELF_CHECK, ramp_input(), weights))


def test_weights_are_views_onto_the_cpp_matrices():
    config = oc.EncoderConfig(sequence=4, hidden=8, heads=3, feed_forward=16)
    weights = oc.EncoderWeights.deterministic(config)
    assert weights.wo.dtype == np.float32 and weights.wo.shape == (64,)
    assert np.shares_memory(weights.wo, weights.wo)
    assert weights.wq.base is weights
    plain = oc.encoder_reference(config, ramp_input(), weights)
    # Three heads of two leave context columns 6 and 7 zero: rows 6 and 7 of wo cannot reach the result.
    weights.wo[48:64] = 1000.0
    assert bits(oc.encoder_reference(config, ramp_input(), weights)) == bits(plain)
    assert in_order_sum(plain) == pytest.approx(22.207258, abs=1e-4)
    weights.wo[0] = 1000.0
    assert bits(oc.encoder_reference(config, ramp_input(), weights)) != bits(plain)
    # A view keeps its weights alive.
    view = oc.EncoderWeights.deterministic(config).w2
    assert bits(view[:2]) == bits(oc.EncoderWeights.deterministic(config).w2[:2])


def test_weights_from_arrays_equal_the_deterministic_ones():
    weights = oc.EncoderWeights.deterministic(SELF_CHECK)
    copied = oc.EncoderWeights(wq=weights.wq, wk=weights.wk, wv=weights.wv, wo=weights.wo,
                               w1=weights.w1.reshape(8, 16), w2=weights.w2)
    assert copied == weights
    copied.wq[0] = 5.0
    assert copied != weights


def test_matmul_bits():
    left = np.array([1, 2, 3, 4, 5, 6], dtype=np.float32)
    right = np.array([7, 8, 9, 10, 11, 12], dtype=np.float32)
    product = oc.matmul(left, right, 2, 3, 2)
    assert product.shape == (2, 2) and product.tolist() == [[58, 64], [139, 154]]
    # Ascending order loses the 1 in 1e8 + 1 before -1e8 arrives.
    ascending = oc.matmul(np.array([1.0, 1e8, -1e8], dtype=np.float32), np.ones(3, dtype=np.float32), 1, 3, 1)
    assert bits(ascending) == [0x00000000]
    # Each product rounded before adding: no fused multiply-add.
    a = np.float32(1.0 + 2.0 ** -12)
    rounded = oc.matmul(np.array([1.0, a], dtype=np.float32), np.array([-1.0, a], dtype=np.float32), 1, 2, 1)
    assert bits(rounded) == [0x3A000000]
    assert bits(oc.matmul(np.zeros(0, dtype=np.float32), np.zeros(0, dtype=np.float32), 2, 0, 3)) == [0] * 6


def test_layer_norm_bits():
    row = oc.layer_norm(np.array([1, 2, 3, 4], dtype=np.float32), 1, 4, 1e-5)
    assert bits(row) == [0xBFABBAB6, 0xBEE4F8F3, 0x3EE4F8F3, 0x3FABBAB6]
    tail = oc.layer_norm(np.array([[1, 2, 3, 4, 2], [2, 2, 2, 99, -7]], dtype=np.float32), 2, 4, 1e-5)
    assert tail.shape == (2, 5)
    assert bits(tail) == [0xBFABBAB6, 0xBEE4F8F3, 0x3EE4F8F3, 0x3FABBAB6, 0, 0, 0, 0, 0, 0]


def test_softmax_rows_in_place():
    values = np.array([1, 2, 3], dtype=np.float32)
    assert oc.softmax_rows(values, 1, 3) is None
    assert bits(values) == [0x3DB861F3, 0x3E7A9A1A, 0x3F2A4D3B]
    matrix = np.array([[7, 7], [-3, -3], [42, 5]], dtype=np.float32)
    oc.softmax_rows(matrix, 2, 2)
    assert matrix.tolist() == [[0.5, 0.5], [0.5, 0.5], [42, 5]]


@pytest.mark.parametrize("value, pattern", [
    (0.0, 0x00000000), (-10.0, 0x80000000), (1.0, 0x3F57585C), (-1.0, 0xBE229E90), (0.5, 0x3EB1016D),
    (-3.0, 0xBB6E6200), (10.0, 0x41200000),
])
def test_gelu_bits(value, pattern):
    assert bits([oc.gelu(value)]) == [pattern]
    assert bits(oc.gelu(np.array([[value]], dtype=np.float32))) == [pattern]


def test_gelu_of_an_array_keeps_its_shape():
    values = np.linspace(-4, 4, 24, dtype=np.float32).reshape(2, 3, 4)
    result = oc.gelu(values)
    assert result.shape == (2, 3, 4) and result.dtype == np.float32
    assert bits(result) == bits([oc.gelu(float(v)) for v in values.ravel()])


def test_npy_files_read_and_written_by_the_library(tmp_path):
    values = np.arange(6, dtype=np.float32).reshape(2, 3) / np.float32(7)
    data = oc.npy_bytes([2, 3], values)
    assert bits(np.load(io.BytesIO(data))) == bits(values)
    buffer = io.BytesIO()
    np.save(buffer, values)
    parsed = oc.parse_npy(buffer.getvalue())
    assert parsed.shape == (2, 3) and bits(parsed) == bits(values) and not parsed.flags.owndata
    path = tmp_path / "values.npy"
    path.write_bytes(data)
    assert bits(oc.read_npy(path)) == bits(values)
    assert np.load(io.BytesIO(oc.npy_bytes([], np.array([2.5], dtype=np.float32)))).shape == ()


@pytest.mark.parametrize("call, exception", [
    (lambda: oc.parse_npy(b"not a numpy file"), oc.CompileError),
    (lambda: oc.parse_npy(npy_of(np.zeros(3))), oc.CompileError),
    (lambda: oc.read_npy("/nonexistent/values.npy"), oc.CompileError),
    (lambda: oc.npy_bytes([2, 3], np.zeros(5, dtype=np.float32)), ValueError),
    (lambda: oc.npy_bytes([2**40, 2**40], np.zeros(1, dtype=np.float32)), ValueError),
    (lambda: oc.npy_bytes([3], np.zeros(3)), TypeError),
    (lambda: oc.parse_npy(memoryview(b"0123456789")[::2]), ValueError),
])
def test_npy_refusals(call, exception):
    with pytest.raises(exception) as raised:
        call()
    if exception is oc.CompileError:
        assert raised.value.message.startswith("npy: ")


def npy_of(values):
    buffer = io.BytesIO()
    np.save(buffer, values)
    return buffer.getvalue()
