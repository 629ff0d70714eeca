"""The factor's backtest loop and live step over the native engine: fields
it fills, trade records, window checks, and the calls out to the feature
generator and the entry classifier."""

import numpy as np
import pytest

from korvane._common.synthetic_universe import universe_table
from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor
from reference.pairs_reference import ReferenceEngine
from factor.signals.signal_setup import ENGINE_PARAMS

PARAMS = {"size_of_rolling_windows": 60, **ENGINE_PARAMS}
W = PARAMS["size_of_rolling_windows"]


class FakeSignalforge:
    def __init__(self):
        self.calls = []

    def generate_features_for_pair_spreads(self, **kwargs):
        self.calls.append(kwargs)
        window = kwargs["rolling_window_matrix_array"]
        return {"f_last_close": float(window[-1, 3]), "f_rows": float(window.shape[0])}


class FakeClassifier:
    """Accepts every other entry."""

    def __init__(self):
        self.seen = []

    def predict(self, X):
        self.seen.append(X)
        return np.array([len(self.seen) % 2])


def _loaded(self, factor_name):
    return False


setattr(FakeClassifier, "__check_and_load_optimal_entry_classifier", _loaded)


def make_factor(signalforge=None, model=None, n_bars=400):
    table = universe_table(n_securities=4, n_bars=n_bars, freq="1D", seed=3)
    return PairsTradingSerialCointegrationFactor("u", table, 1440, [], False, signalforge, model)


def run(factor, params=PARAMS, window=W, **kwargs):
    return factor._get_positions_from_rolling_cube_for_pairs_trading_serial_cointegration_factor(
        params, factor._data_matrix, window, **kwargs
    )


@pytest.fixture(scope="module")
def reference_positions():
    factor = make_factor()
    reference = ReferenceEngine(
        factor._close_columns_only_data_matrix_array, W, PARAMS,
        factor._JOHANSEN_RESAMPLING_INTERVAL, factor._MAX_ZSCORE_ROLLING_WINDOW,
    )
    return reference.run(), reference.trades


def test_loop_fills_a_fresh_positions_matrix(reference_positions):
    factor = make_factor()
    old = factor._raw_positions_matrix_array
    old[:] = 7.0
    positions = run(factor)
    assert positions is factor._raw_positions_matrix_array and positions is not old
    assert positions.shape == (factor._datetime_length, factor._number_of_securities)
    assert not positions[:W].any()
    np.testing.assert_allclose(positions, reference_positions[0], rtol=1e-9, atol=1e-9)
    assert factor.current_time == factor._data_datetime_array[-1]
    np.testing.assert_array_equal(factor._current_positions_array, positions[-1])
    assert factor._pairs_of_securities_list == [
        ("S0", "S1"), ("S0", "S2"), ("S0", "S3"), ("S1", "S2"), ("S1", "S3"), ("S2", "S3"),
    ]


def test_closed_trades_accumulate_as_records(reference_positions):
    factor = make_factor()
    run(factor)
    trades = reference_positions[1]
    store = factor._rarav_trades_store_dict
    assert factor._rarav_trades_count == len(store) == len(trades) > 0
    assert list(store) == list(range(len(trades)))
    times = factor._data_datetime_array
    names = factor._securities_names_list
    for key, expected in enumerate(trades):
        record = store[key]
        assert list(record) == ["time_of_entry", "time_of_exit", "trade_label", "trade_returns",
                                "trade_securities", "features"]
        assert record["time_of_entry"] == times[expected["time_of_entry"]]
        assert record["time_of_exit"] == times[expected["time_of_exit"]]
        assert type(record["trade_label"]) is int and record["trade_label"] == expected["trade_label"]
        assert record["trade_returns"] == pytest.approx(expected["trade_returns"], rel=1e-9, abs=1e-12)
        a, b = expected["trade_securities"]
        assert record["trade_securities"] == (names[a], names[b])
        assert record["features"] is None
    # A second run adds its trades under the following keys.
    run(factor)
    assert factor._rarav_trades_count == 2 * len(trades)
    assert store[len(trades)]["time_of_entry"] == store[0]["time_of_entry"]


@pytest.mark.parametrize("window", [1, 0, -3, 400, 401])
def test_window_outside_the_bars_is_refused(window):
    factor = make_factor()
    with pytest.raises(Exception, match=f"window of {window} bars.*400 bars") as raised:
        run(factor, window=window)
    assert type(raised.value) is Exception


def test_params_must_be_a_dictionary():
    factor = make_factor()
    with pytest.raises(TypeError, match="expected dict, got list"):
        run(factor, params=[1, 2])
    with pytest.raises(TypeError, match="not subscriptable"):
        run(factor, params=None)
    with pytest.raises(KeyError):
        run(factor, params={"size_of_rolling_windows": W})


