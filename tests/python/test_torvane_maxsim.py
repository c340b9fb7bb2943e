"""torvane.maxsim, maxsim_topk and quantize against the single-pair module calls.

Every entry must equal, bit for bit, torvane_solver's scoring of that query
and document alone, whichever batch form carries them and however many
threads score them.
"""
import hashlib
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import torvane
import torvane_solver as ts

F32 = np.float32


def ragged(rng, lengths, dim, scale=1.0):
    return [(rng.standard_normal((n, dim)) * scale).astype(F32) for n in lengths]


def packed(items, dim):
    offsets = np.zeros(len(items) + 1, np.int64)
    offsets[1:] = np.cumsum([len(x) for x in items])
    tokens = np.concatenate(items) if offsets[-1] else np.zeros((0, dim), F32)
    return torvane.Packed(tokens, offsets)


def object_array(items):
    out = np.empty(len(items), dtype=object)
    for i, item in enumerate(items):
        out[i] = item
    return out


def reference_f32(queries, documents):
    out = np.empty((len(queries), len(documents)), F32)
    for i, q in enumerate(queries):
        for j, d in enumerate(documents):
            out[i, j] = ts.compute_max_sim_batch_f32(q[None], d[None])[0, 0]
    return out


def reference_codes(q, d):
    out = np.empty((len(q), len(d)), F32)
    for i in range(len(q)):
        qa, qb = q.offsets[i], q.offsets[i + 1]
        for j in range(len(d)):
            da, db = d.offsets[j], d.offsets[j + 1]
            out[i, j] = ts.compute_max_sim_batch(q.codes[None, qa:qb], q.meta[None, qa:qb], d.codes[None, da:db],
                                                 d.meta[None, da:db], q.num_bits, q.dim)[0, 0]
    return out


def same_bits(a, b):
    return a.shape == b.shape and a.dtype == b.dtype and np.array_equal(a.view(np.uint32), b.view(np.uint32))


def reference_topk(matrix, k):
    """Best first, equal scores by ascending index, NaN last."""
    width = min(k, matrix.shape[1])
    idx = np.empty((matrix.shape[0], width), np.int64)
    for i, row in enumerate(matrix):
        order = sorted(range(len(row)), key=lambda j: (np.isnan(row[j]), -row[j] if not np.isnan(row[j]) else 0, j))
        idx[i] = order[:width]
    return idx, np.take_along_axis(matrix, idx, axis=1) if width else np.zeros((matrix.shape[0], 0), F32)


CASES = [  # query lengths, document lengths, dim
    ([3, 0, 5, 1], [4, 0, 7, 1, 16, 17], 8),
    ([2, 9], [33, 0, 0, 5], 13),
    ([0, 0], [3, 4], 5),
    ([4, 1], [2, 3], 0),
    ([], [3, 4], 6),
    ([2, 3], [], 6),
    ([31, 2, 17], [1, 40, 16, 15, 0, 65], 130),
]


@pytest.mark.parametrize("q_lengths,d_lengths,dim", CASES)
def test_every_float_form_matches_the_single_pair_calls(q_lengths, d_lengths, dim):
    rng = np.random.default_rng(len(q_lengths) * 100 + dim)
    queries = ragged(rng, q_lengths, dim)
    documents = ragged(rng, d_lengths, dim)
    expected = reference_f32(queries, documents)
    forms = {
        "list": (queries, documents),
        "tuple": (tuple(queries), tuple(documents)),
        "object array": (object_array(queries), object_array(documents)),
        "packed": (packed(queries, dim), packed(documents, dim)),
        "mixed": (packed(queries, dim), object_array(documents)),
    }
    for name, (q, d) in forms.items():
        scores = torvane.maxsim(q, d)
        assert same_bits(scores, expected), name
        for k in (0, 1, 3, len(d_lengths) + 5):
            indices, top = torvane.maxsim_topk(q, d, k)
            want_indices, want_scores = reference_topk(expected, k)
            assert indices.dtype == np.int64 and top.dtype == F32
            assert np.array_equal(indices, want_indices), (name, k)
            assert same_bits(top, want_scores), (name, k)


