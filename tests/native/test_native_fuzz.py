"""Seeded fuzzing of every native entry point.

Each call starts from valid arguments of random shapes and values (NaN and
infinities among them) and then changes none, one or two of them: another
dtype, layout or rank, a size off by one or empty, an index out of
range, an integer at or beyond the 64-bit edges, a float at the edges of
its range, an object of another type. A call may succeed or raise one of
the ordinary argument errors; it must never take the interpreter down
(under ``make sanitize`` it must not touch memory it does not own either).
"""

import math
import warnings

import numpy as np
import pytest

from korvane import _kernels
from korvane.connections.binance import _coinlink
from korvane.factors.technical import _pairtrader
from korvane.rarAV import _signalforge
from korvane.utils.results import _scorebook
from factor.signals.signal_setup import ENGINE_PARAMS
from native.native_calls import CRITICAL, INT64_MAX, INT64_MIN, legs

CALLS = 300
ARGUMENT_ERRORS = (ValueError, TypeError, IndexError, OverflowError, KeyError, MemoryError)
EDGE_INTEGERS = [INT64_MIN, INT64_MIN + 1, -(2**32), -(2**31), -2, -1, 0, 1, 2, 3, 2**31, 2**32 + 1, 2**62,
                 INT64_MAX - 1, INT64_MAX, 2**64, -(2**64)]
EDGE_FLOATS = [math.nan, math.inf, -math.inf, 0.0, -0.0, 1e300, -1e300, 5e-324, 1.0, -1.0]
DTYPES = [np.float32, np.int64, np.int32, np.uint8, np.bool_, np.complex128, np.float64]
STRANGERS = [None, "text", [1.0, 2.0], 3, 2.5, {}, object()]


