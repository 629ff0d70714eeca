"""Crypto universe tables from the Binance exchange.

`Coinlink` lists the largest coins of a coin-ranking page as exchange symbols,
and downloads daily or minute candles of a list of symbols, one job per symbol
in joblib worker processes, into one universe table: five numeric columns per
symbol on a UTC index named "datetime".

Module globals (``requests``, ``bs``, ``pd``, ``reduce``, ``Client``,
``Parallel``, ``delayed``, ``Manager``) are looked up at call time, so
replacing one on this module changes later calls in this process. Worker
processes import this module afresh.
"""

import numpy as np

from korvane._common.binding import as_int64, bind_arguments, bind_with_defaults, method_signature, signature
from korvane.connections.binance._coinlink import candle_fields
from korvane.connections._shared import BROWSER_HEADERS, PAGE_TIMEOUT_SECONDS, banner

COIN_RANKING_URL = "https://www.coingecko.com/"
STABLE_COINS = ("USDT", "USDC", "BUSD", "DAI", "UST", "TUSD")
QUOTE_CURRENCY = "USDT"
_SYMBOL_ATTRIBUTE = "data-coin-symbol"

# The exchange client's date strings: only the calendar day reaches the exchange.
DATE_FORMAT = "%d %b, %Y"
PANDAS_INTERVALS = {"1d": "1D", "1m": "1min"}

# The twelve values of an exchange candle row, in the exchange's order; the first six are used.
KLINE_COLUMNS = (
    "datetime",
    "open",
    "high",
    "low",
    "close",
    "volume",
    "close_time",
    "quote_av",
    "trades",
    "tb_base_av",
    "tb_quote_av",
    "ignore",
)
FIELDS = ("open", "high", "low", "close", "volume")
PRICE_FIELDS = ("open", "high", "low", "close")

_CONSTRUCTOR_ARGUMENT_NAMES = ("binance_api_key", "binance_api_secret")
_NO_SYMBOL = object()


