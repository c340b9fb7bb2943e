"""Records and solvers survive pickle (every protocol), copy and deepcopy bit for bit,
and rebuilding refuses a tampered state with TypeError, ValueError or OverflowError."""
import copy
import inspect
import math
import pickle
import struct
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import torvane_solver as ts

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)
SIZE_MAX = 2**64 - 1 if struct.calcsize("P") == 8 else 2**32 - 1
U64_MAX = 2**64 - 1
REFUSALS = (TypeError, ValueError, OverflowError)
MODULE_NAMES = ["SolverConfig", "SolverConstraints", "SolverOutput", "TabuSearchSolver", "gpu_available",
                "cuda_available", "version", "compute_max_sim_batch", "compute_max_sim_batch_f32"]


def f32_from_bits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def f64_from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


# Single-precision values a field can hold, by their bits: signed zeros,
# the extremes, the smallest subnormal, infinities and NaNs with payloads.
F32_BITS = [0x00000000, 0x80000000, 0x7F7FFFFF, 0xFF7FFFFF, 0x00000001, 0x80000001, 0x7F800000, 0xFF800000,
            0x7FC00000, 0xFFC00000, 0x7FC00123, 0xFFFFFFFF]
F64_BITS = [0x0, 0x8000000000000000, 0x7FEFFFFFFFFFFFFF, 0x1, 0x7FF0000000000000, 0xFFF0000000000000,
            0x7FF8000000000000, 0xFFF8000000000001, 0x7FFFFFFFFFFFFFFF, 0x7FF0000000000001]


def roundtrips(obj):
    """The object after each pickle protocol, copy.copy and copy.deepcopy."""
    for protocol in PROTOCOLS:
        yield f"protocol {protocol}", pickle.loads(pickle.dumps(obj, protocol))
    yield "copy", copy.copy(obj)
    yield "deepcopy", copy.deepcopy(obj)


def state_of(obj):
    """The rebuild arguments __reduce__ gives: every field, floats as their bits."""
    return obj.__reduce__()[1]


def canonical(obj):
    """A comparable form: records and solvers as their type and canonical rebuild arguments."""
    if isinstance(obj, (ts.SolverConfig, ts.SolverConstraints, ts.SolverOutput, ts.TabuSearchSolver)):
        return type(obj).__name__, canonical(obj.__reduce__()[1])
    if isinstance(obj, (tuple, list)):
        return type(obj)(canonical(item) for item in obj)
    return obj


def config_fields(config):
    names = list(inspect.signature(ts.SolverConfig).parameters)
    return {name: getattr(config, name) for name in names}


# ---- SolverConfig --------------------------------------------------------------------------------

FLOAT_FIELDS = ["alpha", "beta", "gamma", "delta", "epsilon", "mu", "support_secondary_discount",
                "support_quorum_bonus", "support_quorum_threshold", "lambda_"]
SIZE_FIELDS = ["support_quorum_cap", "iterations", "tabu_tenure", "early_stopping_patience", "exact_window_size"]
BOOL_FIELDS = ["use_gpu", "enable_gpu_move_evaluation", "enable_path_relinking", "enable_destroy_repair",
               "enable_reactive_tenure", "enable_exact_window"]


def extreme_configs():
    yield ts.SolverConfig()
    for i, bits in enumerate(F32_BITS):
        config = ts.SolverConfig(random_seed=[None, 0, U64_MAX][i % 3], exact_window_time_ms=[0, U64_MAX][i % 2])
        for j, name in enumerate(FLOAT_FIELDS):
            setattr(config, name, f32_from_bits(F32_BITS[(i + j) % len(F32_BITS)]))
        for j, name in enumerate(SIZE_FIELDS):
            setattr(config, name, [0, SIZE_MAX, 1][(i + j) % 3])
        for j, name in enumerate(BOOL_FIELDS):
            setattr(config, name, (i + j) % 2 == 0)
        yield config


def test_config_roundtrip_keeps_every_bit():
    for config in extreme_configs():
        expected = state_of(config)
        for how, back in roundtrips(config):
            assert type(back) is ts.SolverConfig
            assert back is not config
            assert state_of(back) == expected, how
            for name in FLOAT_FIELDS:  # the attribute reads back the same single-precision bits
                assert struct.pack("<f", getattr(back, name)) == struct.pack("<f", getattr(config, name)), how
            assert repr(back) == repr(config)