def test_dense_array_form_and_strided_views():
    rng = np.random.default_rng(7)
    q = rng.standard_normal((3, 5, 24)).astype(F32)
    d = rng.standard_normal((6, 9, 24)).astype(F32)
    expected = ts.compute_max_sim_batch_f32(q, d)
    assert same_bits(torvane.maxsim(q, d), expected)
    # Views with other strides are read as their logical contents.
    wide = rng.standard_normal((6, 9, 48)).astype(F32)
    view = wide[:, :, ::2]
    assert same_bits(torvane.maxsim(q, view), ts.compute_max_sim_batch_f32(q, np.ascontiguousarray(view)))
    assert same_bits(torvane.maxsim(q[::-1], list(d)), expected[::-1])


def test_empty_items_score_as_the_module_does():
    rng = np.random.default_rng(3)
    q = ragged(rng, [0, 2], 4)
    d = ragged(rng, [0, 3], 4)
    scores = torvane.maxsim(q, d)
    assert scores[0].tolist() == [0.0, 0.0]  # a query without tokens
    assert scores[1, 0] == -np.inf  # a document without tokens
    assert torvane.maxsim([], d).shape == (0, 2)
    assert torvane.maxsim(q, []).shape == (2, 0)
    indices, top = torvane.maxsim_topk(q, [], 5)
    assert indices.shape == (2, 0) and top.shape == (2, 0)


def test_topk_ranks_ties_by_index_and_nan_last():
    q = [np.array([[1.0, 0.0], [0.0, 1.0]], F32)]
    good = np.array([[1.0, 0.0], [0.0, 1.0]], F32)  # scores 2
    nan = np.array([[np.inf, 0.0]], F32)  # inf for one query token, -inf for the other: NaN
    neg = np.array([[-1.0, -1.0]], F32)  # scores -2
    docs = [good, nan, neg, good, np.zeros((0, 2), F32), nan, good]
    assert np.isnan(ts.compute_max_sim_batch_f32(q[0][None], nan[None])[0, 0])
    indices, scores = torvane.maxsim_topk(q, docs, 7)
    assert indices.tolist() == [[0, 3, 6, 2, 4, 1, 5]]
    assert scores[0, :4].tolist() == [2.0, 2.0, 2.0, -2.0] and scores[0, 4] == -np.inf
    assert np.isnan(scores[0, 5:]).all()
    assert torvane.maxsim_topk(q, docs, 2)[0].tolist() == [[0, 3]]
    assert torvane.maxsim_topk(q, docs[1:3], 1)[0].tolist() == [[1]]


def test_topk_over_several_blocks_matches_the_matrix():
    rng = np.random.default_rng(11)
    # Few distinct documents repeated, so that equal scores straddle blocks.
    base = ragged(rng, [3, 5, 1, 8], 16)
    documents = [base[j % 4] if j % 3 else base[(j * 7) % 4] for j in range(9000)]
    queries = ragged(rng, [2, 4, 0], 16)
    matrix = torvane.maxsim(queries, documents)
    indices, scores = torvane.maxsim_topk(queries, documents, 25)
    want_indices, want_scores = reference_topk(matrix[:, :], 25)
    assert np.array_equal(indices, want_indices)
    assert same_bits(scores, want_scores)


@pytest.mark.parametrize("num_bits", [1, 4, 8])
def test_codes_match_the_single_pair_calls(num_bits):
    rng = np.random.default_rng(num_bits)
    for q_lengths, d_lengths, dim in CASES:
        queries = ragged(rng, q_lengths, dim)
        documents = ragged(rng, d_lengths, dim)
        q = torvane.quantize(packed(queries, dim), num_bits, seed=5)  # an empty list would have no dim
        d = torvane.quantize(packed(documents, dim), num_bits, seed=5)
        expected = reference_codes(q, d)
        assert same_bits(torvane.maxsim(q, d), expected), (num_bits, dim)
        for k in (0, 2, len(d_lengths) + 1):
            indices, top = torvane.maxsim_topk(q, d, k)
            want_indices, want_scores = reference_topk(expected, k)
            assert np.array_equal(indices, want_indices) and same_bits(top, want_scores)


