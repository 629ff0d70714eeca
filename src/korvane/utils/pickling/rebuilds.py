"""Rebuild functions: each takes a class's constructor arguments and returns a new, equal object."""


def rebuild_pairs_trading_serial_cointegration_factor(*args):
    from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor

    return PairsTradingSerialCointegrationFactor(*args)


def rebuild_factor_copy_for_fit(token, payload, payload_path=None):
    """The factor copy that the single-trial jobs of one parallel fit run on.

    ``payload`` is the pickled (rebuild function, constructor values) of the
    copy, or None when they wait in the file at ``payload_path``; they are
    unpickled and the copy built at most once per fit ``token`` and process,
    and later jobs of the same fit get the same copy.
    """
    from korvane.factors.technical._factor.parallel_fit import factor_copy_for_fit, running_in_worker_process

    return factor_copy_for_fit(token, payload, payload_path, in_worker=running_in_worker_process())


def rebuild_coinlink(binance_api_key, binance_api_secret):
    from korvane.connections.binance.coinlink import Coinlink

    return Coinlink(binance_api_key, binance_api_secret)


def rebuild_optimal_entry_classifier(*args):
    from korvane.rarAV.tradegate import OptimalEntryClassifier

    return OptimalEntryClassifier(*args)
