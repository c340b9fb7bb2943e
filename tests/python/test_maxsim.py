"""MaxSim scoring against an independent NumPy rendering of the token scores:
the eight-accumulator float32 dot and the 1-, 4- and 8-bit estimators, each
operation rounded to float32 in its fixed order."""

import contextlib
import os
import subprocess
import sys

import numpy as np
import pytest

import torvane_solver as ts

F32 = np.float32


# --- reference -------------------------------------------------------------

def dot8(a, b):
    """Eight-accumulator dot products over the last axis (broadcasting)."""
    e = a.shape[-1]
    full = e - e % 8
    prod = (a * b).astype(F32)
    acc = np.zeros(prod.shape[:-1] + (8,), F32)
    for i in range(0, full, 8):
        acc = acc + prod[..., i:i + 8]
    s = (((acc[..., 0] + acc[..., 1]) + acc[..., 2]) + acc[..., 3]) + \
        (((acc[..., 4] + acc[..., 5]) + acc[..., 6]) + acc[..., 7])
    for j in range(full, e):
        s = s + prod[..., j]
    return s


def max_sim(scores):
    """scores[i, t, j, u] -> [i, j]: per token the largest non-NaN score
    (-inf if none), summed over tokens in order from +0.0."""
    nq, tq, nd, _ = scores.shape
    masked = np.where(np.isnan(scores), F32(-np.inf), scores)
    best = masked.max(axis=3, initial=F32(-np.inf))
    out = np.zeros((nq, nd), F32)
    for t in range(tq):
        out = out + best[:, t, :]
    return out


def ref_f32(q, d):
    return max_sim(dot8(q[:, :, None, None, :], d[None, None, :, :, :]))


def code_sums(meta):
    v = meta[..., 2].astype(np.float64)
    v = np.where(np.isnan(v) | (v <= 0), 0.0, np.trunc(v))
    return np.minimum(v, 2.0**32 - 1).astype(np.uint32).astype(F32)


def ref_codes(q_codes, q_meta, d_codes, d_meta, num_bits, dim):
    padded = 1
    while padded < dim:
        padded *= 2
    big_d = F32(padded)
    b = q_codes.shape[2]
    q = q_codes[:, :, None, None, :].astype(np.uint64)
    d = d_codes[None, None, :, :, :b].astype(np.uint64)
    if num_bits == 1:
        h = np.unpackbits((q ^ d).astype(np.uint8), axis=-1).sum(axis=-1).astype(F32)
        return max_sim((big_d - (h + h)).astype(F32))
    if num_bits == 8:
        dot = (q * d).sum(axis=-1)
    else:
        dot = ((q & 15) * (d & 15) + (q >> 4) * (d >> 4)).sum(axis=-1)
    dot = (dot % 2**32).astype(np.uint32).astype(F32)
    qs, qo, sq = (x[:, :, None, None] for x in (q_meta[..., 0], q_meta[..., 1], code_sums(q_meta)))
    ds, do, sd = (x[None, None] for x in (d_meta[..., 0], d_meta[..., 1], code_sums(d_meta)))
    a = (qs * do) * sq
    bt = (qo * big_d) * do
    c = (qo * ds) * sd
    if b == 0:
        return max_sim(((c + bt) + a) + (qs * ds) * F32(0))
    return max_sim((a + (bt + c)) + (qs * ds) * dot)


def same_bits(x, y):
    x, y = np.asarray(x), np.asarray(y)
    return x.dtype == y.dtype and x.shape == y.shape and np.array_equal(x.view(np.uint32), y.view(np.uint32))


def random_codes(rng, nq, tq, bq, nd, td, bd):
    q_codes = rng.integers(0, 256, (nq, tq, bq), dtype=np.uint8)
    d_codes = rng.integers(0, 256, (nd, td, bd), dtype=np.uint8)
    q_meta = rng.uniform(-1, 1, (nq, tq, 4)).astype(F32)
    d_meta = rng.uniform(-1, 1, (nd, td, 4)).astype(F32)
    q_meta[..., 2] = rng.uniform(-20, 4000, (nq, tq))
    d_meta[..., 2] = rng.uniform(-20, 4000, (nd, td))
    return q_codes, q_meta, d_codes, d_meta


