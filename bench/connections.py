"""Candle cleaning of a minute download: 10 symbols x one year of one-minute candles.

The fake exchange of the tests supplies the candle rows (twelve values each,
prices and volumes as decimal text, 525,600 rows per symbol; one symbol lists
40 minutes late and one misses every tenth minute). Each symbol's rows go
through the per-symbol cleaning, the tables are joined like a download joins
them, and the panel cleaning makes the universe table. Prints the cleaning
time against the target (at most 5 s), then the time of the row-by-row
`apply(pd.to_numeric, axis=1)` over the same table as text, the conversion the
column-wise parsing replaces, measured on its first rows and scaled to the
whole table, and the speed-up over it.

    python bench/connections.py
"""

import datetime
import functools
import gc
import pathlib
import sys
import time

import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "connections"))

import korvane.connections.binance.coinlink as coinlink  # noqa: E402
from fake_exchange import FakeClient, candle_rows  # noqa: E402

SYMBOLS = [f"S{k}USDT" for k in range(8)] + ["LATEUSDT", "GAPUSDT"]
START, END = datetime.datetime(2023, 1, 1), datetime.datetime(2023, 12, 31)
TARGET_SECONDS = 5.0
REFERENCE_ROWS = 5_000


def main():
    coinlink.Client = FakeClient
    link = coinlink.Coinlink("key", "secret")
    clean_single = link._Coinlink__clean_historical_data_for_single_currency
    clean_panel = link._Coinlink__clean_historical_data_for_cryptocurrency_df
    start_str, end_str = START.strftime(coinlink.DATE_FORMAT), END.strftime(coinlink.DATE_FORMAT)

    seconds = cpu_seconds = 0.0
    tables = []
    n_rows = 0
    for symbol in SYMBOLS:
        rows = candle_rows(symbol, "1m", start_str, end_str)
        n_rows += len(rows)
        gc.collect()
        began, cpu_began = time.perf_counter(), time.process_time()
        tables.append(clean_single(rows, symbol, "1m"))
        seconds += time.perf_counter() - began
        cpu_seconds += time.process_time() - cpu_began
        del rows
    began, cpu_began = time.perf_counter(), time.process_time()
    universe = clean_panel(functools.reduce(coinlink._merge_on_datetime, tables), "1m")
    seconds += time.perf_counter() - began
    cpu_seconds += time.process_time() - cpu_began
    print(
        f"cleaned {len(SYMBOLS)} symbols, {n_rows:,} candles into {universe.shape[0]:,} rows x "
        f"{universe.shape[1]} columns in {seconds:.2f} s (target <= {TARGET_SECONDS:.0f} s: "
        f"{seconds / TARGET_SECONDS:.2f} of it; {cpu_seconds:.2f} s of processor time)"
    )

    # The row-by-row conversion of the same table held as text.
    text = universe.iloc[:REFERENCE_ROWS].map(lambda value: f"{value:.8f}")
    began = time.perf_counter()
    text.apply(pd.to_numeric, axis=1)
    reference = (time.perf_counter() - began) * len(universe) / REFERENCE_ROWS
    print(
        f"row-by-row to_numeric over the text table: {reference:.1f} s (scaled from {REFERENCE_ROWS:,} rows); "
        f"speed-up {reference / seconds:.1f}x"
    )


if __name__ == "__main__":
    main()
