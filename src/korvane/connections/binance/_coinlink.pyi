"""Parsing of exchange candle rows for Coinlink (private)"""



def candle_fields(klines: object) -> tuple:
    """
    The open times (int64 ms) and the open, high, low, close and volume rows (a (5, n) float64 array)
    """