@contextlib.contextmanager
def panic(match):
    """The module's internal-error exception: a BaseException, not an Exception."""
    with pytest.raises(BaseException, match=match) as info:
        yield
    assert type(info.value).__name__ == "PanicException" and not isinstance(info.value, Exception)


# --- float32 ---------------------------------------------------------------

@pytest.mark.parametrize("nq, tq, nd, td, e", [
    (2, 3, 5, 7, 4), (3, 5, 4, 11, 0), (2, 1, 3, 1, 1), (2, 7, 3, 9, 7), (2, 13, 3, 17, 9),
    (2, 32, 3, 40, 128), (2, 3, 2, 19, 133), (0, 3, 4, 5, 8), (3, 4, 0, 5, 8), (2, 0, 3, 5, 8), (2, 3, 3, 0, 8),
])
def test_f32_is_bit_exact(nq, tq, nd, td, e):
    rng = np.random.default_rng(nq * 1000 + tq * 100 + e)
    q = (rng.standard_normal((nq, tq, e)) * 10.0 ** rng.uniform(-2, 2, (nq, tq, e))).astype(F32)
    d = (rng.standard_normal((nd, td, e)) * 10.0 ** rng.uniform(-2, 2, (nd, td, e))).astype(F32)
    got = ts.compute_max_sim_batch_f32(q, d)
    assert same_bits(got, ref_f32(q, d))
    if tq == 0:
        assert same_bits(got, np.zeros((nq, nd), F32))
    if td == 0 and tq > 0:
        assert np.all(got == -np.inf)


def test_f32_result_array():
    q = np.ones((2, 3, 4), F32)
    d = np.ones((5, 7, 4), F32)
    got = ts.compute_max_sim_batch_f32(q, d)
    assert got.shape == (2, 5) and got.dtype == np.float32 and got.flags.c_contiguous
    assert got.base is not None and got.base.shape == (10,)
    assert np.all(got == 12.0)
    assert ts.compute_max_sim_batch_f32(q_vecs=q, d_vecs=d) is not got


def test_f32_nan_never_wins():
    q = np.ones((1, 2, 3), F32)
    d = np.array([[[np.nan] * 3, [-1.0] * 3, [2.0] * 3, [np.nan] * 3]], F32)
    assert ts.compute_max_sim_batch_f32(q, d)[0, 0] == 12.0
    assert ts.compute_max_sim_batch_f32(q, d[:, [0, 3]])[0, 0] == -np.inf


def test_f32_reads_arrays_with_any_outer_strides():
    rng = np.random.default_rng(5)
    q = rng.standard_normal((4, 6, 24)).astype(F32)
    d = rng.standard_normal((7, 5, 24)).astype(F32)
    expected = ts.compute_max_sim_batch_f32(q, d)
    views = [
        (q[::-1], d, expected[::-1]),
        (q, d[::-2], expected[:, ::-2]),
        (np.swapaxes(np.swapaxes(q, 0, 1).copy(), 0, 1), d, expected),  # token axis outermost in memory
        (np.broadcast_to(q[:1], q.shape), d, np.broadcast_to(expected[:1], expected.shape)),
    ]
    for qv, dv, want in views:
        assert same_bits(ts.compute_max_sim_batch_f32(qv, dv), np.ascontiguousarray(want))


def test_f32_token_vectors_must_be_contiguous():
    x = np.ones((2, 3, 8), F32)
    with panic("not contiguous along their last axis"):
        ts.compute_max_sim_batch_f32(x[:, :, ::2], x[:, :, :4])
    with panic("d_vecs"):
        ts.compute_max_sim_batch_f32(x[:, :, :4], x[:, :, ::2])
    # One value per vector is contiguous whatever the stride.
    assert np.all(ts.compute_max_sim_batch_f32(x[:, :, ::8], x[:, :, ::8]) == 3.0)


def test_f32_dimension_mismatch():
    with pytest.raises(ValueError, match="^Dimension mismatch$"):
        ts.compute_max_sim_batch_f32(np.ones((2, 3, 4), F32), np.ones((5, 7, 5), F32))


# --- quantized codes -------------------------------------------------------

@pytest.mark.parametrize("num_bits", [1, 4, 8])
@pytest.mark.parametrize("tq, bq, td, bd", [(3, 1, 1, 1), (5, 3, 15, 4), (4, 16, 16, 16), (7, 5, 17, 9),
                                             (2, 33, 40, 40), (3, 0, 5, 2)])
