"""The engine's binding holds no reference it does not own.

Every engine made and dropped is freed, and so is whatever a run is handed or
hands back: reference counts of the type and of the arguments return to where
they were. (Instances still alive when the interpreter ends are named by
nanobind's exit report, which this build keeps on: see
test_exit_leak_report.py.)
"""

import gc
import sys

from korvane.factors.technical import _pairtrader
from native.native_calls import legs, run_arguments


def test_engines_and_what_a_run_is_handed_are_freed_after_use():
    arguments = run_arguments()
    first, second = legs(len(arguments["close_columns"]))
    handed = [value for value in (first, second, *arguments.values()) if not isinstance(value, (int, type(None)))]
    # Garbage that earlier tests left may refer to the type (an engine in a
    # dropped cycle): collected below, it would count as freed here.
    gc.collect()
    before = [sys.getrefcount(_pairtrader.PairEngine)] + [sys.getrefcount(value) for value in handed]
    for _ in range(20):
        engine = _pairtrader.PairEngine(first, second)
        engine.run(**arguments)
        engine.state(), engine.take_closed_trades(), engine.pairs
        engine.reset()
        del engine
    gc.collect()
    after = [sys.getrefcount(_pairtrader.PairEngine)] + [sys.getrefcount(value) for value in handed]
    assert after == before
