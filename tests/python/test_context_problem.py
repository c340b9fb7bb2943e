"""The selection problem the framework components share: how texts, sources, roles, ids and
metadata become the solver's arrays, constraints and configuration."""
import numpy as np
import pytest

import torvane_solver as ts

import torvane
from torvane._context import SelectionOptions, estimate_tokens, problem_from_texts, token_counter_of


def build(n=7, options=None, **per_text):
    rng = np.random.default_rng(0)
    args = dict(texts=[f"text {i}" for i in range(n)], doc_embeddings=rng.standard_normal((n, 5)),
                query_embedding=rng.standard_normal(5), token_counts=list(range(10, 10 + n)),
                sources=[None] * n, roles=[None] * n, ids=[None] * n, metadata=[{}] * n)
    args.update(per_text)
    return problem_from_texts(options=options or SelectionOptions(max_tokens=100), **args)


def test_sources_roles_and_ids_become_clusters_role_codes_and_chunk_names():
    sources = ["a", None, 1, "1", ["x"], "a", ["x"]]
    roles = ["Definition", "table", "DATA_TABLE", "procedure", "summary", None, 3]
    ids = ["d0", "d1", None, "d3", "d0", "d5", "d6"]
    options = SelectionOptions(max_tokens=100, required_ids=["d0", "nowhere"], excluded_ids=["d6"],
                               must_include_roles=["risk"])
    problem, constraints, _ = build(sources=sources, roles=roles, ids=ids, options=options)
    # First appearance numbers the sources; None has no cluster; 1 and "1" differ.
    assert problem["cluster_ids"].tolist() == [0, -1, 1, 2, 3, 0, 3]
    assert problem["roles"].tolist() == [0, 6, 6, 7, 255, 255, 255]
    assert problem["cluster_ids"].dtype == np.int64 and problem["roles"].dtype == np.uint8
    # Required ids name every text with that id; unknown ids are ignored.
    out = ts.TabuSearchSolver(ts.SolverConfig(exact_window_time_ms=10**9)).solve_precomputed_numpy(
        **problem, constraints=constraints)
    assert {0, 4} <= set(out.selected_indices) and 6 not in out.selected_indices


def test_limits_default_to_none_and_a_given_config_sees_the_raw_cosine():
    rng = np.random.default_rng(1)
    emb, query = rng.standard_normal((6, 4)), rng.standard_normal(4)
    emb[2] = 0.0
    raw = ts.SolverConfig(beta=0.0, gamma=0.0, delta=0.0)
    problem, constraints, config = build(6, doc_embeddings=emb, query_embedding=query,
                                         options=SelectionOptions(max_tokens=100, config=raw))
    assert constraints.max_chunks >= 6 and constraints.max_per_cluster >= 6 and constraints.max_tokens == 100
    expected = emb @ query / (np.linalg.norm(emb, axis=1) * np.linalg.norm(query) + (emb == 0).all(axis=1))
    np.testing.assert_allclose(problem["relevance_scores"], expected, atol=1e-6)
    assert problem["relevance_scores"][2] == 0.0
    assert problem["token_costs"].tolist() == list(range(10, 16)) and problem["token_costs"].dtype == np.uint64
    assert "similarity_matrix" not in problem  # the solver's embedding similarity
    # Without a config: the selection defaults, and only the signals the texts carry.
    shaped, _, config = build(6, doc_embeddings=emb, query_embedding=query)
    assert (config.beta, config.gamma, config.delta, config.epsilon) == (0.0, 0.0, 0.0, 0.0)
    assert config.lambda_ == torvane.default_config().lambda_
    order = np.argsort(expected, kind="stable")
    assert np.all(np.diff(shaped["relevance_scores"][order]) >= 0)  # calibration keeps the order
    assert shaped["similarity_matrix"].shape == (6, 6)  # repeated text, not embedding cosine
    _, _, carried = build(6, metadata=[{"recency_score": 0.25}] + [{}] * 5)
    assert (carried.beta, carried.gamma, carried.delta) == (0.0, 0.0, pytest.approx(0.1))
    mine = ts.SolverConfig(beta=0.7)
    _, _, given = build(6, options=SelectionOptions(max_tokens=5, config=mine))
    assert given is mine and mine.beta == pytest.approx(0.7)  # a given configuration is used as it is


@pytest.mark.parametrize("change, error", [
    (dict(doc_embeddings=np.ones((6, 5))), ValueError),
    (dict(query_embedding=np.ones(4)), ValueError),
    (dict(token_counts=[1, 2, 3, 4, 5, 6.5, 7]), ValueError),
    (dict(doc_embeddings=np.full((7, 5), np.nan)), ValueError),
    (dict(ids=["x"]), ValueError),
])
def test_bad_inputs_are_refused(change, error):
    with pytest.raises(error):
        build(**change)


def test_the_default_token_estimate():
    assert estimate_tokens("") == 1
    assert estimate_tokens("Hello, world!") == 6  # 4 words and marks, times 1.3, rounded up
    assert estimate_tokens("a " * 100) == 130


class WordPieces:
    """The shape of a `transformers` tokenizer: `encode` adds [CLS] and [SEP] unless told not
    to, and calling it returns a mapping, not a count."""

    def __call__(self, text):
        return {"input_ids": self.encode(text)}

    def encode(self, text, add_special_tokens=True):
        ids = [len(w) for w in text.split()]
        return [101, *ids, 102] if add_special_tokens else ids

    def add_special_tokens(self, tokens):
        raise AssertionError("a counter must not change the tokenizer")


def test_a_tokenizer_counts_a_texts_own_tokens():
    text = "one two three <|endoftext|>"
    assert token_counter_of(None) is estimate_tokens and token_counter_of(len)(text) == len(text)
    assert token_counter_of(str.split)(text) == 4  # a function may return the tokens themselves
    assert token_counter_of(WordPieces())(text) == 4  # without [CLS] and [SEP]
    tiktoken = pytest.importorskip("tiktoken")
    bytewise = tiktoken.Encoding("bytes", pat_str=r"\S+|\s+", mergeable_ranks={bytes([b]): b for b in range(256)},
                                 special_tokens={"<|endoftext|>": 256})
    assert token_counter_of(bytewise)(text) == len(text)  # a special token's spelling counts as text
    for wrong in (5, "a tokenizer's name", b"bytes"):
        with pytest.raises(TypeError, match="token_counter"):
            token_counter_of(wrong)


def test_a_truncating_tokenizer_still_counts_whole_texts():
    tokenizers = pytest.importorskip("tokenizers")
    vocab = {"[UNK]": 0, "[PAD]": 1, **{w: i + 2 for i, w in enumerate("one two three four five".split())}}
    tok = tokenizers.Tokenizer(tokenizers.models.WordLevel(vocab, unk_token="[UNK]"))
    tok.pre_tokenizer = tokenizers.pre_tokenizers.Whitespace()
    tok.enable_truncation(max_length=3)
    tok.enable_padding(length=8, pad_token="[PAD]", pad_id=1)
    count = token_counter_of(tok)
    assert count("one two three four five") == 5 and count("one") == 1
    assert tok.truncation["max_length"] == 3 and tok.padding["length"] == 8  # the caller's settings stay
