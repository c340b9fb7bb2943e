"""torvane.langchain.ContextSelector against the real langchain-core, with a deterministic
embedding stand-in."""
import asyncio

import numpy as np
import pytest

pytest.importorskip("langchain_core")
import torvane_solver as ts
from langchain_core.documents import BaseDocumentCompressor, Document
from langchain_core.embeddings import Embeddings

from standins import Letters, corpus, embed
from torvane.langchain import ContextSelector, estimate_tokens


class StandIn(Embeddings):
    def __init__(self):
        self.calls = 0

    def embed_documents(self, texts):
        self.calls += 1
        return [embed(t) for t in texts]

    def embed_query(self, text):
        return embed(text)


def documents(n=24, seed=0):
    return [Document(page_content=c["text"], id=c["id"], metadata={"source": c["source"], "kind": c["role"]})
            for c in corpus(n, seed)]


def cosine(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return float(a @ b / (np.linalg.norm(a) * np.linalg.norm(b)))


QUERY = "cats purr kitten"


def test_chosen_documents_respect_every_option_and_carry_their_scores():
    docs = documents(40)
    before = [d.model_copy(deep=True) for d in docs]
    relevance = [cosine(embed(d.page_content), embed(QUERY)) for d in docs]
    best, worst = int(np.argmax(relevance)), int(np.argmin(relevance))
    required, excluded = docs[worst].id, docs[best].id
    selector = ContextSelector(StandIn(), 120, max_chunks=6, max_per_source=2, role_key="kind",
                               must_include_roles=["procedure", "Risk"], required_ids=[required],
                               excluded_ids=[excluded])
    assert isinstance(selector, BaseDocumentCompressor)
    chosen = selector.compress_documents(docs, QUERY)
    ids = [d.id for d in chosen]
    position = {d.id: i for i, d in enumerate(docs)}
    assert ids == sorted(ids, key=position.get) and len(set(ids)) == len(ids)  # input order
    assert sum(estimate_tokens(d.page_content) for d in chosen) <= 120
    assert 1 <= len(chosen) <= 6
    assert max(np.unique([d.metadata["source"] for d in chosen], return_counts=True)[1]) <= 2
    assert required in ids and excluded not in ids
    assert "risk" in {d.metadata["kind"] for d in chosen}
    objective = {d.metadata["selection_objective"] for d in chosen}
    assert len(objective) == 1
    for d in chosen:
        assert d.metadata["relevance_score"] == pytest.approx(cosine(embed(d.page_content), embed(QUERY)), abs=1e-6)
    assert docs == before  # the inputs are left as they were
    # The best match is chosen when it is not excluded.
    assert docs[best].id in [d.id for d in ContextSelector(StandIn(), 120).compress_documents(docs, QUERY)]


def test_no_limit_means_none_and_sources_become_clusters():
    # Every document from one source and all about the query, redundancy not weighed: no cap
    # applies by default (the module's own default is 3 per cluster and 50 chunks).
    import torvane

    docs = [Document(page_content=f"cats purr kitten whiskers number {i}", id=str(i), metadata={"source": "one"})
            for i in range(60)]
    config = torvane.default_config(lambda_=0.0)
    chosen = ContextSelector(StandIn(), 10**6, config=config).compress_documents(docs, QUERY)
    assert len(chosen) > 50
    capped = ContextSelector(StandIn(), 10**6, max_per_source=1, config=config).compress_documents(docs, QUERY)
    assert len(capped) == 1


def test_a_token_counter_sets_the_budget():
    # The raw objective fills the budget, so what fits shows how the counter counts.
    docs = documents(30)
    config = ts.SolverConfig()
    chosen = ContextSelector(StandIn(), 300, token_counter=len, config=config).compress_documents(docs, QUERY)
    assert 0 < sum(len(d.page_content) for d in chosen) <= 300
    tokenizer = ContextSelector(StandIn(), 300, token_counter=Letters(), config=config)
    assert tokenizer.compress_documents(docs, QUERY) == chosen
    default = ContextSelector(StandIn(), 300, config=config).compress_documents(docs, QUERY)
    assert sum(len(d.page_content) for d in default) > 300
    with pytest.raises(ValueError, match="token counter"):
        ContextSelector(StandIn(), 300, token_counter=lambda t: -1).compress_documents(docs, QUERY)
    with pytest.raises(TypeError, match="token_counter"):
        ContextSelector(StandIn(), 300, token_counter=300)


def test_signals_in_the_metadata_are_weighted_and_absent_ones_are_not():
    # Two copies of one text fight for a budget that fits one: the tie goes to the first,
    # unless fact density in the metadata sets them apart.
    text = "cats purr kitten whiskers"
    pair = [Document(page_content=text, id="a"), Document(page_content=text, id="b")]
    budget = estimate_tokens(text)
    assert [d.id for d in ContextSelector(StandIn(), budget).compress_documents(pair, QUERY)] == ["a"]
    pair[1].metadata["fact_density"] = 0.9  # "a" lacks it: the solver's default 0.5
    assert [d.id for d in ContextSelector(StandIn(), budget).compress_documents(pair, QUERY)] == ["b"]
    pair[0].metadata.update(centrality_score=1.0, recency_score=1.0)  # 0.2 * 0.5 + 0.1 * 0.5 > 0.3 * 0.4
    assert [d.id for d in ContextSelector(StandIn(), budget).compress_documents(pair, QUERY)] == ["a"]
    # With a configuration of the caller's and no signal carried, the objective is cosine
    # relevance minus embedding redundancy alone (the raw objective).
    docs = documents(20)
    raw = ts.SolverConfig(beta=0.0, gamma=0.0, delta=0.0, exact_window_time_ms=60_000)
    chosen = ContextSelector(StandIn(), 150, config=raw).compress_documents(docs, QUERY)
    relevance = sum(d.metadata["relevance_score"] for d in chosen)
    pairs = sum(cosine(embed(a.page_content), embed(b.page_content))
                for i, a in enumerate(chosen) for b in chosen[i + 1:])
    assert chosen[0].metadata["selection_objective"] == pytest.approx(relevance - 0.5 * pairs, abs=1e-4)


def test_equal_inputs_give_equal_outputs_sync_and_async():
    docs = documents(50, seed=3)
    selector = ContextSelector(StandIn(), 200, max_per_source=2, role_key="kind", must_include_roles=["example"])
    first = selector.compress_documents(docs, QUERY)
    assert [ContextSelector(StandIn(), 200, max_per_source=2, role_key="kind", must_include_roles=["example"])
            .compress_documents([d.model_copy() for d in docs], QUERY) for _ in range(3)] == [first] * 3
    assert asyncio.run(selector.acompress_documents(docs, QUERY)) == first
    assert selector.compress_documents([], QUERY) == []
    assert asyncio.run(selector.acompress_documents([], QUERY)) == []


def test_options_are_checked_when_built():
    with pytest.raises(ValueError):
        ContextSelector(StandIn(), -1)
    with pytest.raises(TypeError):
        ContextSelector(StandIn(), "100")
    with pytest.raises(TypeError):
        ContextSelector(StandIn(), 100, must_include_roles="risk")
    with pytest.raises(TypeError):
        ContextSelector(StandIn(), 100, config={"lambda_": 1.0})
    with pytest.raises(ValueError):
        ContextSelector(StandIn(), 100, max_per_source=-2)
    selector = ContextSelector(StandIn(), 100, config=ts.SolverConfig(lambda_=2.0), max_chunks=None)
    assert selector.config.lambda_ == 2.0 and selector.max_chunks is None


def test_defaults_keep_repeated_text_out_and_the_question_clauses_in():
    # A document repeated word for word is penalised by the default redundancy (shared
    # text), so at most one copy is chosen even when both are the most relevant.
    docs = documents(12)
    docs.append(Document(page_content=docs[0].page_content, id="copy", metadata=dict(docs[0].metadata)))
    chosen = ContextSelector(StandIn(), 400).compress_documents(docs, docs[0].page_content)
    texts = [d.page_content for d in chosen]
    assert len(texts) == len(set(texts))
    # A two-clause question embeds each clause with the query embedding.
    seen = []

    class Recording(StandIn):
        def embed_query(self, text):
            seen.append(text)
            return super().embed_query(text)

    ContextSelector(Recording(), 400).compress_documents(docs, "purring cats and then barking dogs")
    assert sorted(seen) == ["barking dogs", "purring cats", "purring cats and then barking dogs"]


@pytest.mark.parametrize("options", [{}, {"defaults": "per token"}, {"defaults": "per token", "config": "lambda 3"}])
def test_defaults_choose_what_the_arrays_path_chooses(options):
    # The selector with its defaults and a plain token counter is build_problem plus
    # default_config on the same arrays, filler dropped: documents without sources, roles or
    # signals give the same selection, clauses of the question included. Defaults of the caller's build
    # the problem their way, and a config given with them solves that problem.
    import torvane

    defaults = torvane.SelectionDefaults(per_token=True, floor=None, piece_words=150) if "defaults" in options else None
    config = torvane.default_config(lambda_=3.0, alpha=2.0) if "config" in options else None
    docs = [Document(page_content=d.page_content) for d in documents(60, seed=3)]
    docs += [Document(page_content="and " + docs[4].page_content)]   # repeated text
    docs += [Document(page_content=" ".join(d.page_content for d in docs[10:40]))]   # long: pieces, if asked
    count = lambda text: len(text.split())                            # noqa: E731
    selector = ContextSelector(StandIn(), 150, token_counter=count, defaults=defaults, config=config)
    package = ContextSelector(StandIn(), 150, token_counter=count)
    differ = False
    for query in ("cats purr kitten", "purring cats and then barking dogs, also parrots"):
        chosen = selector.compress_documents(docs, query)
        texts = [d.page_content for d in docs]
        clauses = torvane.split_aspects(query)
        pieces, owners = torvane.split_pieces(texts) if defaults else ([], [])
        assert owners == [len(texts) - 1] * len(owners) and (len(owners) > 1 or not defaults)
        problem = torvane.build_problem(texts, [embed(t) for t in texts], embed(query), [count(t) for t in texts],
                                        defaults, aspect_embeddings=[embed(c) for c in clauses] if clauses else None,
                                        piece_embeddings=[embed(p) for p in pieces], piece_owners=owners)
        out = ts.TabuSearchSolver(config or torvane.default_config()).solve_precomputed_numpy(
            **problem, constraints=ts.SolverConstraints(max_tokens=150))
        filler = set(torvane.filler_chunks(problem))
        kept = [texts[i] for i in out.selected_indices if f"chunk_{i}" not in filler]
        assert [d.page_content for d in chosen] == kept
        differ |= chosen != package.compress_documents(docs, query)
    assert differ == bool(options)  # options of the caller's take effect


def test_long_documents_are_embedded_in_pieces_in_one_call():
    import torvane

    class Recording(StandIn):
        def embed_documents(self, texts):
            seen.append(list(texts))
            return super().embed_documents(texts)

    docs = documents(30, seed=2)
    docs.append(Document(page_content=" ".join(d.page_content for d in docs[:25])))
    texts = [d.page_content for d in docs]
    pieces, _ = torvane.split_pieces(texts, 150)
    assert pieces
    on = torvane.SelectionDefaults(piece_words=150)
    config = torvane.default_config()
    for options, expected in (({"defaults": on}, texts + pieces), ({}, texts), ({"config": config}, texts),
                              ({"defaults": on, "config": config}, texts + pieces)):
        seen: list[list[str]] = []
        ContextSelector(Recording(), 300, **options).compress_documents(docs, QUERY)
        assert seen == [expected]
        seen.clear()
        asyncio.run(ContextSelector(Recording(), 300, **options).acompress_documents(docs, QUERY))
        assert seen == [expected]


def test_no_filler_among_many_short_documents():
    # Thirty short documents and room for most: the defaults send none far below the best
    # (the solve alone leaves filler), but keep one the caller requires or one holding a role
    # the caller asks for.
    import torvane

    docs = documents(30, seed=2)
    best = max(cosine(embed(d.page_content), embed(QUERY)) for d in docs)
    far = [d for d in docs if cosine(embed(d.page_content), embed(QUERY)) < best - 0.25]
    chosen = ContextSelector(StandIn(), 400).compress_documents(docs, QUERY)
    assert chosen and all(d.metadata["relevance_score"] >= best - 0.1 for d in chosen)
    texts = [d.page_content for d in docs]
    problem = torvane.build_problem(texts, [embed(t) for t in texts], embed(QUERY), [estimate_tokens(t) for t in texts])
    alone = ts.TabuSearchSolver(torvane.default_config()).solve_precomputed_numpy(
        **problem, constraints=ts.SolverConstraints(max_tokens=400))
    assert len(alone.selected_indices) > len(chosen)
    assert chosen[0].metadata["selection_objective"] > alone.objective_score
    required = ContextSelector(StandIn(), 400, required_ids=[far[0].id]).compress_documents(docs, QUERY)
    assert far[0].id in [d.id for d in required]
    kinds = {d.metadata["kind"] for d in chosen}
    role = next(d.metadata["kind"] for d in far if d.metadata["kind"] not in kinds)
    held = ContextSelector(StandIn(), 400, role_key="kind", must_include_roles=[role]).compress_documents(docs, QUERY)
    assert role in {d.metadata["kind"] for d in held}


def test_selection_defaults_must_be_a_selection_defaults():
    with pytest.raises(TypeError, match="defaults must be a torvane.SelectionDefaults or None, not dict"):
        ContextSelector(StandIn(), 100, defaults={"per_token": True})
