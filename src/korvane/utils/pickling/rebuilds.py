"""Rebuild functions: each takes a class's constructor arguments and returns a new, equal object."""


def rebuild_pairs_trading_serial_cointegration_factor(*args):
    from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor

    return PairsTradingSerialCointegrationFactor(*args)
