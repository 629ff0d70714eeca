"""Equitylink: index members from encyclopedia pages, a replaced yfinance download, cleaning."""

import copy
import datetime
import logging
import pickle

import numpy as np
import pandas as pd
import pytest
import requests
import responses

import korvane.connections.yahoo_finance.equitylink as equitylink
from conftest import fake_yfinance_download
from korvane.connections.yahoo_finance.equitylink import Equitylink

FAILED = "-----------------------------YAHOO FINANCE DOWNLOADING FAILED | PLEASE TRY AGAIN-----------------------------"
START, END = datetime.datetime(2021, 1, 1), datetime.datetime(2021, 3, 1)


def table(cells_per_row, header=True):
    head = "<tr><th>Symbol</th><th>Company</th></tr>" if header else ""
    body = "".join("<tr>" + "".join(f"<td>{cell}</td>" for cell in row) + "</tr>" for row in cells_per_row)
    return f"<table>{head}{body}</table>"


def page(tables):
    return "<html><body>" + "".join(tables) + "</body></html>"


FILLER = table([["x", "y"]])
# Per index: its page, with the member table where the recipe looks, and the tickers it yields.
PAGES = {
    "get_daily_historical_data_for_us_SP500": (
        "/wiki/List_of_S%26P_500_companies",
        page([table([["MMM\n", "3M"], ["BRK.B\n", "Berkshire"]])]),
        ["MMM", "BRK.B"],
    ),
    "get_daily_historical_data_for_india_NIFTY50": (
        "/wiki/NIFTY_50",
        page([FILLER, table([["Reliance", "RELIANCE\n"], ["Infosys", "INFY\n"]])]),
        ["RELIANCE.NS", "INFY.NS"],
    ),
    "get_daily_historical_data_for_uk_FTSE100": (
        "/wiki/FTSE_100_Index",
        page([FILLER] * 3 + [table([["Shell", "SHEL\n"], ["Unilever", "UL\nVR"]])]),
        ["SHEL.L", "ULVR.L"],
    ),
    "get_daily_historical_data_for_singapore_STI": (
        "/wiki/Straits_Times_Index",
        page([FILLER] * 3 + [table([["SGX: D05\n", "DBS"], ["SGX: O39", "OCBC"]])]),
        ["D05.SI", "O39.SI"],
    ),
}


@pytest.fixture
def downloads(monkeypatch):
    """The replaced yfinance download, recording each call."""
    calls = []

    def download(tickers, *args, **kwargs):
        calls.append((list(tickers), args, kwargs))
        return fake_yfinance_download(tickers, *args, **kwargs)

    monkeypatch.setattr(equitylink.yf, "download", download)
    return calls


def failures(caplog):
    return [r.getMessage() for r in caplog.records if r.name == " " and r.getMessage() == FAILED]


@pytest.mark.parametrize("method", PAGES)
def test_members_are_read_and_downloaded(method, downloads):
    path, body, tickers = PAGES[method]
    with responses.RequestsMock() as mock:
        mock.get(equitylink.ENCYCLOPEDIA_HOST + path, body=body)
        result = getattr(Equitylink(), method)(START, end=END)
        request = mock.calls[0].request
    assert downloads == [(tickers, (), {"start": START, "end": END})]
    assert request.headers["User-Agent"].startswith("Mozilla/5.0")
    assert request.req_kwargs["timeout"] == equitylink.PAGE_TIMEOUT_SECONDS
    names = [ticker.replace(".", "_") for ticker in tickers]
    fields = ("open", "high", "low", "close", "volume")
    assert sorted(result.columns) == sorted(f"{name}_{field}" for name in names for field in fields)
    assert result.index[0] == pd.Timestamp("2021-01-01") and result.index.tz is None


def nan_download(tickers, start=None, end=None, **kwargs):
    frame = fake_yfinance_download(tickers, start, end)
    return frame * np.nan


@pytest.mark.parametrize(
    "body, download",
    [
        (page([]), fake_yfinance_download),  # the table moved
        (page([table([["MMM"]]).replace("</table>", "<tr><th>note</th></tr></table>")]), fake_yfinance_download),
        (requests.ConnectionError("network down"), fake_yfinance_download),
        (PAGES["get_daily_historical_data_for_us_SP500"][1], lambda *a, **k: pd.DataFrame()),
        (PAGES["get_daily_historical_data_for_us_SP500"][1], nan_download),
    ],
    ids=["no-table", "row-without-cells", "network", "empty-download", "all-missing-download"],
)
def test_failures_log_the_banner_and_give_none(body, download, monkeypatch, caplog):
    monkeypatch.setattr(equitylink.yf, "download", download)
    caplog.set_level(logging.INFO)
    with responses.RequestsMock(assert_all_requests_are_fired=False) as mock:
        mock.get(equitylink.ENCYCLOPEDIA_HOST + "/wiki/List_of_S%26P_500_companies", body=body)
        assert Equitylink().get_daily_historical_data_for_us_SP500(START, END) is None
    assert failures(caplog) == [FAILED]