def test_codes_match_the_estimators(num_bits, tq, bq, td, bd):
    rng = np.random.default_rng(num_bits * 100 + bq)
    args = random_codes(rng, 3, tq, bq, 4, td, bd)
    dim = bq * {1: 8, 4: 2, 8: 1}[num_bits] - 1
    got = ts.compute_max_sim_batch(*args, num_bits, max(dim, 0))
    assert same_bits(got, ref_codes(*args, num_bits, max(dim, 0)))


def test_codes_worked_example_and_ignored_extras():
    q_codes = np.array([[[1, 2]] * 2], np.uint8)
    d_codes = np.array([[[3, 4, 200]] * 3], np.uint8)  # the third byte is never read
    q_meta = np.array([[[1, 0, 0, 0]] * 2], F32)
    d_meta = np.array([[[1, 0, 0, 0, 99]] * 3 + [[5, 5, 5, 5, 5]]], F32)  # an extra token and value
    got = ts.compute_max_sim_batch(q_codes, q_meta, d_codes, d_meta, 8, 3)
    assert got.shape == (1, 1) and got[0, 0] == 22.0  # two query tokens, 1*3 + 2*4 each


@pytest.mark.parametrize("num_bits", [1, 4, 8])
def test_codes_read_arrays_with_any_strides(num_bits):
    rng = np.random.default_rng(9)
    q_codes, q_meta, d_codes, d_meta = random_codes(rng, 3, 5, 6, 4, 18, 12)
    expected = ts.compute_max_sim_batch(q_codes, q_meta, d_codes, d_meta, num_bits, 40)
    wide = np.zeros((3, 5, 12), np.uint8)
    wide[:, :, ::2] = q_codes  # codes every other byte
    big_meta = np.zeros((8, 20, 9), F32)
    big_meta[:4, :18, 1:9:2] = d_meta
    got = ts.compute_max_sim_batch(wide[:, :, ::2], q_meta[::-1][::-1], d_codes[::-1], big_meta[3::-1, :, 1:9:2],
                                   num_bits, 40)
    assert same_bits(got, expected[:, ::-1].copy())


def test_codes_one_bit_ignores_metadata_but_needs_it():
    rng = np.random.default_rng(3)
    q_codes, q_meta, d_codes, d_meta = random_codes(rng, 2, 3, 4, 3, 5, 4)
    got = ts.compute_max_sim_batch(q_codes, q_meta, d_codes, d_meta, 1, 32)
    zeros = ts.compute_max_sim_batch(q_codes, np.zeros_like(q_meta), d_codes, np.full_like(d_meta, np.nan), 1, 32)
    assert same_bits(got, zeros)
    with panic("d_meta"):
        ts.compute_max_sim_batch(q_codes, q_meta, d_codes, d_meta[:, :, :3], 1, 32)


def test_codes_nan_estimates_never_win():
    rng = np.random.default_rng(4)
    q_codes, q_meta, d_codes, d_meta = random_codes(rng, 2, 3, 4, 2, 20, 4)
    d_meta[0, ::3, 0] = np.nan
    d_meta[1, :, 1] = np.nan
    got = ts.compute_max_sim_batch(q_codes, q_meta, d_codes, d_meta, 8, 4)
    assert same_bits(got, ref_codes(q_codes, q_meta, d_codes, d_meta, 8, 4))
    assert not np.isnan(got[:, 0]).any() and np.all(got[:, 1] == -np.inf)


@pytest.mark.parametrize("shape_q, shape_d", [((0, 3, 4), (2, 5, 4)), ((2, 3, 4), (0, 5, 4)),
                                              ((2, 0, 4), (3, 5, 2)), ((2, 3, 4), (3, 0, 2))])
def test_codes_empty_sides(shape_q, shape_d):
    q_codes = np.zeros(shape_q, np.uint8)
    d_codes = np.zeros(shape_d, np.uint8)
    q_meta = np.ones(shape_q[:2] + (4,), F32)
    d_meta = np.ones(shape_d[:2] + (4,), F32)
    got = ts.compute_max_sim_batch(q_codes, q_meta, d_codes, d_meta, 8, 4)
    assert got.shape == (shape_q[0], shape_d[0])
    want = 0.0 if shape_q[1] == 0 else -np.inf
    assert same_bits(got, np.full(got.shape, want, F32))


