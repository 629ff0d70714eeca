"""Native numeric kernels of korvane (private; for tests and benchmarks)"""

import enum
from typing import Annotated

import numpy
from numpy.typing import NDArray


class BarrierSettings:
    """Take-profit, stop-loss and time-stop settings of the triple barrier"""

    def __init__(self, *, take_profit_std_multiplier: float = 0.0, take_profit_sensitivity_at_entry: float = 0.0, take_profit_sensitivity_at_adjustment: float = 0.0, stop_loss_std_multiplier: float = 0.0, stop_loss_sensitivity_at_entry: float = 0.0, stop_loss_sensitivity_at_adjustment: float = 0.0, time_stop_halflife_multiplier: float = 0.0, time_stop_adjustment_sensitivity: float = 0.0) -> None: ...

    @property
    def take_profit_std_multiplier(self) -> float: ...

    @take_profit_std_multiplier.setter
    def take_profit_std_multiplier(self, arg: float, /) -> None: ...

    @property
    def take_profit_sensitivity_at_entry(self) -> float: ...

    @take_profit_sensitivity_at_entry.setter
    def take_profit_sensitivity_at_entry(self, arg: float, /) -> None: ...

    @property
    def take_profit_sensitivity_at_adjustment(self) -> float: ...

    @take_profit_sensitivity_at_adjustment.setter
    def take_profit_sensitivity_at_adjustment(self, arg: float, /) -> None: ...

    @property
    def stop_loss_std_multiplier(self) -> float: ...

    @stop_loss_std_multiplier.setter
    def stop_loss_std_multiplier(self, arg: float, /) -> None: ...

    @property
    def stop_loss_sensitivity_at_entry(self) -> float: ...

    @stop_loss_sensitivity_at_entry.setter
    def stop_loss_sensitivity_at_entry(self, arg: float, /) -> None: ...

    @property
    def stop_loss_sensitivity_at_adjustment(self) -> float: ...

    @stop_loss_sensitivity_at_adjustment.setter
    def stop_loss_sensitivity_at_adjustment(self, arg: float, /) -> None: ...

    @property
    def time_stop_halflife_multiplier(self) -> float: ...

    @time_stop_halflife_multiplier.setter
    def time_stop_halflife_multiplier(self, arg: float, /) -> None: ...

    @property
    def time_stop_adjustment_sensitivity(self) -> float: ...

    @time_stop_adjustment_sensitivity.setter
    def time_stop_adjustment_sensitivity(self, arg: float, /) -> None: ...

class EngineParams:
    """The strategy parameters the pair engine reads per bar"""

    def __init__(self, *, zscore_halflife_multiplier: float = 0.0, starting_sd_for_position_entry: float = 0.0, rolling_volatility_halflife_multiplier: float = 0.0, volatility_multiplier_available: bool = True, barrier: BarrierSettings = ...) -> None: ...

    @property
    def zscore_halflife_multiplier(self) -> float: ...

    @zscore_halflife_multiplier.setter
    def zscore_halflife_multiplier(self, arg: float, /) -> None: ...

    @property
    def starting_sd_for_position_entry(self) -> float: ...

    @starting_sd_for_position_entry.setter
    def starting_sd_for_position_entry(self, arg: float, /) -> None: ...

    @property
    def rolling_volatility_halflife_multiplier(self) -> float: ...

    @rolling_volatility_halflife_multiplier.setter
    def rolling_volatility_halflife_multiplier(self, arg: float, /) -> None: ...

    @property
    def volatility_multiplier_available(self) -> bool: ...

    @volatility_multiplier_available.setter
    def volatility_multiplier_available(self, arg: bool, /) -> None: ...

    @property
    def barrier(self) -> BarrierSettings: ...

    @barrier.setter
    def barrier(self, arg: BarrierSettings, /) -> None: ...

class Intervals:
    """
    Bars per trading day of the three countdowns, and the z-score window bounds
    """

    def __init__(self, *, new_spread_update: int = 1, johansen_resampling: int = 1, triple_barrier_update: int = 1, max_zscore_window: int = 0, min_zscore_window: int = 30) -> None: ...

    @property
    def new_spread_update(self) -> int: ...

    @new_spread_update.setter
    def new_spread_update(self, arg: int, /) -> None: ...

    @property
    def johansen_resampling(self) -> int: ...

    @johansen_resampling.setter
    def johansen_resampling(self, arg: int, /) -> None: ...

    @property
    def triple_barrier_update(self) -> int: ...

    @triple_barrier_update.setter
    def triple_barrier_update(self, arg: int, /) -> None: ...

    @property
    def max_zscore_window(self) -> int: ...

    @max_zscore_window.setter
    def max_zscore_window(self, arg: int, /) -> None: ...

    @property
    def min_zscore_window(self) -> int: ...

    @min_zscore_window.setter
    def min_zscore_window(self, arg: int, /) -> None: ...

