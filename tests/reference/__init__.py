"""Plain-Python statements of what the extension modules do: oracles for the
tests and the fuzzer, and baselines for the benchmarks."""
