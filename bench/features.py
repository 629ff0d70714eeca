"""Feature rows and sample weights against their plain references.

Feature rows: microseconds per PairFeatureRow for a 10-security, 120-row
window and a 50-security, 1,000-row window (targets 1 ms and 5 ms), against
the same rows with every indicator called through ``talib.abstract`` (the
module's attributes replaced by wrappers, which is what sends the battery
down the abstract path).

Sample weights: ``SampleWeights.fit_transform`` on 100,000 bars and 2,000
trades (target 5 ms) against a plain numpy implementation of the same rule,
timed in the same run; the last line prints the speedup.
"""

import os
import sys
import time

import numpy as np
from threadpoolctl import threadpool_limits

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests")
sys.path[:0] = [TESTS, os.path.join(TESTS, "features")]

from korvane.rarAV import signalforge  # noqa: E402
from korvane.rarAV.signalforge import SampleWeights, Signalforge  # noqa: E402
from reference import sample_weights_reference  # noqa: E402
from window_factory import make_window  # noqa: E402


def best_seconds(call, repeats, rounds=5, clock=time.perf_counter):
    """Best of `rounds` mean times over `repeats` calls: the least disturbed by other load."""
    best = float("inf")
    for _ in range(rounds):
        start = clock()
        for _ in range(repeats):
            call()
        best = min(best, (clock() - start) / repeats)
    return best


def feature_rows(securities, rows, repeats):
    names, window = make_window([f"S{k:02d}" for k in range(securities)], rows, seed=securities)
    forge = Signalforge()

    def one_row():
        return forge.generate_features_for_pair_spreads(("S00", "S01"), (1.0, -0.9), names, window)

    native = best_seconds(one_row, repeats)
    # Processor time of this process: on a shared machine, wall time also
    # counts the waits for a core.
    native_cpu = best_seconds(one_row, repeats, clock=time.process_time)
    with threadpool_limits(1):
        one_blas_thread = best_seconds(one_row, repeats)
    abstract_functions = {name: getattr(signalforge, name) for name, _ in signalforge._FEATURE_TABLE}
    try:
        for name, function in abstract_functions.items():
            setattr(signalforge, name, lambda inputs, _f=function, **keywords: _f(inputs, **keywords))
        through_abstract = best_seconds(one_row, repeats)
    finally:
        for name, function in abstract_functions.items():
            setattr(signalforge, name, function)
    return native, native_cpu, one_blas_thread, through_abstract


def sample_weights_case(bars=100_000, samples=2_000, seed=0):
    rng = np.random.default_rng(seed)
    index = np.datetime64("2020-01-01", "ns") + np.arange(bars) * np.timedelta64(1, "h")
    entry = np.sort(rng.integers(0, bars - 1, samples))
    exit_ = np.minimum(entry + rng.integers(1, 200, samples), bars - 1)
    impacts = np.abs(rng.normal(size=samples))
    return index, index[entry], index[exit_], impacts / impacts.sum()


def main():
    # Wide baskets over long windows are near-singular: huge weights overflow
    # the basket's exponentials, which the factor meets the same way.
    np.seterr(all="ignore")
    for securities, rows, target_us, repeats in ((10, 120, 1000, 100), (50, 1000, 5000, 10)):
        native, native_cpu, one_blas_thread, through_abstract = feature_rows(securities, rows, repeats)
        print(
            f"PairFeatureRow, {securities} securities x {rows} rows: {native * 1e6:.0f} us wall, "
            f"{native_cpu * 1e6:.0f} us CPU, {one_blas_thread * 1e6:.0f} us wall with one BLAS thread "
            f"(target <= {target_us})"
        )
        print(
            f"  all through talib.abstract: {through_abstract * 1e6:.0f} us; "
            f"speedup vs talib.abstract: {through_abstract / native:.1f}x"
        )

    args = sample_weights_case()
    weights = SampleWeights()
    native = best_seconds(lambda: weights.fit_transform(*args), 20)
    reference = best_seconds(lambda: sample_weights_reference.weights(*args), 1, rounds=3)
    np.testing.assert_allclose(weights.fit_transform(*args), sample_weights_reference.weights(*args), rtol=1e-12)
    print(f"SampleWeights.fit_transform, 100,000 bars x 2,000 trades: {native * 1e3:.3f} ms (target <= 5)")
    print(f"plain numpy implementation: {reference * 1e3:.1f} ms")
    print(f"sample weights speedup vs numpy: {reference / native:.1f}x")


if __name__ == "__main__":
    main()
