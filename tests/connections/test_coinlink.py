"""Coinlink: the object, the coin-ranking scrape and the candle downloads, offline."""

import copy
import datetime
import logging
import multiprocessing
import pickle

import joblib
import numpy as np
import pandas as pd
import pytest
import responses

import korvane.connections.binance.coinlink as coinlink
from connections.fake_exchange import FakeClient, candle_rows, install_fake_client
from korvane.connections.binance.coinlink import Coinlink

BEGIN = "-----------------------------BEGINNING BINANCE DOWNLOAD-----------------------------"
END = "-----------------------------COMPLETED BINANCE DOWNLOAD-----------------------------"
START, STOP = datetime.datetime(2021, 1, 5, 14, 30), datetime.datetime(2021, 4, 1)


@pytest.fixture(autouse=True)
def fake_client(monkeypatch):
    monkeypatch.setattr(coinlink, "Client", FakeClient)


def messages(caplog, level):
    return [record.getMessage() for record in caplog.records if record.levelno == level and record.name == " "]


class TestObject:
    def test_key_and_secret_reach_the_client_and_nothing_public(self):
        link = Coinlink(binance_api_key="key", binance_api_secret="s3cr3t")
        assert (link.binance_client.api_key, link.binance_client.api_secret) == ("key", "s3cr3t")
        assert "s3cr3t" not in repr(link)
        assert [name for name in dir(link) if "secret" in name and not name.startswith("_")] == []
        with pytest.raises(AttributeError):
            link.binance_api_secret
        link.binance_client = "anything"
        assert link.binance_client == "anything"
        del link.binance_client
        assert link.binance_client is None
        link.initialize_binance_client()
        assert isinstance(link.binance_client, FakeClient)

    @pytest.mark.parametrize("clone", [lambda o: pickle.loads(pickle.dumps(o)), copy.deepcopy])
    def test_copies_carry_key_and_secret_and_make_a_new_client(self, clone):
        link = Coinlink("k", "s")
        link.binance_client = "assigned by hand"
        twin = clone(link)
        assert type(twin) is Coinlink
        assert isinstance(twin.binance_client, FakeClient)
        assert (twin.binance_client.api_key, twin.binance_client.api_secret) == ("k", "s")


def ranking_page(codes, attribute_last=False):
    rows = []
    for rank, code in enumerate(codes, start=1):
        span = (
            f'<span class="coin" data-coin-symbol="{code}">{code}</span>'
            if not attribute_last
            else f'<span data-coin-id="{rank}" data-coin-symbol="{code}">{code}</span>'
        )
        rows.append(f"<tr><td>{rank}</td><td>*</td><td>n</td><td>x</td><td>{span}</td><td>1</td></tr>")
    return f"<html><body><table><thead><tr><th>#</th></tr></thead><tbody>{''.join(rows)}</tbody></table></body></html>"


CODES = ["btc", "eth", "usdt", "bnb", "USDC", " sol ", "xrp", "dai"]


class TestScrape:
    @pytest.mark.parametrize(
        "x_limit, expected",
        [
            ((), ["BTCUSDT", "ETHUSDT", "BNBUSDT", "SOLUSDT", "XRPUSDT"]),
            ((2.9,), ["BTCUSDT", "ETHUSDT"]),
            ((-1,), ["BTCUSDT", "ETHUSDT", "BNBUSDT", "SOLUSDT"]),
            ((0,), []),
        ],
    )
    @pytest.mark.parametrize("attribute_last", [False, True])
    def test_symbols_without_stable_coins_cut_to_the_limit(self, x_limit, expected, attribute_last):
        with responses.RequestsMock() as mock:
            mock.get(coinlink.COIN_RANKING_URL, body=ranking_page(CODES, attribute_last))
            assert Coinlink("k", "s").scrape_top_x_coins_from_coingecko(*x_limit) == expected
            request = mock.calls[0].request
        assert request.headers["User-Agent"].startswith("Mozilla/5.0")
        assert request.req_kwargs["timeout"] == coinlink.PAGE_TIMEOUT_SECONDS

    @pytest.mark.parametrize(
        "page, message",
        [
            ("<html><body><p>maintenance</p></body></html>", "no coin table"),
            ("<table><tbody><tr><td>1</td><td>2</td></tr></tbody></table>", "row 0"),
            (ranking_page(["btc"]).replace("data-coin-symbol", "data-coin"), "data-coin-symbol"),
        ],
    )
    def test_changed_page_layout_names_what_is_missing(self, page, message):
        with responses.RequestsMock() as mock:
            mock.get(coinlink.COIN_RANKING_URL, body=page, status=200)
            with pytest.raises(IndexError, match=message):
                Coinlink("k", "s").scrape_top_x_coins_from_coingecko()

    @pytest.mark.parametrize(
        "span, expected",
        [
            ('<span><span class="x"><i data-coin-symbol="eth">ETH</i></span></span>', ["ETHUSDT"]),  # nested
            ('<span data-coin-symbol="btc x">BTC</span>', ["BTCUSDT"]),  # cut at the first blank
            ('<span data-coin-symbol=\'"btc"\'>BTC</span>', ["BTCUSDT"]),  # double quotes removed
            ('<span data-coin-symbol="">?</span>', []),  # no code: skipped, not "USDT"
            ('<span data-coin-symbol="  ">?</span>', []),
            ('<span data-coin-symbol=\'""\'>?</span>', []),
        ],
    )
    def test_coin_code_of_a_row(self, span, expected):
        row = f"<tr><td>1</td><td>*</td><td>n</td><td>x</td><td>{span}</td></tr>"
        page = f"<html><body><table><tbody>{row}</tbody></table></body></html>"
        with responses.RequestsMock() as mock:
            mock.get(coinlink.COIN_RANKING_URL, body=page)
            assert Coinlink("k", "s").scrape_top_x_coins_from_coingecko() == expected