def test_quantized_layout_and_metadata():
    rng = np.random.default_rng(2)
    x = rng.standard_normal((3, 4, 100)).astype(F32)
    for bits, width in ((1, 16), (4, 64), (8, 128)):
        q = torvane.quantize(x, bits, seed=9)
        assert (q.num_bits, q.dim, q.seed) == (bits, 100, 9)
        assert q.codes.dtype == np.uint8 and q.codes.shape == (12, width)
        assert q.meta.dtype == F32 and q.meta.shape == (12, 4)
        assert q.offsets.tolist() == [0, 4, 8, 12]
        np.testing.assert_allclose(q.meta[:, 3], np.linalg.norm(x.reshape(12, 100), axis=1), rtol=1e-6)
        if bits == 8:
            sums = q.codes.astype(np.int64).sum(axis=1)
        elif bits == 4:
            sums = (q.codes & 15).astype(np.int64).sum(axis=1) + (q.codes >> 4).astype(np.int64).sum(axis=1)
        else:
            sums = np.unpackbits(q.codes, axis=1).sum(axis=1)
        assert q.meta[:, 2].tolist() == sums.astype(F32).tolist()
    a = torvane.quantize(x, 4, seed=1)
    assert np.array_equal(a.codes, torvane.quantize(list(x), 4, seed=1).codes)
    assert not np.array_equal(a.codes, torvane.quantize(x, 4, seed=2).codes)
    # Tiny vectors pad to one coordinate; unused nibbles and bits stay 0.
    one = torvane.quantize(np.array([[[2.0]], [[-3.0]]], F32), 1)
    assert one.codes.tolist() == [[1], [0]] or one.codes.tolist() == [[0], [1]]
    empty = torvane.quantize(np.zeros((2, 3, 0), F32), 8)
    assert empty.dim == 0 and empty.codes.shape == (6, 1)
    assert torvane.quantize([], 4).codes.shape[0] == 0


@pytest.mark.parametrize("num_bits,tolerance", [(8, 0.02), (4, 0.3)])
def test_estimates_approximate_inner_products(num_bits, tolerance):
    rng = np.random.default_rng(4)
    a = rng.standard_normal((200, 96)).astype(F32)
    b = (a * 0.6 + rng.standard_normal((200, 96)) * 0.8).astype(F32)
    qa = torvane.quantize(a[:, None, :], num_bits, seed=3)
    qb = torvane.quantize(b[:, None, :], num_bits, seed=3)
    estimates = torvane.maxsim(qa, qb)
    exact = a @ b.T
    error = np.abs(estimates - exact) / np.sqrt(96.0)
    assert error.mean() < tolerance, error.mean()
    assert np.corrcoef(estimates.ravel(), exact.ravel())[0, 1] > (0.999 if num_bits == 8 else 0.98)


def test_one_bit_estimates_follow_the_angle():
    rng = np.random.default_rng(8)
    a = rng.standard_normal((100, 64)).astype(F32)
    b = (a[::-1] * rng.uniform(-1, 1, (100, 1)) + rng.standard_normal((100, 64)) * 0.5).astype(F32)
    qa = torvane.quantize(a[:, None, :], 1)
    qb = torvane.quantize(b[:, None, :], 1)
    cosine = (a @ b.T) / np.outer(np.linalg.norm(a, axis=1), np.linalg.norm(b, axis=1))
    expected = 64 * (1 - 2 * np.arccos(np.clip(cosine, -1, 1)) / np.pi)
    # The related pairs (a[i], b[99 - i]) span the whole range of angles.
    paired = np.diagonal(torvane.maxsim(qa, qb)[:, ::-1])
    assert np.corrcoef(paired, np.diagonal(expected[:, ::-1]))[0, 1] > 0.95
    self_scores = torvane.maxsim(qa, qa).diagonal()
    assert (self_scores == 64).all()


def test_batches_pickle_and_keep_their_contents():
    rng = np.random.default_rng(1)
    p = packed(ragged(rng, [2, 0, 3], 4), 4)
    q = torvane.quantize(p, 4, seed=12)
    p2 = pickle.loads(pickle.dumps(p))
    q2 = pickle.loads(pickle.dumps(q))
    assert np.array_equal(p2.tokens, p.tokens) and np.array_equal(p2.offsets, p.offsets) and len(p2) == 3
    assert same_bits(torvane.maxsim(q2, q), torvane.maxsim(q, q))
    assert (q2.num_bits, q2.dim, q2.seed) == (4, 4, 12)