def test_missing_volatility_parameter_is_reported_and_the_run_goes_on(monkeypatch):
    reports = []
    monkeypatch.setattr("sys.unraisablehook", reports.append)
    factor = make_factor()
    params = dict(PARAMS)
    del params["rolling_volatility_halflife_multiplier"]
    run(factor, params=params)
    assert len(reports) == 1 and isinstance(reports[0].exc_value, KeyError)
    assert "__get_current_volatility_multiplier" in str(reports[0].object)
    assert factor._rarav_trades_count > 0
    reports.clear()  # the report's traceback holds this frame


def test_feature_collection_at_entries(reference_positions):
    signalforge = FakeSignalforge()
    factor = make_factor(signalforge=signalforge)
    factor._fit_rarAV = True
    positions = run(factor)
    np.testing.assert_allclose(positions, reference_positions[0], rtol=1e-9, atol=1e-9)
    assert signalforge.calls
    call = signalforge.calls[0]
    assert list(call) == ["pair_of_security", "pair_hedge_ratios", "data_column_names_array",
                          "rolling_window_matrix_array"]
    assert type(call["pair_of_security"]) is tuple and type(call["pair_hedge_ratios"]) is tuple
    assert call["rolling_window_matrix_array"].shape == (W, factor._column_length)
    # Every closed trade carries the features of its own entry bar.
    for record in factor._rarav_trades_store_dict.values():
        entry_bar = int(np.searchsorted(factor._data_datetime_array, record["time_of_entry"]))
        expected_close = factor._data_matrix[entry_bar - 1, 3]
        assert record["features"]["f_last_close"] == expected_close


def test_feature_generator_failure_ends_the_run_unchanged(reference_positions):
    class FailingSignalforge(FakeSignalforge):
        def generate_features_for_pair_spreads(self, **kwargs):
            features = super().generate_features_for_pair_spreads(**kwargs)
            if len(self.calls) == 5:
                raise ValueError("no features today")
            return features

    signalforge = FailingSignalforge()
    factor = make_factor(signalforge=signalforge)
    factor._fit_rarAV = True
    with pytest.raises(ValueError, match="no features today"):
        run(factor)
    # The bar of the failing entry is the current one, and the trades closed
    # before it stay in the store.
    stored = factor._rarav_trades_count
    assert 0 < stored < len(reference_positions[1])
    assert factor.current_time < factor._data_datetime_array[-1]
    assert all(r["time_of_exit"] <= factor.current_time for r in factor._rarav_trades_store_dict.values())


@pytest.mark.parametrize("fit_rarAV", [False, True])
def test_optimisation_trials_collect_training_features_but_never_gate(fit_rarAV):
    signalforge, model = FakeSignalforge(), FakeClassifier()
    factor = make_factor(signalforge=signalforge, model=model)
    factor._fit_rarAV = fit_rarAV
    factor._rarAV_optimal_entry_ready = True
    run(factor, is_optimising=True)
    assert model.seen == [] and bool(signalforge.calls) == fit_rarAV
    records = factor._rarav_trades_store_dict.values()
    assert records and all((r["features"] is not None) == fit_rarAV for r in records)


@pytest.mark.parametrize("model", [None, FakeClassifier()], ids=["no objects", "classifier only"])
def test_training_collection_without_a_feature_generator_still_backtests(model, reference_positions):
    # A rerun after fit(fit_rarAV=True) on a factor without a feature
    # generator: nothing can be collected, the trades are recorded without
    # features and the backtest is the ungated one.
    factor = make_factor(model=model)
    factor._fit_rarAV = True
    positions = run(factor)
    np.testing.assert_allclose(positions, reference_positions[0], rtol=1e-9, atol=1e-9)
    store = factor._rarav_trades_store_dict
    assert len(store) == len(reference_positions[1]) > 0
    assert all(record["features"] is None for record in store.values())
    assert model is None or model.seen == []


def test_ready_classifier_without_a_feature_generator_is_refused(capsys):
    factor = make_factor(model=FakeClassifier())
    factor._rarAV_optimal_entry_ready = True
    before = factor._raw_positions_matrix_array
    with pytest.raises(Exception, match="no rarAV_signalforge") as raised:
        run(factor)
    assert type(raised.value) is Exception
    # Refused before any bar: nothing was decided, printed or recorded.
    assert factor._raw_positions_matrix_array is before
    assert factor._rarav_trades_count == 0 and capsys.readouterr().out == ""
    with pytest.raises(Exception, match="no rarAV_signalforge"):
        factor._get_positions_array_from_rolling_matrix_for_pairs_trading_serial_cointegration_factor(
            PARAMS, factor._data_matrix[-W:], W
        )


