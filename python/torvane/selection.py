"""Defaults that make a selection useful to a reader: what a context for one question should hold.

The solver maximises ``alpha * sum(relevance) - lambda_ * redundancy`` under a token budget.
Fed raw cosine scores and an embedding similarity matrix, that objective picks worse contexts
than plain top-k on real text, for three reasons this module addresses one by one:

* Embedding similarity cannot tell repeated text from a different passage on the same topic,
  so the penalty drives out the answer itself. :func:`shingle_similarity` measures repeated
  text instead: the share of word shingles two chunks have in common, wherever they occur.
* Cosine relevance does not grow with a chunk's length, so a plain sum rewards many short,
  middling chunks. :func:`calibrate_relevance` sharpens the scores so that the best chunks
  dominate (it can also weigh each chunk by its length; measured, that did not help).
* Budget freed from repeats leaks to off-topic text. Chunks far below the best one get a
  small negative relevance, so no selection gains by holding them.

An embedding model reads a bounded number of tokens (256 for small sentence models) and
averages what it reads, so the cosine of a long text says little about its later paragraphs.
:func:`split_pieces` cuts long texts into overlapping pieces; given their embeddings,
:func:`build_problem` rates a long text by the mean of its own cosine and its best piece's
(an option: embedding the pieces costs more than the rest of a selection).

A question that asks two things needs a passage for each. :func:`split_aspects` cuts it into
clauses; :func:`build_problem` raises the relevance of each clause's best chunk above every
other chunk's, so that a selection keeps one chunk for every clause unless other chunks in the
same tokens outweigh it together.
:func:`aspect_coverage` offers the same through the solver's coverage matrix, at the price of a
slower search (see :class:`SelectionDefaults`).

:func:`build_problem` applies all three and returns the keyword arguments of
``TabuSearchSolver.solve_precomputed_numpy``; :func:`filler_chunks` names the chunks to drop
from its selection; :func:`default_config` is the configuration the
defaults are tuned for. Every step is optional: callers who want the raw objective pass their
own relevance and similarity to the module directly.
"""
from __future__ import annotations

import math
import re
from dataclasses import dataclass
from typing import Any, Mapping, Optional, Sequence

import numpy as np
import numpy.typing as npt

import torvane_solver as ts

from . import _native

F32Array = npt.NDArray[np.float32]
U64Array = npt.NDArray[np.uint64]

__all__ = [
    "SelectionDefaults",
    "build_problem",
    "calibrate_relevance",
    "default_config",
    "shingle_similarity",
    "split_aspects",
    "split_pieces",
    "aspect_coverage",
    "filler_chunks",
]

def shingle_similarity(texts: Sequence[str], size: int = 5, measure: str = "containment") -> F32Array:
    """Pairwise share of repeated text: an (n, n) float32 matrix with a zero diagonal.

    Words are the runs of ASCII letters, digits, underscores and non-ASCII characters, ASCII
    letters lowered; a shingle is ``size`` consecutive words (a text with fewer words has one
    shingle of all of them). ``measure="containment"`` gives |A ∩ B| / min(|A|, |B|) over the
    distinct shingles A and B of two texts: 1.0 when one text repeats the other in full,
    wherever it sits in it. ``measure="jaccard"`` gives |A ∩ B| / |A ∪ B|. Texts that share no
    shingle score 0. Computed in the compiled core: one pass over all shingles, never a loop
    over all pairs of texts.
    """
    if measure not in ("containment", "jaccard"):
        raise ValueError(f"measure must be 'containment' or 'jaccard', not {measure!r}")
    if isinstance(size, bool) or not isinstance(size, (int, np.integer)) or size < 1:
        raise ValueError(f"size must be a whole number of at least 1, not {size!r}")
    if isinstance(texts, str):
        raise TypeError("texts must be a sequence of str, not a single str")
    return _native.shingle_similarity(list(texts), int(size), measure == "jaccard")