class Coinlink:
    """Establishes a connection to the Binance exchange for crypto market data

    Constructed with the account's API key and secret, from which it makes its
    exchange client. Pickling carries the key and the secret in clear, since
    each worker process of a download rebuilds its own copy and client from
    them: keep pickles of a Coinlink where you would keep the keys themselves.
    """

    __slots__ = ("__binance_api_key", "__binance_api_secret", "__binance_client")

    def __new__(cls, *args, **kwargs):
        binance_api_key, binance_api_secret = bind_arguments(
            "__cinit__", _CONSTRUCTOR_ARGUMENT_NAMES, 2, args, kwargs
        )
        self = super().__new__(cls)
        # A replaced client initialiser may leave the client unset: it reads None.
        self.__binance_client = None
        # Stored as given: the exchange client is the judge of the credentials.
        self.__binance_api_key = binance_api_key
        self.__binance_api_secret = binance_api_secret
        self.initialize_binance_client()
        return self

    def initialize_binance_client(self):
        """Make a new exchange client from the stored key and secret."""
        self.__binance_client = Client(api_key=self.__binance_api_key, api_secret=self.__binance_api_secret)

    @property
    def binance_client(self):
        """The exchange client through which this process fetches candles."""
        return self.__binance_client

    @binance_client.setter
    def binance_client(self, client):
        self.__binance_client = client

    @binance_client.deleter
    def binance_client(self):
        self.__binance_client = None

    def __reduce__(self):
        # Only the key and the secret travel; the copy makes its own client.
        from korvane.utils.pickling.rebuilds import rebuild_coinlink

        return rebuild_coinlink, (self.__binance_api_key, self.__binance_api_secret)

    # ------------------------------------------------------------------ coin ranking

    def scrape_top_x_coins_from_coingecko(self, *args, **kwargs):
        """The exchange symbols (coin code + "USDT") of the largest coins by market value

        Stable coins are left out before the list is cut to `x_limit` symbols
        (interpreter slice semantics: a negative limit drops from the end).
        """
        (x_limit,) = bind_with_defaults("scrape_top_x_coins_from_coingecko", SCRAPE_ARGUMENTS, args, kwargs)
        x_limit = as_int64(x_limit)

        resp = requests.get(COIN_RANKING_URL, headers=BROWSER_HEADERS, timeout=PAGE_TIMEOUT_SECONDS)
        soup = bs.BeautifulSoup(resp.text, "lxml")
        table_bodies = soup.find_all("tbody")
        if not table_bodies:
            raise IndexError("the coin-ranking page holds no coin table (no tbody element)")

        tickers = []
        for position, row in enumerate(table_bodies[0].find_all("tr")):
            code = _coin_code(row, position)
            # A row without a code would otherwise yield the quote currency itself.
            if not code or code in STABLE_COINS:
                continue
            tickers.append(code + QUOTE_CURRENCY)
        return tickers[:x_limit]

    # ------------------------------------------------------------------ candle downloads

    def get_daily_historical_data_for_cryptocurrencies(self, *args, **kwargs):
        """Daily candles of `cryptocurrencies` from `start` to `end` as one universe table

        One job per symbol runs in up to `n_jobs` worker processes (joblib's
        convention). A symbol whose download fails is logged at WARNING and
        left out; when none delivers data, a TypeError is raised.
        """
        arguments = bind_with_defaults(
            "get_daily_historical_data_for_cryptocurrencies", DAILY_DOWNLOAD_ARGUMENTS, args, kwargs
        )
        return self.__boiler_plate_for_get_historical_data_for_cryptocurrency("1d", *arguments)

    def get_minute_historical_data_for_cryptocurrencies(self, *args, **kwargs):
        """Minute candles of `cryptocurrencies` from `start` to `end` as one universe table

        Runs like the daily download.
        """
        arguments = bind_with_defaults(
            "get_minute_historical_data_for_cryptocurrencies", MINUTE_DOWNLOAD_ARGUMENTS, args, kwargs
        )
        return self.__boiler_plate_for_get_historical_data_for_cryptocurrency("1m", *arguments)

    def __boiler_plate_for_get_historical_data_for_cryptocurrency(
        self, binance_interval, cryptocurrencies, start, end, n_jobs
    ):
        start_str = start.strftime(DATE_FORMAT)
        end_str = end.strftime(DATE_FORMAT)
        # The jobs look their symbol up by position, so any collection of symbols
        # is taken in its iteration order.
        cryptocurrencies = list(cryptocurrencies)

        with Manager() as multiprocessing_manager:
            # Jobs hand their tables back through this dictionary; its keys keep
            # the request order whatever order the jobs finish in.
            multiprocessing_cryptocurrencies_dict = multiprocessing_manager.dict(
                {cryptocurrency: pd.DataFrame({}) for cryptocurrency in cryptocurrencies}
            )
            job = getattr(self, "__single_job__get_historical_data_for_single_currency")
            delayed_get_historical_data = [
                delayed(job)(
                    multiprocessing_cryptocurrencies_dict, cryptocurrencies, index, binance_interval, start_str, end_str
                )
                for index in range(len(cryptocurrencies))
            ]
            logger.info(banner("BEGINNING BINANCE DOWNLOAD"))
            parallel_pool = Parallel(n_jobs=n_jobs)
            parallel_pool(delayed_get_historical_data)
            logger.info(banner("COMPLETED BINANCE DOWNLOAD"))
            downloaded = multiprocessing_cryptocurrencies_dict.copy()

        clean_multiprocessing_cryptocurrencies_dict = {
            crypto: crypto_df for crypto, crypto_df in downloaded.items() if not crypto_df.empty
        }
        raw_cryptocurrency_df = reduce(_merge_on_datetime, clean_multiprocessing_cryptocurrencies_dict.values())
        return self.__clean_historical_data_for_cryptocurrency_df(raw_cryptocurrency_df, binance_interval)

    def _single_job(self, cryptocurrencies_dict, cryptocurrencies, index, binance_interval, start_str, end_str):
        symbol = _NO_SYMBOL
        try:
            symbol = cryptocurrencies[index]
            cryptocurrencies_dict[symbol] = self.__get_historical_data_for_single_currency(
                symbol, binance_interval, start_str, end_str
            )
        except Exception:
            # One symbol's failure (unknown to the exchange, network, bad candles)
            # leaves its entry empty; the other symbols go on.
            name = symbol if symbol is not _NO_SYMBOL else f"position {format(index, '')}"
            logger.warning(banner("DOWNLOAD FAILED FOR " + format(name, "")))
        return None

    def __get_historical_data_for_single_currency(self, symbol, binance_interval, start_str, end_str):
        single_cryptocurrency_klines = self.__binance_client.get_historical_klines(
            symbol=symbol, interval=binance_interval, start_str=start_str, end_str=end_str
        )
        return self.__clean_historical_data_for_single_currency(
            single_cryptocurrency_klines, symbol, binance_interval, _requested_window(start_str, end_str)
        )

    # ------------------------------------------------------------------ cleaning

    def __clean_historical_data_for_single_currency(
        self, single_cryptocurrency_klines, symbol, binance_interval, window=None
    ):
        pandas_interval = _pandas_interval(binance_interval)
        single_cryptocurrency_df = _candles_table(single_cryptocurrency_klines, symbol, window)

        binned_already = _one_row_per_bin(single_cryptocurrency_df.index, pandas_interval)
        prices = _binned(single_cryptocurrency_df[list(PRICE_FIELDS)], pandas_interval, False, binned_already)
        volumes = _binned(single_cryptocurrency_df[["volume"]], pandas_interval, True, binned_already)
        prices, volumes = prices.ffill().dropna(), volumes.ffill().dropna()
        table = prices.merge(volumes, how="outer", left_index=True, right_index=True)
        table = table.ffill().dropna(axis=1, thresh=len(table) * 66 // 100).dropna()
        table = table[list(FIELDS)]
        symbol_text = format(symbol, "")
        table.columns = [f"{symbol_text}_{field}" for field in FIELDS]
        return table

    def __clean_historical_data_for_cryptocurrency_df(self, raw_cryptocurrency_df, binance_interval):
        pandas_interval = _pandas_interval(binance_interval)
        binned_already = _one_row_per_bin(raw_cryptocurrency_df.index, pandas_interval)
        # Column by column: all columns of the joined table fall into the same
        # bins, and one column at a time keeps the work in contiguous memory.
        binned_columns = {}
        for column in raw_cryptocurrency_df.columns:
            values = pd.to_numeric(raw_cryptocurrency_df[column])
            binned = _binned(values, pandas_interval, _field_of(column) == "volume", binned_already)
            binned_columns[column] = binned.ffill()
        table = pd.DataFrame(binned_columns, columns=raw_cryptocurrency_df.columns, copy=False)
        # Every downloaded symbol is kept: the table starts at the first bin in
        # which all symbols have a price, so a coin listed late shortens it
        # instead of being dropped.
        return table.dropna().rename_axis("datetime").tz_localize("UTC")


# Worker processes call the job by this name on their own copy of the object.
_JOB_NAME = "__single_job__get_historical_data_for_single_currency"
Coinlink._single_job.__name__ = _JOB_NAME
Coinlink._single_job.__qualname__ = f"Coinlink.{_JOB_NAME}"
setattr(Coinlink, _JOB_NAME, Coinlink._single_job)
del Coinlink._single_job


def _coin_code(row, position):
    """The upper-cased coin code of one ranking row, possibly empty.

    The fifth cell's first span carries the code in its data-coin-symbol
    attribute, on the span itself or on an element nested in it (the first in
    document order). The value is cut at its first blank after trimming, and
    double quotes are removed.
    """
    cells = row.find_all("td")
    span = cells[4].find("span") if len(cells) > 4 else None
    holder = None
    if span is not None:
        holder = span if span.has_attr(_SYMBOL_ATTRIBUTE) else span.find(attrs={_SYMBOL_ATTRIBUTE: True})
    if holder is None:
        raise IndexError(
            f"row {position} of the coin-ranking table has no {_SYMBOL_ATTRIBUTE} attribute "
            "on the first span of its fifth cell or inside it"
        )
    return holder[_SYMBOL_ATTRIBUTE].strip().split(" ")[0].replace('"', "").upper()


def _merge_on_datetime(left, right):
    return pd.merge(left, right, on=["datetime"], how="outer")


def _pandas_interval(binance_interval):
    pandas_interval = PANDAS_INTERVALS.get(binance_interval) if isinstance(binance_interval, str) else None
    if pandas_interval is None:
        raise UnboundLocalError(
            f"no bin length for the exchange interval {binance_interval!r}: expected '1d' or '1m'"
        )
    return pandas_interval


def _binned(values, pandas_interval, is_volume, binned_already):
    """Per bin, the last price or the summed volume (zero in a bin without candles).

    Candles arrive one per bin, and the symbols' joined tables are binned
    already, so the index is usually the unbroken run of bin starts; binning
    it again would change nothing, and is skipped.
    """
    if binned_already:
        return values.fillna(0.0) if is_volume else values
    resampler = values.resample(pandas_interval)
    return resampler.sum() if is_volume else resampler.last()


def _one_row_per_bin(index, pandas_interval):
    """Whether `index` is exactly the run of bin starts from its first bin to its last."""
    if len(index) == 0:
        return False
    bins = pd.date_range(index[0].floor(pandas_interval), index[-1].floor(pandas_interval), freq=pandas_interval)
    return index.equals(bins)


def _field_of(column):
    return format(column, "").rsplit("_", 1)[-1]


def _day_in_ms(text):
    """Midnight UTC of the calendar day that `text` names, in ms since the epoch; None when it names none.

    A year below 1000 is written without leading zeros, which the date
    format does not read back, so the year is padded first. The count is
    kept in integers, so the first and the last day of the calendar fit too.
    """
    if not isinstance(text, str):
        return None
    head, _, year = text.rpartition(" ")
    try:
        day = datetime.datetime.strptime(f"{head} {year.zfill(4)}", DATE_FORMAT)
    except ValueError:
        return None
    return (day.toordinal() - _EPOCH_ORDINAL) * _MS_PER_DAY


def _requested_window(start_str, end_str):
    """The open times, in ms, that a reply to a request from `start_str` to `end_str` can hold.

    The exchange reads the dates as midnight UTC and sends the candles that
    open from the first to the second; a day of grace on each side keeps a
    reply read in another zone whole. A side whose text names no day this
    calendar holds is left open (None), as the exchange client took it.
    """
    start, end = _day_in_ms(start_str), _day_in_ms(end_str)
    return (
        None if start is None else start - _MS_PER_DAY,
        None if end is None else end + _MS_PER_DAY,
    )


def _candles_table(klines, symbol=None, window=None):
    """The open times as a naive "datetime" index and the five fields as float64 columns.

    The exchange sends prices and volumes as decimal text; the native parser
    reads them column by column, which keeps a year of minute candles cheap.
    Candles that open outside `window` are left out before anything is sized
    by their times: a reply whose candles lie centuries apart would otherwise
    bin into billions of minutes. A candle sent again for the same open time
    (overlapping pages, a revised last candle) replaces the earlier one, whose
    volume would otherwise be counted twice.
    """
    open_times, fields = candle_fields(klines)
    if window is not None:
        inside = np.ones(len(open_times), dtype=bool)
        if window[0] is not None:
            inside &= open_times >= window[0]
        if window[1] is not None:
            inside &= open_times <= window[1]
        if not inside.all():
            logger.warning(
                f"{format(symbol, '')}: {int((~inside).sum())} of {len(inside)} candles open outside the "
                "requested dates and are left out"
            )
            open_times, fields = open_times[inside], fields[:, inside]
    if len(open_times) > 1 and not (open_times[1:] > open_times[:-1]).all():
        repeated = pd.Index(open_times).duplicated(keep="last")
        if repeated.any():
            logger.warning(
                f"{format(symbol, '')}: {int(repeated.sum())} of {len(repeated)} candles repeat an open time "
                "and are replaced by the last one received"
            )
            open_times, fields = open_times[~repeated], fields[:, ~repeated]
    index = pd.DatetimeIndex(pd.to_datetime(open_times, unit="ms"), name="datetime")
    return pd.DataFrame(dict(zip(FIELDS, fields)), index=index, copy=False)


import logging  # noqa: E402

from korvane._common.startup import configure_shared_logger  # noqa: E402

logger = configure_shared_logger()

import requests  # noqa: E402
import bs4 as bs  # noqa: E402
import datetime  # noqa: E402
import pandas as pd  # noqa: E402
from functools import reduce  # noqa: E402

_MS_PER_DAY = 86_400_000
_EPOCH_ORDINAL = datetime.date(1970, 1, 1).toordinal()

from binance.client import Client  # noqa: E402
from joblib import Parallel, delayed  # noqa: E402
from multiprocessing import Manager  # noqa: E402

# Defaults are made once, at import: a call without `end` asks for data up to
# the moment this module was imported.
SCRAPE_ARGUMENTS = (("x_limit", 30),)
DAILY_DOWNLOAD_ARGUMENTS = (
    ("cryptocurrencies", []),
    ("start", datetime.datetime(1995, 5, 22)),
    ("end", datetime.datetime.now()),
    ("n_jobs", -1),
)
MINUTE_DOWNLOAD_ARGUMENTS = (
    ("cryptocurrencies", []),
    ("start", datetime.datetime(1995, 5, 22)),
    ("end", datetime.datetime.now()),
    ("n_jobs", -1),
)

Coinlink.__new__.__signature__ = signature(_CONSTRUCTOR_ARGUMENT_NAMES, first="cls")
Coinlink.scrape_top_x_coins_from_coingecko.__signature__ = method_signature(SCRAPE_ARGUMENTS)
Coinlink.get_daily_historical_data_for_cryptocurrencies.__signature__ = method_signature(DAILY_DOWNLOAD_ARGUMENTS)
Coinlink.get_minute_historical_data_for_cryptocurrencies.__signature__ = method_signature(MINUTE_DOWNLOAD_ARGUMENTS)
