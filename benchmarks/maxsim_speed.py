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
"""

import argparse
import os
import platform
import time

from machine import machine_report, unpin_blas

unpin_blas()  # before NumPy loads OpenBLAS

import numpy as np  # noqa: E402

import torvane_solver as ts

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


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=7, help="timed calls per case at the large shape "
                        "(ten times as many at the small one); the best is shown")
    parser.add_argument("--shape", choices=sorted(SHAPES), action="append", help="shape(s) to run (default: both)")
    args = parser.parse_args()
    print(machine_report())
    print(f"CPU features: {cpu_description()}")
    print(f"torvane_solver {ts.version()}")
    for name in args.shape or ["large", "small"]:
        run(name, args.rounds if name == "large" else args.rounds * 10)


if __name__ == "__main__":
    main()
