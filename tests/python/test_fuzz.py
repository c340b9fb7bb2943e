"""Hostile input at every public entry point. The only outcomes allowed are a
result or one of the interface's refusals (TypeError, ValueError,
OverflowError, MemoryError, or the exception a hostile object raises
itself); PanicException only where MaxSim's internal faults are specified.
Never a crash or a hang, and a refused call changes nothing."""
import struct

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import torvane_solver as ts

F32 = np.float32
FUZZ = settings(max_examples=120, deadline=None, suppress_health_check=list(HealthCheck))


class HostileError(Exception):
    """What a hostile object raises from its own protocol methods."""


REFUSALS = (TypeError, ValueError, OverflowError, MemoryError, HostileError)


def _panic_type():
    try:
        one = np.zeros((1, 1, 1), np.uint8)
        ts.compute_max_sim_batch(one, np.zeros((1, 1, 4), F32), one, np.zeros((1, 1, 4), F32), 2, 1)
    except BaseException as e:  # noqa: BLE001 - the module's internal-error type
        return type(e)
    raise AssertionError("num_bits 2 was accepted")


PANIC = _panic_type()


class Hostile:
    """A number and a sequence at once. Each protocol method first calls
    `meddle` (bound after the call's inputs exist, to change them), then
    answers with `value`, raises, or answers with the wrong type."""

    def __init__(self, mode, value):
        self.mode, self.value, self.meddle = mode, value, None

    def _act(self):
        if self.meddle is not None:
            self.meddle()
        if self.mode == "raise":
            raise HostileError("hostile")

    def __index__(self):
        self._act()
        return 1.5 if self.mode == "wrong" else int(self.value)

    def __float__(self):
        self._act()
        return "1.0" if self.mode == "wrong" else float(self.value)

    def __len__(self):
        self._act()
        return -1 if self.mode == "wrong" else 3

    def __getitem__(self, i):
        self._act()
        if i >= 3:
            raise IndexError(i)
        return self.value


class HostileKey(str):
    """A dictionary key colliding with "embedding" whose comparison meddles or
    raises, once armed (so that building the dictionary stays peaceful)."""

    armed = False
    meddle = None

    def __hash__(self):
        return hash("embedding")

    def __eq__(self, other):
        if HostileKey.armed:
            if self.meddle is not None:
                self.meddle()
            if self.endswith("!"):
                raise HostileError("key")
        return str.__eq__(self, other)


INTS = st.sampled_from([0, 1, 3, -1, 2**31, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -2**63, 10**30])
FLOATS = st.floats(allow_nan=True, allow_infinity=True, width=64) | st.sampled_from([1e40, -0.0, 5e-324])


@st.composite
def hostiles(draw, modes=("ok", "raise", "wrong")):
    return Hostile(draw(st.sampled_from(modes)), draw(st.integers(-3, 300) | st.sampled_from([2**64, -2**70])))


def scalars():
    return st.one_of(
        st.none(), st.booleans(), INTS, st.integers(), FLOATS, st.text(max_size=4), st.binary(max_size=4),
        st.sampled_from([np.float32(2.5), np.float64("nan"), np.int64(-4), np.uint64(7), np.bool_(True), object()]),
        st.lists(FLOATS, max_size=3), st.tuples(INTS), st.frozensets(st.text(max_size=2), max_size=2),
        st.dictionaries(st.text(max_size=3), INTS, max_size=2), hostiles())


DTYPES = [np.float32, np.float64, np.float16, np.uint8, np.int8, np.int32, np.int64, np.uint64, ">f4", bool,
          np.complex64]


def unaligned(a):
    buf = bytearray(a.nbytes + 1)
    out = np.frombuffer(buf, a.dtype, count=a.size, offset=1).reshape(a.shape)
    out[...] = a
    return out


VALID_VARIANTS = ["ok"] * 3 + ["readonly", "unaligned"]
MISTAKES = ["len", "dtype", "ndim", "strided", "reversed", "transposed", "broadcast", "empty", "other"]


