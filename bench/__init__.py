"""Benchmark harness: `python3 -m bench --help`."""
