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
        if value < 1e-3:
            return f"{value * 1e6:.0f} us"
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


def bound_ratio(r, bandwidth_gbs: float) -> float | None:
    """Bandwidth-bound QPS over measured QPS: 1.0 means the scan runs at the
    speed one thread can read the stored vectors."""
    if not (r.exact and r.bytes_per_query and r.qps and bandwidth_gbs):
        return None
    return bandwidth_gbs * 1e9 / r.bytes_per_query / r.qps


def bound_line(r, bandwidth_gbs: float, ws_gbs: float) -> str | None:
    ratio = bound_ratio(r, bandwidth_gbs)
    if ratio is None:
        return None
    ws = f"; at the working-set rate {bound_ratio(r, ws_gbs):.2f}x" if ws_gbs else ""
    return (f"  {r.runner}: {r.bytes_per_query / 1e6:.1f} MB per query -> bound "
            f"{bandwidth_gbs * 1e9 / r.bytes_per_query:.1f} QPS; bound / measured = "
            f"{ratio:.2f}x ({r.bytes_per_query * r.qps / 1e9:.1f} GB/s achieved{ws})")


def _llc_bytes() -> int:
    try:
        text = open("/sys/devices/system/cpu/cpu0/cache/index3/size").read().strip()
        return int(text[:-1]) << {"K": 10, "M": 20}[text[-1]]
    except (OSError, ValueError, KeyError):
        return 0


def print_targets(suite, results: list) -> list:
    """Prints each target of the suite met or missed; returns them as dicts."""
    out = []
    for t in suite.targets:
        mine = [r for r in results if (r.dataset, r.metric) == t.config and r.status == "ok"]
        if t.runner is None:
            if not mine or mine[0] is not _reference(results, t.config):
                continue
            ref = mine[0]
        else:
            ref = next((r for r in mine if r.runner == t.runner), None)
            if ref is None:
                continue
        peer = next((r for r in mine if r.runner == t.peer), None)
        if t.figure == "bound":
            value, text = bound_ratio(ref, ref.bandwidth_gbs), "bandwidth bound / QPS"
        elif peer is None:
            continue
        elif t.figure == "qps":
            value, text = ref.qps / peer.qps, f"search QPS / {peer.runner}"
        else:
            value, text = peer.build_s / ref.build_s, f"{peer.runner} build time / build time"
        if value is None:
            continue
        ok = value <= t.limit if t.figure == "bound" else value >= t.limit
        want = f"<= {t.limit:.2f}x" if t.figure == "bound" else f">= {t.limit:.2f}x"
        print(f"  {ref.runner} {text} on {t.config[0]}:{t.config[1]} = {value:.2f}x "
              f"(want {want}) {'met' if ok else 'MISSED'}")
        out.append({"runner": ref.runner, "figure": text, "config": list(t.config),
                    "value": value, "want": want, "met": ok})
    return out


def _reference(results, config):
    """The suite's first runner on `config` (targets only concern it)."""
    return next((r for r in results if (r.dataset, r.metric) == config), None)


def print_config(ds, k: int, n_queries: int, results: list, bandwidth_gbs: float,
                 ws_gbs: float | None = None) -> None:
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
    lines = [bound_line(r, bandwidth_gbs, ws_gbs) for r in ran]
    lines = [line for line in lines if line]
    if lines:
        cached = ran[0].bytes_per_query and ran[0].bytes_per_query < _llc_bytes()
        print(f"  bandwidth bound (exact scans): memory {bandwidth_gbs:.1f} GB/s"
              f"{' (the set fits in cache, so this bound is loose)' if cached else ''}, "
              f"working set of {ds.base.nbytes / 1e6:.1f} MB read at {ws_gbs or 0:.1f} GB/s")
        for line in lines:
            print("  " + line)


def write_json(suites: list, bandwidth: dict, args: dict, results: list,
               targets: list, extra: dict | None = None) -> pathlib.Path:
    RESULTS_DIR.mkdir(parents=True, exist_ok=True)
    stamp = time.strftime("%Y%m%d-%H%M%S")
    path = RESULTS_DIR / f"{'-'.join(suites)}-{stamp}.json"
    doc = {
        "time": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
        "machine": {"processor": _cpu_model(), "python": platform.python_version()},
        "bandwidth": bandwidth,
        "args": args,
        "results": [dataclasses.asdict(r) for r in results],
        "targets": targets,
        # Suites with figures of their own shape (the "db" suite), by name.
        **(extra or {}),
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
