import inspect
import math
import struct

import numpy as np
import pytest

import torvane_solver as ts

FLT_MAX = float.fromhex("0x1.fffffep127")
OVERFLOW_TIE = float.fromhex("0x1.ffffffp127")
SIZE_MAX = 2**64 - 1 if struct.calcsize("P") == 8 else 2**32 - 1


def f32(x):
    return struct.unpack("<f", struct.pack("<f", x))[0]


CONFIG_DEFAULTS = {
    "alpha": 1.0, "beta": 0.3, "gamma": 0.2, "delta": 0.1, "epsilon": 0.0, "mu": 1.0,
    "support_secondary_discount": 0.35, "support_quorum_bonus": 0.18,
    "support_quorum_threshold": 0.55, "support_quorum_cap": 4, "lambda_": 0.5,
    "iterations": 100, "tabu_tenure": 10, "early_stopping_patience": 20, "use_gpu": False,
    "random_seed": None, "enable_gpu_move_evaluation": True, "enable_path_relinking": True,
    "enable_destroy_repair": True, "enable_reactive_tenure": True, "enable_exact_window": True,
    "exact_window_size": 14, "exact_window_time_ms": 25,
}
F32_FIELDS = [k for k, v in CONFIG_DEFAULTS.items() if isinstance(v, float)]
SIZE_FIELDS = ["support_quorum_cap", "iterations", "tabu_tenure", "early_stopping_patience",
               "exact_window_size"]
BOOL_FIELDS = [k for k, v in CONFIG_DEFAULTS.items() if isinstance(v, bool)]
CONSTRAINT_NUMBERS = {"max_tokens": 8192, "min_tokens": 0, "min_chunks": 1, "max_chunks": 50,
                      "max_per_cluster": 3}
TEXT_LISTS = ["must_include_roles", "excluded_chunks", "required_chunks"]


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 7


class BadIndex:
    def __index__(self):
        raise ValueError("no index today")


class MyTypeError(TypeError):
    pass


class RaisesSubclass:
    def __float__(self):
        raise MyTypeError("subclass passes through")


def test_config_defaults_and_signature():
    config = ts.SolverConfig()
    for name, default in CONFIG_DEFAULTS.items():
        expected = f32(default) if isinstance(default, float) else default
        assert getattr(config, name) == expected, name
    params = inspect.signature(ts.SolverConfig).parameters
    assert list(params) == list(CONFIG_DEFAULTS)
    assert {k: p.default for k, p in params.items()} == CONFIG_DEFAULTS
    assert ts.SolverConfig.__doc__ == "Python-exposed solver configuration"


def test_constraints_defaults_and_signature():
    constraints = ts.SolverConstraints()
    for name, default in CONSTRAINT_NUMBERS.items():
        assert getattr(constraints, name) == default
    params = inspect.signature(ts.SolverConstraints).parameters
    assert list(params) == list(CONSTRAINT_NUMBERS) + TEXT_LISTS
    assert all(params[name].default is None for name in TEXT_LISTS)
    assert ts.SolverConstraints.__doc__ == "Python-exposed solver constraints"
    for name in TEXT_LISTS:
        with pytest.raises(AttributeError):
            getattr(constraints, name)


@pytest.mark.parametrize("value, expected", [
    (0.3, f32(0.3)), (1e40, math.inf), (-1e40, -math.inf), (True, 1.0), (3, 3.0),
    (Floaty(), 2.5), (Indexy(), 7.0), (np.float64(0.1), f32(0.1)), (-0.0, -0.0),
    (math.nextafter(OVERFLOW_TIE, 0), FLT_MAX),  # just below the overflow tie
    (OVERFLOW_TIE, math.inf),  # the tie itself rounds to infinity (to even)
])
@pytest.mark.parametrize("field", F32_FIELDS)
def test_f32_fields_narrow(field, value, expected):
    config = ts.SolverConfig(**{field: value})
    assert struct.pack("<d", getattr(config, field)) == struct.pack("<d", expected)
    config = ts.SolverConfig()
    setattr(config, field, value)
    assert struct.pack("<d", getattr(config, field)) == struct.pack("<d", expected)


def test_f32_keeps_nan():
    assert math.isnan(ts.SolverConfig(mu=math.nan).mu)