@st.composite
def arrays(draw, dtype, shape, hostile=True):
    """An array of `dtype` and `shape` (any values, read-only or unaligned
    memory); when `hostile`, often subtly or plainly not that."""
    dtype = np.dtype(dtype)
    variant = draw(st.sampled_from(VALID_VARIANTS * 2 + MISTAKES if hostile else VALID_VARIANTS))
    if variant == "len":
        shape = tuple(max(0, s + draw(st.integers(-2, 2))) for s in shape)
    if variant == "empty":
        shape = (0,) + tuple(shape[1:])
    size = int(np.prod(shape))
    if dtype.kind == "f":
        values = draw(st.lists(FLOATS | st.floats(-2, 2), min_size=size, max_size=size))
    else:
        values = draw(st.lists(st.integers(0, 2**(8 * dtype.itemsize) - 1) if dtype.kind == "u"
                               else st.integers(-2**(8 * dtype.itemsize - 1), 2**(8 * dtype.itemsize - 1) - 1),
                               min_size=size, max_size=size))
    with np.errstate(all="ignore"):
        a = np.array(values, dtype=dtype).reshape(shape)
        if variant == "dtype":
            a = a.astype(draw(st.sampled_from(DTYPES)))
        elif variant == "ndim":
            a = a.reshape((1,) + a.shape) if draw(st.booleans()) or not a.size else a.reshape(-1)[:1].reshape(())
        elif variant == "strided":
            a = np.repeat(a, 2, axis=-1)[..., ::2] if a.ndim else a
        elif variant == "reversed":
            a = a[::-1]
        elif variant == "transposed":
            a = np.asfortranarray(a) if draw(st.booleans()) else a.T.copy().T
        elif variant == "broadcast":
            a = np.broadcast_to(a.reshape(-1)[:1], a.shape) if a.size else a
        elif variant == "readonly":
            a.flags.writeable = False
        elif variant == "unaligned":
            a = unaligned(a)
        elif variant == "other":
            a = draw(st.sampled_from([a.tolist(), None, a.astype(np.float64).tolist()]) | scalars())
    return a


def bind_meddlers(data, objects, actions):
    """Points each hostile object among `objects` (searched one level into
    lists, tuples and dicts, keys included) at one of `actions` or none."""
    for obj in objects:
        items = list(obj.items()) if isinstance(obj, dict) else (obj if isinstance(obj, (list, tuple)) else [obj])
        for item in items:
            for part in item if isinstance(item, tuple) else (item,):
                if isinstance(part, (Hostile, HostileKey)) and actions:
                    part.meddle = data.draw(st.sampled_from(actions) | st.none())


def bits(out):
    d = out.to_dict()
    d.pop("solve_time_ms")
    return {k: struct.pack("<d", v) if isinstance(v, float) else v for k, v in d.items()}


# ---- records ----------------------------------------------------------------------------

CONFIG_KINDS = dict(
    alpha="f32", beta="f32", gamma="f32", delta="f32", epsilon="f32", mu="f32", support_secondary_discount="f32",
    support_quorum_bonus="f32", support_quorum_threshold="f32", support_quorum_cap="size", lambda_="f32",
    iterations="size", tabu_tenure="size", early_stopping_patience="size", use_gpu="bool", random_seed="optional",
    enable_gpu_move_evaluation="bool", enable_path_relinking="bool", enable_destroy_repair="bool",
    enable_reactive_tenure="bool", enable_exact_window="bool", exact_window_size="size", exact_window_time_ms="size")
CONSTRAINT_KINDS = dict(max_tokens="size", min_tokens="size", min_chunks="size", max_chunks="size",
                        max_per_cluster="size", must_include_roles="texts", excluded_chunks="texts",
                        required_chunks="texts")


def snapshot(record, kinds):
    return {name: repr(getattr(record, name)) for name, kind in kinds.items() if kind != "texts"}


def accepted(call):
    try:
        call()
    except REFUSALS:
        return False
    return True


