"""Train/test split of a run's bars and of its closed-trade store, and the classifier's training data."""

import numpy as np
import pandas as pd
import pytest

from factor.accounting.run_stand_ins import build_factor

RECORD_COLUMNS = ["time_of_entry", "time_of_exit", "trade_label", "trade_returns", "trade_securities"]


@pytest.fixture(scope="module")
def plain_factor():
    return build_factor(bars=60)


def split(factor, ratio, bars, warm_up, rows=None):
    rows = bars if rows is None else rows
    times = pd.date_range("2022-01-01", periods=rows, freq="h").as_unit("ns").to_numpy()
    raw = np.arange(rows * 2, dtype=float).reshape(rows, 2)
    close = raw + 1000.0
    return times, raw, close, factor._get_train_test_split(ratio, bars, times, warm_up, raw, close)


class TestBarSplit:
    def test_pieces_are_views_over_warm_up_train_and_test(self, plain_factor):
        times, raw, close, pieces = split(plain_factor, 0.8, 1000, 31)
        train_t, train_raw, train_close, test_t, test_raw, test_close = pieces
        assert len(train_t) == 775 and len(test_t) == 194
        assert train_t[0] == times[31] and train_t[-1] == times[805] and test_t[0] == times[806]
        for piece, source in ((train_raw, raw), (train_close, close), (test_raw, raw), (test_close, close), (train_t, times)):
            assert np.shares_memory(piece, source)
        np.testing.assert_array_equal(test_close, close[806:])

    def test_split_index_truncates(self, plain_factor):
        *_, pieces = split(plain_factor, 0.57, 110, 10)
        assert len(pieces[0]) == 56 and len(pieces[3]) == 44

    def test_ratio_one_and_zero_warm_up(self, plain_factor):
        times, _, _, pieces = split(plain_factor, 1.0, 50, 0)
        assert len(pieces[0]) == 50 and pieces[0][0] == times[0]
        assert len(pieces[3]) == 0 and pieces[4].shape == (0, 2) and pieces[5].shape == (0, 2)

    @pytest.mark.parametrize("warm_up", [50, 70])
    def test_warm_up_covering_everything_leaves_both_parts_empty(self, plain_factor, warm_up):
        *_, pieces = split(plain_factor, 0.8, 50, warm_up)
        assert [len(p) for p in pieces] == [0] * 6

    def test_rows_past_the_bar_count_are_ignored(self, plain_factor):
        times, raw, _, pieces = split(plain_factor, 0.5, 40, 10, rows=60)
        assert len(pieces[0]) + len(pieces[3]) == 30
        np.testing.assert_array_equal(pieces[4], raw[25:40])


def record(entry, exit_, label=1, returns=0.01, pair=("A", "B"), features=None):
    return {
        "time_of_entry": np.datetime64(entry, "ns"),
        "time_of_exit": np.datetime64(exit_, "ns"),
        "trade_label": label,
        "trade_returns": returns,
        "trade_securities": pair,
        "features": features,
    }


END = np.datetime64("2022-01-10T00:00", "ns")


