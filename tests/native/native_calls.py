"""Valid calls into the native modules, any argument replaceable: the tests here vary one at a time."""

import numpy as np

from korvane import _kernels
from korvane.factors.technical import _pairtrader
from factor.signals.signal_setup import ENGINE_PARAMS

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
CRITICAL = (10.0, 13.0)


def closes(rows=40, securities=3, seed=0):
    walk = np.random.default_rng(seed).normal(0.0, 0.01, (rows, securities)).cumsum(axis=0)
    return 50.0 * np.exp(walk)


def legs(securities):
    pairs = [(a, b) for a in range(securities) for b in range(a + 1, securities)]
    first, second = zip(*pairs) if pairs else ((), ())
    return np.array(first, dtype=np.int64), np.array(second, dtype=np.int64)


def run_arguments(data=None, securities=3):
    """PairEngine.run's arguments over ``data`` (bars x securities closes) as a dict."""
    data = closes(securities=securities) if data is None else data
    rows, columns = data.shape
    return dict(
        data=data,
        close_columns=np.arange(columns, dtype=np.int64),
        position_index=np.arange(columns, dtype=np.int64),
        times=np.arange(rows, dtype=np.int64),
        window=10,
        intervals=_kernels.Intervals(max_zscore_window=rows // 2, min_zscore_window=5),
        params=_kernels.engine_params(ENGINE_PARAMS),
        critical=CRITICAL,
        positions=np.zeros((rows, columns)),
        hook=None,
    )


def run_engine(first=None, second=None, **changes):
    """Runs a fresh engine over every pair (or the legs given) with the changes made."""
    arguments = run_arguments()
    arguments.update(changes)
    securities = len(arguments["close_columns"])
    default_first, default_second = legs(securities)
    engine = _pairtrader.PairEngine(
        default_first if first is None else np.asarray(first, dtype=np.int64),
        default_second if second is None else np.asarray(second, dtype=np.int64),
    )
    engine.run(**arguments)
    return arguments["positions"]


def step_engine(**changes):
    arguments = run_arguments()
    window = arguments["data"][:10]
    call = dict(window=window, close_columns=arguments["close_columns"], position_index=arguments["position_index"],
                time=0, intervals=arguments["intervals"], params=arguments["params"], critical=CRITICAL,
                row=np.zeros(window.shape[1]), hook=None)
    call.update(changes)
    first, second = legs(len(call["close_columns"]))
    _pairtrader.PairEngine(first, second).step(**call)
    return call["row"]


def intervals(**changes):
    values = dict(max_zscore_window=20, min_zscore_window=5)
    values.update(changes)
    return _kernels.Intervals(**values)


def resample(times=(0, 1, 2, 3), origin=0, width=2, bars=None):
    times = np.asarray(times, dtype=np.int64)
    values = np.ones((len(times), 2))
    if bars is None:
        bars = (times[-1] - origin) // width - (times[0] - origin) // width + 1
    out = np.empty((int(bars), 2))
    return _pairtrader.resample_bars(values, times, origin, width, np.zeros(2, dtype=np.uint8), out)