ENGINE_PARAMETER_KEYS: tuple = ...

def engine_params(params: object, missing_volatility_context: object | None = None) -> EngineParams:
    """
    The engine parameters read from a parameter dict by their keyword names (see ENGINE_PARAMETER_KEYS).
    """

def write_unraisable(exception: object, context: object) -> None:
    """Reports `exception` through sys.unraisablehook, naming `context`."""

def johansen_test(y1: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], y2: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], max_eigen_90: float, trace_90: float) -> dict:
    """
    Two-series Johansen test (linear trend, no lagged differences) on n rows.
    """

def hedge_ratio_from_johansen(log_close_1: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], log_close_2: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], bars_per_day: int, max_eigen_90: float, trace_90: float) -> tuple:
    """
    (h1, h2, is_cointegrated) from two log-close windows sampled once per day.
    """

def mean_std(values: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> tuple: ...

def halflife_slope(spread: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> float: ...

def halflife_from_slope(slope: float) -> int: ...

def halflife(is_cointegrated: bool, spread: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> int: ...

def zscore_for_pair(spread: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], halflife: int, multiplier: float, is_cointegrated: bool, minimum: int, maximum: int) -> tuple: ...

def volatility_multiplier(spread: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], halflife: int, multiplier: float) -> float: ...

def set_triple_barrier(params: dict, position: int, value: float, std: float, halflife: int, volatility_multiplier: float, adjustment_countdown: int = 0) -> dict: ...

def update_triple_barrier(state: dict, params: dict, position: int, volatility_multiplier: float, interval: int) -> dict: ...

def check_triple_barrier(state: dict, position: int, value: float) -> tuple: ...

def run_engine(closes: Annotated[NDArray[numpy.float64], dict(shape=(None, None), order='C', device='cpu', writable=False)], window: int, params: dict, bars_per_day: int, max_zscore_window: int, max_eigen_90: float, trace_90: float, min_zscore_window: int = 30, trace: bool = False) -> dict:
    """
    Whole engine run on a bars x securities close matrix; trade times are bar indices.
    """

class PickleScanOutcome(enum.IntEnum):
    """What the scan of a pickle stream found."""

    LOADS = 0
    """the scanned stream loads the file (or ends at a refusal call)"""

    REFUSED = 1
    """a stream no pipeline is written as"""

    MALFORMED = 2
    """not a pickle stream the unpickler would read"""

class PickleCall(enum.IntEnum):
    """
    The tag of a call the scan wrote: persistent_load receives (first, second, tag).
    """

    REDUCE = 0
    """(callable, arguments)"""

    BUILD = 1
    """(object, state): returns the object"""

    NEW_OBJECT = 2
    """(class, arguments)"""

    FILLED_INSIDE = 3
    """(container, None): filled after it was put inside another"""

    NOT_A_LIST = 4
    """(target, None): items appended to what is not a list"""

    NOT_A_DICT = 5
    """(target, None): items set on what is not a dictionary"""

    KEY_NOT_TEXT = 6
    """(key, None): a dictionary key that is not a text"""

PICKLE_OVER_ALLOWANCE: str = 'it builds far more than a pipeline of its size'

def scan_pickle(data: bytes, built_per_byte: int, built_floor: int, max_nesting: int, max_digits: int) -> tuple:
    """
    (outcome, message, stream, left, read) of a saved pipeline's pickle stream: a PickleScanOutcome, the refusal's `message`, the `stream` to load, what is `left` of the allowance of the `read` bytes once the scanned opcodes are charged (the allowance is `built_floor` plus `built_per_byte` a byte read).
    """

def call_holding(lock: object, function: object, args: tuple, kwargs: dict) -> object:
    """
    Returns `function(*args, **kwargs)` called with `lock` held: taken before, released after, however the call ends, with no Python code between the call's end and the release.
    """

def process_umask() -> int:
    """The process's file-creation mask, left as it was."""
