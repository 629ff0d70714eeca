"""A stand-in for the exchange client: deterministic candles, chosen failures.

Symbols pick their behaviour: FAIL... raises like an unknown symbol, EMPTY...
has no candles, LATE... lists 40 bins after the start, GAP... misses every
tenth bin. Every other symbol trades in every bin of the requested days.
"""

import datetime

import numpy as np

DATE_FORMAT = "%d %b, %Y"
BIN_MS = {"1d": 86_400_000, "1m": 60_000}


class UnknownSymbol(Exception):
    pass


def candle_rows(symbol, interval, start_str, end_str):
    """Candle rows of twelve values as the exchange sends them: times in ms, decimals as text."""
    start = datetime.datetime.strptime(start_str, DATE_FORMAT).replace(tzinfo=datetime.timezone.utc)
    end = datetime.datetime.strptime(end_str, DATE_FORMAT).replace(tzinfo=datetime.timezone.utc)
    step = BIN_MS[interval]
    first = int(start.timestamp() * 1000) + (40 * step if symbol.startswith("LATE") else 0)
    times = np.arange(first, int(end.timestamp() * 1000) + 1, step, dtype=np.int64)
    if symbol.startswith("GAP"):
        times = times[np.arange(len(times)) % 10 != 3]
    bins = (times // step).astype(float)
    seed = sum(map(ord, symbol))
    close = 50.0 + seed % 17 + 0.5 * np.sin(bins / 5.0 + seed) + 0.001 * (bins % 97)
    fields = [close * 0.999, close * 1.002, close * 0.997, close, 10.0 + bins % 13]
    text = [np.char.mod("%.8f", values).tolist() for values in fields]
    zero = ["0"] * len(times)
    return [
        [t, o, h, low, c, v, t + step - 1, v, 7, v, v, z]
        for t, o, h, low, c, v, z in zip(times.tolist(), *text, zero)
    ]


class FakeClient:
    """Takes the keyword arguments of the real client's constructor; never touches the network."""

    def __init__(self, api_key=None, api_secret=None):
        self.api_key = api_key
        self.api_secret = api_secret

    def get_historical_klines(self, symbol, interval, start_str=None, end_str=None):
        if symbol.startswith("FAIL"):
            raise UnknownSymbol("APIError(code=-1121): Invalid symbol.")
        if symbol.startswith("EMPTY"):
            return []
        return candle_rows(symbol, interval, start_str, end_str)


def install_fake_client():
    """Make this process's exchange client the fake: the initializer of a pool's workers.

    A worker forked from the test process has the fake already; one started
    as a fresh interpreter (spawn or forkserver) would import the real client.
    """
    import korvane.connections.binance.coinlink as coinlink

    coinlink.Client = FakeClient
