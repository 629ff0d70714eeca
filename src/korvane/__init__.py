"""korvane: systematic pairs trading on equities and crypto, with a native backtest engine."""

__version__ = "0.1.0"