def test_interrupt_is_not_swallowed(monkeypatch):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(equitylink.yf, "download", interrupted)
    with responses.RequestsMock() as mock:
        path, body, _ = PAGES["get_daily_historical_data_for_india_NIFTY50"]
        mock.get(equitylink.ENCYCLOPEDIA_HOST + path, body=body)
        with pytest.raises(KeyboardInterrupt):
            Equitylink().get_daily_historical_data_for_india_NIFTY50(START, END)


def test_defaults_are_fixed_at_import(downloads):
    path, body, _ = PAGES["get_daily_historical_data_for_uk_FTSE100"]
    with responses.RequestsMock() as mock:
        mock.get(equitylink.ENCYCLOPEDIA_HOST + path, body=body)
        Equitylink().get_daily_historical_data_for_uk_FTSE100()
        Equitylink().get_daily_historical_data_for_uk_FTSE100()
    (_, _, first), (_, _, second) = downloads
    assert first["start"] == datetime.datetime(1995, 5, 22)
    assert first["start"] is second["start"] and first["end"] is second["end"]
    assert first["end"] < datetime.datetime.now()


def test_cleaning_judges_each_column_on_its_own():
    days = pd.date_range("2021-01-04", periods=8, name="Date")
    columns = pd.MultiIndex.from_tuples(
        [("Adj Close", "A.L"), ("Close", "A.L"), ("Close", "LATE"), ("Close", "NEW"), ("Volume", "A.L")],
        names=["Price", "Ticker"],
    )
    values = np.arange(40, dtype=float).reshape(8, 5)
    values[:3, 2] = np.nan  # starts on day 4 of 8: kept, and the table starts there
    values[:5, 3] = np.nan  # starts on day 6: too short, dropped
    values[5, 1] = np.nan  # a gap: filled from the day before
    raw = pd.DataFrame(values, index=days, columns=columns)
    clean = Equitylink()._Equitylink__clean_yahoo_finance_data(raw)
    assert list(clean.columns) == ["A_L_close", "LATE_close", "A_L_volume"]
    assert list(clean.index) == list(days[3:])
    assert clean.loc[days[5], "A_L_close"] == values[4, 1]


def test_a_security_short_of_one_field_is_dropped_whole(monkeypatch, caplog):
    def download(tickers, *args, **kwargs):
        frame = fake_yfinance_download(tickers, *args, **kwargs)
        frame.loc[frame.index[:30], ("Volume", "CCC")] = np.nan  # 12 of 42 days: too few volumes
        frame.loc[:, (slice(None), "DDD")] = np.nan  # unknown to the download
        frame.loc[frame.index[:10], (slice(None), "LATE")] = np.nan  # late, but long enough
        return frame

    monkeypatch.setattr(equitylink.yf, "download", download)
    caplog.set_level(logging.INFO)
    body = page([table([["MMM"], ["CCC"], ["DDD"], ["LATE"]])])
    with responses.RequestsMock() as mock:
        mock.get(equitylink.ENCYCLOPEDIA_HOST + "/wiki/List_of_S%26P_500_companies", body=body)
        result = Equitylink().get_daily_historical_data_for_us_SP500(START, END)
    fields = ("close", "high", "low", "open", "volume")
    assert list(result.columns) == [f"{name}_{field}" for name in ("MMM", "LATE") for field in fields]
    assert result.index[0] == fake_yfinance_download(["MMM"], START, END).index[10]
    dashes = "-" * 29
    assert [r.getMessage() for r in caplog.records if r.name == " "] == [
        f"{dashes}DROPPED CCC | TOO LITTLE DATA IN CCC_volume{dashes}",
        f"{dashes}DROPPED DDD | TOO LITTLE DATA IN DDD_close, DDD_high, DDD_low, DDD_open, DDD_volume{dashes}",
    ]


def test_object_holds_nothing_and_refuses_pickling():
    link = Equitylink(1, 2, key=None)
    with pytest.raises(AttributeError):
        link.anything = 1
    for attempt in (pickle.dumps, copy.copy, copy.deepcopy, lambda o: o.__setstate__({})):
        with pytest.raises(TypeError, match="no default __reduce__ due to non-trivial __cinit__"):
            attempt(link)


def test_a_factor_is_built_from_the_localised_table(downloads):
    from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor

    path, body, _ = PAGES["get_daily_historical_data_for_us_SP500"]
    with responses.RequestsMock() as mock:
        mock.get(equitylink.ENCYCLOPEDIA_HOST + path, body=body)
        result = Equitylink().get_daily_historical_data_for_us_SP500(datetime.datetime(2020, 1, 1), END)
    factor = PairsTradingSerialCointegrationFactor("sp", result.tz_localize("UTC"), 1440, [], False)
    assert sorted(factor.get_clean_dataframe().columns) == sorted(result.columns)