def expected_close(symbol, day):
    """The close the fake exchange sends for `symbol` on `day`, parsed from its text."""
    rows = candle_rows(symbol, "1d", day.strftime("%d %b, %Y"), day.strftime("%d %b, %Y"))
    return float(rows[0][4])


class TestDownload:
    @pytest.mark.parametrize("n_jobs", [1, 2])
    def test_failed_and_empty_symbols_are_left_out_in_request_order(self, n_jobs, caplog):
        symbols = ["AAAUSDT", "FAILUSDT", "LATEUSDT", "EMPTYUSDT", "GAPUSDT", "AAAUSDT"]
        caplog.set_level(logging.INFO)
        # Each worker process installs the fake client, however the pool starts it.
        with joblib.parallel_config(backend="multiprocessing", initializer=install_fake_client):
            table = Coinlink("k", "s").get_daily_historical_data_for_cryptocurrencies(symbols, START, STOP, n_jobs)

        assert multiprocessing.active_children() == []
        securities = ["AAAUSDT", "LATEUSDT", "GAPUSDT"]
        assert list(table.columns) == [f"{s}_{f}" for s in securities for f in coinlink.FIELDS]
        assert table.index.name == "datetime" and str(table.index.tz) == "UTC"
        assert (table.dtypes == np.float64).all() and not table.isna().any(axis=None)
        # The late coin shortens the table to the days on which every coin trades.
        assert table.index[0] == pd.Timestamp("2021-01-05", tz="UTC") + pd.Timedelta(days=40)
        assert table.index[-1] == pd.Timestamp("2021-04-01", tz="UTC")
        day = datetime.datetime(2021, 3, 1)
        assert table.loc[pd.Timestamp(day, tz="UTC"), "AAAUSDT_close"] == expected_close("AAAUSDT", day)
        if n_jobs == 1:  # worker processes log in their own process
            assert messages(caplog, logging.INFO) == [BEGIN, END]
            assert messages(caplog, logging.WARNING) == [
                "-----------------------------DOWNLOAD FAILED FOR FAILUSDT-----------------------------"
            ]

    def test_gaps_repeat_the_last_prices_with_no_volume(self):
        table = Coinlink("k", "s").get_daily_historical_data_for_cryptocurrencies(["GAPUSDT"], START, STOP, 1)
        fields = [f"GAPUSDT_{f}" for f in ("open", "high", "low", "close")]
        missing, before = pd.Timestamp("2021-01-08", tz="UTC"), pd.Timestamp("2021-01-07", tz="UTC")
        assert (table.loc[missing, fields] == table.loc[before, fields]).all()
        assert table.loc[missing, "GAPUSDT_volume"] == 0.0
        assert len(table) == 87

    def test_workers_rebuild_their_own_client(self):
        link = Coinlink("k", "s")
        link.binance_client = None  # the caller's client is never shipped
        with joblib.parallel_config(backend="multiprocessing", initializer=install_fake_client):
            table = link.get_minute_historical_data_for_cryptocurrencies(["AAAUSDT", "BBBUSDT"], STOP, STOP, 2)
        assert multiprocessing.active_children() == []
        assert len(table) == 1 and table.index[0] == pd.Timestamp("2021-04-01", tz="UTC")

    def test_minute_bins_and_calendar_day_dates(self, monkeypatch):
        calls = []
        record = FakeClient.get_historical_klines

        def recording(client, **kwargs):
            calls.append(kwargs)
            return record(client, **kwargs)

        monkeypatch.setattr(FakeClient, "get_historical_klines", recording)
        day = datetime.datetime(2021, 1, 5, 14, 30)
        table = Coinlink("k", "s").get_minute_historical_data_for_cryptocurrencies(
            ["AAAUSDT"], day, day + datetime.timedelta(days=1), n_jobs=1
        )
        assert calls == [dict(symbol="AAAUSDT", interval="1m", start_str="05 Jan, 2021", end_str="06 Jan, 2021")]
        assert len(table) == 1441
        assert (np.diff(table.index.asi8) == np.diff(table.index[:2].asi8)[0]).all()
        assert table.index[0] == pd.Timestamp("2021-01-05", tz="UTC")

    def test_candles_far_outside_the_request_are_left_out(self, monkeypatch, caplog):
        day = datetime.datetime(2021, 1, 5)
        link = Coinlink("k", "s")
        honest = link.get_minute_historical_data_for_cryptocurrencies(["AAAUSDT"], day, day, n_jobs=1)
        record = FakeClient.get_historical_klines

        def far_apart(client, **kwargs):
            rows = record(client, **kwargs)
            # Centuries before and after the requested day: binned, a span of
            # billions of minutes.
            return [[-8_000_000_000_000] + rows[0][1:]] + rows + [[7_000_000_000_000] + rows[-1][1:]]

        monkeypatch.setattr(FakeClient, "get_historical_klines", far_apart)
        table = link.get_minute_historical_data_for_cryptocurrencies(["AAAUSDT"], day, day, n_jobs=1)
        pd.testing.assert_frame_equal(table, honest)
        assert messages(caplog, logging.WARNING) == [
            "AAAUSDT: 2 of 3 candles open outside the requested dates and are left out"
        ]

    @pytest.mark.parametrize("symbols", [[], ["FAILUSDT", "EMPTYUSDT"]])
    def test_nothing_downloaded_raises_type_error(self, symbols, caplog):
        caplog.set_level(logging.INFO)
        with pytest.raises(TypeError, match="empty"):
            Coinlink("k", "s").get_daily_historical_data_for_cryptocurrencies(symbols, START, STOP, n_jobs=1)
        assert messages(caplog, logging.INFO) == [BEGIN, END]
        assert len(messages(caplog, logging.WARNING)) == symbols.count("FAILUSDT")
        assert multiprocessing.active_children() == []

    def test_unknown_interval_is_a_logged_job_failure(self, caplog):
        job = getattr(Coinlink("k", "s"), "__single_job__get_historical_data_for_single_currency")
        shared = {"AAAUSDT": pd.DataFrame({})}
        assert job(shared, ["AAAUSDT"], 0, "5m", "01 Jan, 2021", "02 Jan, 2021") is None
        assert shared["AAAUSDT"].empty
        assert messages(caplog, logging.WARNING) == [
            "-----------------------------DOWNLOAD FAILED FOR AAAUSDT-----------------------------"
        ]