@FUZZ
@given(st.data())
def test_record_constructors_and_assignments(data):
    # Exact conversions are tests/python/test_records.py's; here any value,
    # hostile ones included, is either taken or refused with a refusal.
    record_type, kinds = data.draw(st.sampled_from([(ts.SolverConfig, CONFIG_KINDS),
                                                    (ts.SolverConstraints, CONSTRAINT_KINDS)]))
    names = data.draw(st.lists(st.sampled_from(sorted(kinds)), min_size=1, max_size=3, unique=True))
    accepted(lambda: record_type(**{name: data.draw(scalars() | st.lists(st.text(max_size=3) | scalars(), max_size=3))
                                    for name in names}))
    # A refused assignment leaves every field as it was; an accepted one
    # changes its own field only. Fields cannot be deleted.
    name = data.draw(st.sampled_from(sorted(n for n, k in kinds.items() if k != "texts")))
    value = data.draw(scalars())
    record = record_type()
    before = snapshot(record, kinds)
    changed = {name} if accepted(lambda: setattr(record, name, value)) else set()
    after = snapshot(record, kinds)
    assert {k for k in kinds if k in before and before[k] != after[k]} <= changed
    try:
        delattr(record, name)
        raise AssertionError("a field was deleted")
    except AttributeError:
        pass


# ---- solving --------------------------------------------------------------------------------

@st.composite
def configs(draw):
    """Valid configurations, weights anywhere on the float line, work kept small."""
    floats = {k: draw(FLOATS | st.floats(-2, 2)) for k, v in CONFIG_KINDS.items() if v == "f32"}
    return ts.SolverConfig(**floats, iterations=draw(st.integers(0, 25)),
                           tabu_tenure=draw(st.sampled_from([0, 1, 7, 2**64 - 1])),
                           early_stopping_patience=draw(st.sampled_from([0, 3, 2**64 - 1])),
                           support_quorum_cap=draw(st.sampled_from([0, 1, 4, 2**64 - 1])),
                           exact_window_size=draw(st.sampled_from([0, 3, 14, 2**64 - 1])),
                           exact_window_time_ms=draw(st.sampled_from([0, 5])),
                           **{k: draw(st.booleans()) for k, v in CONFIG_KINDS.items() if v == "bool"})


@st.composite
def constraint_objects(draw):
    texts = st.lists(st.sampled_from(["risk", "table", "chunk_0", "chunk_2", "x", "RISK", ""]), max_size=3)
    small = st.sampled_from([0, 1, 2, 3, 50, 2**64 - 1])
    return draw(st.none() | st.builds(ts.SolverConstraints, max_tokens=small | st.integers(0, 2000), min_tokens=small,
                                      min_chunks=small, max_chunks=small, max_per_cluster=small,
                                      must_include_roles=texts, excluded_chunks=texts, required_chunks=texts))


REFERENCE = dict(embeddings=np.eye(4, 3, dtype=F32) + 0.5, query_embedding=np.ones(3, F32),
                 token_costs=np.array([10, 20, 30, 40], np.uint64), density_scores=np.linspace(0, 1, 4, dtype=F32),
                 centrality_scores=np.full(4, 0.5, F32), recency_scores=np.full(4, 0.5, F32),
                 auxiliary_scores=np.zeros(4, F32), roles=np.arange(4, dtype=np.uint8),
                 cluster_ids=np.array([0, 0, 1, -1], np.int64))
SOLVER = ts.TabuSearchSolver(ts.SolverConfig(iterations=10))
REFERENCE_BITS = bits(SOLVER.solve_numpy(**REFERENCE))


def run_solve(call):
    """A result or a refusal; the solver's own state is untouched either way."""
    try:
        out = call()
    except REFUSALS:
        out = None
    if out is not None:
        assert type(out) is ts.SolverOutput
        assert out.num_selected == len(out.selected_indices) == len(set(out.selected_indices))
    assert bits(SOLVER.solve_numpy(**REFERENCE)) == REFERENCE_BITS
    return out


