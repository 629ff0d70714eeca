"""The strategy parameters shared by the signal tests (all but the window)."""

ENGINE_PARAMS = {
    "zscore_halflife_multiplier": 3.0,
    "starting_sd_for_position_entry": 1,
    "rolling_volatility_halflife_multiplier": 2.0,
    "take_profit_std_multiplier": 1.5,
    "take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry": 0.7,
    "take_profit_current_volatility_multiplier_sensitivity_at_adjustment": 0.9,
    "stop_loss_std_multiplier": 2.0,
    "stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry": 1.1,
    "stop_loss_current_volatility_multiplier_sensitivity_at_adjustment": 1.2,
    "time_stop_halflife_multiplier": 2.0,
    "time_stop_adjustment_sensitivity": 0.8,
}