FIRST_DAY, LAST_DAY = datetime.datetime(2021, 3, 1), datetime.datetime(2021, 3, 10)
DAILY_ROWS = candle_rows("AAAUSDT", "1d", "01 Mar, 2021", "10 Mar, 2021")


def revised(rows, close="99.5"):
    """`rows` with the last candle revised to another close."""
    return rows[:-1] + [rows[-1][:4] + [close] + rows[-1][5:]]


class TestCandleReplies:
    """The dates the caller may give, and what a reply may hold, against a reply for ten fixed days."""

    @pytest.mark.parametrize(
        "start, end, reply, expected_rows, warnings",
        [
            # The first and the last day of the calendar: the window is clamped, not refused.
            (datetime.datetime.min, LAST_DAY, DAILY_ROWS, DAILY_ROWS, []),
            (FIRST_DAY, datetime.datetime.max, DAILY_ROWS, DAILY_ROWS, []),
            (datetime.date(999, 1, 1), datetime.datetime.max, DAILY_ROWS, DAILY_ROWS, []),
            # A revised last candle and an overlapping page: the last received of each open time counts once.
            (
                FIRST_DAY,
                LAST_DAY,
                DAILY_ROWS[:6] + DAILY_ROWS[4:] + revised(DAILY_ROWS)[-1:],
                revised(DAILY_ROWS),
                ["AAAUSDT: 3 of 13 candles repeat an open time and are replaced by the last one received"],
            ),
        ],
    )
    def test_reply_becomes_the_table_of_its_distinct_candles(
        self, start, end, reply, expected_rows, warnings, monkeypatch, caplog
    ):
        link = Coinlink("k", "s")
        monkeypatch.setattr(FakeClient, "get_historical_klines", lambda client, **kwargs: expected_rows)
        expected = link.get_daily_historical_data_for_cryptocurrencies(["AAAUSDT"], FIRST_DAY, LAST_DAY, 1)
        caplog.clear()
        monkeypatch.setattr(FakeClient, "get_historical_klines", lambda client, **kwargs: reply)
        table = link.get_daily_historical_data_for_cryptocurrencies(["AAAUSDT"], start, end, 1)
        pd.testing.assert_frame_equal(table, expected)
        assert table["AAAUSDT_volume"].tolist() == [float(row[5]) for row in expected_rows]
        assert messages(caplog, logging.WARNING) == warnings