NUMPY_KINDS = dict(embeddings=(F32, 2), query_embedding=(F32, 1), token_costs=(np.uint64, 1),
                   density_scores=(F32, 1), centrality_scores=(F32, 1), recency_scores=(F32, 1),
                   auxiliary_scores=(F32, 1), roles=(np.uint8, 1), cluster_ids=(np.int64, 1))


@FUZZ
@given(st.data(), configs(), constraint_objects())
def test_solve_from_arrays(data, config, constraints):
    n, dim, hostile = data.draw(st.integers(0, 6)), data.draw(st.integers(0, 4)), data.draw(st.booleans())
    args = {name: data.draw(arrays(dtype, (n, dim) if ndim == 2 else (dim if name == "query_embedding" else n,),
                                   hostile)) for name, (dtype, ndim) in NUMPY_KINDS.items()}
    solver = ts.TabuSearchSolver(config)
    copies = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
    out = run_solve(lambda: solver.solve_numpy(**args, constraints=constraints))
    if out is not None:
        assert all(0 <= i < args["token_costs"].size for i in out.selected_indices)
    del args["query_embedding"]
    extra = {}
    for name, shape in [("relevance_scores", (n,)), ("similarity_matrix", (n, n)), ("fulfilment_scores", (n,)),
                        ("coverage_matrix", (2, n)), ("query_token_weights", (2,)), ("query_embedding", (dim,))]:
        if data.draw(st.booleans()):
            extra[name] = data.draw(arrays(F32, shape, hostile))
    if "relevance_scores" not in extra:
        extra["relevance_scores"] = np.ones(n, F32)
    run_solve(lambda: solver.solve_precomputed_numpy(**args, **extra, constraints=constraints))
    # The caller's arrays are only read.
    assert all(np.array_equal(v, args[k], equal_nan=True) for k, v in copies.items() if k in args)


CHUNK_KEYS = dict(chunk_id=st.text(max_size=3), content=st.text(max_size=3), token_count=st.integers(0, 500),
                  fact_density=FLOATS, centrality_score=FLOATS, recency_score=FLOATS, auxiliary_score=FLOATS,
                  rhetorical_role=st.sampled_from(["risk", "Table", "evidence", "nope"]),
                  cluster_id=st.integers(-3, 3))


@st.composite
def chunk_lists(draw, dim):
    """Chunk dictionaries with wrong values, hostile keys and items, and
    elements that are not dictionaries."""
    def odd(p):
        return draw(st.integers(0, 99)) < 100 * p

    chunks = []
    for _ in range(draw(st.integers(0, 5))):
        chunk = {key: draw(scalars()) if odd(0.15) else draw(valid)
                 for key, valid in CHUNK_KEYS.items() if draw(st.booleans())}
        if not odd(0.15):
            chunk["embedding"] = (draw(scalars()) if odd(0.2) else
                                  draw(arrays(F32, (dim,), False)) if odd(0.25) else
                                  draw(st.lists(FLOATS | st.floats(-2, 2) | hostiles(), min_size=dim, max_size=dim)))
        if odd(0.15):
            chunk[HostileKey(draw(st.sampled_from(["embedding?", "embedding!"])))] = 1
        chunks.append(draw(scalars()) if odd(0.1) else chunk)
    return chunks


@FUZZ
@given(st.data(), configs(), constraint_objects())
def test_solve_from_chunk_dictionaries(data, config, constraints):
    dim = data.draw(st.integers(0, 4))
    chunks = data.draw(chunk_lists(dim))
    query = data.draw(arrays(F32, (dim,), data.draw(st.booleans())))
    # Hostile keys and hostile values meddle with the list, a chunk or the query.
    actions = [chunks.clear, lambda: chunks.append({"embedding": [1.0] * dim}), chunks.reverse]
    actions += [c.clear for c in chunks if isinstance(c, dict)]
    if isinstance(query, np.ndarray) and query.flags.writeable:
        actions.append(lambda: query.fill(np.nan))
    bind_meddlers(data, chunks + [c.get("embedding") for c in chunks if isinstance(c, dict)], actions)
    solver = ts.TabuSearchSolver(config)
    HostileKey.armed = True
    try:
        run_solve(lambda: solver.solve(chunks, query, constraints))
    finally:
        HostileKey.armed = False