@pytest.mark.parametrize("change, match", [
    (dict(num_bits=2), "^Only 1, 4, or 8-bit supported$"),
    (dict(num_bits=0, q_meta=np.zeros((1, 1, 1), F32)), "^Only 1, 4, or 8-bit supported$"),
    (dict(dim=2**31 + 1), "^block_size must be power of 2$"),
    (dict(q_meta=np.zeros((2, 2, 4), F32)), "q_meta"),
    (dict(q_meta=np.zeros((2, 3, 3), F32)), "q_meta"),
    (dict(d_meta=np.zeros((3, 5, 4), F32)), "d_meta"),
    (dict(d_codes=np.zeros((4, 5, 3), np.uint8)), "fewer than the 4"),
])
def test_codes_internal_faults(change, match):
    args = dict(q_codes=np.zeros((2, 3, 4), np.uint8), q_meta=np.zeros((2, 3, 4), F32),
                d_codes=np.zeros((4, 5, 4), np.uint8), d_meta=np.zeros((4, 5, 4), F32), num_bits=8, dim=32)
    args.update(change)
    with panic(match):
        ts.compute_max_sim_batch(**args)


def test_codes_largest_dim():
    args = random_codes(np.random.default_rng(6), 1, 2, 3, 2, 3, 3)
    got = ts.compute_max_sim_batch(*args, 1, 2**31)
    assert same_bits(got, ref_codes(*args, 1, 2**31))


# --- argument handling -----------------------------------------------------

CODES = np.zeros((1, 1, 4), np.uint8)
META = np.zeros((1, 1, 4), F32)


@pytest.mark.parametrize("position, value, type_name", [
    (0, CODES.astype(np.int8), "ndarray"), (0, CODES[0], "ndarray"), (1, META.astype(np.float64), "ndarray"),
    (1, META.astype(">f4"), "ndarray"), (2, [[[0, 0, 0, 0]]], "list"), (3, None, "NoneType"),
])
def test_codes_array_kinds(position, value, type_name):
    names = ["q_codes", "q_meta", "d_codes", "d_meta"]
    args = [CODES, META, CODES, META, 8, 4]
    args[position] = value
    if position < 3:
        args[3] = np.zeros(3)  # a later failure is not reported
    else:
        args[4] = "8"
    message = f"^argument '{names[position]}': '{type_name}' object cannot be converted to 'PyArray<T, D>'$"
    with pytest.raises(TypeError, match=message):
        ts.compute_max_sim_batch(*args)


@pytest.mark.parametrize("value, error, match", [
    (-1, OverflowError, None), (2**64, OverflowError, None),
    (1.5, TypeError, "^argument 'num_bits': 'float' object cannot be interpreted as an integer$"),
    ("8", TypeError, "^argument 'num_bits': "),
])
def test_codes_integer_arguments(value, error, match):
    with pytest.raises(error, match=match):
        ts.compute_max_sim_batch(CODES, META, CODES, META, value, 4)
    with pytest.raises(error):
        ts.compute_max_sim_batch(CODES, META, CODES, META, 8, value)


@pytest.mark.parametrize("call", [
    lambda: ts.compute_max_sim_batch(CODES, META, CODES, META, 8),
    lambda: ts.compute_max_sim_batch(CODES, META, CODES, META, 8, 4, q_codes=CODES),
    lambda: ts.compute_max_sim_batch(CODES, META, CODES, META, 8, 4, scale=1),
    lambda: ts.compute_max_sim_batch_f32(META),
    lambda: ts.compute_max_sim_batch_f32(META, META, META),
    lambda: ts.compute_max_sim_batch_f32(META.astype(np.float64), META),
    lambda: ts.compute_max_sim_batch_f32(META, META[0]),
])
def test_argument_binding_errors(call):
    with pytest.raises(TypeError):
        call()


def test_keywords_and_documentation():
    got = ts.compute_max_sim_batch(dim=4, num_bits=8, d_meta=META, d_codes=CODES, q_meta=META, q_codes=CODES)
    assert got.shape == (1, 1)
    assert ts.compute_max_sim_batch.__text_signature__ == "(q_codes, q_meta, d_codes, d_meta, num_bits, dim)"
    assert ts.compute_max_sim_batch.__doc__ == "Compute MaxSim batch scores (Rust CPU benchmark)"
    assert ts.compute_max_sim_batch_f32.__text_signature__ == "(q_vecs, d_vecs)"
    assert ts.compute_max_sim_batch_f32.__doc__ == "Compute MaxSim batch scores for Float32 embeddings (Rust Baseline)"