class Draw:
    def __init__(self, rng):
        self.rng = rng

    def chance(self, p):
        return self.rng.random() < p

    def pick(self, values):
        return values[int(self.rng.integers(len(values)))]

    def size(self, typical):
        return self.pick([0, 1, 2]) if self.chance(0.15) else int(self.rng.integers(3, typical + 1))

    def floats(self, shape, closes=False):
        """Random values (a random walk of closes), with NaN and infinities now and then."""
        x = self.rng.normal(0.0, 1.0, shape)
        if closes:
            x = 50.0 * np.exp(0.02 * x.cumsum(axis=0))
        if x.size and self.chance(0.2):
            flat = x.reshape(-1)
            spots = self.rng.integers(0, flat.size, max(1, flat.size // 20))
            flat[spots] = self.rng.choice(EDGE_FLOATS, len(spots))
        return x

    def times(self, count, span=10**6):
        return np.sort(self.rng.integers(-span, span, count)).astype(np.int64)

    # ------------------------------------------------------------ changes

    def changed_array(self, x):
        roll = self.rng.random()
        if roll < 0.2:
            return x.astype(self.pick(DTYPES))
        if roll < 0.45 and x.ndim:
            # One more or one fewer along an axis, or none at all.
            shape = list(x.shape)
            axis = int(self.rng.integers(x.ndim))
            shape[axis] = max(0, shape[axis] + self.pick([-1, 1])) if self.chance(0.7) else 0
            return np.resize(x, shape)
        if roll < 0.6 and x.size and x.dtype.kind in "iu":
            y = x.astype(np.int64)
            y.reshape(-1)[int(self.rng.integers(y.size))] = self.pick(EDGE_INTEGERS[:-2])
            return y
        if roll < 0.7 and x.ndim:
            return np.repeat(x, 2, axis=0)[::2] if self.chance(0.5) else x[::-1]
        if roll < 0.78 and x.size:
            return np.broadcast_to(x.reshape(-1)[:1], x.shape)  # every element at one address
        if roll < 0.86:
            return x.reshape(x.shape + (1,)) if self.chance(0.5) else x.T
        return self.pick(STRANGERS)

    def changed(self, value):
        if isinstance(value, np.ndarray):
            return self.changed_array(value)
        if isinstance(value, bool):
            return self.pick([not value, None, 2])
        if isinstance(value, int):
            return self.pick(EDGE_INTEGERS)
        if isinstance(value, float):
            return self.pick(EDGE_FLOATS)
        if isinstance(value, _kernels.Intervals):
            field = self.pick(["new_spread_update", "johansen_resampling", "triple_barrier_update",
                               "max_zscore_window", "min_zscore_window"])
            try:
                setattr(value, field, self.pick(EDGE_INTEGERS))
            except TypeError:  # beyond 64 bits
                pass
            return value
        if isinstance(value, dict):
            value = dict(value)
            key = self.pick(sorted(value))
            if self.chance(0.2):
                del value[key]
            else:
                value[key] = self.pick(EDGE_FLOATS + ["x", None, 2**1100])
            return value
        return self.pick(STRANGERS)

    def call(self, function, arguments):
        """The call with none, one or two arguments changed."""
        arguments = list(arguments)
        count = min(len(arguments), self.pick([0, 1, 1, 2]))
        for at in self.rng.choice(len(arguments), count, replace=False):
            arguments[at] = self.changed(arguments[at])
        return function, arguments


# -------------------------------------------------------------- entry points


def run_in_fresh_engine(first, second, *arguments):
    engine = _pairtrader.PairEngine(first, second)
    engine.run(*arguments)
    engine.state()
    engine.take_closed_trades()


def step_in_fresh_engine(first, second, *arguments):
    engine = _pairtrader.PairEngine(first, second)
    engine.step(*arguments)
    engine.step(*arguments)
    engine.take_closed_trades()


def entry_hook(d):
    return d.pick([None, None, lambda *a: (False, 1), lambda *a: (True, 0), lambda *a: (1, 2**70), lambda *a: None])


def engine_arguments(d):
    rows, securities = d.size(60), d.size(5)
    first, second = legs(securities)
    intervals = _kernels.Intervals(
        new_spread_update=int(d.rng.integers(0, 6)), johansen_resampling=int(d.rng.integers(1, 6)),
        triple_barrier_update=int(d.rng.integers(0, 6)), max_zscore_window=int(d.rng.integers(0, 60)),
        min_zscore_window=int(d.rng.integers(1, 30)))
    try:
        params = _kernels.engine_params(ENGINE_PARAMS if d.chance(0.7) else d.changed(ENGINE_PARAMS))
    except ARGUMENT_ERRORS:  # refusals of the conversion are fuzzed with the signal kernels
        params = _kernels.engine_params(ENGINE_PARAMS)
    layout = d.rng.permutation(securities).astype(np.int64)
    return rows, securities, first, second, intervals, params, layout


def engine_run(d):
    rows, securities, first, second, intervals, params, layout = engine_arguments(d)
    return d.call(run_in_fresh_engine, [
        first, second, d.floats((rows, securities + 1), closes=True), layout, layout.copy(),
        d.times(rows), int(d.rng.integers(1, rows + 2)), intervals, params, CRITICAL,
        np.zeros((rows, securities)), entry_hook(d)])


def engine_step(d):
    rows, securities, first, second, intervals, params, layout = engine_arguments(d)
    return d.call(step_in_fresh_engine, [
        first, second, d.floats((rows, securities), closes=True), layout, layout.copy(),
        int(d.rng.integers(-(10**6), 10**6)), intervals, params, CRITICAL, np.zeros(securities), entry_hook(d)])


def signal_kernel(d):
    n = d.size(60)
    spread = d.floats(n)
    rows, securities = d.size(50), d.size(4)
    kernels = {
        "johansen_test": lambda: [spread, d.floats(n), *CRITICAL],
        "hedge_ratio_from_johansen": lambda: [spread, d.floats(n), int(d.rng.integers(1, 5)), *CRITICAL],
        "mean_std": lambda: [spread],
        "halflife_slope": lambda: [spread],
        "halflife_from_slope": lambda: [float(d.rng.normal())],
        "halflife": lambda: [d.chance(0.5), spread],
        "zscore_for_pair": lambda: [spread, int(d.rng.integers(-5, 50)), float(d.rng.normal(2.0)), d.chance(0.7),
                                    int(d.rng.integers(1, 40)), int(d.rng.integers(0, 100))],
        "volatility_multiplier": lambda: [spread, int(d.rng.integers(-5, 50)), float(d.rng.normal(2.0))],
        "set_triple_barrier": lambda: [dict(ENGINE_PARAMS), int(d.rng.integers(-1, 2)), float(d.rng.normal()),
                                       abs(float(d.rng.normal())), int(d.rng.integers(0, 30)), 1.5,
                                       int(d.rng.integers(0, 5))],
        "run_engine": lambda: [d.floats((rows, securities), closes=True), int(d.rng.integers(2, max(rows, 3))),
                               dict(ENGINE_PARAMS), int(d.rng.integers(1, 4)), int(d.rng.integers(0, 30)), *CRITICAL,
                               int(d.rng.integers(1, 20)), d.chance(0.3)],
        "engine_params": lambda: [dict(ENGINE_PARAMS), None],
    }
    name = d.pick(sorted(kernels))
    return d.call(getattr(_kernels, name), kernels[name]())


def barrier_round_trip(d):
    """A barrier set, then moved and tested with the state it returned."""

    def round_trip(params, position, value, std, halflife, multiplier, countdown, interval):
        state = _kernels.set_triple_barrier(params, position, value, std, halflife, multiplier, countdown)
        state = _kernels.update_triple_barrier(state, params, position, multiplier, interval)
        return _kernels.check_triple_barrier(state, position, value)

    return d.call(round_trip, [dict(ENGINE_PARAMS), int(d.rng.integers(-1, 2)), float(d.rng.normal()), 0.5,
                               int(d.rng.integers(0, 30)), 1.5, int(d.rng.integers(0, 5)), int(d.rng.integers(0, 5))])


def records(d):
    def build(multiplier, available, time_stop, spread_update, minimum):
        _kernels.EngineParams(zscore_halflife_multiplier=multiplier, volatility_multiplier_available=available)
        _kernels.BarrierSettings(time_stop_halflife_multiplier=time_stop)
        _kernels.Intervals(new_spread_update=spread_update, min_zscore_window=minimum)

    return d.call(build, [2.0, True, 1.0, 1, 30])


def account_split(d):
    bars, n = d.size(12), d.size(4)
    return d.call(_pairtrader.account_split, [
        d.floats((bars, n)), d.floats((bars, n), closes=True), np.abs(d.floats(n)), 1e6, 0.5, d.chance(0.5),
        0.001, 0.001, int(d.rng.integers(0, bars + 1))])


def accounting_step(d):
    """The accounting rules bound one by one (in builds with test hooks)."""
    bars, n = d.size(8), d.size(4)
    matrix = lambda: d.floats((bars, n))  # noqa: E731
    steps = {
        "scale_positions_market_value": lambda: [d.floats(n), 3.0, d.floats(n, closes=True), 1e6, 0.5, True],
        "equity_after_pnl_change": lambda: [d.floats(n), d.floats(n), d.floats(n), 1e6],
        "account_positions_and_equity": lambda: [1e6, 0.5, matrix(), d.floats((bars, n), closes=True), bars, False],
        "charge_commissions_and_slippage": lambda: [matrix(), np.abs(d.floats(n)), 0.001, 0.001],
        "settle_after_costs": lambda: [matrix() for _ in range(7)] + [1e6, bars],
    }
    name = d.pick(sorted(steps))
    if not hasattr(_pairtrader, name):
        pytest.skip("the accounting rules are bound in builds with test hooks only")
    return d.call(getattr(_pairtrader, name), steps[name]())


def resample_bars(d):
    rows, columns = d.size(20), d.size(4)
    times = d.times(rows, span=10**4)
    origin = int(d.rng.integers(-(10**4), 10**4))
    width = int(d.pick([1, 7, 1000, 10**5]))
    bars = (int(times[-1]) - origin) // width - (int(times[0]) - origin) // width + 1 if rows else 0
    rules = (d.rng.random(columns) < 0.5).astype(np.uint8)
    return d.call(_pairtrader.resample_bars,
                  [d.floats((rows, columns)), times, origin, width, rules, np.empty((bars, columns))])


def bootstrap(d):
    returns = 0.02 * d.floats(d.size(30))
    function, arguments = d.call(_scorebook.bootstrap_ending_values, [returns, int(d.rng.integers(0, 40))])
    if isinstance(arguments[1], int) and 10**4 < arguments[1] <= 2**32:
        arguments[1] = 2**32 + 1  # a valid count that large is honoured, and takes minutes
    if d.chance(0.4):
        return d.call(_scorebook.bootstrap_round, [returns, int(d.rng.integers(0, 10**6))])
    return function, arguments


def sample_weights(d):
    n_index, n_samples = d.size(30), d.size(10)
    starts = d.times(n_samples)
    ends = starts + d.rng.integers(0, 10**5, n_samples)
    if d.chance(0.5):
        return d.call(_signalforge.sample_uniqueness, [d.times(n_index), starts, ends])
    return d.call(_signalforge.normalise_sample_weights, [np.abs(d.floats(n_samples)), np.abs(d.floats(n_samples))])


class Emptying:
    """A value whose conversion empties the candles it is read from."""

    def __init__(self, candles, value):
        self.candles, self.value = candles, value

    def __float__(self):
        for row in self.candles:
            if isinstance(row, list):
                row.clear()
        self.candles.clear()
        return float(self.value)

    def __index__(self):
        return int(self.__float__())


def candles(d):
    rows = []
    for i in range(d.size(6)):
        row = [int(d.rng.integers(0, 10**12))] + [repr(float(x)) for x in d.floats(5)] + ["0"] * 6
        if d.chance(0.15):
            row[d.pick([0, 1, 4])] = Emptying(rows, int(d.rng.integers(0, 10)))
        elif d.chance(0.3):
            row[int(d.rng.integers(6))] = d.pick([" 1.5", "nan", "-inf", "1e400", "x", None, 7, 2.5, 2**70, b"1"])
        rows.append(row if d.chance(0.8) else tuple(row))
    if d.chance(0.2) and rows:
        rows[int(d.rng.integers(len(rows)))] = d.pick([[], list(range(13)), None, "abcdefghijkl"])
    return _coinlink.candle_fields, [rows if d.chance(0.9) else d.pick([iter(rows), tuple(rows), None, 3])]


ENTRY_POINTS = {
    "PairEngine.run": engine_run,
    "PairEngine.step": engine_step,
    "signal kernels": signal_kernel,
    "triple barrier": barrier_round_trip,
    "parameter records": records,
    "account_split": account_split,
    "accounting steps": accounting_step,
    "resample_bars": resample_bars,
    "bootstrap": bootstrap,
    "sample weights": sample_weights,
    "candle_fields": candles,
}


@pytest.mark.parametrize("entry", sorted(ENTRY_POINTS))
def test_fuzzed_calls_succeed_or_raise_argument_errors(entry):
    d = Draw(np.random.default_rng([2100, sorted(ENTRY_POINTS).index(entry)]))
    outcomes = set()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # numpy's casts of NaN and complex values
        for _ in range(CALLS):
            function, arguments = ENTRY_POINTS[entry](d)
            try:
                function(*arguments)
                outcomes.add("ran")
            except ARGUMENT_ERRORS:
                outcomes.add("refused")
    # Both sides of the boundary are reached.
    assert outcomes == {"ran", "refused"}
