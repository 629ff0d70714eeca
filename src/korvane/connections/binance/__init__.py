"""Crypto market data from the Binance exchange."""
