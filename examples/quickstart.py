"""Choose the context for one query from a few hundred scored chunks.

Run with:  python examples/quickstart.py
"""
from typing import Any

import numpy as np
import numpy.typing as npt

import torvane_solver as ts

ROLES = ["definition", "example", "evidence", "conclusion", "risk", "constraint", "table", "procedure"]


def make_chunks(
    n: int = 300, dim: int = 64, topics: int = 12, seed: int = 7
) -> tuple[list[dict[str, Any]], npt.NDArray[np.float32]]:
    """A reproducible stand-in for a retriever's output: chunks grouped into topics."""
    rng = np.random.default_rng(seed)
    topic_centres = rng.standard_normal((topics, dim))
    query = topic_centres[0] + topic_centres[3] + 0.3 * rng.standard_normal(dim)
    chunks = []
    for i in range(n):
        topic = int(rng.integers(topics))
        embedding = topic_centres[topic] + 0.7 * rng.standard_normal(dim)
        chunks.append({
            "chunk_id": f"doc{topic:02d}#{i:03d}",
            "content": f"(text of chunk {i})",
            "embedding": embedding.astype(np.float32).tolist(),
            "token_count": int(rng.integers(60, 420)),
            "fact_density": float(rng.random()),
            "centrality_score": float(rng.random()),
            "recency_score": float(rng.random()),
            "rhetorical_role": ROLES[int(rng.integers(len(ROLES)))],
            "cluster_id": topic,
        })
    return chunks, query.astype(np.float32)


def main() -> None:
    chunks, query = make_chunks()
    solver = ts.TabuSearchSolver(ts.SolverConfig(lambda_=0.6))
    constraints = ts.SolverConstraints(
        max_tokens=3000,
        max_chunks=12,
        max_per_cluster=3,
        must_include_roles=["definition", "risk"],
        excluded_chunks=[chunks[0]["chunk_id"], chunks[1]["chunk_id"]],
    )
    out = solver.solve(chunks, query, constraints)

    print(out)
    print(f"{out.num_selected} chunks, {out.total_tokens} of {constraints.max_tokens} tokens, "
          f"solved in {out.solve_time_ms:.1f} ms")
    # The weighted totals, and what the pairwise similarity of the chosen chunks adds:
    # -lambda_ times the summed similarity of the chosen pairs. Pairs that point in opposite
    # directions have negative similarity, so this term can be a bonus as well as a cost
    # (out.redundancy_penalty reports only a cost and is 0 then).
    totals = {
        "relevance": out.relevance_total,
        "density": out.density_total,
        "centrality": out.centrality_total,
        "recency": out.recency_total,
        "auxiliary": out.auxiliary_total,
        "fulfilment": out.fulfilment_total,
    }
    similarity = out.objective_score - sum(totals.values())
    terms = " + ".join(f"{name} {value:.4f}" for name, value in totals.items())
    sign = "+" if similarity >= 0 else "-"
    print(f"objective {out.objective_score:.4f} = {terms} {sign} similarity {abs(similarity):.4f}")
    print("  (similarity: -lambda_ x the summed similarity of the chosen pairs; pairs with negative "
          "similarity make it a bonus)")
    print("chosen:")
    for i in out.selected_indices:
        c = chunks[i]
        print(f"  {c['chunk_id']:>10}  {c['rhetorical_role']:<11} topic {c['cluster_id']:>2}"
              f"  {c['token_count']:>3} tokens")
    if out.constraints_satisfied:
        print("all constraints satisfied")
    else:
        print("violations:", *out.constraint_violations, sep="\n  ")


if __name__ == "__main__":
    main()