def split_pieces(texts: Sequence[str], words: int = 150) -> tuple[list[str], list[int]]:
    """The pieces of the texts longer than ``words`` words, and the position of each piece's text.

    Words are the runs of characters between whitespace. A text of more than ``words`` words
    is cut into windows of ``words`` words that start every ``words // 2`` words (each word sits
    in at least one piece), the last one ending at the text's last word; a piece joins its words
    with single spaces. Shorter texts have no pieces. The pieces come in text order, each
    text's from its start, with ``owners[k]`` the position of piece ``k``'s text: embed them and
    pass both to :func:`build_problem` (``piece_embeddings``, ``piece_owners``).
    """
    if isinstance(words, bool) or not isinstance(words, (int, np.integer)) or words < 2:
        raise ValueError(f"words must be a whole number of at least 2, not {words!r}")
    if isinstance(texts, str):
        raise TypeError("texts must be a sequence of str, not a single str")
    size = int(words)
    stride = size // 2
    pieces: list[str] = []
    owners: list[int] = []
    for i, text in enumerate(texts):
        if not isinstance(text, str):
            raise TypeError(f"texts must hold str, not {type(text).__name__} (at position {i})")
        ws = text.split()
        if len(ws) <= size:
            continue
        start = 0
        while True:
            pieces.append(" ".join(ws[start:start + size]))
            owners.append(i)
            if start + size >= len(ws):
                break
            start += stride
    return pieces, owners


def calibrate_relevance(scores: npt.ArrayLike, temperature: float | None = 0.1, floor: float | None = 0.25,
                        token_counts: npt.ArrayLike | None = None, below_floor: float = -1e-3) -> F32Array:
    """Relevance that lets the best chunks dominate: ``exp((r - r_max) / temperature)``.

    Without ``token_counts`` the result keeps the order of the scores (a higher score never
    gets a lower value), and it is finite on any input: NaN and negative infinity count as the
    worst score, positive infinity as the best; an empty input gives an empty array, constant
    input all ones. With ``temperature=None`` the scores stay as they are (non-finite ones
    mapped as above). With ``floor``, chunks more than ``floor`` below the best get
    ``below_floor`` (a small negative value, so a selection never gains by holding them), or
    the lowest kept value when that is lower. With ``token_counts``, each value is
    multiplied by the chunk's length over the mean length, so a sum follows the tokens spent.
    """
    r = np.asarray(scores, dtype=np.float64).ravel()
    if r.size == 0:
        return np.zeros(0, np.float32)
    if temperature is not None and not (temperature > 0.0 and math.isfinite(temperature)):
        raise ValueError("temperature must be a positive finite number or None")
    if floor is not None and not floor >= 0.0:
        raise ValueError("floor must be a non-negative number or None")
    if (r == np.inf).any():
        # Infinite scores are the best ones; every finite score sits below them.
        r = np.where(r == np.inf, 0.0, -np.inf)
    finite = np.isfinite(r)
    best = float(r[finite].max()) if finite.any() else 0.0
    worst = float(r[finite].min()) if finite.any() else 0.0
    gap = np.where(finite, best - np.where(finite, r, best), np.inf)
    if temperature is None:
        out = np.where(finite, r, worst)
    else:
        out = np.exp(-gap / temperature)
    if token_counts is not None:
        t = np.asarray(token_counts, dtype=np.float64).ravel()
        if t.shape != r.shape:
            raise ValueError("token_counts must have one entry per score")
        t = np.where(np.isfinite(t) & (t > 0), t, 0.0)
        mean = float(t.mean())
        out = out * (t / mean if mean > 0 else 1.0)
    if floor is not None:
        below = gap > floor
        kept = out[~below]
        # Below every kept value, also when raw scores are negative.
        low = min(below_floor, float(kept.min())) if kept.size else below_floor
        out = np.where(below, low, out)
    return np.nan_to_num(out, nan=below_floor, posinf=0.0, neginf=below_floor).astype(np.float32)