def test_config_state_holds_float_bits_and_nan_payloads():
    config = ts.SolverConfig(mu=f32_from_bits(0xFFC00123), lambda_=-0.0, random_seed=U64_MAX)
    (state,) = state_of(config)
    fields = config_fields(config)
    assert len(state) == len(fields)
    by_name = dict(zip(fields, state))
    assert by_name["mu"] == 0xFFC00123 and by_name["lambda_"] == 0x80000000
    assert by_name["alpha"] == 0x3F800000 and by_name["random_seed"] == U64_MAX
    # Protocol 0 writes floats as text; the bits survive because the state holds integers.
    assert struct.pack("<f", pickle.loads(pickle.dumps(config, 0)).mu) == struct.pack("<I", 0xFFC00123)


def test_copies_are_independent():
    config = ts.SolverConfig(iterations=7)
    for _, back in roundtrips(config):
        back.iterations = 8
        assert config.iterations == 7
    constraints = ts.SolverConstraints(max_tokens=5)
    for _, back in roundtrips(constraints):
        back.max_tokens = 6
        assert constraints.max_tokens == 5


# ---- SolverConstraints ---------------------------------------------------------------------------

def test_constraints_roundtrip_keeps_every_field():
    cases = [
        ts.SolverConstraints(),
        ts.SolverConstraints(max_tokens=SIZE_MAX, min_tokens=SIZE_MAX, min_chunks=0, max_chunks=SIZE_MAX,
                             max_per_cluster=0, must_include_roles=["risk", "definition", "risk"],
                             excluded_chunks=["", "\ud800", "caf\u00e9 \U0001f600", "a\x00b"],
                             required_chunks=("x", "y")),
    ]
    for constraints in cases:
        expected = state_of(constraints)
        for how, back in roundtrips(constraints):
            assert type(back) is ts.SolverConstraints
            assert state_of(back) == expected, how
    assert state_of(cases[1])[5:] == (["risk", "definition", "risk"], ["", "\ud800", "caf\u00e9 \U0001f600", "a\x00b"],
                                      ["x", "y"])


# ---- SolverOutput --------------------------------------------------------------------------------

def small_problem(n=8, seed=3):
    rng = np.random.default_rng(seed)
    embeddings = rng.standard_normal((n, 6)).astype(np.float32)
    return dict(
        embeddings=embeddings, query_embedding=embeddings[0] + 0.1,
        token_costs=rng.integers(20, 120, n).astype(np.uint64),
        density_scores=rng.random(n).astype(np.float32), centrality_scores=rng.random(n).astype(np.float32),
        recency_scores=rng.random(n).astype(np.float32), auxiliary_scores=rng.random(n).astype(np.float32),
        roles=rng.integers(0, 4, n).astype(np.uint8), cluster_ids=rng.integers(-1, 3, n).astype(np.int64))


def without_time(output):
    fields = output.to_dict()
    del fields["solve_time_ms"]
    return fields


def solved_outputs():
    solver = ts.TabuSearchSolver()
    yield solver.solve_numpy(**small_problem(), constraints=ts.SolverConstraints(max_tokens=250))
    # An unsatisfiable requirement leaves violation texts in the output.
    yield solver.solve_numpy(**small_problem(), constraints=ts.SolverConstraints(
        max_tokens=10, min_chunks=3, required_chunks=["chunk_missing"]))
    yield solver.solve([], np.ones(2, np.float32))


def synthetic_states():
    """Valid states at the limits of every field type."""
    template = list(state_of(next(solved_outputs()))[0])
    names = list(next(solved_outputs()).to_dict())
    for k, bits in enumerate(F64_BITS):
        state = list(template)
        for i, name in enumerate(names):
            value = state[i]
            if isinstance(value, bool):
                state[i] = k % 2 == 0
            elif name == "selected_indices":
                state[i] = [] if k % 3 == 0 else [0, 5, SIZE_MAX][: k % 3 + 1]
            elif name == "num_selected":
                state[i] = 0 if k % 3 == 0 else k % 3 + 1
            elif name == "constraint_violations":
                state[i] = ["\ud800", "", "too many tokens"][: k % 4]
            elif name in {"objective_score", "relevance_total", "density_total", "centrality_total",
                          "recency_total", "auxiliary_total", "fulfilment_total", "redundancy_penalty",
                          "solve_time_ms", "exact_window_gap"}:
                state[i] = F64_BITS[(k + i) % len(F64_BITS)]
            else:
                state[i] = [0, SIZE_MAX, 12345][(k + i) % 3]
        yield tuple(state)


def test_output_roundtrip_keeps_every_bit():
    outputs = list(solved_outputs()) + [ts.SolverOutput._from_state(s) for s in synthetic_states()]
    assert any(out.constraint_violations for out in outputs)
    for output in outputs:
        expected = state_of(output)
        for how, back in roundtrips(output):
            assert type(back) is ts.SolverOutput
            assert state_of(back) == expected, how
            assert repr(back) == repr(output)
    # Floats come back as the very doubles, NaN payloads and signed zeros included.
    for state in synthetic_states():
        output = pickle.loads(pickle.dumps(ts.SolverOutput._from_state(state), 0))
        for name, value in output.to_dict().items():
            if isinstance(value, float):
                assert struct.unpack("<Q", struct.pack("<d", value))[0] in F64_BITS, name


