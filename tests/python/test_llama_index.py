"""torvane.llama_index.ContextSelector against the real llama-index-core, with a
deterministic embedding stand-in."""
import asyncio

import pytest

pytest.importorskip("llama_index.core")
pytest.importorskip("langchain_core")
from langchain_core.documents import Document
from langchain_core.embeddings import Embeddings
from llama_index.core.base.embeddings.base import BaseEmbedding
from llama_index.core.postprocessor.types import BaseNodePostprocessor
from llama_index.core.schema import NodeWithScore, QueryBundle, TextNode

import torvane.langchain
from standins import Letters, corpus, embed
from torvane.llama_index import ContextSelector

QUERY = "dogs bark at the puppy"


class StandIn(BaseEmbedding):
    texts: list = []

    def _get_query_embedding(self, query):
        return embed(query)

    async def _aget_query_embedding(self, query):
        return embed(query)

    def _get_text_embedding(self, text):
        self.texts.append(text)
        return embed(text)


class LangChainStandIn(Embeddings):
    def embed_documents(self, texts):
        return [embed(t) for t in texts]

    def embed_query(self, text):
        return embed(text)


def nodes(n=30, seed=1, embedded=False):
    out = []
    for c in corpus(n, seed):
        meta = {"source": c["source"], "kind": c["role"]}
        node = TextNode(text=c["text"], id_=c["id"], metadata=meta, excluded_llm_metadata_keys=list(meta),
                        excluded_embed_metadata_keys=list(meta), embedding=embed(c["text"]) if embedded else None)
        out.append(NodeWithScore(node=node, score=0.5))
    return out


OPTIONS = dict(max_per_source=2, role_key="kind", must_include_roles=["definition"], max_chunks=5)


@pytest.mark.parametrize("extra", [{}, {"defaults": torvane.SelectionDefaults(per_token=True, temperature=None)}])
def test_chooses_what_the_langchain_selector_chooses(extra):
    given = nodes()
    selector = ContextSelector(StandIn(), 150, **OPTIONS, **extra)
    assert isinstance(selector, BaseNodePostprocessor)
    chosen = selector.postprocess_nodes(given, query_str=QUERY)
    docs = [Document(page_content=n.node.get_content(), id=n.node.node_id, metadata=n.node.metadata) for n in given]
    expected = torvane.langchain.ContextSelector(LangChainStandIn(), 150, **OPTIONS, **extra).compress_documents(
        docs, QUERY)
    assert [n.node.node_id for n in chosen] == [d.id for d in expected]
    for n, d in zip(chosen, expected):
        assert n.score == n.node.metadata["relevance_score"] == d.metadata["relevance_score"]
        assert n.node.metadata["selection_objective"] == d.metadata["selection_objective"]
    assert all(n.score == 0.5 and "relevance_score" not in n.node.metadata for n in given)  # inputs untouched
    assert asyncio.run(selector.apostprocess_nodes(given, query_str=QUERY)) == chosen


def test_node_and_query_embeddings_are_used_when_present():
    model = StandIn()
    model.texts = []
    selector = ContextSelector(model, 150, **OPTIONS)
    plain = selector.postprocess_nodes(nodes(), query_str=QUERY)
    assert len(model.texts) == 30
    model.texts = []
    given = nodes(embedded=True)
    given[4].node.embedding = None  # only this node is embedded by the model
    assert [n.node.node_id for n in selector.postprocess_nodes(given, query_str=QUERY)] == \
        [n.node.node_id for n in plain]
    assert model.texts == [given[4].node.get_content()]
    # Node embeddings win over the model: a node that claims the query's own vector is the
    # most relevant one, and a query bundle's embedding wins over the query text.
    given[7].node.embedding = embed(QUERY)
    chosen = selector.postprocess_nodes(given, query_str=QUERY)
    assert given[7].node.node_id in [n.node.node_id for n in chosen]
    assert max(chosen, key=lambda n: n.score).node.node_id == given[7].node.node_id
    bundle = QueryBundle("ignored text", embedding=embed(QUERY))
    assert selector.postprocess_nodes(given, query_bundle=bundle) == chosen
    assert asyncio.run(selector.apostprocess_nodes(given, query_bundle=bundle)) == chosen
    # Asked for, a long node's pieces are embedded, also when the node brings its own embedding.
    given[2].node.text = " ".join(["cats purr"] * 100)
    model.texts = []
    selector.postprocess_nodes(given, query_str=QUERY)
    assert model.texts == [given[4].node.get_content()]
    model.texts = []
    pieces = ContextSelector(model, 150, **OPTIONS, defaults=torvane.SelectionDefaults(piece_words=150))
    pieces.postprocess_nodes(given, query_str=QUERY)
    assert model.texts == [given[4].node.get_content()] + torvane.split_pieces([given[2].node.get_content()])[0]


def test_budget_counts_what_the_model_is_shown_and_a_query_is_needed():
    given = nodes()
    for n in given:
        n.node.excluded_llm_metadata_keys = []  # the metadata is shown to the model and counted
    selector = ContextSelector(StandIn(), 150, token_counter=len)
    chosen = selector.postprocess_nodes(given, query_str=QUERY)
    shown = {n.node.node_id: len(n.node.get_content(metadata_mode="llm")) for n in given}
    assert all(shown[n.node.node_id] > len(n.node.get_content()) + 10 for n in given)  # the metadata counts
    assert 0 < sum(shown[n.node.node_id] for n in chosen) <= 150
    assert ContextSelector(StandIn(), 150, token_counter=Letters()).postprocess_nodes(given, query_str=QUERY) == chosen
    assert selector.postprocess_nodes([], query_str=QUERY) == []
    with pytest.raises(ValueError, match="query"):
        selector.postprocess_nodes(given)
