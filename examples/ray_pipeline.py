"""Context selection and MaxSim reranking on Ray Data, on one machine or a cluster.

Two pipelines, each a `Dataset.map_batches` over an actor pool of torvane's transforms:

1. Select the context of 20,000 queries (200 candidate chunks each: clustered embeddings,
   token counts, roles, clusters) under a token budget with `torvane.ray.SelectContexts`.
2. Rerank 2,000 queries (32 tokens each) against a corpus of 20,000 documents (16 to 64
   tokens, dimension 128) quantized to 4 bits, keeping the best 10 with
   `torvane.ray.MaxSimTopK`; the corpus goes into the object store once.

Ray's progress bars show each pipeline; the script prints the throughput and checks a few
rows against the same calls in this process.

Run with:  python examples/ray_pipeline.py [--scale 0.01] [--actors N] [--cpus-per-actor C]
On a running cluster, set RAY_ADDRESS (e.g. RAY_ADDRESS=ray://head:10001 or auto); without
it a local cluster is started. Needs pip install ".[ray]" on every node.
"""
from __future__ import annotations

import argparse
import os
import time
from typing import Any

import numpy as np
import numpy.typing as npt
import ray
import ray.data

import torvane
import torvane_solver as ts
from torvane.ray import MaxSimTopK, SelectContexts

F32 = np.float32
CANDIDATES, DIM, TOPICS = 200, 64, 12
CONSTRAINTS: dict[str, Any] = {"max_tokens": 3000, "max_chunks": 20, "max_per_cluster": 3, "must_include_roles": ["definition"]}


def make_problems(batch: dict[str, npt.NDArray[Any]]) -> dict[str, Any]:
    """The candidates of the queries whose ids the batch holds, made reproducibly from the id."""
    rows: dict[str, list[Any]] = {k: [] for k in ("query_id", "embeddings", "query_embedding", "token_costs",
                                                  "density_scores", "centrality_scores", "recency_scores",
                                                  "auxiliary_scores", "roles", "cluster_ids")}
    for query_id in batch["id"]:
        rng = np.random.default_rng(int(query_id))
        centres = rng.standard_normal((TOPICS, DIM))
        topic = rng.integers(TOPICS, size=CANDIDATES)
        rows["query_id"].append(int(query_id))
        rows["embeddings"].append((centres[topic] + 0.8 * rng.standard_normal((CANDIDATES, DIM))).astype(F32))
        rows["query_embedding"].append((centres[0] + centres[1]).astype(F32))
        rows["token_costs"].append(rng.integers(50, 400, CANDIDATES).astype(np.uint64))
        for key in ("density_scores", "centrality_scores", "recency_scores"):
            rows[key].append(rng.random(CANDIDATES, dtype=F32))
        rows["auxiliary_scores"].append(np.zeros(CANDIDATES, F32))
        rows["roles"].append(rng.integers(0, 8, CANDIDATES).astype(np.uint8))
        rows["cluster_ids"].append(topic.astype(np.int64))
    return {k: np.stack(v) for k, v in rows.items()}


def make_corpus(documents: int, seed: int = 0) -> torvane.Quantized:
    rng = np.random.default_rng(seed)
    lengths = rng.integers(16, 65, documents)
    offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    tokens = rng.standard_normal((int(offsets[-1]), 128), dtype=F32)
    return torvane.quantize(torvane.Packed(tokens, offsets), 4, seed=seed)


