"""A factor holding a real Signalforge collects full feature rows at its entries."""

import numpy as np
import optuna

from korvane._common.synthetic_universe import TRADING_PARAMS, universe_table
from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor
from korvane.rarAV.signalforge import Signalforge

STUDY = "PairsTradingSerialCointegrationFactor"


class RecordingClassifier:
    """No saved pipeline; keeps what the factor trains it on."""

    def __init__(self):
        self.fit_calls = []

    def fit(self, **kwargs):
        self.fit_calls.append(kwargs)


class RecordingSignalforge(Signalforge):
    __slots__ = ("calls",)

    def __init__(self):
        self.calls = []

    def generate_features_for_pair_spreads(self, **kwargs):
        row = super().generate_features_for_pair_spreads(**kwargs)
        self.calls.append((kwargs, row))
        return row


setattr(RecordingClassifier, "__check_and_load_optimal_entry_classifier", lambda self, factor_name="": False)


def test_fit_rarav_collects_real_feature_rows(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    universe = universe_table(n_securities=5, n_bars=330, freq="1D", seed=3)
    classifier, signalforge = RecordingClassifier(), RecordingSignalforge()
    factor = PairsTradingSerialCointegrationFactor(
        "road", universe, 1440, [], False, signalforge, classifier, objective="annual_sharpe_ratio"
    )
    stem = "road_1440_annual_sharpe_ratio_0.9_" + STUDY
    study = optuna.create_study(study_name=STUDY, storage=f"sqlite:///{stem}.db", direction="maximize")
    study.enqueue_trial(TRADING_PARAMS)
    factor.fit(1, fit_rarAV=True)

    records = [r for r in factor._rarav_trades_store_dict.values() if r["features"] is not None]
    assert records
    calls = {id(row): kwargs for kwargs, row in signalforge.calls}
    window_size = TRADING_PARAMS["size_of_rolling_windows"]
    for record in records:
        kwargs = calls[id(record["features"])]
        entry_bar = int(np.searchsorted(factor._data_datetime_array, record["time_of_entry"]))
        np.testing.assert_array_equal(
            kwargs["rolling_window_matrix_array"], factor._data_matrix[entry_bar - window_size : entry_bar]
        )
        assert kwargs["pair_of_security"] == record["trade_securities"]
        assert len(record["features"]) == 126
    # The basket of the other three securities gives finite features.
    assert np.isfinite(records[0]["features"]["float64_rsi_all_others_short"])
    (call,) = classifier.fit_calls
    assert list(call["X_train_df"].columns) == list(records[0]["features"])
