"""Benchmarks of orvantis._torvane_core: ratios to native floors and to pure-Python twins.

Run `scripts/nox -s bench-3.12` (or `python -m bench` once the module is installed with
`-C cmake.define.TORVANE_BENCH=ON`); `--quick` for a short smoke run.
"""