@FUZZ
@given(st.data())
def test_solve_while_items_change_their_containers(data):
    # Valid chunks whose embedding items or scores convert correctly but
    # first change their own list, their dictionary, another chunk or the
    # chunk list.
    dim = data.draw(st.integers(1, 4) | st.just(3))
    chunks = [{"embedding": data.draw(st.lists(st.floats(-2, 2), min_size=dim, max_size=dim)),
               "token_count": data.draw(st.integers(1, 300))} for _ in range(data.draw(st.integers(1, 4)))]
    lists = [c["embedding"] for c in chunks]
    actions = ([e.clear for e in lists] + [lambda e=e: e.extend([9.0] * 99) for e in lists]
               + [lambda e=e: e.__setitem__(slice(None), [1.0]) for e in lists] + [c.clear for c in chunks]
               + [chunks.clear, chunks.pop, lambda: chunks.append({"embedding": [1.0] * dim})])
    for chunk in chunks:
        if data.draw(st.booleans()):
            item = Hostile("ok", data.draw(st.integers(-2, 2)))
            own = chunk["embedding"]
            item.meddle = data.draw(st.sampled_from([own.clear, lambda e=own: e.extend([9.0] * 99)]) |
                                    st.sampled_from(actions))
            if data.draw(st.booleans()):
                own[data.draw(st.integers(0, dim - 1))] = item
            else:
                chunk[data.draw(st.sampled_from(["fact_density", "recency_score", "token_count", "cluster_id"]))] = item
    run_solve(lambda: SOLVER.solve(chunks, np.ones(dim, F32)))


@FUZZ
@given(st.data())
def test_solver_construction_and_arguments(data):
    config = data.draw(st.none() | st.just(ts.SolverConfig()) | scalars())
    try:
        solver = ts.TabuSearchSolver(config)
    except TypeError:
        assert config is not None and not isinstance(config, ts.SolverConfig)
        return
    assert solver.backend_kind() == "cpu_reference"
    method = data.draw(st.sampled_from(["solve", "solve_numpy", "solve_precomputed_numpy"]))
    args = data.draw(st.lists(scalars(), max_size=4))
    kwargs = data.draw(st.dictionaries(st.sampled_from(["chunks", "constraints", "embeddings", "roles", "bogus"]),
                                       scalars(), max_size=2))
    run_solve(lambda: getattr(solver, method)(*args, **kwargs))


# ---- MaxSim -------------------------------------------------------------------------------

@st.composite
def arrays3(draw, dtype, shape, hostile):
    """A three-dimensional array with any strides; when `hostile`, also with
    kind mistakes."""
    base = draw(arrays(dtype, shape, hostile))
    if isinstance(base, np.ndarray) and base.ndim == 3 and draw(st.booleans()):
        view = draw(st.sampled_from(["tokens_reversed", "items_strided", "last_strided", "swapped", "zero_last"]))
        if view == "tokens_reversed":
            base = base[:, ::-1]
        elif view == "items_strided":
            base = np.repeat(base, 2, axis=0)[::2]
        elif view == "last_strided":
            base = np.repeat(base, 2, axis=2)[:, :, ::2]
        elif view == "swapped":
            base = np.ascontiguousarray(np.swapaxes(base, 1, 2)).swapaxes(1, 2)
        elif view == "zero_last" and base.shape[2]:
            base = np.broadcast_to(base[:, :, :1], base.shape)
    return base


def is_kind(a, dtype):
    return isinstance(a, np.ndarray) and a.ndim == 3 and a.dtype == np.dtype(dtype)


def as_word(value):
    """The machine word an integer argument converts to, None when refused."""
    if isinstance(value, Hostile):
        value = int(value.value) if value.mode == "ok" else None
    elif isinstance(value, (int, np.integer)):
        value = int(value)
    else:
        return None
    return value if value is not None and 0 <= value < 2**64 else None