class TestTradeSplit:
    def test_empty_store(self, plain_factor):
        assert plain_factor._get_train_test_split_for_rarav_trades(END, {}) == (None, None)

    def test_one_train_trade_gives_an_empty_test_table_with_the_same_columns(self, plain_factor):
        train, test = plain_factor._get_train_test_split_for_rarav_trades(
            END, {0: record("2022-01-05", "2022-01-12")}
        )
        assert list(train.columns) == RECORD_COLUMNS and len(train) == 1 and len(test) == 0
        assert list(test.columns) == RECORD_COLUMNS
        assert train.loc[0, "trade_securities"] == ("A", "B")
        assert train.loc[0, "time_of_exit"] == pd.Timestamp("2022-01-12")  # exits after the train end

    def test_entry_at_the_end_of_train_is_a_train_trade_only(self, plain_factor):
        store = {0: record("2022-01-10", "2022-01-11"), 1: record("2022-01-10T01:00", "2022-01-11")}
        train, test = plain_factor._get_train_test_split_for_rarav_trades(END, store)
        assert list(train["time_of_entry"]) == [pd.Timestamp("2022-01-10")]
        assert list(test["time_of_entry"]) == [pd.Timestamp("2022-01-10T01:00")]

    def test_rows_sorted_by_entry_and_renumbered_with_ties_kept(self, plain_factor):
        store = {
            0: record("2022-01-08", "2022-01-09", pair=("C", "D")),
            1: record("2022-01-03", "2022-01-04"),
            2: record("2022-01-08", "2022-01-09", pair=("A", "C")),
            3: record("2022-01-15", "2022-01-16"),
            4: record("2022-01-12", "2022-01-13"),
        }
        train, test = plain_factor._get_train_test_split_for_rarav_trades(END, store)
        assert list(train.index) == [0, 1, 2] and list(test.index) == [0, 1]
        assert list(train["trade_securities"]) == [("A", "B"), ("C", "D"), ("A", "C")]
        assert list(test["time_of_entry"]) == [pd.Timestamp("2022-01-12"), pd.Timestamp("2022-01-15")]

    def test_features_become_columns_in_first_appearance_order(self, plain_factor):
        store = {
            0: record("2022-01-05", "2022-01-06", features={"f_b": 2.0, "f_a": 1.0}),
            1: record("2022-01-04", "2022-01-05"),
            2: record("2022-01-11", "2022-01-12", features={"f_a": 3.0, "f_c": 4.0}),
        }
        train, test = plain_factor._get_train_test_split_for_rarav_trades(END, store)
        assert list(train.columns) == RECORD_COLUMNS + ["f_b", "f_a", "f_c"]
        assert train.loc[0, ["f_b", "f_a", "f_c"]].isna().all()
        assert train.loc[1, "f_b"] == 2.0 and np.isnan(train.loc[1, "f_c"])
        assert list(test.columns) == list(train.columns) and test.loc[0, "f_c"] == 4.0

    def test_feature_columns_follow_entry_order_not_store_order(self, plain_factor):
        store = {
            0: record("2022-01-07", "2022-01-08", features={"late": 1.0, "shared": 2.0}),
            1: record("2022-01-02", "2022-01-03", features={"early": 3.0, "shared": 4.0}),
        }
        train, _ = plain_factor._get_train_test_split_for_rarav_trades(END, store)
        assert list(train.columns) == RECORD_COLUMNS + ["early", "shared", "late"]
        assert list(train["shared"]) == [4.0, 2.0]

    def test_no_train_part_puts_every_trade_in_the_test_table(self, plain_factor):
        train, test = plain_factor._get_train_test_split_for_rarav_trades(None, {0: record("2022-01-05", "2022-01-06")})
        assert len(train) == 0 and len(test) == 1


class TestTrainingData:
    def tables(self, factor, store):
        return factor._get_train_test_split_for_rarav_trades(END, store)[0]

    def test_bundle_pieces(self, plain_factor):
        store = {
            0: record("2022-01-06", "2022-01-07", label=0, returns=0.06, features={"x": 1.0, "y": 2.0}),
            1: record("2022-01-05", "2022-01-06", label=1, returns=-0.02, features={"x": 3.0, "y": 4.0}),
        }
        X, y, entry, exit_, impact = plain_factor._preprocess_train_trades_store_df_for_rarAV(self.tables(plain_factor, store))
        assert list(X.columns) == ["x", "y"] and list(X["x"]) == [3.0, 1.0]
        assert list(y) == [1, 0] and y.name == "trade_label"
        assert list(entry) == [pd.Timestamp("2022-01-05"), pd.Timestamp("2022-01-06")]
        assert entry.name == "time_of_entry" and exit_.name == "time_of_exit"
        np.testing.assert_allclose(impact, [0.25, 0.75])
        assert list(impact.index) == [0, 1] and impact.name == "trade_returns"
        assert y.dtype == np.int64 and entry.dtype.kind == "M" and exit_.dtype.kind == "M"
        assert (X.dtypes == np.float64).all()
        for piece in (y, entry, exit_, impact, X):
            assert list(piece.index) == [0, 1]

    def test_without_features_x_has_rows_but_no_columns(self, plain_factor):
        X, *_ = plain_factor._preprocess_train_trades_store_df_for_rarAV(
            self.tables(plain_factor, {0: record("2022-01-05", "2022-01-06")})
        )
        assert X.shape == (1, 0)

    def test_zero_returns_give_nan_impact(self, plain_factor):
        store = {k: record(f"2022-01-0{k + 1}", "2022-01-09", returns=0.0) for k in range(2)}
        *_, impact = plain_factor._preprocess_train_trades_store_df_for_rarAV(self.tables(plain_factor, store))
        assert impact.isna().all()

    def test_no_trades_is_a_clear_error(self, plain_factor):
        with pytest.raises(Exception, match="No train trades"):
            plain_factor._preprocess_train_trades_store_df_for_rarAV(None)

    def test_missing_column_is_the_table_error(self, plain_factor):
        table = self.tables(plain_factor, {0: record("2022-01-05", "2022-01-06")}).drop(columns="trade_label")
        with pytest.raises(KeyError):
            plain_factor._preprocess_train_trades_store_df_for_rarAV(table)