def test_classifier_gate_prints_and_blocks(capsys):
    signalforge, model = FakeSignalforge(), FakeClassifier()
    factor = make_factor(signalforge=signalforge, model=model)
    factor._rarAV_optimal_entry_ready = True
    run(factor)
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == len(model.seen) == len(signalforge.calls) > 2
    # The window handed over is the W bars before the entry bar, in the bar
    # matrix's own memory; the line names the entry bar's time and the pair.
    for call, line in zip(signalforge.calls[:2], lines):
        window = call["rolling_window_matrix_array"]
        assert np.shares_memory(window, factor._data_matrix)
        start = (window.__array_interface__["data"][0]
                 - factor._data_matrix.__array_interface__["data"][0]) // factor._data_matrix.strides[0]
        entry_time = factor._data_datetime_array[start + W]
        assert line.startswith(f"CURRENT TIME: {entry_time} | PAIR: {call['pair_of_security']} | PREDICTION: ")
    assert lines[0].endswith(" | PREDICTION: True") and lines[1].endswith(" | PREDICTION: False")
    frame = model.seen[0]
    assert frame.shape == (1, 2) and list(frame.columns) == ["f_last_close", "f_rows"]
    # Refused entries leave no record; accepted ones that closed do.
    accepted = sum(1 for line in lines if line.endswith("True"))
    assert 0 < factor._rarav_trades_count <= accepted
    assert all(r["features"] is not None for r in factor._rarav_trades_store_dict.values())


def test_live_step_continues_the_pairs():
    factor = make_factor()
    run(factor)
    count = factor._rarav_trades_count
    window = factor._data_matrix[-W:]
    row = factor._get_positions_array_from_rolling_matrix_for_pairs_trading_serial_cointegration_factor(
        PARAMS, window, W
    )
    assert row is factor._current_positions_array and row.shape == (4,)
    assert factor._rarav_trades_count >= count
    with pytest.raises(Exception, match="window"):
        factor._get_positions_array_from_rolling_matrix_for_pairs_trading_serial_cointegration_factor(
            PARAMS, window[:-1], W
        )


def test_live_step_without_a_run_starts_the_pairs():
    factor = make_factor()
    assert factor._pair_engine is None
    row = factor._get_positions_array_from_rolling_matrix_for_pairs_trading_serial_cointegration_factor(
        PARAMS, factor._data_matrix[-W:], W
    )
    assert factor._pair_engine is not None and row.shape == (4,)
    assert len(factor._pairs_of_securities_list) == 6


def test_replaced_library_globals_are_called(monkeypatch, reference_positions):
    import korvane.factors.technical.pairtrader as module

    original_johansen, original_regression = module.coint_johansen, module.LinearRegression
    calls = {"johansen": 0, "regression": 0}

    def counting_johansen(**kwargs):
        calls["johansen"] += 1
        assert set(kwargs) == {"endog", "det_order", "k_ar_diff"}
        assert (kwargs["det_order"], kwargs["k_ar_diff"]) == (1, 0)
        return original_johansen(**kwargs)

    class CountingRegression(original_regression):
        def fit(self, X, y):
            calls["regression"] += 1
            return super().fit(X, y)

    monkeypatch.setattr(module, "coint_johansen", counting_johansen)
    monkeypatch.setattr(module, "LinearRegression", CountingRegression)
    factor = make_factor()
    positions = run(factor)
    assert calls["johansen"] > 0 and calls["regression"] > 0
    np.testing.assert_allclose(positions, reference_positions[0], rtol=1e-9, atol=1e-9)

    # A test that always fails leaves every pair flat.
    monkeypatch.setattr(module, "coint_johansen", lambda **kwargs: 1 / 0)
    assert not run(factor).any()


@pytest.mark.parametrize(
    "key",
    [
        "rolling_volatility_halflife_multiplier",
        "take_profit_std_multiplier",
        "stop_loss_current_volatility_multiplier_sensitivity_at_adjustment",
        "time_stop_halflife_multiplier",
        "time_stop_adjustment_sensitivity",
    ],
)
def test_a_nan_exit_parameter_makes_every_pair_untradable(key, reference_positions):
    # A NaN barrier setting would switch its exit off while entries went on.
    assert reference_positions[0].any()
    factor = make_factor()
    params = dict(PARAMS, **{key: float("nan")})
    assert not run(factor, params).any()
    assert factor._rarav_trades_store_dict == {}
    window = factor._data_matrix[-W:]
    assert not factor._get_positions_array_from_rolling_matrix_for_pairs_trading_serial_cointegration_factor(
        params, window, W
    ).any()