# Words and marks that start a new clause (not the comma that groups a number's digits).
_SEPARATORS = r",(?!(?<=\d,)\d)\s*(?:and|or|then)?|;|\band\b(?:\s+then\b|\s+also\b)?|\bthen\b|\balso\b|\bplus\b"
# A relative "that" before a verb in the present ("a class that inherits", "a loop that repeats"):
# the word after it ends in "s" and is not a determiner or pronoun ("that this", "that its").
_RELATIVE = r"\bthat\b(?=\s+(?!(?:this|its|his|hers|ours|yours|theirs|us)\b)\w+s\b)"
# "using" and "with" name what a task is done with ("sort a list using a lambda", "build a dict
# with a comprehension"), unless "with" names the statement ("the with statement", "a with
# block", "async with").
_MEANS = r"\busing\b|(?<!\bthe )(?<!\ba )(?<!\basync )\bwith\b(?!\s+(?:statements?|blocks?)\b)"
# A new sentence: after "?" or "!", or after a full stop that ends a word of two letters or
# more ("in python. what are ..."); an ellipsis ("three dots ... mean"), a dot inside a name or
# number ("obj.attr", "1.5e-3") and the abbreviations "e.g.", "i.e." and "vs." end none.
_SENTENCE = r"(?<=[?!])\s+(?=\S)|(?<=\w\w\.)(?<!\bvs\.)\s+(?=\S)"


def _clause_rule(*starts: str) -> re.Pattern[str]:
    """The rule that cuts a question where any of `starts` matches, with the spaces around it."""
    return re.compile(r"\s*(?:" + "|".join(starts) + r")\s*", re.IGNORECASE)


_CLAUSE = _clause_rule(_SENTENCE, _SEPARATORS, _RELATIVE, _MEANS)
_MEANS_CUT = _clause_rule(_MEANS)
# Code and quotations in a question stay whole: text in backticks, in quotes or in brackets
# starts no clause ("split 'a,b,c' on commas", "does `not` bind tighter than `and`"). A quote
# opens and closes outside a word, so the apostrophes of "can't" and "object's" quote nothing.
_WHOLE = re.compile(r"`[^`]*`|(?<!\w)'[^'\n]*'(?!\w)|\"[^\"\n]*\"|\([^()]*\)|\[[^\[\]]*\]|\{[^{}]*\}")


def split_aspects(query: str, min_words: int = 2) -> list[str]:
    """The clauses of a question that may each need their own passage.

    A question is cut where a new sentence starts (after "?", "!" or a full stop that ends a
    word, not an abbreviation such as "e.g." or "vs."), at commas (not in "1,234"), semicolons
    and the words "and", "then", "also" and "plus"; before a relative clause that asks for
    more: "that" followed by a verb in the present ("a loop that repeats while ...", taken as a
    word ending in "s" other than "this", "its", "his", "hers", "ours", "yours", "theirs" and
    "us"); and at "using" and "with", which name what a task is done with ("sort a list using a lambda as the
    key"), except where "with" names the statement (after "the", "a" or "async", or before
    "statement" or "block").
    Text in backticks, quotes or brackets stays whole: code and quotations start no clause.
    A part of fewer than ``min_words`` words joins the clause after it, with the words that cut
    them ("... and floats with an exponent"), unless it follows "using" or "with" or ends the
    question: then it joins the clause before it ("a generator with yield and ..."). A question
    with one clause gives an empty list (it has no separate aspects).
    """
    return _split_at(_CLAUSE, query, min_words)


def _split_at(rule: re.Pattern[str], query: str, min_words: int) -> list[str]:
    """`split_aspects` with its own rule of where clauses start."""
    # Clauses are cut where the rule matches outside code and quotations: those are blanked
    # out (innermost brackets first) and the question is cut at the same positions.
    masked, previous = query, None
    while masked != previous:
        previous, masked = masked, _WHOLE.sub(lambda m: "\x00" * len(m.group(0)), masked)
    cuts = list(rule.finditer(masked))
    bounds = [0] + [i for m in cuts for i in m.span()] + [len(query)]
    # Each part, and whether the cut before it is "using" or "with".
    means = [False] + [_MEANS_CUT.fullmatch(m.group(0)) is not None for m in cuts]
    spans = [(start, end, by) for start, end, by in zip(bounds[::2], bounds[1::2], means) if query[start:end].strip()]
    clauses: list[str] = []
    short: Optional[tuple[int, bool]] = None  # a part too short to be a clause, waiting for the next
    for k, (start, end, by) in enumerate(spans):
        if short is not None:
            (start, by), short = short, None
        part = query[start:end].strip()
        last = k + 1 == len(spans)
        if len(part.split()) >= min_words:
            clauses.append(part)
        elif clauses and (by or last):
            # What a task is done with belongs to it: "a generator with yield and ...".
            clauses[-1] = f"{clauses[-1]} {part}"
        elif not last:
            # Otherwise a short part leads into the next, the words between kept: "... and floats
            # with an exponent", "first, *rest = ...".
            short = (start, by)
        else:
            clauses.append(part)
    return clauses if len(clauses) > 1 else []


