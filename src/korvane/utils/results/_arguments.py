"""Argument matching and checks of the results object, in the interpreter's wording."""

from korvane._common.binding import (  # noqa: F401  (the checks are used as _arguments.<name>)
    bind_arguments,
    check_float64_buffer,
    signature,
)

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


def match_constructor_arguments(args, kwargs):
    """The sixteen constructor values in order, from positions first, then keywords."""
    return bind_arguments(CONSTRUCTOR_NAME, BACKTEST_ARRAYS_NAMES, len(BACKTEST_ARRAYS_NAMES), args, kwargs)


def constructor_signature():
    """The sixteen required parameters, for introspection of the constructor."""
    return signature(BACKTEST_ARRAYS_NAMES)
