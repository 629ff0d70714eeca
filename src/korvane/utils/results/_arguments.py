"""Argument matching and checks of the results object, in the interpreter's wording."""

import operator

import numpy

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

_MISSING = object()

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
    count = len(BACKTEST_ARRAYS_NAMES)
    if len(args) > count:
        raise TypeError(
            f"{CONSTRUCTOR_NAME}() takes exactly {count} positional arguments ({len(args)} given)"
        )
    values = list(args) + [_MISSING] * (count - len(args))
    for index in range(len(args), count):
        name = BACKTEST_ARRAYS_NAMES[index]
        if name in kwargs:
            values[index] = kwargs[name]
        else:
            raise TypeError(
                f"{CONSTRUCTOR_NAME}() takes exactly {count} positional arguments ({index} given)"
            )
    for name in kwargs:
        if name not in BACKTEST_ARRAYS_NAMES:
            raise TypeError(f"{CONSTRUCTOR_NAME}() got an unexpected keyword argument '{name}'")
        if BACKTEST_ARRAYS_NAMES.index(name) < len(args):
            raise TypeError(
                f"{CONSTRUCTOR_NAME}() got multiple values for keyword argument '{name}'"
            )
    return values


def as_float64_scalar(value):
    """Float conversion of a number; text and other non-numbers are refused."""
    if isinstance(value, float):
        return float(value)
    kind = type(value)
    if hasattr(kind, "__float__") or hasattr(kind, "__index__"):
        return float(value)
    raise TypeError(f"must be real number, not {kind.__name__}")


def as_signed_size(value):
    """Integer-index conversion into a signed 64-bit count (floats are refused)."""
    number = operator.index(value)
    if not -(2**63) <= number < 2**63:
        raise OverflowError("Python int too large to convert to C ssize_t")
    return number


def check_argument_type(name, value, expected_type, expected_name, allow_none=True):
    if value is None and allow_none:
        return
    if not isinstance(value, expected_type):
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected {expected_name}, "
            f"got {type(value).__name__})"
        )


def check_exact_list(name, value):
    if value is not None and type(value) is not list:
        raise TypeError(
            f"Argument '{name}' has incorrect type (expected list, got {type(value).__name__})"
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
    import inspect

    return inspect.Signature(
        [
            inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD)
            for name in BACKTEST_ARRAYS_NAMES
        ]
    )