class TestBadInput:
    def test_wrong_types_name_the_argument(self):
        good = [np.zeros((2, 4), F32)]
        cases = [
            (lambda: torvane.maxsim(np.zeros((1, 2, 4)), good), "queries"),
            (lambda: torvane.maxsim(good, np.zeros((1, 2, 4), np.float16)), "documents"),
            (lambda: torvane.maxsim(np.zeros((2, 4), F32), good), "queries"),
            (lambda: torvane.maxsim(good, [np.zeros((2, 4), F32), np.zeros(4, F32)]), "documents[1]"),
            (lambda: torvane.maxsim(good, [np.zeros((2, 4), np.float64)]), "documents[0]"),
            (lambda: torvane.maxsim(good, [[1.0, 2.0]]), "documents[0]"),
            (lambda: torvane.maxsim(3, good), "queries"),
            (lambda: torvane.maxsim(good, "text"), "documents"),
            (lambda: torvane.maxsim(good, np.zeros((2, 2), dtype=object)), "documents"),
            (lambda: torvane.Packed(np.zeros((2, 4)), np.array([0, 2])), "tokens"),
            (lambda: torvane.Packed(np.zeros((2, 4), F32), np.array([0, 2], np.int32)), "offsets"),
            (lambda: torvane.Packed(np.zeros((2, 4), F32), [0, 2]), "offsets"),
            (lambda: torvane.quantize(np.zeros((1, 2, 4), np.float64), 4), "vectors"),
            (lambda: torvane.quantize(good, 4.0), "num_bits"),
            (lambda: torvane.quantize(good, 4, seed="1"), "seed"),
            (lambda: torvane.maxsim_topk(good, good, 1.5), "k"),
            (lambda: torvane.maxsim_topk(good, good, True), "k"),
            (lambda: torvane.set_num_threads("2"), "n"),
        ]
        for call, name in cases:
            with pytest.raises(TypeError, match=r"\b" + name.replace("[", r"\[").replace("]", r"\]")):
                call()

    def test_bad_values_name_the_argument(self):
        good = [np.zeros((2, 4), F32)]
        tokens = np.zeros((3, 4), F32)
        q4 = torvane.quantize(good, 4)
        cases = [
            (lambda: torvane.maxsim(good, [np.zeros((1, 4), F32), np.zeros((1, 5), F32)]), "documents\\[1\\]"),
            (lambda: torvane.maxsim(good, [np.zeros((1, 5), F32)]), "documents"),
            (lambda: torvane.Packed(tokens, np.array([0, 2], np.int64)), "offsets.*end"),
            (lambda: torvane.Packed(tokens, np.array([0, 2, 1, 3], np.int64)), "offsets.*backwards"),
            (lambda: torvane.Packed(tokens, np.array([1, 3], np.int64)), "offsets.*start"),
            (lambda: torvane.Packed(tokens, np.array([], np.int64)), "offsets"),
            (lambda: torvane.maxsim_topk(good, good, -1), "k"),
            (lambda: torvane.maxsim(q4, good), "floats"),
            (lambda: torvane.maxsim(good, q4), "floats"),
            (lambda: torvane.maxsim_topk(q4, good, 2), "floats"),
            (lambda: torvane.maxsim(q4, torvane.quantize(good, 8)), "num_bits 4 vs 8"),
            (lambda: torvane.maxsim(q4, torvane.quantize(good, 4, seed=1)), "seed 0 vs 1"),
            (lambda: torvane.maxsim(q4, torvane.quantize([np.zeros((1, 9), F32)], 4)), "dim 4 vs 9"),
            (lambda: torvane.quantize(good, 2), "num_bits"),
            (lambda: torvane.quantize(good, 4, seed=-1), "seed"),
            (lambda: torvane.set_num_threads(0), "n"),
        ]
        for call, pattern in cases:
            with pytest.raises(ValueError, match=pattern):
                call()

    def test_offsets_changed_after_construction_are_refused(self):
        p = torvane.Packed(np.zeros((3, 2), F32), np.array([0, 1, 3], np.int64))
        p.offsets[1] = 5
        with pytest.raises(ValueError, match="queries.offsets"):
            torvane.maxsim(p, [np.zeros((1, 2), F32)])

    def test_direct_native_calls_are_checked(self):
        from torvane import _native

        t = np.zeros((3, 2), F32)
        with pytest.raises(ValueError, match="query offsets"):
            _native.maxsim_f32(t, np.array([0, 4], np.int64), t, np.array([0, 3], np.int64))
        with pytest.raises(TypeError, match="documents"):
            _native.maxsim_f32(t, np.array([0, 3], np.int64), t.astype(np.float64), np.array([0, 3], np.int64))
        with pytest.raises(ValueError, match="query codes"):
            _native.maxsim_codes(np.zeros((1, 3), np.uint8), np.zeros((1, 4), F32), np.array([0, 1], np.int64),
                                 np.zeros((1, 1), np.uint8), np.zeros((1, 4), F32), np.array([0, 1], np.int64), 4, 2)
        with pytest.raises(ValueError, match="k"):
            _native.topk_f32(t, np.array([0, 3], np.int64), t, np.array([0, 3], np.int64), -1)