def test_a_factor_is_built_from_the_daily_table():
    from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor

    table = Coinlink("k", "s").get_daily_historical_data_for_cryptocurrencies(
        ["AAAUSDT", "BBBUSDT"], datetime.datetime(2021, 1, 1), datetime.datetime(2022, 6, 30), n_jobs=1
    )
    factor = PairsTradingSerialCointegrationFactor("crypto", table, 1440, [], False)
    assert list(factor.get_clean_dataframe().columns) == list(table.columns)


# The second name holds "low": columns are grouped by their field suffix only.
SYMBOL_NAMES = ("BTCUSDT", "flowusdt")


class TestCleaning:
    def test_native_parsing_matches_float_bit_for_bit(self):
        from korvane.connections.binance._coinlink import candle_fields

        rng = np.random.default_rng(7)
        numbers = rng.lognormal(0.0, 6.0, 3000) * rng.choice([1, -1], 3000)
        texts = [f"{x:.{k}f}" for x, k in zip(numbers, rng.integers(0, 12, 3000))] + [repr(float(x)) for x in numbers]
        texts += [" 1.5", "+2", "1e-7", "5.", ".25", "nan", "-inf", "1_000", "0.00100000", "1e400", "4.9e-324"]
        texts += [3, 2.5, np.float64(0.1)]
        texts += texts[: (-len(texts)) % 5]
        rows = [[k, *texts[5 * k : 5 * k + 5], 0, "0", 0, "0", "0", "0"] for k in range(len(texts) // 5)]
        times, fields = candle_fields(rows)
        expected = np.array([float(value) for value in texts]).reshape(-1, 5).T
        assert times.tolist() == list(range(len(rows)))
        np.testing.assert_array_equal(fields, expected)  # NaN == NaN here, values bit-exact
        assert (np.signbit(fields) == np.signbit(expected)).all()

    @staticmethod
    def reference_panel(raw, interval):
        """The panel steps on whole tables, without dropping any column."""
        raw = raw.apply(pd.to_numeric)
        volume = [c for c in raw.columns if c.endswith("_volume")]
        prices = [c for c in raw.columns if c not in volume]
        binned_prices = raw[prices].resample(interval).last().ffill().dropna()
        binned_volume = raw[volume].resample(interval).sum().ffill().dropna()
        table = binned_prices.merge(binned_volume, how="outer", left_index=True, right_index=True)
        return table.ffill().dropna()[raw.columns].tz_localize("UTC")

    @pytest.mark.parametrize(
        "spans, freq, interval",
        [
            ([(0, 30), (5, 30)], "1D", "1d"),  # one row per bin: binning is skipped
            ([(0, 5), (9, 20)], "1D", "1d"),  # bins missing between the symbols' spans
            ([(0, 40), (3, 40)], "12h", "1d"),  # two rows per bin
            ([(0, 90), (10, 90)], "1min", "1m"),
        ],
    )
    def test_panel_matches_binning_whole_tables(self, spans, freq, interval):
        rng = np.random.default_rng(3)
        tables = []
        for k, (first, last) in enumerate(spans):
            index = pd.date_range("2021-01-01", periods=last, freq=freq, name="datetime")[first:]
            values = rng.lognormal(3.0, 0.1, (len(index), 5))
            values[rng.random(len(index)) < 0.1, 1] = np.nan
            columns = [f"{SYMBOL_NAMES[k]}_{field}" for field in coinlink.FIELDS]
            tables.append(pd.DataFrame(values, index=index, columns=columns))
        raw = coinlink._merge_on_datetime(*tables)
        table = Coinlink("k", "s")._Coinlink__clean_historical_data_for_cryptocurrency_df(raw, interval)
        expected = self.reference_panel(raw, coinlink.PANDAS_INTERVALS[interval])
        pd.testing.assert_frame_equal(table, expected, check_freq=False)

    @pytest.mark.parametrize("interval", ["1d", "1m"])
    def test_candles_one_per_bin_clean_as_when_binned(self, interval, monkeypatch):
        rows = candle_rows("AAAUSDT", interval, "01 Jan, 2021", "03 Mar, 2021")[:2000]
        rows[5][2] = rows[6][4] = "nan"
        clean = Coinlink("k", "s")._Coinlink__clean_historical_data_for_single_currency
        skipped = clean(rows, "AAAUSDT", interval)
        monkeypatch.setattr(coinlink, "_one_row_per_bin", lambda index, interval: False)
        pd.testing.assert_frame_equal(skipped, clean(rows, "AAAUSDT", interval), check_freq=False)
