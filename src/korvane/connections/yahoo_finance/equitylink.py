"""Equity universe tables of index members from Yahoo Finance.

`Equitylink` reads the current members of one of four stock indices from
their encyclopedia pages, downloads the members' daily bars in one
``yf.download`` call and cleans them into a universe table with a naive
daily index (localise it before handing it to the factor). Any failure is
logged as one INFO banner and gives None instead of a table.

Module globals (``requests``, ``bs``, ``yf``, ``logger``) are looked up at
call time, so replacing one on this module changes later calls.
"""

from korvane._common.binding import RefusesPickling, bind_with_defaults, method_signature
from korvane.connections._shared import BROWSER_HEADERS, PAGE_TIMEOUT_SECONDS, banner

ENCYCLOPEDIA_HOST = "https://en.wikipedia.org"
_DOWNLOAD_FAILED = banner("YAHOO FINANCE DOWNLOADING FAILED | PLEASE TRY AGAIN")


class Equitylink(RefusesPickling):
    # Spelled out rather than a docstring literal: Python 3.13 strips a
    # docstring's indentation when it compiles it.
    __doc__ = (
        "Establishes a connection to yahoo finance\n"
        "    Yahoo finance is limited in the sense that we can download data but are unable to trade\n"
        "    "
    )

    __slots__ = ()

    def __new__(cls, *args, **kwargs):
        # Nothing is configured: any arguments are accepted and ignored.
        return super().__new__(cls)

    def __boiler_plate_get_daily_historical_data(
        self,
        url,
        constituents_table_soup_index,
        constituents_table_start_slice,
        ticker_row_index,
        preprocess_remove_n,
        preprocess_add_trailer,
        trailer,
        preprocess_split,
        split_by,
        split_index,
        start,
        end,
    ):
        try:
            resp = requests.get(url, headers=BROWSER_HEADERS, timeout=PAGE_TIMEOUT_SECONDS)
            soup = bs.BeautifulSoup(resp.text, "lxml")
            table_with_constituents = soup.find_all("table")[constituents_table_soup_index]
            tickers = [
                row.find_all("td")[ticker_row_index].text
                for row in table_with_constituents.find_all("tr")[constituents_table_start_slice:]
            ]
            if preprocess_remove_n:
                tickers = [ticker.replace("\n", "") for ticker in tickers]
            if preprocess_add_trailer:
                tickers = [ticker + trailer for ticker in tickers]
            if preprocess_split:
                tickers = [ticker.split(split_by)[split_index] for ticker in tickers]
            raw_df = yf.download(tickers, start=start, end=end)
            clean_df = self.__clean_yahoo_finance_data(raw_df)
            # yfinance reports tickers it could not fetch as missing values, not
            # as an error: a download with nothing usable left is a failure.
            if clean_df.empty:
                raise ValueError("the download holds no complete row of prices")
            return clean_df
        except Exception:
            logger.info(_DOWNLOAD_FAILED)
            return None

    def __clean_yahoo_finance_data(self, raw_yahoo_finance_df):
        raw_flat_columns_list = list(raw_yahoo_finance_df.columns.to_flat_index())
        securities = [ticker.replace(".", "_") for _, ticker in raw_flat_columns_list]
        processed_columns_list = [
            f"{security}_{field.replace(' ', '_').lower()}"
            for security, (field, _) in zip(securities, raw_flat_columns_list)
        ]
        raw_yahoo_finance_df.columns = processed_columns_list
        ohlcv_positions = [i for i, name in enumerate(processed_columns_list) if "adj_close" not in name]
        clean_yahoo_finance_df = raw_yahoo_finance_df.iloc[:, ohlcv_positions].ffill()
        # A column is long enough when its data covers at least half the rows
        # (rounded down). A security goes whole when any of its columns is too
        # short: a close without its volume (or the reverse) cannot be ranked or
        # traded. The rows before the latest start among the kept columns then go.
        long_enough = clean_yahoo_finance_df.count().to_numpy() >= len(clean_yahoo_finance_df) // 2
        ohlcv_securities = [securities[i] for i in ohlcv_positions]
        short_columns = {}
        for security, name, keep in zip(ohlcv_securities, clean_yahoo_finance_df.columns, long_enough):
            if not keep:
                short_columns.setdefault(security, []).append(name)
        for security, names in short_columns.items():
            logger.info(banner(f"DROPPED {security} | TOO LITTLE DATA IN {', '.join(names)}"))
        kept = [security not in short_columns for security in ohlcv_securities]
        return clean_yahoo_finance_df.iloc[:, kept].dropna()


# (method, index label, page path, result name, table, first row, cell,
#  remove newlines, add trailer, trailer, split, split by, part kept)
_INDEX_RECIPES = (
    ("get_daily_historical_data_for_singapore_STI", "STI", "/wiki/Straits_Times_Index", "clean_sti_df",
     3, 1, 0, True, True, ".SI", True, " ", 1),
    ("get_daily_historical_data_for_india_NIFTY50", "NIFTY50", "/wiki/NIFTY_50", "clean_NIFTY50_df",
     1, 1, 1, True, True, ".NS", False, None, 0),
    ("get_daily_historical_data_for_us_SP500", "SP500", "/wiki/List_of_S%26P_500_companies", "clean_SP500_df",
     0, 1, 0, True, False, None, False, None, 0),
    ("get_daily_historical_data_for_uk_FTSE100", "FTSE100", "/wiki/FTSE_100_Index", "clean_FTSE100_df",
     3, 1, 1, True, True, ".L", False, None, 0),
)  # fmt: skip

_DOCSTRING = """Scrapes wikipedia for the current stocks in the {label}
        Obtained from {url}
        and downloads daily data from start to end specified

        Args:
            datetime.datetime start: Start of date to download the stocks in the index
                Default is to go as far back as possible, 22 May 1995
            datetime.datetime end: End of date to download the stocks in the index
                Default is to go as far forward as possible, now

        Returns:
            pd.DataFrame {result}: Clean yahoo finance df with single-level columns, OHLCV and no missing values
        """


def _index_download(name, label, path, result, *recipe):
    url = ENCYCLOPEDIA_HOST + path

    def download(self, *args, **kwargs):
        start, end = bind_with_defaults(name, DOWNLOAD_ARGUMENTS[name], args, kwargs)
        return self._Equitylink__boiler_plate_get_daily_historical_data(url, *recipe, start, end)

    download.__name__ = name
    download.__qualname__ = f"Equitylink.{name}"
    download.__doc__ = _DOCSTRING.format(label=label, url=url, result=result)
    return download


for _recipe in _INDEX_RECIPES:
    setattr(Equitylink, _recipe[0], _index_download(*_recipe))
del _recipe

import logging  # noqa: E402

from korvane._common.startup import configure_shared_logger  # noqa: E402

logger = configure_shared_logger()

import bs4 as bs  # noqa: E402
import requests  # noqa: E402
import yfinance as yf  # noqa: E402
import datetime  # noqa: E402

# Each operation's defaults are made once, at import: a call without `end`
# asks for data up to the moment this module was imported.
DOWNLOAD_ARGUMENTS = {
    _recipe[0]: (("start", datetime.datetime(1995, 5, 22)), ("end", datetime.datetime.now()))
    for _recipe in _INDEX_RECIPES
}
for _name, _arguments in DOWNLOAD_ARGUMENTS.items():
    getattr(Equitylink, _name).__signature__ = method_signature(_arguments)
del _name, _arguments
