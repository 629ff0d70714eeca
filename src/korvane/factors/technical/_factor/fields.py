"""Instance fields of the pairs-trading factor.

Every field is stored in a slot named with a leading underscore, so that the
instance has no attribute dictionary and a caller assigning, say,
``factor.data_matrix`` gets ``AttributeError``. Only ``current_time`` and
``object_store_dict`` are public, as properties.
"""

from korvane.factors.technical._factor.exclusive_calls import new_call_lock

# (name, start value after allocation)
FIELDS = (
    ("INFINITE_UPDATE_INTERVAL", 0),
    ("MINIMUM_RESOLUTION", 0),
    ("NEW_SPREAD_UPDATE_INTERVAL", 0),
    ("JOHANSEN_RESAMPLING_INTERVAL", 0),
    ("MAX_ZSCORE_ROLLING_WINDOW", 0),
    ("TRIPLE_BARRIER_UPDATE_INTERVAL", 0),
    ("MINIMUM_SIZE_OF_ROLLING_WINDOW", 0),
    ("objective", None),
    ("universe_name", None),
    ("study_name", None),
    ("securities_names_list", None),
    ("market_value_pct_commissions", 0.0),
    ("bid_ask_spread_pct_slippage", 0.0),
    ("starting_equity", 0.0),
    ("pct_equity_invested", 0.0),
    ("train_split_ratio", 0.0),
    ("resolution_in_mins", 0),
    ("trades_only_on_weekdays", False),
    ("trading_hours", None),
    ("number_of_minutes_in_trading_day", 0),
    ("datetime_length", 0),
    ("column_length", 0),
    ("number_of_securities", 0),
    ("scale_equity_to_traded_securities", False),
    ("current_time", None),
    ("last_updated_positions_time", None),
    ("raw_OHCLV_dataframe", None),
    ("data_datetime_array", None),
    ("data_column_names_array", None),
    ("data_matrix", None),
    ("raw_positions_matrix_array", None),
    ("current_positions_array", None),
    ("close_columns_only_data_matrix_array", None),
    ("estimated_proportional_slippage_array", None),
    ("last_updated_positions_weight_array", None),
    ("securities_and_position_index_dict", None),
    ("factor_best_params_dict", None),
    ("pairs_of_securities_list", None),
    # Native per-pair state (struct of arrays over pairs in combinations order)
    # replaces the per-pair dictionaries of hedge ratios, verdicts, half-lives,
    # spreads, positions, countdowns and barriers.
    ("pair_engine", None),
    # Features collected at entries of the current run, indexed by the token
    # the engine keeps with each open trade.
    ("pair_entry_features_list", None),
    ("fit_rarAV", False),
    ("rarav_trades_count", 0),
    ("rarav_clean_single_trade_store_dict", None),
    ("rarav_trades_store_dict", None),
    # The latest run's train and test trade tables, or what builds them when
    # first read (``_rarav_train_trades_store_df`` and
    # ``_rarav_test_trades_store_df`` read them).
    ("rarav_trade_tables", None),
    ("rarAV_signalforge", None),
    ("rarAV_optimal_entry_model", None),
    ("rarAV_optimal_entry_ready", None),
    ("object_store_dict", None),
    # Absolute path of the study file that a parallel job was told to use
    # (None: the file named by the factor's settings in the working directory).
    ("study_file_path", None),
    # The study a copy working for a parallel fit keeps between its jobs.
    ("job_study", None),
    # Re-entrant lock held by each public call (see exclusive_calls.py).
    ("call_lock", None),
)

SLOTS = tuple("_" + name for name, _ in FIELDS)


def reset_fields(obj):
    """Give every field its start value (numbers 0, references None) and the factor its own call lock."""
    for name, value in FIELDS:
        object.__setattr__(obj, "_" + name, value)
    object.__setattr__(obj, "_call_lock", new_call_lock())
