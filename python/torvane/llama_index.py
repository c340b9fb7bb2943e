"""A LlamaIndex node postprocessor that selects context under a token budget.

    from torvane.llama_index import ContextSelector
    selector = ContextSelector(embed_model, max_tokens=2000, max_per_source=2)
    query_engine = index.as_query_engine(similarity_top_k=30, node_postprocessors=[selector])

Needs `llama-index-core` (``pip install "torvane_solver[llama-index]"``).
"""
from __future__ import annotations

import asyncio
from collections.abc import Sequence
from typing import Any, List, Optional

try:
    from llama_index.core.base.embeddings.base import BaseEmbedding
    from llama_index.core.postprocessor.types import BaseNodePostprocessor
    from llama_index.core.schema import MetadataMode, NodeWithScore, QueryBundle
except ImportError as exc:  # pragma: no cover - exercised only without the extra
    raise ImportError('torvane.llama_index needs llama-index-core: pip install "torvane_solver[llama-index]"') from exc

from torvane_solver import SolverConfig

from torvane._context import (SelectionOptions, TokenCounter, check_options, estimate_tokens, piece_words,
                              question_clauses, select, text_pieces, token_counter_of)
from torvane.selection import SelectionDefaults

__all__ = ["ContextSelector", "estimate_tokens"]


