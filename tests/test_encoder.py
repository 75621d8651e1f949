"""RustBinaryEncoder: construction checks, the seed route, and codes bit-exact with a sequential
float32 reference."""

import numpy as np
import pytest

import tarnwick_rs as rs

Encoder = rs.RustBinaryEncoder
F32_TYPE_ERROR = "Expected numpy array of float32 with 1 or 2 dimensions"


def reference(M, X):
    """Codes by the contract: per bit one float32 sum over j in order, product rounded first."""
    M = np.asarray(M, dtype=np.float32)
    X = np.atleast_2d(np.asarray(X, dtype=np.float32))
    bits, dim = M.shape
    acc = np.zeros((X.shape[0], bits), dtype=np.float32)
    with np.errstate(over="ignore", invalid="ignore"):
        for j in range(dim):
            acc = acc + (X[:, j : j + 1] * M[None, :, j]).astype(np.float32)
    words = (bits + 63) // 64
    packed = np.zeros((X.shape[0], words * 8), dtype=np.uint8)
    packed[:, : (bits + 7) // 8] = np.packbits(acc >= 0, axis=1, bitorder="little")
    return packed.view("<u8")


def normal(shape, seed):
    return np.random.default_rng(seed).standard_normal(shape).astype(np.float32)


def near_zero_matrix(x, bits, seed):
    """Rows whose last column cancels the running float32 sum against x, give or take 2 ulps."""
    dim = x.shape[0]
    M = normal((bits, dim), seed)
    nudges = np.random.default_rng(seed + 1).integers(-2, 3, size=bits)
    for r in range(bits):
        s = np.float32(0)
        for j in range(dim - 1):
            s = np.float32(s + np.float32(M[r, j] * x[j]))
        last = np.float32(-s / x[-1])
        for _ in range(abs(nudges[r])):
            last = np.nextafter(last, np.float32(np.inf if nudges[r] > 0 else -np.inf))
        M[r, -1] = last
    return M


# --- codes ---


@pytest.mark.parametrize("dim", [1, 3, 7, 64, 65, 383, 384, 1000])
@pytest.mark.parametrize("bits", [1, 63, 64, 65, 100, 256, 257, 1024])
def test_codes_equal_sequential_reference(dim, bits):
    M = normal((bits, dim), dim * 7919 + bits)
    # 17 rows: a full 12-row block, a 3-row block and single rows.
    X = normal((17, dim), bits * 31 + dim)
    enc = Encoder(dim, bits, M)
    codes = enc.encode(X)
    assert codes.dtype == np.uint64 and codes.shape == (17, (bits + 63) // 64)
    np.testing.assert_array_equal(codes, reference(M, X))
    np.testing.assert_array_equal(enc.encode(X[5]), reference(M, X[5])[0])


@pytest.mark.parametrize("dim,bits", [(2, 16), (7, 33), (64, 256), (384, 256)])
def test_codes_near_zero_follow_the_summation_order(dim, bits):
    x = normal(dim, dim)
    M = near_zero_matrix(x, bits, dim + bits)
    X = np.stack([x * np.float32(k) for k in (1, 2, 4, 8)] + [x] * 13)
    expected = reference(M, X)
    np.testing.assert_array_equal(Encoder(dim, bits, M).encode(X), expected)
    if dim > 2:
        # The case is sharp: summing in reverse order flips some of these bits.
        reversed_order = reference(M[:, ::-1], x[None, ::-1])
        assert (reversed_order != expected[:1]).any()


def test_hand_cases_round_each_step():
    # 1e8 - 1 rounds back to 1e8, so the sum is +0 and the bit is 1 (the exact sum is -1).
    enc = Encoder(3, 1, np.ones((1, 3), dtype=np.float32))
    assert enc.encode(np.array([1e8, -1.0, -1e8], dtype=np.float32)).tolist() == [1]
    # 2 * 3e38 overflows to +inf, 2 * -3e38 to -inf; their sum is NaN and the bit is 0.
    enc = Encoder(2, 1, np.full((1, 2), 2.0, dtype=np.float32))
    assert enc.encode(np.array([3e38, -3e38], dtype=np.float32)).tolist() == [0]


@pytest.mark.parametrize(
    "bits,words",
    [(256, [0xFFFFFFFFFFFFFFFF] * 4), (100, [0xFFFFFFFFFFFFFFFF, 0xFFFFFFFFF]), (1, [1])],
)
def test_zero_embedding_sets_exactly_the_code_bits(bits, words):
    enc = Encoder(5, bits, normal((bits, 5), 3))
    assert enc.encode(np.zeros(5, dtype=np.float32)).tolist() == words
    assert enc.encode(np.zeros((3, 5), dtype=np.float32)).tolist() == [words] * 3


def test_batch_rows_equal_single_codes_and_encode_batch():
    M, X = normal((100, 48), 1), normal((40, 48), 2)
    enc = Encoder(48, 100, M)
    batch = enc.encode(X)
    np.testing.assert_array_equal(enc.encode_batch(X), batch)
    for i in range(len(X)):
        np.testing.assert_array_equal(enc.encode(X[i]), batch[i])
    assert enc.encode(X[:1]).shape == (1, 2)
    assert batch.flags.c_contiguous and batch.flags.writeable and batch.flags.owndata


def test_empty_batches():
    enc = Encoder(8, 65, normal((65, 8), 1))
    for method in (enc.encode, enc.encode_batch):
        out = method(np.zeros((0, 8), dtype=np.float32))
        assert out.shape == (0, 2) and out.dtype == np.uint64
        with pytest.raises(ValueError, match=r"^Expected embedding dim 8, got 9$"):
            method(np.zeros((0, 9), dtype=np.float32))


def unaligned(a):
    """A float32 copy of `a` whose data sits one byte off float alignment."""
    buf = np.zeros(a.size * 4 + 1, dtype=np.uint8)
    out = np.frombuffer(buf.data, dtype=np.float32, count=a.size, offset=1).reshape(a.shape)
    out[...] = a  # frombuffer over a writable buffer gives a writable view
    assert not out.flags.aligned
    return out


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


LAYOUTS = {
    "fortran": np.asfortranarray,
    "reversed": lambda a: a[::-1, ::-1].copy()[::-1, ::-1],
    "sliced": lambda a: np.repeat(np.repeat(a, 2, axis=0), 3, axis=1)[::2, ::3],
    "read_only": read_only,
    "unaligned": unaligned,
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_any_input_layout_gives_the_same_codes(layout):
    M, X = normal((70, 37), 5), normal((26, 37), 6)
    enc = Encoder(37, 70, M)
    expected = reference(M, X)
    Y = LAYOUTS[layout](X)
    np.testing.assert_array_equal(Y, X)
    np.testing.assert_array_equal(enc.encode(Y), expected)
    np.testing.assert_array_equal(enc.encode_batch(Y), expected)
    np.testing.assert_array_equal(enc.encode(Y[3]), expected[3])
    np.testing.assert_array_equal(enc.encode(Y[:, 0:37][7]), expected[7])


@pytest.mark.parametrize("layout", LAYOUTS)
def test_any_matrix_layout_gives_the_same_encoder(layout):
    M, X = normal((70, 37), 7), normal((13, 37), 8)
    np.testing.assert_array_equal(Encoder(37, 70, LAYOUTS[layout](M)).encode(X), reference(M, X))


def test_column_of_a_matrix_and_negative_strides_as_single_embeddings():
    M, X = normal((20, 9), 1), normal((9, 9), 2)
    enc = Encoder(9, 20, M)
    np.testing.assert_array_equal(enc.encode(X[:, 4]), reference(M, X[:, 4])[0])
    np.testing.assert_array_equal(enc.encode(X[2, ::-1]), reference(M, X[2, ::-1])[0])


def test_matrix_is_a_private_copy():
    M, x = normal((64, 16), 1), normal(16, 2)
    enc = Encoder(16, 64, M)
    before = enc.encode(x)
    M[:] = -M
    np.testing.assert_array_equal(enc.encode(x), before)


def test_ndarray_subclass_is_accepted_and_byte_swapped_is_rejected():
    class Sub(np.ndarray):
        pass

    M, x = normal((8, 4), 1), normal(4, 2)
    enc = Encoder(4, 8, M.view(Sub))
    np.testing.assert_array_equal(enc.encode(x.view(Sub)), reference(M, x)[0])
    with pytest.raises(TypeError, match=F32_TYPE_ERROR):
        enc.encode(x.astype(">f4"))


# --- seed route ---


@pytest.mark.parametrize("seed", [0, 7, 2**64 - 1])
def test_seed_route_is_numpys_float32_sample_transposed(seed):
    dim, bits = 24, 40
    sample = np.random.default_rng(seed).standard_normal((dim, bits), dtype=np.float32)
    X = normal((5, dim), 1)
    by_seed = Encoder(dim, bits, seed=seed).encode(X)
    np.testing.assert_array_equal(by_seed, Encoder(dim, bits, sample.T).encode(X))
    np.testing.assert_array_equal(by_seed, Encoder(dim, bits, None, seed).encode(X))


def test_matrix_wins_over_seed():
    M, X = normal((32, 8), 1), normal((4, 8), 2)
    np.testing.assert_array_equal(Encoder(8, 32, M, seed=3).encode(X), reference(M, X))


def test_seed_route_errors_propagate_unchanged(monkeypatch):
    class Boom(Exception):
        pass

    def default_rng(seed):
        raise Boom(seed)

    monkeypatch.setattr(np.random, "default_rng", default_rng)
    with pytest.raises(Boom) as info:
        Encoder(4, 8, seed=5)
    assert info.value.args == (5,)


def test_seed_route_rejects_what_is_not_a_float32_matrix(monkeypatch):
    class Rng:
        def __init__(self, result):
            self.result = result

        def standard_normal(self, shape, dtype):
            return self.result

    monkeypatch.setattr(np.random, "default_rng", lambda seed: Rng(np.zeros((3, 2))))
    with pytest.raises(
        TypeError, match=r"^'ndarray' object cannot be converted to 'PyArray<T, D>'$"
    ):
        Encoder(3, 2, seed=1)
    # A sample of the wrong shape must not be copied as if it had the right one.
    monkeypatch.setattr(
        np.random, "default_rng", lambda seed: Rng(np.zeros((2, 2), dtype=np.float32))
    )
    with pytest.raises(ValueError, match=r"shape must be \(2, 3\), got \[2, 2\]"):
        Encoder(3, 2, seed=1)


# --- checks and messages ---


def nan_at_end_of_view():
    M = np.ones((8, 12), dtype=np.float32)[:, ::2]  # (8, 6), not contiguous
    M[-1, -1] = np.nan
    return M


@pytest.mark.parametrize(
    "args,kwargs,exc,message",
    [
        ((0, 256, np.zeros((3, 3), np.float32)), {}, ValueError, "embedding_dim must be positive"),
        ((0, 0), {}, ValueError, "embedding_dim must be positive"),
        ((4, 0), {}, ValueError, "code_bits must be positive"),
        (
            (384, 256, np.zeros((384, 256), np.float32)),
            {},
            ValueError,
            "projection_matrix shape must be (256, 384), got [384, 256]",
        ),
        (
            (2, 2, np.full((2, 3), np.nan, np.float32)),
            {},
            ValueError,
            "projection_matrix shape must be (2, 2), got [2, 3]",
        ),
        (
            (6, 8, nan_at_end_of_view()),
            {},
            ValueError,
            "projection_matrix contains non-finite values (NaN or Inf)",
        ),
        ((4, 4), {}, ValueError, "Must provide either projection_matrix or seed"),
        ((4, 4, None, None), {}, ValueError, "Must provide either projection_matrix or seed"),
        (
            (4, 4),
            {"projection_matrix": np.zeros((4, 4))},
            TypeError,
            "argument 'projection_matrix': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
        ),
        (
            (4, 4, [[1.0] * 4] * 4),
            {},
            TypeError,
            "argument 'projection_matrix': 'list' object cannot be converted to 'PyArray<T, D>'",
        ),
        (
            (4, 4, np.zeros((4, 4, 1), np.float32)),
            {},
            TypeError,
            "argument 'projection_matrix': 'ndarray' object cannot be converted to 'PyArray<T, D>'",
        ),
        # Conversions run in parameter order, before every value check.
        (
            (4, "x", [1]),
            {"seed": -1},
            TypeError,
            "argument 'code_bits': 'str' object cannot be interpreted as an integer",
        ),
        (
            (0, 4, [1]),
            {"seed": -1},
            TypeError,
            "argument 'projection_matrix': 'list' object cannot be converted to 'PyArray<T, D>'",
        ),
        (
            (0, 4, np.ones((4, 4), np.float32), 1.5),
            {},
            TypeError,
            "argument 'seed': 'float' object cannot be interpreted as an integer",
        ),
        ((4, 4, np.ones((4, 4), np.float32), -1), {}, OverflowError, None),
        ((-1, 4), {}, OverflowError, None),
        (
            (None, 4),
            {},
            TypeError,
            "argument 'embedding_dim': 'NoneType' object cannot be interpreted as an integer",
        ),
        (
            (),
            {},
            TypeError,
            (
                "RustBinaryEncoder.__new__() missing 2 required positional arguments: "
                "'embedding_dim' and 'code_bits'"
            ),
        ),
        (
            (1, 2, None, None, 5),
            {},
            TypeError,
            "RustBinaryEncoder.__new__() takes from 2 to 4 positional arguments but 5 were given",
        ),
        (
            (1, 2),
            {"embedding_dim": 1},
            TypeError,
            "RustBinaryEncoder.__new__() got multiple values for argument 'embedding_dim'",
        ),
    ],
)
def test_constructor_checks_in_order(args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        Encoder(*args, **kwargs)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("where", [(0, 0), (3, 5), (-1, -1)])
def test_matrix_with_any_non_finite_value_is_rejected(bad, where):
    M = normal((4, 6), 1)
    M[where] = bad
    for candidate in (M, np.asfortranarray(M)):
        with pytest.raises(ValueError, match=r"^projection_matrix contains non-finite"):
            Encoder(6, 4, candidate)


def test_extreme_finite_matrix_values_are_accepted():
    tiny = np.finfo(np.float32).smallest_subnormal
    big = np.finfo(np.float32).max
    M = np.array([[0.0, -0.0, tiny, -tiny, big, -big]], dtype=np.float32)
    x = np.ones(6, dtype=np.float32)
    assert Encoder(6, 1, M).encode(x).tolist() == reference(M, x)[0].tolist()


@pytest.mark.parametrize(
    "value",
    [
        np.zeros(4),
        [0.0] * 4,
        np.zeros((1, 1, 4), np.float32),
        np.float32(1.0),
        np.array(1.0, np.float32),
        np.zeros(4, np.int32),
        None,
    ],
)
def test_encode_rejects_anything_but_float32_1d_or_2d(value):
    enc = Encoder(4, 8, normal((8, 4), 1))
    with pytest.raises(TypeError) as info:
        enc.encode(value)
    assert str(info.value) == F32_TYPE_ERROR


def test_encode_batch_takes_only_2d_float32():
    enc = Encoder(4, 8, normal((8, 4), 1))
    for value, name in [(np.zeros(4, np.float32), "ndarray"), ([[0.0] * 4], "list")]:
        with pytest.raises(TypeError) as info:
            enc.encode_batch(value)
        assert str(info.value) == (
            f"argument 'embeddings': '{name}' object cannot be converted to 'PyArray<T, D>'"
        )
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'embedding'$"):
        enc.encode()


def test_embedding_checks_length_before_finiteness():
    enc = Encoder(384, 16, normal((16, 384), 1))
    bad_len = np.zeros(383, dtype=np.float32)
    with pytest.raises(ValueError, match=r"^Expected embedding dim 384, got 383$"):
        enc.encode(bad_len)
    with pytest.raises(ValueError, match=r"^Expected embedding dim 384, got 383$"):
        enc.encode_batch(np.zeros((10, 383), dtype=np.float32))
    bad_len[0] = np.nan
    with pytest.raises(ValueError, match=r"^Expected embedding dim 384, got 383$"):
        enc.encode(bad_len)

    x = np.zeros(384, dtype=np.float32)
    x[100] = np.nan
    with pytest.raises(ValueError, match=r"^Embedding contains non-finite values \(NaN or Inf\)$"):
        enc.encode(x)
    X = np.zeros((30, 384), dtype=np.float32)
    X[-1, -1] = np.inf
    for method in (enc.encode, enc.encode_batch):
        with pytest.raises(
            ValueError, match=r"^Embeddings contain non-finite values \(NaN or Inf\)$"
        ):
            method(X)
        with pytest.raises(ValueError, match=r"^Embeddings contain non-finite"):
            method(np.asfortranarray(X)[::-1])


# --- the object ---


@pytest.mark.parametrize("bits,words", [(1, 1), (64, 1), (65, 2), (256, 4), (257, 5)])
def test_properties_and_repr(bits, words):
    enc = Encoder(3, bits, seed=1)
    assert (enc.embedding_dim, enc.code_bits, enc.n_words) == (3, bits, words)
    assert repr(enc) == f"RustBinaryEncoder(embedding_dim=3, code_bits={bits})"
    for name in ("embedding_dim", "code_bits", "n_words"):
        with pytest.raises(AttributeError):
            setattr(enc, name, 5)


def test_documentation():
    assert (
        Encoder.__text_signature__
        == "(embedding_dim, code_bits, projection_matrix=None, seed=None)"
    )
    doc = Encoder.__doc__
    assert doc.startswith("Binary encoder that converts float embeddings to packed binary codes.")
    assert doc.index("Architecture") < doc.index("Example (Python)")
    assert "rs.RustBinaryEncoder(384, 256, projection)" in doc
    assert Encoder.encode.__text_signature__ == "($self, embedding)"
    assert Encoder.encode_batch.__text_signature__ == "($self, embeddings)"
    assert Encoder.encode.__doc__.startswith("Encode a single embedding or batch of embeddings.")
    assert Encoder.n_words.__doc__ == "Get the number of u64 words in output."
    assert Encoder.__module__ == "builtins"
