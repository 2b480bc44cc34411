"""Small timing helpers shared by the benchmarks: medians of repeats."""
import statistics
import time
import timeit


def per_call_seconds(function, *, calls=None, repeats=7, budget=0.2):
    """Median over `repeats` of the mean time of one call of `function`.
    Without `calls`, enough calls are made for each repeat to last about
    `budget` seconds."""
    if calls is None:
        calls, elapsed = 1, 0.0
        while elapsed < budget / 10:
            calls *= 2
            start = time.perf_counter()
            for _ in range(calls):
                function()
            elapsed = time.perf_counter() - start
        calls = max(1, int(calls * budget / max(elapsed, 1e-9) / 10) * 10 or calls)
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(calls):
            function()
        samples.append((time.perf_counter() - start) / calls)
    return statistics.median(samples)


def paired(ours, baseline, *, number, repeats):
    """Times `ours` and `baseline` alternately, `number` calls each per
    repeat, so that both see the same machine load. Returns the median
    seconds per call of each and the median of the per-repeat ratios
    baseline / ours."""
    ours_times, baseline_times, ratios = [], [], []
    for _ in range(repeats):
        mine = timeit.timeit(ours, number=number) / number
        theirs = timeit.timeit(baseline, number=number) / number
        ours_times.append(mine)
        baseline_times.append(theirs)
        ratios.append(theirs / mine)
    return (statistics.median(ours_times), statistics.median(baseline_times),
            statistics.median(ratios))


def print_table(title, rows, headers):
    widths = [max(len(str(r[i])) for r in rows + [headers]) for i in range(len(headers))]
    print(f"\n{title}")
    print("  ".join(h.ljust(w) for h, w in zip(headers, widths)))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(row, widths)))