SIZE_CASES = [
    (2.0, TypeError, "argument '{}': 'float' object cannot be interpreted as an integer"),
    (-1, OverflowError, None),
    (2**64, OverflowError, None),
    ("3", TypeError, "argument '{}': "),
    (BadIndex(), ValueError, "no index today"),
]


@pytest.mark.parametrize("value, error, message", SIZE_CASES)
@pytest.mark.parametrize("record, field", [(ts.SolverConfig, f) for f in SIZE_FIELDS]
                         + [(ts.SolverConfig, "exact_window_time_ms"), (ts.SolverConfig, "random_seed")]
                         + [(ts.SolverConstraints, f) for f in CONSTRAINT_NUMBERS])
def test_integer_refusals(record, field, value, error, message):
    with pytest.raises(error) as info:
        record(**{field: value})
    assert type(info.value) is error
    if message:
        assert str(info.value).startswith(message.format(field))
    instance = record()
    before = getattr(instance, field)
    with pytest.raises(error):
        setattr(instance, field, value)
    assert getattr(instance, field) == before


@pytest.mark.parametrize("record, field", [(ts.SolverConfig, "iterations"), (ts.SolverConfig, "exact_window_time_ms"),
                                           (ts.SolverConfig, "random_seed"), (ts.SolverConstraints, "max_tokens")])
@pytest.mark.parametrize("value", [0, SIZE_MAX, Indexy(), True])
def test_integer_range_accepted(record, field, value):
    assert getattr(record(**{field: value}), field) == int(value.__index__())


def test_random_seed_optional():
    assert ts.SolverConfig(random_seed=None).random_seed is None
    config = ts.SolverConfig(random_seed=42)
    assert config.random_seed == 42
    config.random_seed = None
    assert config.random_seed is None


@pytest.mark.parametrize("value, accepted", [
    (True, True), (False, False), (np.True_, True), (np.False_, False),
])
@pytest.mark.parametrize("field", BOOL_FIELDS)
def test_bool_fields_accept(field, value, accepted):
    assert getattr(ts.SolverConfig(**{field: value}), field) is accepted


@pytest.mark.parametrize("value, type_name", [(1, "int"), (0, "int"), (1.0, "float"), (None, "NoneType"),
                                              ("yes", "str"), (np.int64(1), "int64")])
@pytest.mark.parametrize("field", BOOL_FIELDS)
def test_bool_fields_refuse(field, value, type_name):
    message = f"argument '{field}': '{type_name}' object cannot be converted to 'PyBool'"
    with pytest.raises(TypeError) as info:
        ts.SolverConfig(**{field: value})
    assert str(info.value) == message
    config = ts.SolverConfig()
    with pytest.raises(TypeError) as info:
        setattr(config, field, value)
    assert str(info.value) == message
    assert getattr(config, field) == CONFIG_DEFAULTS[field]


@pytest.mark.parametrize("value, message", [
    ("risk", "Can't extract `str` to `Vec`"),
    ({"a"}, "'set' object cannot be converted to 'Sequence'"),
    ({"a": 1}, "'dict' object cannot be converted to 'Sequence'"),
    (5, "'int' object cannot be converted to 'Sequence'"),
    (["a", 3], "'int' object cannot be converted to 'PyString'"),
    ([b"a"], "'bytes' object cannot be converted to 'PyString'"),
])
@pytest.mark.parametrize("field", TEXT_LISTS)
def test_text_list_refusals(field, value, message):
    with pytest.raises(TypeError) as info:
        ts.SolverConstraints(**{field: value})
    assert str(info.value) == f"argument '{field}': {message}"


@pytest.mark.parametrize("value", [None, [], ("a", "a"), ["x", "y"], ["\ud800"]])
@pytest.mark.parametrize("field", TEXT_LISTS)
def test_text_list_accepted(field, value):
    ts.SolverConstraints(**{field: value})


def test_first_failing_parameter_is_reported():
    with pytest.raises(TypeError, match="argument 'beta'"):
        ts.SolverConfig(iterations=2.0, beta="x")
    with pytest.raises(TypeError, match="argument 'min_tokens'"):
        ts.SolverConstraints(required_chunks="x", min_tokens=1.5)


def test_type_error_subclass_passes_through_unwrapped():
    with pytest.raises(MyTypeError, match="^subclass passes through$"):
        ts.SolverConfig(alpha=RaisesSubclass())
    config = ts.SolverConfig()
    with pytest.raises(MyTypeError, match="^subclass passes through$"):
        config.alpha = RaisesSubclass()