class ContextSelector(BaseNodePostprocessor):
    """Chooses, among retrieved nodes, the subset that best fills a token budget.

    The options are those of `torvane.langchain.ContextSelector`, with `embed_model` (a
    LlamaIndex embedding model) in place of `embeddings`. A node's embedding is used when it
    has one; the others, and the query when its bundle carries no embedding, are embedded
    with `embed_model`, and so are the pieces of long nodes when the defaults ask for them
    (`piece_words`). Tokens are counted on what the language model is shown of a node
    (its content with the metadata meant for the model), sources and roles are read from
    the node's metadata, ids are the node ids.

    `postprocess_nodes` returns the chosen nodes in their input order, as copies whose
    metadata has `relevance_score` (the cosine with the query, also the node's score) and
    `selection_objective` added. Equal inputs give equal outputs.
    """

    embed_model: BaseEmbedding
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

    def __init__(self, embed_model: BaseEmbedding, max_tokens: int, *,
                 token_counter: Optional[TokenCounter] = None, max_chunks: Optional[int] = None,
                 max_per_source: Optional[int] = None, source_key: str = "source", role_key: Optional[str] = None,
                 must_include_roles: Sequence[str] = (), required_ids: Sequence[str] = (),
                 excluded_ids: Sequence[str] = (), config: Optional[SolverConfig] = None,
                 defaults: Optional[SelectionDefaults] = None) -> None:
        token_counter_of(token_counter)
        options = check_options(max_tokens, max_chunks, max_per_source, must_include_roles, required_ids,
                                excluded_ids, config, defaults)
        fields: dict[str, Any] = dict(embed_model=embed_model, max_tokens=options.max_tokens, token_counter=token_counter,
                                      max_chunks=options.max_chunks, max_per_source=options.max_per_source,
                                      source_key=source_key, role_key=role_key,
                                      must_include_roles=tuple(options.must_include_roles),
                                      required_ids=tuple(options.required_ids), excluded_ids=tuple(options.excluded_ids),
                                      config=config, defaults=defaults)
        super().__init__(**fields)

    @classmethod
    def class_name(cls) -> str:
        return "TorvaneContextSelector"

    def _options(self) -> SelectionOptions:
        return SelectionOptions(self.max_tokens, self.max_chunks, self.max_per_source, self.must_include_roles,
                                self.required_ids, self.excluded_ids, self.config, self.defaults)

    def _select(self, nodes: List[NodeWithScore], vectors: Sequence[Sequence[float]],
                query_vector: Sequence[float],
                aspect_vectors: Optional[Sequence[Sequence[float]]] = None,
                pieces: Optional[tuple[Sequence[Sequence[float]], list[int]]] = None) -> List[NodeWithScore]:
        metadata = [n.node.metadata for n in nodes]
        texts = [n.node.get_content(metadata_mode=MetadataMode.LLM) for n in nodes]
        selection = select(texts, vectors, query_vector, self.token_counter,
                           [m.get(self.source_key) for m in metadata],
                           [m.get(self.role_key) if self.role_key is not None else None for m in metadata],
                           [n.node.node_id for n in nodes], metadata, self._options(), aspect_vectors or None,
                           pieces)
        objective = selection.output.objective_score if selection.output is not None else 0.0
        out: List[NodeWithScore] = []
        for i in selection.indices:
            relevance = float(selection.relevance[i])
            node = nodes[i].node
            meta: dict[str, Any] = {**node.metadata, "relevance_score": relevance, "selection_objective": objective}
            out.append(NodeWithScore(node=node.model_copy(update={"metadata": meta}), score=relevance))
        return out

    @staticmethod
    def _texts_to_embed(nodes: List[NodeWithScore]) -> list[str]:
        """What the embed model is shown of each node that has no embedding, in node order."""
        return [n.node.get_content(metadata_mode=MetadataMode.EMBED) for n in nodes if n.node.embedding is None]

    def _pieces(self, nodes: List[NodeWithScore]) -> tuple[list[str], list[int]]:
        """The pieces of what the embed model is shown of each long node (every node, also one
        with its own embedding), and the position of each piece's node."""
        options = self._options()
        if piece_words(options) is None:  # no need to read what the model is shown
            return [], []
        return text_pieces([n.node.get_content(metadata_mode=MetadataMode.EMBED) for n in nodes], options)

    @staticmethod
    def _node_vectors(nodes: List[NodeWithScore], embedded: Sequence[Sequence[float]]) -> list[Sequence[float]]:
        """Each node's own embedding, or the next of `embedded` (those of `_texts_to_embed`)."""
        fresh = iter(embedded)
        return [n.node.embedding if n.node.embedding is not None else next(fresh) for n in nodes]

    @staticmethod
    def _query(query_bundle: Optional[QueryBundle]) -> QueryBundle:
        if query_bundle is None:
            raise ValueError("ContextSelector needs the query: pass query_bundle or query_str")
        return query_bundle

    def _postprocess_nodes(self, nodes: List[NodeWithScore],
                           query_bundle: Optional[QueryBundle] = None) -> List[NodeWithScore]:
        query = self._query(query_bundle)
        nodes = list(nodes)
        if not nodes:
            return []
        to_embed = self._texts_to_embed(nodes)
        pieces, owners = self._pieces(nodes)
        # One batch for the nodes without an embedding and the pieces of the long ones.
        embedded = self.embed_model.get_text_embedding_batch(to_embed + pieces) if to_embed or pieces else []
        vectors = self._node_vectors(nodes, embedded[:len(to_embed)])
        query_vector = query.embedding if query.embedding is not None \
            else self.embed_model.get_query_embedding(query.query_str)
        # The defaults keep the best node of each clause of a many-part question.
        aspects = [self.embed_model.get_query_embedding(c) for c in question_clauses(query.query_str, self._options())]
        return self._select(nodes, vectors, query_vector, aspects,
                            (embedded[len(to_embed):], owners) if owners else None)

    async def _apostprocess_nodes(self, nodes: List[NodeWithScore],
                                  query_bundle: Optional[QueryBundle] = None) -> List[NodeWithScore]:
        query = self._query(query_bundle)
        nodes = list(nodes)
        if not nodes:
            return []
        to_embed = self._texts_to_embed(nodes)
        pieces, owners = self._pieces(nodes)
        embedded = await self.embed_model.aget_text_embedding_batch(to_embed + pieces) if to_embed or pieces else []
        vectors = self._node_vectors(nodes, embedded[:len(to_embed)])
        query_vector = query.embedding if query.embedding is not None \
            else await self.embed_model.aget_query_embedding(query.query_str)
        aspects = [await self.embed_model.aget_query_embedding(c)
                   for c in question_clauses(query.query_str, self._options())]
        return await asyncio.to_thread(self._select, nodes, vectors, query_vector, aspects,
                                       (embedded[len(to_embed):], owners) if owners else None)