def test_output_state_is_the_fields_in_dict_order():
    output = next(solved_outputs())
    callable_, (state,) = output.__reduce__()
    assert callable_ == ts.SolverOutput._from_state
    fields = output.to_dict()
    assert len(state) == len(fields)
    for (name, value), stored in zip(fields.items(), state):
        if isinstance(value, float):
            assert stored == struct.unpack("<Q", struct.pack("<d", value))[0], name
        else:
            assert stored == value, name
    with pytest.raises(TypeError, match="^No constructor defined for SolverOutput$"):
        ts.SolverOutput()


# ---- TabuSearchSolver ----------------------------------------------------------------------------

def test_solver_roundtrip_solves_to_the_same_bits():
    problem = small_problem(n=10, seed=11)
    constraints = ts.SolverConstraints(max_tokens=220)
    solvers = [ts.TabuSearchSolver(), ts.TabuSearchSolver(None), ts.TabuSearchSolver(ts.SolverConfig()),
               ts.TabuSearchSolver(ts.SolverConfig(beta=0.0, gamma=0.0, delta=0.0, lambda_=0.9, iterations=40,
                                                   random_seed=U64_MAX, exact_window_time_ms=10**9))]
    results = [without_time(s.solve_numpy(**problem, constraints=constraints)) for s in solvers]
    # Without a configuration the auxiliary weights do not count: the copies must keep that apart.
    assert results[0] == results[1] and results[0] != results[2]
    for solver, expected in zip(solvers, results):
        for how, back in roundtrips(solver):
            assert type(back) is ts.TabuSearchSolver and back is not solver
            assert repr(back) == repr(solver) and back.backend_kind() == solver.backend_kind()
            assert without_time(back.solve_numpy(**problem, constraints=constraints)) == expected, how


def test_solver_reduces_to_its_configuration():
    assert state_of(ts.TabuSearchSolver()) == (None,)
    config = ts.SolverConfig(mu=f32_from_bits(0x7FC00123), tabu_tenure=SIZE_MAX, random_seed=5)
    (inner,) = state_of(ts.TabuSearchSolver(config))
    assert type(inner) is ts.SolverConfig and state_of(inner) == state_of(config)


def test_records_cross_a_process_boundary():
    solver = ts.TabuSearchSolver(ts.SolverConfig(iterations=30, exact_window_time_ms=10**9))
    problem = small_problem(n=9, seed=5)
    constraints = ts.SolverConstraints(max_tokens=200)
    expected = solver.solve_numpy(**problem, constraints=constraints)
    script = ("import pickle, sys\n"
              "solver, problem, constraints = pickle.load(sys.stdin.buffer)\n"
              "pickle.dump(solver.solve_numpy(**problem, constraints=constraints), sys.stdout.buffer)\n")
    done = subprocess.run([sys.executable, "-c", script], input=pickle.dumps((solver, problem, constraints)),
                          capture_output=True, check=True, timeout=120)
    output = pickle.loads(done.stdout)
    assert type(output) is ts.SolverOutput
    assert without_time(output) == without_time(expected)


# ---- Tampered states -----------------------------------------------------------------------------

def rebuilders():
    """(name, rebuild(args), valid args) for each record and the solver."""
    config = ts.SolverConfig(random_seed=3)
    output = next(solved_outputs())
    constraints = ts.SolverConstraints(must_include_roles=["risk"], excluded_chunks=["a"])
    return [
        ("config", lambda args: ts.SolverConfig._from_state(*args), state_of(config)),
        ("output", lambda args: ts.SolverOutput._from_state(*args), state_of(output)),
        ("constraints", lambda args: ts.SolverConstraints(*args), state_of(constraints)),
        ("solver", lambda args: ts.TabuSearchSolver(*args), state_of(ts.TabuSearchSolver(config))),
    ]


class Unhelpful:
    pass


WRONG_VALUES = [None, -1, 2**32, 2**64, -(2**63), 1.5, math.nan, "x", b"x", True, [], [1.5], [-1], [2**64],
                ["a"], [None], (), {}, Unhelpful(), [5, 1], [1, 1]]


def tampered_states():
    for name, rebuild, args in rebuilders():
        inner = name in ("config", "output")  # the fields sit in one tuple argument
        fields = list(args[0]) if inner else list(args)
        for i in range(len(fields)):
            for value in WRONG_VALUES:
                changed = list(fields)
                changed[i] = value
                yield name, rebuild, (tuple(changed),) if inner else tuple(changed)
        for shape in (fields[:-1], fields + [0], [], fields + fields):
            yield name, rebuild, (tuple(shape),) if inner else tuple(shape)
        if inner:
            for outer in ((list(fields),), (None,), ({},), (tuple(fields), 1)):
                yield name, rebuild, outer


