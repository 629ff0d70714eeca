"""Native engine and accounting of the pairs-trading factor"""

from typing import Annotated

import numpy
from numpy.typing import NDArray

import korvane._kernels


def account_split(raw_positions: Annotated[NDArray[numpy.float64], dict(shape=(None, None), order='C', device='cpu', writable=False)], close: Annotated[NDArray[numpy.float64], dict(shape=(None, None), order='C', device='cpu', writable=False)], proportional_spread: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], starting_equity: float, pct_equity_invested: float, scale_equity_to_traded_securities: bool, pct_commissions: float, bid_ask_spread_pct_slippage: float, datetime_length: int) -> dict:
    """
    Accounting of one backtest split: the twelve computed arrays of the results, keyed by name.
    """

def resample_bars(values: Annotated[NDArray[numpy.float64], dict(shape=(None, None), device='cpu', writable=False)], times: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], origin: int, width: int, sum_columns: Annotated[NDArray[numpy.uint8], dict(shape=(None,), order='C', device='cpu', writable=False)], out: Annotated[NDArray[numpy.float64], dict(shape=(None, None), order='C', device='cpu')]) -> int:
    """
    Bins rows (int64 ns times, non-decreasing) into bars of `width` ns counted from `origin`, writing last values (or sums where `sum_columns` is set) into `out` (bars x columns), forward-fills it and returns the first bar at which every column has a value.
    """

class PairEngine:
    """
    Per-pair state of the backtest (struct of arrays over pairs) and its loop
    """

    def __init__(self, first: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], second: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> None: ...

    @property
    def pairs(self) -> int: ...

    def reset(self) -> None: ...

    def run(self, data: Annotated[NDArray[numpy.float64], dict(shape=(None, None), device='cpu', writable=False)], close_columns: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], position_index: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], times: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], window: int, intervals: korvane._kernels.Intervals, params: korvane._kernels.EngineParams, critical: tuple, positions: Annotated[NDArray[numpy.float64], dict(shape=(None, None), order='C', device='cpu')], hook: object | None, estimators: object | None = None) -> None: ...

    def step(self, window: Annotated[NDArray[numpy.float64], dict(shape=(None, None), device='cpu', writable=False)], close_columns: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], position_index: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], time: int, intervals: korvane._kernels.Intervals, params: korvane._kernels.EngineParams, critical: tuple, row: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu')], hook: object | None, estimators: object | None = None) -> None: ...

    def take_closed_trades(self) -> tuple: ...

    def state(self) -> dict: ...
