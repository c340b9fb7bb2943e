"""The selection problem of the framework components, built in one place.

`ContextSelector` of `torvane.langchain` and of `torvane.llama_index` turn their documents
or nodes into plain lists (texts, embeddings, token counts, sources, roles, ids, metadata) and
hand them to `problem_from_texts`, which makes the keyword arguments of
`solve_precomputed_numpy`, the constraints and the configuration of the solve.
"""
from __future__ import annotations

import copy
import functools
import math
import re
from collections.abc import Callable, Hashable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Optional, Protocol, Union, runtime_checkable

import numpy as np
import numpy.typing as npt

from torvane_solver import SolverConfig, SolverConstraints, SolverOutput, TabuSearchSolver

from torvane._batch import _solve_one, make_solver
from torvane.selection import (SelectionDefaults, build_problem, default_config, filler_chunks, split_aspects,
                               split_pieces)

__all__ = ["SelectionOptions", "Selection", "Tokenizer", "TokenCounter", "estimate_tokens", "problem_from_texts",
           "select", "token_counter_of"]

# Role names the solver accepts (any letter case) and the codes of its `roles` arrays;
# any other value is the unknown role.
ROLE_CODES = {"definition": 0, "example": 1, "evidence": 2, "conclusion": 3, "risk": 4, "constraint": 5,
              "data_table": 6, "datatable": 6, "table": 6, "procedure": 7}
UNKNOWN_ROLE = 255
# Metadata keys of the per-chunk signals (the names of the solver's chunk dictionaries) and
# the configuration weight each one feeds.
SIGNALS = (("fact_density", "beta"), ("centrality_score", "gamma"), ("recency_score", "delta"))
# A chunk that lacks a signal some other chunk carries gets the solver's own default.
SIGNAL_DEFAULT = 0.5
# The exact window may take as long as it needs, so that equal inputs give equal outputs
# whatever the load of the machine (its size bounds the work, a few milliseconds).
EXACT_WINDOW_TIME_MS = 60_000

_WORD = re.compile(r"\w+|[^\w\s]", re.UNICODE)


def estimate_tokens(text: str) -> int:
    """The default token counter: words and punctuation marks, times 1.3, rounded up.

    A tokenizer-free estimate of what a subword tokenizer (WordPiece, BPE) makes of English
    prose; the README gives its measured error. Pass a real tokenizer for exact budgets,
    e.g. ``token_counter=tokenizer``.
    """
    return max(1, math.ceil(1.3 * len(_WORD.findall(text))))


@runtime_checkable
class Tokenizer(Protocol):
    """What a selector accepts as a tokenizer: anything with an `encode` method that turns a
    text into a sized sequence of tokens (Hugging Face `transformers` and `tokenizers`,
    tiktoken, SentencePiece)."""

    def encode(self, text: str, /) -> Any: ...


# A selector's `token_counter`: a function of a text that returns its token count, or a tokenizer.
TokenCounter = Union[Callable[[str], int], Tokenizer]


def token_counter_of(counter: Optional[TokenCounter]) -> Callable[[str], int]:
    """The function that counts a text's tokens for a selector's `token_counter`.

    None gives `estimate_tokens`; a tokenizer counts the tokens it encodes the text into,
    without the special tokens it puts around a whole input ([CLS] and [SEP], a BOS token):
    a prompt holds those once, not once per chunk. A function returns the text's token count,
    or its tokens as a list, tuple or array.
    """
    if counter is None:
        return estimate_tokens
    ordinary = getattr(counter, "encode_ordinary", None)
    if callable(ordinary):
        # tiktoken: `encode` refuses texts that spell a special token; this reads them as text.
        return lambda text: len(ordinary(text))
    if isinstance(counter, Tokenizer) and not isinstance(counter, (str, bytes)):
        if callable(getattr(counter, "no_truncation", None)):
            return _whole_text_counter(counter)
        if callable(getattr(counter, "add_special_tokens", None)):
            # transformers: encode neither truncates nor pads unless asked to.
            encode = counter.encode
            return lambda text: len(encode(text, add_special_tokens=False))  # type: ignore[call-arg]
        return lambda text: len(counter.encode(text))
    if callable(counter):
        function = counter
        # LlamaIndex's tokenizers (`Settings.tokenizer`) return the tokens rather than their count.
        return lambda text: _length(function(text))
    raise TypeError("token_counter must be a function that returns a text's token count, or a tokenizer "
                    f"with an encode method, not {type(counter).__name__}")


def _length(tokens: Any) -> Any:
    return len(tokens) if isinstance(tokens, (list, tuple, np.ndarray)) else tokens


