"""The real factor on a daily universe table: trades every day, scored by the annual Sharpe ratio."""

from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor


def daily_factor(universe_name, table, **overrides):
    arguments = dict(
        universe_name=universe_name,
        raw_OHCLV_dataframe=table,
        resolution_in_mins=1440,
        trading_hours=[],
        trades_only_on_weekdays=False,
        objective="annual_sharpe_ratio",
    )
    arguments.update(overrides)
    return PairsTradingSerialCointegrationFactor(**arguments)
