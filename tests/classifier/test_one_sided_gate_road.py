"""A factor whose training trades hold one outcome still trains its gate; a failed training keeps the last gate."""

import pytest

from classifier.classifier_helpers import CHEAP_PARAMS, enqueue, saved_pipeline_path
from korvane._common.synthetic_universe import TRADING_PARAMS, universe_table
from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor
from korvane.rarAV.signalforge import Signalforge
from korvane.rarAV.tradegate import OptimalEntryClassifier

STUDY = "PairsTradingSerialCointegrationFactor"
LOGISTIC = dict(CHEAP_PARAMS, classifier_model_to_use="BaggingClassifierLogisticRegression")


def winners_only(preprocess):
    """The factor's first 16 training trades, every one labelled a winner."""

    def first_sixteen_won(self, *args, **kwargs):
        X, y, entry, exit_, impact = preprocess(self, *args, **kwargs)
        impact = impact.iloc[:16]
        return X.iloc[:16], y.iloc[:16] * 0 + 1, entry.iloc[:16], exit_.iloc[:16], impact / impact.sum()

    return first_sixteen_won


def gated_factor(universe_name, universe, *classifier_params):
    import optuna

    stem = f"{universe_name}_1440_annual_sharpe_ratio_0.9_{STUDY}"
    trading = optuna.create_study(study_name=STUDY, storage=f"sqlite:///{stem}.db", direction="maximize")
    trading.enqueue_trial(TRADING_PARAMS)
    enqueue(stem, STUDY, *classifier_params)
    return PairsTradingSerialCointegrationFactor(
        universe_name, universe, 1440, [], False, Signalforge(), OptimalEntryClassifier(), objective="annual_sharpe_ratio"
    )


def test_winners_only_train_a_gate_that_takes_every_entry_and_a_failed_training_keeps_it(workdir, monkeypatch, capsys):
    monkeypatch.setattr(
        PairsTradingSerialCointegrationFactor,
        "_preprocess_train_trades_store_df_for_rarAV",
        winners_only(PairsTradingSerialCointegrationFactor._preprocess_train_trades_store_df_for_rarAV),
    )
    universe = universe_table(n_securities=4, n_bars=330, freq="1D", seed=3)
    naive_bayes = gated_factor("road", universe, CHEAP_PARAMS)
    naive_bayes.fit(1, fit_rarAV=True)
    gate = saved_pipeline_path(workdir, STUDY)
    saved = gate.read_bytes()
    capsys.readouterr()
    naive_bayes.get_full_backtest_results()
    lines = capsys.readouterr().out.splitlines()
    assert lines and all(line.endswith("PREDICTION: True") for line in lines)

    # Another universe's classifier study, whose only trial is a logistic regression, saves to the same gate file.
    logistic = gated_factor("other", universe, LOGISTIC)
    with pytest.raises(ValueError) as raised:
        logistic.fit(1, fit_rarAV=True)
    message = str(raised.value)
    assert message.startswith("The entry classifier needs both outcomes (labels 0 and 1)")
    assert "its 16 trades hold only [1]" in message and type(raised.value.__cause__) is ValueError
    assert message.endswith(
        "The factor's own fit finished and is stored in other_1440_annual_sharpe_ratio_0.9_" + STUDY + ".db; "
        "the entry gate saved earlier for this study, if any, stays in use."
    )
    assert gate.read_bytes() == saved and logistic._factor_best_params_dict == TRADING_PARAMS
    capsys.readouterr()
    logistic.get_full_backtest_results()
    assert logistic._rarAV_optimal_entry_ready is True
    assert capsys.readouterr().out.splitlines() == lines


@pytest.mark.parametrize(
    "error",
    [PermissionError(13, "Permission denied", "gate.pkl"), UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad byte")],
)
def test_a_classifier_stage_error_keeps_its_type_and_its_details(error):
    from korvane.factors.technical._factor.optimisation import _classifier_stage_failures_explained

    with pytest.raises(type(error)) as raised:
        with _classifier_stage_failures_explained("s.db"):
            raise error
    told = "The factor's own fit finished and is stored in s.db; the entry gate saved earlier"
    if isinstance(error, OSError):  # a new error of the same type, with the same number and file
        assert (raised.value.errno, raised.value.filename) == (13, "gate.pkl") and raised.value.__cause__ is error
        assert told in str(raised.value) and str(raised.value).startswith("[Errno 13] Permission denied")
    else:  # a type that cannot be made from a message is raised as it was, with a note
        assert raised.value is error and told in error.__notes__[0]
