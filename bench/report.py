"""Side-by-side figures with ratios against a suite's first runner, and JSON.

Every ratio reads "how many times better the reference is": QPS ratio is
reference / peer, build-time ratio is peer / reference. Above 1.00x means the
reference wins.
"""

from __future__ import annotations

import dataclasses
import json
import pathlib
import platform
import time

RESULTS_DIR = pathlib.Path(__file__).resolve().parent / "results"


def _ratio(a, b):
    return f"{a / b:.2f}x" if a and b else "n/a"


def _fmt(value, unit):
    if value is None:
        return "-"
    if unit == "qps":
        return f"{value:.1f}"
    if unit == "s":
        return f"{value * 1000:.1f} ms" if value < 1 else f"{value:.2f} s"
    return f"{value:.3f}"


def figure_line(title: str, results: list, key: str, unit: str, higher_is_better: bool) -> str:
    ref = results[0]
    ref_v = getattr(ref, key)
    parts = [f"{ref.runner} {_fmt(ref_v, unit)}"]
    for r in results[1:]:
        v = getattr(r, key)
        if unit == "recall":
            parts.append(f"{r.runner} {_fmt(v, unit)}")
        else:
            ratio = _ratio(ref_v, v) if higher_is_better else _ratio(v, ref_v)
            parts.append(f"{r.runner} {_fmt(v, unit)} ({ratio})")
    return f"  {title:<12} " + " | ".join(parts)


def bound_line(r, bandwidth_gbs: float) -> str | None:
    """The scan's ceiling: bytes read per query at one thread's read bandwidth."""
    if not (r.exact and r.bytes_per_query and r.qps and bandwidth_gbs):
        return None
    bound_qps = bandwidth_gbs * 1e9 / r.bytes_per_query
    return (f"  {r.runner}: {r.bytes_per_query / 1e6:.1f} MB per query at "
            f"{bandwidth_gbs:.1f} GB/s -> bound {bound_qps:.1f} QPS; "
            f"bound / measured = {bound_qps / r.qps:.2f}x "
            f"({r.bytes_per_query * r.qps / 1e9:.1f} GB/s achieved)")


def print_config(ds, k: int, n_queries: int, results: list, bandwidth_gbs: float) -> None:
    ran = [r for r in results if r.status == "ok"]
    print(f"\n{ds.name} ({ds.n} x {ds.dim}, {ds.metric}, k={k}, "
          f"{min(n_queries, len(ds.queries))} single queries)")
    for r in results:
        if r.status != "ok":
            print(f"  {r.runner}: {r.status}")
    if not ran:
        return
    print(figure_line("search QPS", ran, "qps", "qps", True))
    print(figure_line(f"recall@{k}", ran, "recall", "recall", True))
    print(figure_line("build", ran, "build_s", "s", False))
    lines = [bound_line(r, bandwidth_gbs) for r in ran]
    lines = [line for line in lines if line]
    if lines:
        print("  bandwidth bound (exact scans):")
        for line in lines:
            print("  " + line)


def write_json(suites: list, bandwidth: dict, args: dict, results: list) -> pathlib.Path:
    RESULTS_DIR.mkdir(parents=True, exist_ok=True)
    stamp = time.strftime("%Y%m%d-%H%M%S")
    path = RESULTS_DIR / f"{'-'.join(suites)}-{stamp}.json"
    doc = {
        "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
        "machine": {"processor": _cpu_model(), "python": platform.python_version()},
        "bandwidth": bandwidth,
        "args": args,
        "results": [dataclasses.asdict(r) for r in results],
    }
    path.write_text(json.dumps(doc, indent=2) + "\n")
    return path


def _cpu_model() -> str:
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor()
