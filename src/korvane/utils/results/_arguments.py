"""Argument matching and checks of the results object, in the interpreter's wording."""

import numpy

from korvane._binding import bind_arguments, signature

CONSTRUCTOR_NAME = "__cinit__"

BACKTEST_ARRAYS_NAMES = (
    "starting_equity",
    "securities_names_list",
    "datetime_length",
    "datetime_array",
    "positions_matrix_array",
    "positions_market_value_matrix_array",
    "change_in_positions_matrix_array",
    "change_in_positions_market_value_matrix_array",
    "securities_pnl_matrix_array",
    "commissions_matrix_array",
    "slippage_matrix_array",
    "securities_pnl_after_transaction_costs_matrix_array",
    "total_pnl_after_transaction_costs_array",
    "equity_value_array",
    "returns_after_transaction_costs_array",
    "cumprod_returns_after_transaction_costs_array",
)

# Arguments 5 to 12 are bars-by-securities matrices, 13 to 16 per-bar vectors.
FLOAT_ARRAY_DIMENSIONS = {name: 2 for name in BACKTEST_ARRAYS_NAMES[4:12]}
FLOAT_ARRAY_DIMENSIONS.update({name: 1 for name in BACKTEST_ARRAYS_NAMES[12:]})

# C names of numpy's element types, as buffer-format errors spell them.
_C_TYPE_NAMES = {
    "?": "bool",
    "b": "signed char",
    "B": "unsigned char",
    "h": "short",
    "H": "unsigned short",
    "i": "int",
    "I": "unsigned int",
    "l": "long",
    "L": "unsigned long",
    "q": "long long",
    "Q": "unsigned long long",
    "e": "half",
    "f": "float",
    "d": "double",
    "g": "long double",
    "F": "complex float",
    "D": "complex double",
    "G": "complex long double",
    "O": "Python object",
}


def match_constructor_arguments(args, kwargs):
    """The sixteen constructor values in order, from positions first, then keywords."""
    return bind_arguments(CONSTRUCTOR_NAME, BACKTEST_ARRAYS_NAMES, len(BACKTEST_ARRAYS_NAMES), args, kwargs)


def check_argument_type(name, value, expected_type, expected_name, allow_none=True):
    if value is None and allow_none:
        return
    if not isinstance(value, expected_type):
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected {expected_name}, "
            f"got {type(value).__name__})"
        )


def check_float64_buffer(value, ndim):
    """Refuse an array whose element type is not float64 or whose rank differs."""
    if value is None:
        return
    array = value if isinstance(value, numpy.ndarray) else numpy.asarray(value)
    if array.ndim != ndim:
        raise ValueError(
            f"Buffer has wrong number of dimensions (expected {ndim}, got {array.ndim})"
        )
    if array.dtype != numpy.float64 or not array.dtype.isnative:
        got = _C_TYPE_NAMES.get(array.dtype.char, str(array.dtype))
        raise ValueError(f"Buffer dtype mismatch, expected 'float64_t' but got '{got}'")


def constructor_signature():
    """The sixteen required parameters, for introspection of the constructor."""
    return signature(BACKTEST_ARRAYS_NAMES)