def aspect_coverage(embeddings: npt.ArrayLike, aspect_embeddings: npt.ArrayLike, temperature: float = 0.1,
                    reach: float = 0.3) -> tuple[F32Array, F32Array]:
    """How well each chunk answers each aspect of a question: an (aspects, n) matrix and weights.

    A row is :func:`calibrate_relevance` of the chunks' cosine with one aspect (1 for the
    aspect's best chunk, 0 beyond ``reach`` below it); the weights are equal and sum to 1. As
    the solver's coverage matrix, it rewards a selection for holding a good chunk for every
    aspect, which relevance to the whole question alone does not.
    """
    vecs = np.asarray(embeddings, dtype=np.float32)
    aspects = np.asarray(aspect_embeddings, dtype=np.float32).reshape(-1, vecs.shape[1] if vecs.ndim == 2 else 0)
    k = aspects.shape[0]
    if k == 0 or vecs.shape[0] == 0:
        return np.zeros((0, vecs.shape[0]), np.float32), np.zeros(0, np.float32)
    return _coverage_rows(_unit_rows(vecs) @ _unit_rows(aspects).T, temperature, reach)


def _coverage_rows(cos: npt.NDArray[np.float32], temperature: float, reach: float) -> tuple[F32Array, F32Array]:
    """Coverage rows and equal weights from the (n, aspects) cosines of chunks and clauses."""
    k = cos.shape[1]
    rows = [np.maximum(calibrate_relevance(cos[:, t], temperature, reach, below_floor=0.0), 0.0) for t in range(k)]
    return np.ascontiguousarray(np.stack(rows), dtype=np.float32), np.full(k, 1.0 / k, np.float32)


