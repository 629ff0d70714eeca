"""The factor trains its entry gate with fit(..., fit_rarAV=True), saves it, and later runs are gated by it."""

import numpy as np

from classifier.classifier_helpers import CHEAP_PARAMS, enqueue, saved_pipeline_path
from korvane._common.synthetic_universe import TRADING_PARAMS, universe_table
from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor
from korvane.rarAV.signalforge import Signalforge
from korvane.rarAV.tradegate import OptimalEntryClassifier

STUDY = "PairsTradingSerialCointegrationFactor"
STEM = "road_1440_annual_sharpe_ratio_0.9_" + STUDY


def factor(universe, **classifier_objects):
    return PairsTradingSerialCointegrationFactor(
        "road", universe, 1440, [], False, objective="annual_sharpe_ratio", **classifier_objects
    )


def test_fit_trains_the_gate_and_later_runs_use_it(workdir, capsys):
    import optuna

    universe = universe_table(n_securities=4, n_bars=330, freq="1D", seed=3)
    trading = optuna.create_study(study_name=STUDY, storage=f"sqlite:///{STEM}.db", direction="maximize")
    trading.enqueue_trial(TRADING_PARAMS)
    enqueue(STEM, STUDY, CHEAP_PARAMS, dict(CHEAP_PARAMS, classifier_model_to_use="AdaBoostClassifierGaussianNB"))

    gated = factor(universe, rarAV_signalforge=Signalforge(), rarAV_optimal_entry_model=OptimalEntryClassifier())
    assert gated._rarAV_optimal_entry_ready is False
    gated.fit(1, fit_rarAV=True, n_trials_to_estimate_params_for_rarAV=2)
    assert saved_pipeline_path(workdir, STUDY).is_file()
    # Every training row carries the entry's features, the trial's trades included.
    train = gated._rarav_train_trades_store_df
    feature_columns = [c for c in train.columns if c.startswith("float64_")]
    assert len(feature_columns) == 126 and not train[feature_columns].isna().all(axis=1).any()
    capsys.readouterr()

    results = gated.get_full_backtest_results()
    lines = capsys.readouterr().out.splitlines()
    assert gated._rarAV_optimal_entry_ready is True and lines
    assert all(line.startswith("CURRENT TIME: ") and line.endswith(("PREDICTION: True", "PREDICTION: False")) for line in lines)
    plain = factor(universe)
    plain.get_full_backtest_results()
    refused = sum(line.endswith("False") for line in lines)
    # A refused entry is reported flat until its exit, so the gated run differs exactly when one was refused.
    same = np.array_equal(gated._raw_positions_matrix_array, plain._raw_positions_matrix_array)
    assert same == (refused == 0)
    assert list(results.test_full_results_df.columns) == ["test_set_results"]

    # A new factor object loads the saved gate at construction, and live predictions are gated too.
    live = factor(universe, rarAV_signalforge=Signalforge(), rarAV_optimal_entry_model=OptimalEntryClassifier())
    assert live._rarAV_optimal_entry_ready is True
    weights = live.predict(return_arrays=True)
    assert np.isfinite(weights).all() and capsys.readouterr().out.count("CURRENT TIME: ") > 0