def _whole_text_counter(tokenizer: Any) -> Callable[[str], int]:
    """A counter over a `tokenizers.Tokenizer`. One that truncates or pads (transformers leaves
    its fast tokenizers so after encoding for a model) counts on a copy that does neither."""
    def count(text: str) -> int:
        tok = tokenizer
        if tok.truncation is not None or tok.padding is not None:
            tok = _untruncated(tokenizer)
        return len(tok.encode(text, add_special_tokens=False))
    return count


# A copy takes about 18 ms for a BERT vocabulary: made once per tokenizer, for the next calls too.
@functools.lru_cache(maxsize=8)
def _untruncated(tokenizer: Any) -> Any:
    tok = copy.deepcopy(tokenizer)
    tok.no_truncation()
    tok.no_padding()
    return tok


@dataclass(frozen=True)
class SelectionOptions:
    """The options of a context selector (see `torvane.langchain.ContextSelector`)."""

    max_tokens: int
    max_chunks: Optional[int] = None
    max_per_source: Optional[int] = None
    must_include_roles: Sequence[str] = ()
    required_ids: Sequence[str] = ()
    excluded_ids: Sequence[str] = ()
    config: Optional[SolverConfig] = None
    defaults: Optional[SelectionDefaults] = None

    @property
    def shaped(self) -> bool:
        """Whether the problem is built with the selection defaults (`torvane.build_problem`):
        always without a `config`, and with one when `defaults` are given too."""
        return self.config is None or self.defaults is not None


@dataclass(frozen=True)
class Selection:
    """What a selector returns: chosen positions (ascending), each one's relevance, the output."""

    indices: list[int]
    relevance: npt.NDArray[np.float32]
    output: Optional[SolverOutput]


def check_options(max_tokens: object, max_chunks: object, max_per_source: object,
                  must_include_roles: object, required_ids: object, excluded_ids: object,
                  config: object, defaults: object = None) -> SelectionOptions:
    """Validates the options a selector was built with."""
    def count(name: str, value: object, allow_none: bool) -> Optional[int]:
        if value is None and allow_none:
            return None
        if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
            raise TypeError(f"{name} must be an int{' or None' if allow_none else ''}, not {type(value).__name__}")
        if value < 0:
            raise ValueError(f"{name} must not be negative, got {value}")
        return int(value)

    def names(name: str, value: object) -> tuple[str, ...]:
        if isinstance(value, str) or not isinstance(value, (Sequence, set, frozenset)):
            raise TypeError(f"{name} must be a sequence of strings, not {type(value).__name__}")
        items = tuple(value)
        for item in items:
            if not isinstance(item, str):
                raise TypeError(f"{name} must hold strings, not {type(item).__name__}")
        return items

    if config is not None and not isinstance(config, SolverConfig):
        raise TypeError(f"config must be a torvane_solver.SolverConfig or None, not {type(config).__name__}")
    if defaults is not None and not isinstance(defaults, SelectionDefaults):
        raise TypeError(f"defaults must be a torvane.SelectionDefaults or None, not {type(defaults).__name__}")
    budget = count("max_tokens", max_tokens, False)
    assert budget is not None
    return SelectionOptions(budget, count("max_chunks", max_chunks, True),
                            count("max_per_source", max_per_source, True),
                            names("must_include_roles", must_include_roles), names("required_ids", required_ids),
                            names("excluded_ids", excluded_ids), config,
                            defaults)


def _source_key(value: object) -> Hashable:
    try:
        hash(value)
    except TypeError:
        return ("unhashable", type(value).__name__, repr(value))
    return (type(value).__name__, value) if not isinstance(value, str) else value