def _unit_rows(vecs: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    norms = np.sqrt(np.einsum("ij,ij->i", vecs, vecs, dtype=np.float64))
    out: npt.NDArray[np.float32] = (vecs / np.where(norms > 0, norms, 1.0)[:, None]).astype(np.float32)
    return out


def _with_pieces(cosine: npt.NDArray[np.floating[Any]], piece_embeddings: npt.ArrayLike, piece_owners: npt.ArrayLike,
                 query: npt.NDArray[np.floating[Any]]) -> npt.NDArray[np.floating[Any]]:
    """Each text's cosine, averaged with its best piece's for the texts that have pieces."""
    n = cosine.shape[0]
    owners = np.asarray(piece_owners)
    if owners.ndim != 1 or (owners.size and not np.issubdtype(owners.dtype, np.integer)):
        raise ValueError("piece_owners must be a 1-D sequence of text positions")
    pieces = np.asarray(piece_embeddings, dtype=np.float32)
    if owners.size == 0:
        return cosine
    if pieces.ndim != 2 or pieces.shape != (owners.shape[0], query.shape[0]):
        raise ValueError("piece_embeddings must be a 2-D array with one row per piece owner, as wide as the query")
    if owners.min() < 0 or owners.max() >= n:
        raise ValueError(f"piece_owners must be positions of texts, from 0 to {n - 1}")
    best = np.full(n, -np.inf, np.float32)
    with np.errstate(invalid="ignore"):
        np.maximum.at(best, owners.astype(np.intp), _unit_rows(pieces) @ query)
    # A piece's non-finite cosine (a non-finite embedding) leaves its text's own.
    has = np.isfinite(best)
    out: npt.NDArray[np.floating[Any]] = np.where(has, 0.5 * (cosine + best), cosine).astype(cosine.dtype)
    return out


# A chunk that repeats at least this share of a clause's chunk counts as held for the clauses
# after it.
_HELD = 0.25


def _boost_clause_bests(relevance: F32Array, clause_cosine: npt.NDArray[np.float32], repeated: F32Array | None,
                        boost: np.float32, cosine: npt.NDArray[np.floating[Any]], gate: float | None) -> F32Array:
    """Raises each clause's best chunk to `boost`, in the order of the clauses. A clause whose
    best chunk is already another clause's, or repeats a quarter of one (`repeated`, a share
    of repeated text, when given), gets its best chunk among the others: the two clauses ask
    different things, and one chunk rarely answers both. A clause whose closest chunk sits more
    than `gate` below the best `cosine` with the whole question gets none."""
    finite = np.isfinite(cosine)
    if gate is not None and finite.any():
        near = cosine >= cosine[finite].max() - gate
        clause_cosine = clause_cosine[:, near[np.argmax(clause_cosine, axis=0)]]
    out = relevance.copy()
    held = np.zeros(out.shape[0], bool)
    for t in range(clause_cosine.shape[1]):
        if held.all():
            break
        j = int(np.argmax(np.where(held, -np.inf, clause_cosine[:, t])))
        out[j] = max(out[j], boost)
        if repeated is not None:
            held |= repeated[j] >= _HELD
        held[j] = True
    return out


@dataclass(frozen=True)
class SelectionDefaults:
    """The options :func:`build_problem` applies. The defaults are the ones measured best in
    ``benchmarks/usefulness.py``; every step can be changed or switched off.

    - ``measure``: the redundancy measure, ``"containment"`` or ``"jaccard"`` of word shingles
      of ``shingle_size`` words, ``"embedding"`` (cosine of the embeddings) or ``"none"``.
    - ``embedding_weight``, ``embedding_threshold``: blend in embedding similarity above the
      threshold, rescaled to 0..1 and multiplied by the weight (0 switches it off).
    - ``weight_by_relevance``: ``"none"`` keeps the measure as it is; ``"min"`` or ``"max"``
      multiply each pair's value by the smaller or larger calibrated relevance of the two.
    - ``temperature``, ``floor``, ``per_token``: the relevance calibration
      (:func:`calibrate_relevance`); ``temperature=None`` keeps the raw cosine.
    - ``piece_words``: when set (150 measured best), the framework selectors also embed texts
      longer than this many words in pieces (:func:`split_pieces`), and a text's cosine with
      the question is the mean of its own and its best piece's (:func:`build_problem`). On
      texts longer than the embedding model reads, this finds answers in their later
      paragraphs; it costs embedding the pieces on every call, which hold about one and a half
      times the words of the texts they cut and which no store of document embeddings holds.
      Off (``None``) by default for that cost.
    - ``aspect_floor``: the floor instead of ``floor`` when aspect embeddings are given (a
      question of several clauses): the whole question's best chunk is a compromise between its
      clauses, and what answers one of them may sit further below it. The answer to a question
      of one clause sits close to its best chunk, hence the tighter ``floor``.
    - ``aspect_boost``: with aspect embeddings, the relevance given to each clause's best
      chunk (by cosine with the clause) when it is below that: any value above 1 ranks it above
      every other chunk, whose calibrated relevance is at most 1. Clauses take their chunks in
      order, each a chunk no clause before it took and, with a measure of repeated text, that
      repeats less than a quarter of one. ``None`` switches it off.
    - ``aspect_gate``: a clause whose best chunk sits more than this below the whole
      question's best chunk (by cosine with the question) gets no boost. Such a clause was
      cut from the words it needs ("look at the names it defines", "an exponent") and
      matches text the question is not about. ``None`` boosts every clause.
    - ``aspect_weight``, ``aspect_temperature``, ``aspect_reach``: the coverage of a
      question's clauses (:func:`aspect_coverage`) as the solver's coverage matrix, used when
      aspect embeddings are given and the weight is above 0. Off by default: measured, it
      picks the same contexts as the boost, but a coverage term leaves the search no bound to
      skip swaps by, which slows the solve.
    """

    shingle_size: int = 5
    measure: str = "containment"
    embedding_weight: float = 0.0
    embedding_threshold: float = 0.9
    weight_by_relevance: str = "none"
    temperature: float | None = 0.08
    floor: float | None = 0.1
    aspect_floor: float | None = 0.25
    per_token: bool = False
    piece_words: int | None = None
    aspect_boost: float | None = 1.5
    aspect_gate: float | None = 0.4
    aspect_weight: float = 0.0
    aspect_temperature: float = 0.1
    aspect_reach: float = 0.3


def filler_chunks(problem: Mapping[str, Any]) -> list[str]:
    """The ids (``chunk_<i>``) of the chunks that can only lower a selection's objective: a
    negative relevance and nothing else to bring (density, centrality, recency, auxiliary and
    fulfilment scores 0, no positive coverage). Drop them from a selection: that only raises
    its objective.

    Chunks below the floor of :func:`calibrate_relevance` are such chunks. The solver's start
    solutions fill the budget with whatever fits, and its moves add and swap chunks, so among
    many short chunks some filler can stay in the selection. (Excluding them from the solve
    instead works too, but changes the search's path, and measured no better.) ``problem`` is
    the keyword arguments of ``solve_precomputed_numpy``, such as :func:`build_problem` returns.
    """
    relevance = np.asarray(problem["relevance_scores"], dtype=np.float32).ravel()
    filler = relevance < 0
    for key in ("density_scores", "centrality_scores", "recency_scores", "auxiliary_scores", "fulfilment_scores"):
        if problem.get(key) is not None:
            filler &= np.asarray(problem[key], dtype=np.float32).ravel() == 0
    if problem.get("coverage_matrix") is not None:
        coverage = np.asarray(problem["coverage_matrix"], dtype=np.float32)
        if coverage.size:
            filler &= ~(coverage.reshape(-1, relevance.shape[0]) > 0).any(axis=0)
    return [f"chunk_{i}" for i in np.flatnonzero(filler)]


def default_config(**overrides: Any) -> ts.SolverConfig:
    """The solver configuration the defaults are tuned for: relevance (alpha 1), clause
    coverage when the problem has a coverage matrix (mu 1, only the best chunk of each clause
    counts: a second copy of an answer gains nothing) and repeated text (lambda_ 1.2, above the
    best chunk's calibrated relevance of 1, so that even its copy costs more than it brings);
    fact density, centrality, recency and the auxiliary score off. The exact window may take the
    time it needs (its size bounds the work), so that equal inputs give equal selections
    whatever the machine's load. Keyword arguments override any field."""
    fields: dict[str, Any] = dict(alpha=1.0, beta=0.0, gamma=0.0, delta=0.0, epsilon=0.0, mu=1.0, lambda_=1.2,
                                  support_secondary_discount=0.0, support_quorum_bonus=0.0,
                                  exact_window_time_ms=60_000)
    fields.update(overrides)
    return ts.SolverConfig(**fields)


def build_problem(texts: Sequence[str], embeddings: npt.ArrayLike, query_embedding: npt.ArrayLike,
                  token_counts: npt.ArrayLike, defaults: SelectionDefaults | None = None,
                  repetition: F32Array | None = None, aspect_embeddings: npt.ArrayLike | None = None,
                  piece_embeddings: npt.ArrayLike | None = None,
                  piece_owners: npt.ArrayLike | None = None) -> dict[str, Any]:
    """Keyword arguments for ``TabuSearchSolver.solve_precomputed_numpy`` with the defaults applied.

    Relevance is the cosine of each embedding with the query, calibrated by
    :func:`calibrate_relevance` (with ``aspect_floor`` instead of ``floor`` when clauses are
    given). The similarity matrix is the share of repeated text
    (:func:`shingle_similarity`). With ``aspect_embeddings`` (the embeddings of the clauses
    of the question, :func:`split_aspects`), each clause's best chunk gets relevance
    ``aspect_boost`` (the first of equals in input order; a clause whose best chunk an earlier
    clause took, or largely repeats, gets its best other chunk; none for a clause whose best
    chunk is more than ``aspect_gate`` below the question's best), and with ``aspect_weight`` above 0
    the coverage matrix and query token weights ask for a good chunk per clause
    (:func:`aspect_coverage`). Density, centrality, recency and
    auxiliary scores are zero, roles 0 and clusters none; pass ``constraints`` (at least
    ``max_tokens``) to the solve yourself, with a solver made from :func:`default_config`, and
    drop the selection's :func:`filler_chunks`.
    ``repetition`` is a precomputed :func:`shingle_similarity` of the texts, for callers that
    select from the same pool again and again. ``piece_embeddings`` and ``piece_owners`` are
    the embeddings of pieces of the texts and the position of each piece's text
    (:func:`split_pieces`): a text with pieces then has, as its cosine with the question, the
    mean of its own and its best piece's (``piece_words`` of the defaults is not consulted here;
    it tells the framework selectors what to cut).
    """
    d = defaults or SelectionDefaults()
    vecs = np.ascontiguousarray(np.asarray(embeddings, dtype=np.float32))
    if vecs.ndim != 2 or vecs.shape[0] != len(texts):
        raise ValueError("embeddings must be a 2-D array with one row per text")
    n = vecs.shape[0]
    q = np.asarray(query_embedding, dtype=np.float32).ravel()
    costs = np.ascontiguousarray(np.asarray(token_counts, dtype=np.uint64).ravel())
    if costs.shape[0] != n:
        raise ValueError("token_counts must have one entry per text")
    unit = _unit_rows(vecs)
    qn = float(np.linalg.norm(q))
    cosine = unit @ (q / qn if qn > 0 else q)
    if (piece_embeddings is None) != (piece_owners is None):
        raise ValueError("piece_embeddings and piece_owners go together: give both or neither")
    if piece_embeddings is not None and piece_owners is not None:
        cosine = _with_pieces(cosine, piece_embeddings, piece_owners, q / qn if qn > 0 else q)
    clause_cosine = None
    if aspect_embeddings is not None and n:
        aspects = np.asarray(aspect_embeddings, dtype=np.float32).reshape(-1, vecs.shape[1])
        # A clause without a direction (zero or non-finite) has no best chunk.
        aspects = aspects[np.isfinite(aspects).all(axis=1) & (aspects != 0).any(axis=1)]
        clause_cosine = unit @ _unit_rows(aspects).T if aspects.shape[0] else None
    floor = d.floor if clause_cosine is None else d.aspect_floor
    relevance = calibrate_relevance(cosine, d.temperature, floor, costs if d.per_token else None)
    if d.measure == "embedding":
        sim = (unit @ unit.T).astype(np.float32)
        np.fill_diagonal(sim, 0.0)
    elif d.measure == "none":
        sim = np.zeros((n, n), np.float32)
    elif repetition is not None:
        sim = np.asarray(repetition, dtype=np.float32)
        if sim.shape != (n, n):
            raise ValueError("repetition must be an (n, n) matrix")
    else:
        sim = shingle_similarity(texts, d.shingle_size, d.measure)
    if d.embedding_weight > 0:
        emb = np.clip((unit @ unit.T - d.embedding_threshold) / (1.0 - d.embedding_threshold), 0.0, 1.0)
        np.fill_diagonal(emb, 0.0)
        sim = np.maximum(sim, (d.embedding_weight * emb).astype(np.float32))
    if clause_cosine is not None and d.aspect_boost is not None:
        # Embedding similarity is no share of repeated text: then only the chunk itself is held.
        repeated = sim if d.measure in ("containment", "jaccard") else None
        relevance = _boost_clause_bests(relevance, clause_cosine, repeated, np.float32(d.aspect_boost), cosine,
                                        d.aspect_gate)
    if d.weight_by_relevance != "none":
        value = np.maximum(relevance, 0.0)
        pick = np.minimum if d.weight_by_relevance == "min" else np.maximum
        sim = sim * pick(value[:, None], value[None, :])
    extra: dict[str, Any] = {}
    if clause_cosine is not None and d.aspect_weight > 0:
        coverage, weights = _coverage_rows(clause_cosine, d.aspect_temperature, d.aspect_reach)
        extra = dict(coverage_matrix=coverage, query_token_weights=weights * np.float32(d.aspect_weight))
    zeros = np.zeros(n, np.float32)
    return dict(embeddings=vecs, token_costs=costs, density_scores=zeros, centrality_scores=zeros,
                recency_scores=zeros, auxiliary_scores=zeros, roles=np.zeros(n, np.uint8),
                cluster_ids=np.full(n, -1, np.int64), relevance_scores=relevance,
                similarity_matrix=np.ascontiguousarray(sim, dtype=np.float32), **extra)