def outcome_of(call):
    try:
        return call(), None
    except REFUSALS + (PANIC,) as e:
        return None, e


@FUZZ
@given(st.data())
def test_max_sim_codes(data):
    nq, tq, bq, nd, td, bd = (data.draw(st.integers(0, 3)) for _ in range(6))
    hostile = data.draw(st.booleans())
    q_codes = data.draw(arrays3(np.uint8, (nq, tq, bq), hostile))
    d_codes = data.draw(arrays3(np.uint8, (nd, td, bd), hostile))
    q_meta = data.draw(arrays3(F32, (nq, tq, data.draw(st.sampled_from([4, 4, 4, 3, 5]))), hostile))
    d_meta = data.draw(arrays3(F32, (nd, td, data.draw(st.sampled_from([4, 4, 4, 3, 5]))), hostile))
    words = INTS | scalars() if hostile else st.sampled_from([1, 4, 8, 8, 2, 0])
    num_bits = data.draw(words)
    dim = data.draw(words if hostile else st.integers(0, 70) | st.sampled_from([2**31, 2**31 + 1, 2**64 - 1]))
    inputs = [a.copy() for a in (q_codes, q_meta, d_codes, d_meta) if isinstance(a, np.ndarray)]
    got, error = outcome_of(lambda: ts.compute_max_sim_batch(q_codes, q_meta, d_codes, d_meta, num_bits, dim))
    assert all(np.array_equal(a, b, equal_nan=True)
               for a, b in zip(inputs, [a for a in (q_codes, q_meta, d_codes, d_meta) if isinstance(a, np.ndarray)]))
    kinds_ok = all(is_kind(a, t) for a, t in [(q_codes, np.uint8), (q_meta, F32), (d_codes, np.uint8), (d_meta, F32)])
    num_bits, dim = as_word(num_bits), as_word(dim)
    if not kinds_ok or num_bits is None or dim is None:
        assert got is None and not isinstance(error, PANIC), error
        return

    def short(codes, meta):
        return codes.shape[0] and codes.shape[1] and (meta.shape[0] < codes.shape[0] or meta.shape[1] < codes.shape[1]
                                                      or meta.shape[2] < 4)
    compared = q_codes.shape[0] and q_codes.shape[1] and d_codes.shape[0] and d_codes.shape[1]
    fault = (num_bits not in (1, 4, 8) or dim > 2**31 or short(q_codes, q_meta) or short(d_codes, d_meta)
             or (compared and d_codes.shape[2] < q_codes.shape[2]))
    if fault:
        assert isinstance(error, PANIC), error
    else:
        assert error is None and got.shape == (q_codes.shape[0], d_codes.shape[0]) and got.dtype == F32


@FUZZ
@given(st.data())
def test_max_sim_f32(data):
    nq, tq, nd, td, e = (data.draw(st.integers(0, 3)) for _ in range(5))
    hostile = data.draw(st.booleans())
    q = data.draw(arrays3(F32, (nq, tq, e), hostile))
    d = data.draw(arrays3(F32, (nd, td, data.draw(st.sampled_from([e, e, e + 1]))), hostile))
    inputs = [a.copy() for a in (q, d) if isinstance(a, np.ndarray)]
    got, error = outcome_of(lambda: ts.compute_max_sim_batch_f32(q, d))
    assert all(np.array_equal(a, b, equal_nan=True)
               for a, b in zip(inputs, [a for a in (q, d) if isinstance(a, np.ndarray)]))
    if not (is_kind(q, F32) and is_kind(d, F32)):
        assert isinstance(error, TypeError)
        return
    if q.shape[2] != d.shape[2]:
        assert isinstance(error, ValueError) and str(error) == "Dimension mismatch"
        return

    def gapped(a):
        return a.shape[0] and a.shape[1] and a.shape[2] > 1 and a.strides[2] != 4
    if gapped(q) or gapped(d):
        assert isinstance(error, PANIC), error
    else:
        assert error is None and got.shape == (q.shape[0], d.shape[0])