def run_python(code, threads=None):
    env = dict(os.environ)
    env.pop("TORVANE_NUM_THREADS", None)
    if threads is not None:
        env["TORVANE_NUM_THREADS"] = str(threads)
    result = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env)
    assert result.returncode == 0, result.stderr
    return result.stdout.strip()


DIGEST = """
import hashlib, numpy as np, torvane
from torvane import _native
rng = np.random.default_rng(21)
lengths = rng.integers(0, 40, 300)
lengths[::37] = 0
docs = [rng.standard_normal((n, 32)).astype(np.float32) for n in lengths]
queries = [rng.standard_normal((n, 32)).astype(np.float32) for n in (5, 0, 17, 1, 32)]
h = hashlib.sha256()
h.update(torvane.maxsim(queries, docs).tobytes())
for r in torvane.maxsim_topk(queries, docs, 10):
    h.update(r.tobytes())
for bits in (1, 4, 8):
    q = torvane.quantize(queries, bits, seed=3)
    d = torvane.quantize(docs, bits, seed=3)
    h.update(q.codes.tobytes()); h.update(q.meta.tobytes())
    h.update(torvane.maxsim(q, d).tobytes())
    for r in torvane.maxsim_topk(q, d, 7):
        h.update(r.tobytes())
print(_native.num_threads(), h.hexdigest())
"""


def test_results_do_not_depend_on_the_thread_count():
    one = run_python(DIGEST, threads=1).split()
    seven = run_python(DIGEST, threads=7).split()
    assert one[0] == "1" and seven[0] == "7"
    assert one[1] == seven[1]


def test_set_num_threads_sizes_the_one_pool():
    out = run_python("""
        import torvane, torvane_solver, numpy as np
        from torvane import _native
        torvane.set_num_threads(3)
        torvane.set_num_threads(5)  # still before the first use: the last size counts
        torvane_solver.compute_max_sim_batch_f32(np.zeros((9, 2, 4), np.float32), np.zeros((3, 2, 4), np.float32))
        try:
            torvane.set_num_threads(2)
        except RuntimeError as e:
            print("refused", "already running" in str(e))
        print(_native.num_threads())
        """, threads=2)
    assert out.split("\n") == ["refused True", "5"]


def test_the_pool_started_by_the_module_is_the_packages_pool():
    out = run_python("""
        import numpy as np, torvane_solver
        torvane_solver.compute_max_sim_batch_f32(np.zeros((9, 2, 4), np.float32), np.zeros((3, 2, 4), np.float32))
        import torvane
        from torvane import _native
        print(_native.pool_started())
        try:
            torvane.set_num_threads(4)
        except RuntimeError:
            print("refused")
        """, threads=6)
    assert out.split("\n") == ["True", "refused"]


def test_module_keeps_its_contents():
    public = sorted(name for name in dir(ts) if not name.startswith("_"))
    assert public == sorted(["SolverConfig", "SolverConstraints", "SolverOutput", "TabuSearchSolver", "gpu_available",
                             "cuda_available", "version", "compute_max_sim_batch", "compute_max_sim_batch_f32"])
