"""The benchmarks, run from the project root: `python -m bench.run` for the native functions,
`python -m bench.cli` for the whole `parse` command (or `./dev bench`, `./dev bench-cli`)."""