def test_arrays_are_released_on_every_path():
    q = np.ones((2, 3, 4), F32)
    d = np.ones((2, 3, 5), F32)
    before = sys.getrefcount(q), sys.getrefcount(d)
    ts.compute_max_sim_batch_f32(q, q)
    for call in (lambda: ts.compute_max_sim_batch_f32(q, d), lambda: ts.compute_max_sim_batch_f32(q[:, :, ::2], q),
                 lambda: ts.compute_max_sim_batch(CODES, q, CODES, q, 2, 4)):
        with pytest.raises(BaseException):
            call()
    assert (sys.getrefcount(q), sys.getrefcount(d)) == before


# --- threads ---------------------------------------------------------------

COMPUTE = """
rng = np.random.default_rng(8)
q = rng.standard_normal((13, 7, 40)).astype(np.float32)
d = rng.standard_normal((9, 21, 40)).astype(np.float32)
qc = rng.integers(0, 256, (13, 7, 10), dtype=np.uint8)
dc = rng.integers(0, 256, (9, 21, 10), dtype=np.uint8)
qm = rng.standard_normal((13, 7, 4)).astype(np.float32)
dm = rng.standard_normal((9, 21, 4)).astype(np.float32)
out = [ts.compute_max_sim_batch_f32(q, d)] + [ts.compute_max_sim_batch(qc, qm, dc, dm, b, 80) for b in (1, 4, 8)]
digest = b"".join(o.tobytes() for o in out).hex()
"""

# The worker pool takes its size from the CPUs the process may use when it
# is first needed, so a process restricted to one CPU scores on one thread.
SINGLE_THREAD = f"""
import os, sys
os.sched_setaffinity(0, {{0}})
import numpy as np
import torvane_solver as ts
{COMPUTE}
sys.stdout.write(digest)
"""


@pytest.mark.skipif(len(os.sched_getaffinity(0)) < 2, reason="needs two CPUs to compare pool sizes")
def test_results_do_not_depend_on_the_pool_size():
    single = subprocess.run([sys.executable, "-c", SINGLE_THREAD], capture_output=True, text=True, check=True)
    here = {"np": np, "ts": ts}
    exec(COMPUTE, here)
    assert here["digest"] == single.stdout


# Odd sizes for every kernel: token counts off the tiles and the chunks of
# query pairs, dimensions off the blocks of eight (1, 7, 9, 383, 385), NaN
# and infinite values in the last dimension, dense and variable-length
# documents.
ODD_SIZES = """
import sys
import numpy as np
import torvane
import torvane_solver as ts
rng = np.random.default_rng(19)
out = []
for nq, tq, nd, td, e in [(3, 33, 4, 23, 385), (2, 7, 5, 9, 1), (1, 35, 3, 17, 7), (4, 31, 2, 1, 9),
                          (2, 5, 3, 8, 383)]:
    q = (rng.standard_normal((nq, tq, e)) * 10.0 ** rng.uniform(-2, 2, (nq, tq, e))).astype(np.float32)
    d = (rng.standard_normal((nd, td, e)) * 10.0 ** rng.uniform(-2, 2, (nd, td, e))).astype(np.float32)
    d[0, -1, -1] = np.inf
    d[-1, 0, -1] = np.nan
    out.append(ts.compute_max_sim_batch_f32(q, d))
    docs = [rng.standard_normal((n, e)).astype(np.float32) for n in (40, 1, 0, 33, 7, 64, 2)]
    out.append(torvane.maxsim([q[i, : tq - i] for i in range(nq)], docs))
sys.stdout.write(b"".join(o.tobytes() for o in out).hex())
"""


@pytest.mark.parametrize("level", ["avx2", "scalar"])
def test_forced_instruction_sets_give_the_same_bits(level):
    def digest(simd):
        env = {k: v for k, v in os.environ.items() if k != "TORVANE_SIMD"}
        if simd is not None:
            env["TORVANE_SIMD"] = simd
        return subprocess.run([sys.executable, "-c", ODD_SIZES], env=env, capture_output=True, text=True,
                              check=True).stdout

    best = digest(None)
    assert best and digest(level) == best