def make_queries(batch: dict[str, npt.NDArray[Any]]) -> dict[str, Any]:
    queries = [np.random.default_rng(10**9 + int(i)).standard_normal((32, 128), dtype=F32) for i in batch["id"]]
    return {"query_id": batch["id"], "query": np.stack(queries)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--scale", type=float, default=1.0, help="size of the run (1.0: the sizes above)")
    parser.add_argument("--actors", type=int, default=0, help="actors per pipeline (default: CPUs / cpus-per-actor)")
    parser.add_argument("--cpus-per-actor", type=int, default=1, help="CPUs of each actor (its worker pool's size)")
    args = parser.parse_args()
    n_select = max(1, int(20_000 * args.scale))
    n_rerank, n_docs = max(1, int(2_000 * args.scale)), max(10, int(20_000 * args.scale))

    if os.environ.get("RAY_ADDRESS"):
        ray.init()  # the running cluster RAY_ADDRESS names
    else:
        ray.init(num_cpus=os.cpu_count())
    cpus = int(ray.cluster_resources().get("CPU", 1))  # type: ignore[no-untyped-call, unused-ignore]
    actors = args.actors or max(1, cpus // args.cpus_per_actor)
    pool = ray.data.ActorPoolStrategy(size=actors)
    print(f"Ray cluster: {cpus} CPUs; {actors} actors of {args.cpus_per_actor} CPU(s) per pipeline")

    # 1. Context selection.
    # The query ids come from the driver's memory and the candidates are made inside the
    # actors (Ray fuses the two steps), so every CPU can go to the actors.
    start = time.perf_counter()
    selected = (ray.data.from_items([{"id": i} for i in range(n_select)])
                .map_batches(make_problems, batch_size=64)
                .map_batches(SelectContexts, fn_constructor_kwargs={"constraints": CONSTRAINTS},
                             compute=pool, num_cpus=args.cpus_per_actor, batch_size=64))
    rows = [{k: batch[k][i] for k in ("query_id", "selected_indices", "constraints_satisfied")}
            for batch in selected.iter_batches(batch_size=256) for i in range(len(batch["query_id"]))]
    took = time.perf_counter() - start
    satisfied = sum(bool(r["constraints_satisfied"]) for r in rows)
    print(f"context selection: {len(rows)} queries of {CANDIDATES} candidates in {took:.1f} s,"
          f" {len(rows) / took:.0f} queries/s; constraints met in {satisfied} of {len(rows)}")
    sample = sorted(rows, key=lambda r: int(r["query_id"]))[:8]
    problems = make_problems({"id": np.array([int(r["query_id"]) for r in sample])})
    local = torvane.solve_many([{k: v[i] for k, v in problems.items() if k != "query_id"} for i in range(len(sample))],
                               None, ts.SolverConstraints(**CONSTRAINTS))
    same = all(list(r["selected_indices"]) == o.selected_indices for r, o in zip(sample, local))
    print(f"  first {len(sample)} queries against solve_many in this process: {'same' if same else 'DIFFERENT'}"
          " selections")

    # 2. MaxSim reranking against a 4-bit corpus in the object store.
    corpus = make_corpus(n_docs)
    corpus_ref = ray.put(corpus)
    start = time.perf_counter()
    ranked = (ray.data.from_items([{"id": i} for i in range(n_rerank)])
              .map_batches(make_queries, batch_size=64)
              .map_batches(MaxSimTopK, fn_constructor_kwargs={"corpus": corpus_ref, "k": 10},
                           compute=pool, num_cpus=args.cpus_per_actor, batch_size=64))
    rows = [{k: batch[k][i] for k in ("query_id", "topk_indices")}
            for batch in ranked.iter_batches(batch_size=256) for i in range(len(batch["query_id"]))]
    took = time.perf_counter() - start
    pairs = len(rows) * n_docs
    print(f"reranking: {len(rows)} queries x {n_docs} documents (4-bit, {corpus.codes.nbytes / 2**20:.0f} MiB of"
          f" codes) in {took:.1f} s, {len(rows) / took:.0f} queries/s, {pairs / took / 1e6:.1f} M query-document"
          " scores/s")
    sample = sorted(rows, key=lambda r: int(r["query_id"]))[:4]
    queries = make_queries({"id": np.array([int(r["query_id"]) for r in sample])})["query"]
    indices, _ = torvane.maxsim_topk(torvane.quantize(queries, 4, seed=corpus.seed), corpus, 10)
    same = all(np.array_equal(r["topk_indices"], i) for r, i in zip(sample, indices))
    print(f"  first {len(sample)} queries against maxsim_topk in this process: {'same' if same else 'DIFFERENT'}"
          " top 10")
    ray.shutdown()


if __name__ == "__main__":
    main()