def test_wrapped_type_error_keeps_cause():
    class Chained:
        def __index__(self):
            try:
                raise KeyError("root")
            except KeyError as root:
                raise TypeError("outer") from root

    with pytest.raises(TypeError) as info:
        ts.SolverConfig(iterations=Chained())
    assert str(info.value) == "argument 'iterations': outer"
    assert isinstance(info.value.__cause__, KeyError)


@pytest.mark.parametrize("call", [
    lambda: ts.SolverConfig(*range(24)),
    lambda: ts.SolverConfig(unknown=1),
    lambda: ts.SolverConfig(1.0, alpha=2.0),
    lambda: ts.SolverConstraints(1, 2, 3, 4, 5, None, None, None, None),
])
def test_argument_binding_errors(call):
    with pytest.raises(TypeError):
        call()


def test_positional_arguments_in_field_order():
    config = ts.SolverConfig(2.0, 0.5, 0.25)
    assert (config.alpha, config.beta, config.gamma) == (2.0, 0.5, 0.25)
    constraints = ts.SolverConstraints(100, 10, 2, 5, 1, ["risk"], ["a"], ["b"])
    assert (constraints.max_tokens, constraints.min_tokens, constraints.min_chunks,
            constraints.max_chunks, constraints.max_per_cluster) == (100, 10, 2, 5, 1)


@pytest.mark.parametrize("record, fields", [(ts.SolverConfig, list(CONFIG_DEFAULTS)),
                                            (ts.SolverConstraints, list(CONSTRAINT_NUMBERS))])
def test_delete_refused(record, fields):
    instance = record()
    for name in fields:
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            delattr(instance, name)


def test_no_relation_checks():
    constraints = ts.SolverConstraints(min_chunks=10, max_chunks=1, min_tokens=100, max_tokens=5)
    assert (constraints.min_chunks, constraints.max_chunks) == (10, 1)


@pytest.mark.parametrize("kwargs, text", [
    ({}, "SolverConfig(alpha=1, beta=0.3, gamma=0.2, delta=0.1, epsilon=0, mu=1, lambda_=0.5, "
         "iterations=100, use_gpu=false)"),
    ({"alpha": -0.0, "beta": 1e-7, "gamma": math.nan, "delta": math.inf, "epsilon": -math.inf,
      "mu": 123456789.0, "lambda_": 3e38, "iterations": 0, "use_gpu": True},
     "SolverConfig(alpha=-0, beta=0.0000001, gamma=NaN, delta=inf, epsilon=-inf, mu=123456790, "
     "lambda_=300000000000000000000000000000000000000, iterations=0, use_gpu=true)"),
])
def test_config_repr(kwargs, text):
    assert repr(ts.SolverConfig(**kwargs)) == text


def test_constraints_repr():
    assert repr(ts.SolverConstraints()) == "SolverConstraints(max_tokens=8192, max_chunks=50, max_per_cluster=3)"
    assert repr(ts.SolverConstraints(max_tokens=1, max_chunks=2, max_per_cluster=0)) == \
        "SolverConstraints(max_tokens=1, max_chunks=2, max_per_cluster=0)"


def test_solver_output_has_no_constructor():
    with pytest.raises(TypeError, match="^No constructor defined for SolverOutput$"):
        ts.SolverOutput()
    assert ts.SolverOutput.__doc__ == "Python-exposed solver output"
    assert ts.SolverOutput.to_dict.__text_signature__ == "($self)"


def test_refused_conversions_do_not_leak(rss):
    def churn(count):
        config = ts.SolverConfig()
        constraints = ts.SolverConstraints()
        for _ in range(count):
            for call in (lambda: ts.SolverConfig(iterations=2.0),
                         lambda: ts.SolverConfig(use_gpu=1),
                         lambda: ts.SolverConstraints(excluded_chunks=["a", 3]),
                         lambda: ts.SolverConstraints(required_chunks="abc"),
                         lambda: setattr(config, "beta", "x"),
                         lambda: setattr(constraints, "max_tokens", -1)):
                try:
                    call()
                except (TypeError, OverflowError):
                    pass
            ts.SolverConstraints(must_include_roles=["risk", "table"], excluded_chunks=("a", "b"))

    churn(20_000)  # warm-up: allocator pools and caches settle
    before = rss()
    churn(100_000)
    assert rss() - before < 4 * 1024 * 1024
