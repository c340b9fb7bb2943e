"""A LangChain document compressor that selects context under a token budget.

    from torvane.langchain import ContextSelector
    selector = ContextSelector(embeddings, max_tokens=2000, max_per_source=2)
    chosen = selector.compress_documents(documents, "how do context managers work")

Needs `langchain-core` (``pip install "torvane_solver[langchain]"``).
"""
from __future__ import annotations

import asyncio
from collections.abc import Sequence
from typing import Any, Optional

try:
    from langchain_core.callbacks import Callbacks
    from langchain_core.documents import BaseDocumentCompressor, Document
    from langchain_core.embeddings import Embeddings
except ImportError as exc:  # pragma: no cover - exercised only without the extra
    raise ImportError('torvane.langchain needs langchain-core: pip install "torvane_solver[langchain]"') from exc

from pydantic import ConfigDict

from torvane_solver import SolverConfig

from torvane._context import (Selection, SelectionOptions, TokenCounter, check_options, estimate_tokens,
                              question_clauses, select, text_pieces, token_counter_of)
from torvane.selection import SelectionDefaults

__all__ = ["ContextSelector", "estimate_tokens"]


class ContextSelector(BaseDocumentCompressor):
    """Chooses, among retrieved documents, the subset that best fills a token budget.

    It maximises relevance to the query (cosine of the embeddings) minus redundancy between
    the chosen documents, plus fact density, centrality and recency when the documents'
    metadata carry them (keys `fact_density`, `centrality_score`, `recency_score`), under:
    `max_tokens` (counted with `token_counter`: a function of a text, or a tokenizer such as
    a Hugging Face or tiktoken one, which counts a text's own tokens, without the special
    tokens it puts around a whole input; default `torvane.langchain.estimate_tokens`), at
    most `max_chunks` documents and `max_per_source` per source (None: no limit; the source
    is the metadata value under `source_key`), at least one document of each role in
    `must_include_roles` (roles read from the metadata key `role_key`), every document whose
    id is in `required_ids` and none in `excluded_ids`. Without `config`, the package's
    selection defaults apply (`torvane.build_problem`, `torvane.default_config`: calibrated
    relevance, repeated text as redundancy, the best document of each clause of the question
    kept, filler the solve leaves dropped), with the weights of signals the documents do not
    carry set to 0; a `config` of the caller's gives the raw objective (cosine relevance,
    embedding similarity) with those weights.
    `defaults` (a `torvane.SelectionDefaults`) changes how the defaults build the problem, for
    instance `SelectionDefaults(per_token=True)` to weigh relevance by length among short
    sections, or `SelectionDefaults(piece_words=150)` to embed long documents in pieces too
    and rate them by their best piece (in the same `embed_documents` call); given together
    with a `config`, the problem they build is solved with it.

    `compress_documents` returns copies of the chosen documents in their input order, each
    with `relevance_score` (the cosine with the query) and `selection_objective` (the
    selection's objective) added to its metadata. Equal inputs give equal outputs. When the
    constraints cannot all be met, the best selection found is returned all the same.
    """

    model_config = ConfigDict(arbitrary_types_allowed=True)

    embeddings: Embeddings
    max_tokens: int
    token_counter: Optional[TokenCounter] = None
    max_chunks: Optional[int] = None
    max_per_source: Optional[int] = None
    source_key: str = "source"
    role_key: Optional[str] = None
    must_include_roles: tuple[str, ...] = ()
    required_ids: tuple[str, ...] = ()
    excluded_ids: tuple[str, ...] = ()
    config: Optional[SolverConfig] = None
    defaults: Optional[SelectionDefaults] = None

    def __init__(self, embeddings: Embeddings, max_tokens: int, *,
                 token_counter: Optional[TokenCounter] = None, max_chunks: Optional[int] = None,
                 max_per_source: Optional[int] = None, source_key: str = "source", role_key: Optional[str] = None,
                 must_include_roles: Sequence[str] = (), required_ids: Sequence[str] = (),
                 excluded_ids: Sequence[str] = (), config: Optional[SolverConfig] = None,
                 defaults: Optional[SelectionDefaults] = None) -> None:
        token_counter_of(token_counter)
        options = check_options(max_tokens, max_chunks, max_per_source, must_include_roles, required_ids,
                                excluded_ids, config, defaults)
        fields: dict[str, Any] = dict(embeddings=embeddings, max_tokens=options.max_tokens, token_counter=token_counter,
                                      max_chunks=options.max_chunks, max_per_source=options.max_per_source,
                                      source_key=source_key, role_key=role_key,
                                      must_include_roles=tuple(options.must_include_roles),
                                      required_ids=tuple(options.required_ids), excluded_ids=tuple(options.excluded_ids),
                                      config=config, defaults=defaults)
        super().__init__(**fields)

    def _options(self) -> SelectionOptions:
        return SelectionOptions(self.max_tokens, self.max_chunks, self.max_per_source, self.must_include_roles,
                                self.required_ids, self.excluded_ids, self.config, self.defaults)

    def _select(self, documents: Sequence[Document], doc_vectors: Sequence[Sequence[float]],
                query_vector: Sequence[float],
                aspect_vectors: Optional[Sequence[Sequence[float]]] = None,
                pieces: Optional[tuple[Sequence[Sequence[float]], list[int]]] = None) -> list[Document]:
        texts = [d.page_content for d in documents]
        metadata = [d.metadata for d in documents]
        selection = select(texts, doc_vectors, query_vector, self.token_counter,
                           [m.get(self.source_key) for m in metadata],
                           [m.get(self.role_key) if self.role_key is not None else None for m in metadata],
                           [d.id for d in documents], metadata, self._options(), aspect_vectors or None, pieces)
        return _chosen(documents, selection)

    def _to_embed(self, documents: Sequence[Document]) -> tuple[list[str], list[int]]:
        """The documents' texts followed by the pieces of the long ones (embedded in one call),
        and the position of each piece's document."""
        texts = [d.page_content for d in documents]
        pieces, owners = text_pieces(texts, self._options())
        return texts + pieces, owners

    def compress_documents(self, documents: Sequence[Document], query: str,
                           callbacks: Callbacks | None = None) -> Sequence[Document]:
        """The chosen documents, in input order, with their scores in the metadata."""
        documents = list(documents)
        if not documents:
            return []
        texts, owners = self._to_embed(documents)
        vectors = self.embeddings.embed_documents(texts)
        # The defaults keep the best document of each clause of a many-part question.
        aspects = [self.embeddings.embed_query(c) for c in question_clauses(query, self._options())]
        n = len(documents)
        return self._select(documents, vectors[:n], self.embeddings.embed_query(query), aspects,
                            (vectors[n:], owners) if owners else None)

    async def acompress_documents(self, documents: Sequence[Document], query: str,
                                  callbacks: Callbacks | None = None) -> Sequence[Document]:
        """As `compress_documents`, with the embeddings' async methods; the solve runs on a
        worker thread (it releases the interpreter lock)."""
        documents = list(documents)
        if not documents:
            return []
        texts, owners = self._to_embed(documents)
        vectors = await self.embeddings.aembed_documents(texts)
        query_vector = await self.embeddings.aembed_query(query)
        aspects = [await self.embeddings.aembed_query(c) for c in question_clauses(query, self._options())]
        n = len(documents)
        return await asyncio.to_thread(self._select, documents, vectors[:n], query_vector, aspects,
                                       (vectors[n:], owners) if owners else None)


def _chosen(documents: Sequence[Document], selection: Selection) -> list[Document]:
    assert selection.output is not None or not selection.indices
    objective = selection.output.objective_score if selection.output is not None else 0.0
    out = []
    for i in selection.indices:
        doc = documents[i]
        metadata: dict[str, Any] = {**doc.metadata, "relevance_score": float(selection.relevance[i]),
                                    "selection_objective": objective}
        out.append(doc.model_copy(update={"metadata": metadata}))
    return out