def test_tampered_states_are_refused_or_rebuilt_consistently():
    refused = 0
    for name, rebuild, args in tampered_states():
        try:
            rebuilt = rebuild(args)
        except REFUSALS:
            refused += 1
            continue
        # Accepted values are ones a caller could have set; the result pickles again.
        again = pickle.loads(pickle.dumps(rebuilt))
        assert canonical(again) == canonical(rebuilt), name
    assert refused > 300


@pytest.mark.parametrize("state, error, message", [
    ("not a tuple", TypeError, "SolverOutput state must be a tuple, not 'str'"),
    ((), ValueError, "SolverOutput state must hold 23 values, not 0"),
])
def test_output_state_shape_messages(state, error, message):
    with pytest.raises(error, match=f"^{message}$"):
        ts.SolverOutput._from_state(state)


def test_output_state_must_describe_a_selection():
    fields = list(next(solved_outputs()).to_dict())
    state = list(state_of(next(solved_outputs()))[0])
    indices, count = fields.index("selected_indices"), fields.index("num_selected")
    for selected in ([3, 1], [2, 2]):
        state[indices], state[count] = selected, 2
        with pytest.raises(ValueError, match="strictly ascending"):
            ts.SolverOutput._from_state(tuple(state))
    state[indices], state[count] = [1, 2], 3
    with pytest.raises(ValueError, match="num_selected is 3 but selected_indices holds 2"):
        ts.SolverOutput._from_state(tuple(state))
    state[fields.index("objective_score")] = 2**64
    with pytest.raises(OverflowError):
        ts.SolverOutput._from_state(tuple(state))


class Forged:
    """Pickles as a rebuild call with arguments of our choosing."""

    def __init__(self, callable_, args):
        self.reduced = (callable_, args)

    def __reduce__(self):
        return self.reduced


def test_tampered_pickles_fail_at_load():
    config_state = list(state_of(ts.SolverConfig())[0])
    config_state[0] = 2**40
    forged = [
        Forged(ts.SolverConfig._from_state, (tuple(config_state),)),
        Forged(ts.SolverOutput._from_state, ((1, 2, 3),)),
        Forged(ts.SolverConstraints, (-5,)),
        Forged(ts.TabuSearchSolver, (ts.SolverConstraints(),)),
    ]
    for item in forged:
        for protocol in PROTOCOLS:
            data = pickle.dumps(item, protocol)
            with pytest.raises(REFUSALS):
                pickle.loads(data)


@settings(max_examples=200, deadline=None)
@given(data=st.data())
def test_fuzz_mutated_states(data):
    name, rebuild, args = data.draw(st.sampled_from(rebuilders()))
    inner = name in ("config", "output")
    fields = list(args[0]) if inner else list(args)
    values = st.one_of(st.none(), st.booleans(), st.integers(min_value=-(2**70), max_value=2**70),
                       st.floats(allow_nan=True), st.text(max_size=3),
                       st.lists(st.integers(min_value=-3, max_value=2**65), max_size=4),
                       st.lists(st.text(max_size=2), max_size=3))
    for _ in range(data.draw(st.integers(min_value=1, max_value=3))):
        action = data.draw(st.sampled_from(["replace", "drop", "add"]))
        if action == "replace" and fields:
            fields[data.draw(st.integers(0, len(fields) - 1))] = data.draw(values)
        elif action == "drop" and fields:
            del fields[data.draw(st.integers(0, len(fields) - 1))]
        else:
            fields.insert(data.draw(st.integers(0, len(fields))), data.draw(values))
    try:
        rebuilt = rebuild((tuple(fields),) if inner else tuple(fields))
    except REFUSALS:
        return
    assert canonical(pickle.loads(pickle.dumps(rebuilt))) == canonical(rebuilt)


# ---- Module contents -----------------------------------------------------------------------------

def test_pickling_adds_no_module_attribute():
    before = [name for name in vars(ts) if not name.startswith("__")]
    assert before == MODULE_NAMES
    for obj in [ts.SolverConfig(), ts.SolverConstraints(), next(solved_outputs()), ts.TabuSearchSolver()]:
        for _, back in roundtrips(obj):
            assert type(back) is type(obj)
    assert [name for name in vars(ts) if not name.startswith("__")] == MODULE_NAMES
    # The rebuild methods live on their classes, reachable by qualified name.
    assert ts.SolverOutput._from_state.__qualname__ == "SolverOutput._from_state"
    assert ts.SolverConfig._from_state.__qualname__ == "SolverConfig._from_state"