def cosine_relevance(emb: npt.NDArray[np.float64], query: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The cosine of each row of `emb` with `query`, 0 where either is a zero vector."""
    norms = np.linalg.norm(emb, axis=1)
    q_norm = float(np.linalg.norm(query))
    with np.errstate(divide="ignore", invalid="ignore"):
        cosine: npt.NDArray[np.float64] = np.where((norms > 0) & (q_norm > 0), (emb @ query) / (norms * q_norm), 0.0)
    return cosine


def chunk_names(ids: Sequence[Optional[str]], wanted: Sequence[str]) -> list[str]:
    """The solver's names (`chunk_<position>`) of the texts whose id is in `wanted`."""
    position_of: dict[str, list[int]] = {}
    for i, doc_id in enumerate(ids):
        if doc_id is not None:
            position_of.setdefault(str(doc_id), []).append(i)
    return [f"chunk_{i}" for w in wanted for i in position_of.get(w, [])]


def problem_from_texts(
    texts: Sequence[str],
    doc_embeddings: Sequence[Sequence[float]] | npt.ArrayLike,
    query_embedding: Sequence[float] | npt.ArrayLike,
    token_counts: Sequence[int],
    sources: Sequence[object],
    roles: Sequence[object],
    ids: Sequence[Optional[str]],
    metadata: Sequence[Mapping[str, Any]],
    options: SelectionOptions,
    aspect_embeddings: Optional[npt.ArrayLike] = None,
    pieces: Optional[tuple[npt.ArrayLike, Sequence[int]]] = None,
) -> tuple[dict[str, Any], SolverConstraints, SolverConfig]:
    """The keyword arguments of `solve_precomputed_numpy`, the constraints and the
    configuration for choosing among `texts` (all sequences are per text, in input order).

    - relevance: the cosine of each text's embedding with the query's (0 for a zero vector);
      redundancy: the solver's cosine similarity of the embeddings;
    - sources (None: none) become cluster ids 0, 1, 2, ... in order of first appearance, so
      `max_per_source` is the per-cluster cap; roles are role names (anything else: unknown);
    - density, centrality and recency come from the metadata keys `fact_density`,
      `centrality_score` and `recency_score`; a signal no text carries is weighted 0;
    - `required_ids` / `excluded_ids` name texts by id (an id no text has is ignored).

    Without a `config` of the caller's, the package's selection defaults apply
    (`torvane.build_problem` and `torvane.default_config`, measured in the README): relevance
    calibrated so that the best chunks lead and off-topic ones do not fill the budget,
    redundancy as the share of repeated text, and, with `aspect_embeddings` (the embedded
    clauses of the question), the best chunk of each clause kept; with `pieces` (the
    embeddings of `text_pieces` and their texts' positions), a long text rated by its best
    piece too (`select` also drops the filler a solve leaves, `without_filler`).
    `options.defaults` (a
    `torvane.SelectionDefaults`) changes how that problem is built. With a `config` alone, the
    raw objective: cosine relevance and the solver's embedding similarity; with a `config` and
    `defaults`, the problem the defaults build, solved with that configuration.
    """
    n = len(texts)
    if not (len(token_counts) == len(sources) == len(roles) == len(ids) == len(metadata) == n):
        raise ValueError("every per-text sequence must have one entry per text")
    emb = np.asarray(doc_embeddings, dtype=np.float64)
    query = np.asarray(query_embedding, dtype=np.float64)
    if emb.ndim != 2 or emb.shape[0] != n:
        raise ValueError(f"expected one embedding per text ({n}), got an array of shape {emb.shape}")
    if query.ndim != 1 or query.shape[0] != emb.shape[1]:
        raise ValueError(f"the query embedding has shape {query.shape}, the texts' embeddings {emb.shape[1]} values")
    if not (np.isfinite(emb).all() and np.isfinite(query).all()):
        raise ValueError("embeddings must be finite")
    relevance = cosine_relevance(emb, query)

    costs = np.empty(n, dtype=np.uint64)
    for i, c in enumerate(token_counts):
        if isinstance(c, bool) or not isinstance(c, (int, np.integer)) or c < 0:
            raise ValueError(f"the token counter must return a whole number >= 0, got {c!r} for text {i}")
        costs[i] = int(c)

    cluster_of: dict[Hashable, int] = {}
    cluster_ids = np.full(n, -1, dtype=np.int64)
    for i, s in enumerate(sources):
        if s is not None:
            cluster_ids[i] = cluster_of.setdefault(_source_key(s), len(cluster_of))
    role_codes = np.array([ROLE_CODES.get(r.lower(), UNKNOWN_ROLE) if isinstance(r, str) else UNKNOWN_ROLE
                           for r in roles], dtype=np.uint8).reshape(n)

    config = default_config() if options.config is None else options.config
    plain = SolverConfig()
    signals: dict[str, npt.NDArray[np.float32]] = {}
    for key, weight in SIGNALS:
        carried = [m.get(key) for m in metadata]
        if any(v is not None for v in carried):
            signals[key] = np.array([SIGNAL_DEFAULT if v is None else float(v) for v in carried], dtype=np.float32)
            if options.config is None:  # a signal the texts carry keeps the solver's own weight
                setattr(config, weight, getattr(plain, weight))
        else:
            signals[key] = np.zeros(n, dtype=np.float32)
            if options.config is None:
                setattr(config, weight, 0.0)

    constraints = SolverConstraints(
        max_tokens=options.max_tokens,
        max_chunks=n if options.max_chunks is None else options.max_chunks,
        max_per_cluster=max(n, 1) if options.max_per_source is None else options.max_per_source,
        must_include_roles=list(options.must_include_roles),
        required_chunks=chunk_names(ids, options.required_ids),
        excluded_chunks=chunk_names(ids, options.excluded_ids),
    )
    problem: dict[str, Any] = {
        "embeddings": np.ascontiguousarray(emb, dtype=np.float32),
        "token_costs": costs,
        "density_scores": signals["fact_density"],
        "centrality_scores": signals["centrality_score"],
        "recency_scores": signals["recency_score"],
        "auxiliary_scores": np.zeros(n, dtype=np.float32),
        "roles": role_codes,
        "cluster_ids": cluster_ids,
        "relevance_scores": relevance.astype(np.float32),
        "query_embedding": np.ascontiguousarray(query, dtype=np.float32),
    }
    if options.shaped:
        piece_embeddings, piece_owners = pieces if pieces is not None else (None, None)
        shaped = build_problem(texts, problem["embeddings"], problem["query_embedding"], costs,
                               defaults=options.defaults, aspect_embeddings=aspect_embeddings,
                               piece_embeddings=piece_embeddings, piece_owners=piece_owners)
        for key in ("relevance_scores", "similarity_matrix", "coverage_matrix", "query_token_weights"):
            if key in shaped:
                problem[key] = shaped[key]
    return problem, constraints, config


def select(texts: Sequence[str], doc_embeddings: Sequence[Sequence[float]] | npt.ArrayLike,
           query_embedding: Sequence[float] | npt.ArrayLike, token_counter: Optional[TokenCounter],
           sources: Sequence[object], roles: Sequence[object], ids: Sequence[Optional[str]],
           metadata: Sequence[Mapping[str, Any]], options: SelectionOptions,
           aspect_embeddings: Optional[npt.ArrayLike] = None,
           pieces: Optional[tuple[npt.ArrayLike, Sequence[int]]] = None) -> Selection:
    """Builds the problem of `texts` and solves it; `relevance` is each text's cosine with the query."""
    if not texts:
        return Selection([], np.zeros(0, np.float32), None)
    count = token_counter_of(token_counter)
    counts = [count(t) for t in texts]
    # Embeddings often arrive as lists of floats (a framework's embedding interface); they are
    # converted once, which at a thousand texts costs more than the solve.
    emb = np.asarray(doc_embeddings, dtype=np.float64)
    query = np.asarray(query_embedding, dtype=np.float64)
    problem, constraints, config = problem_from_texts(texts, emb, query, counts, sources,
                                                      roles, ids, metadata, options, aspect_embeddings, pieces)
    cosine = cosine_relevance(emb, query).astype(np.float32)
    solver = make_solver(config)
    output = _solve_one(solver, problem, constraints)
    if options.shaped:
        output = without_filler(solver, problem, constraints, output, options, ids)
    return Selection(output.selected_indices, cosine, output)


def without_filler(solver: TabuSearchSolver, problem: dict[str, Any], constraints: SolverConstraints,
                   output: SolverOutput, options: SelectionOptions, ids: Sequence[Optional[str]]) -> SolverOutput:
    """The selection without its filler (`torvane.filler_chunks`: chunks below the floor with
    nothing else to bring), scored again; filler the caller requires by id, or that holds a
    role of `must_include_roles`, stays.

    The solver's start solutions fill the budget with whatever fits and its moves add and swap
    chunks, so among many short chunks some filler can stay; dropping it only raises the
    objective. The rest is solved again as all there is to choose (required, and nothing else
    fits), which keeps it as it is and gives its own scores."""
    wanted = {ROLE_CODES[r.lower()] for r in options.must_include_roles if r.lower() in ROLE_CODES}
    roles = problem["roles"]
    required = chunk_names(ids, options.required_ids)
    kept = set(required) | {f"chunk_{i}" for i in output.selected_indices if roles[i] in wanted}
    filler = set(filler_chunks(problem)) - kept
    left = [i for i in output.selected_indices if f"chunk_{i}" not in filler]
    if len(left) == len(output.selected_indices):
        return output
    costs = problem["token_costs"]
    alone = SolverConstraints(max_tokens=sum(int(costs[i]) for i in left), max_chunks=len(left),
                              max_per_cluster=constraints.max_per_cluster,
                              must_include_roles=list(options.must_include_roles),
                              required_chunks=[f"chunk_{i}" for i in left],
                              excluded_chunks=chunk_names(ids, options.excluded_ids))
    return _solve_one(solver, problem, alone)


def piece_words(options: SelectionOptions) -> Optional[int]:
    """The length of the pieces long texts are also embedded in (None: none, also for the raw
    objective)."""
    return (options.defaults or SelectionDefaults()).piece_words if options.shaped else None


def text_pieces(texts: Sequence[str], options: SelectionOptions) -> tuple[list[str], list[int]]:
    """The pieces of long texts whose embeddings the defaults use, and their texts' positions."""
    words = piece_words(options)
    return ([], []) if words is None else split_pieces(texts, words)


def question_clauses(query: str, options: SelectionOptions) -> list[str]:
    """The clauses of a question whose embeddings the defaults use (none for the raw objective
    or a one-clause question)."""
    if not options.shaped:
        return []
    clauses = split_aspects(query)
    return clauses if len(clauses) > 1 else []
