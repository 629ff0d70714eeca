"""A factor whose training trades hold one outcome still trains its gate; a failed training keeps the last gate."""

import sqlite3

import optuna
import pytest

from classifier.classifier_helpers import CHEAP_PARAMS, enqueue, saved_pipeline_path
from korvane._common.synthetic_universe import TRADING_PARAMS, universe_table
from korvane.factors.technical._factor.optimisation import _classifier_stage_failures_explained
from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor as Factor
from korvane.rarAV.signalforge import Signalforge
from korvane.rarAV.tradegate import OptimalEntryClassifier

STUDY = "PairsTradingSerialCointegrationFactor"
OBJECTIVE = "annual_sharpe_ratio"
TOLD = (
    "The factor's own fit finished and is stored in {}; "
    "the entry gate saved earlier for this study, if any, stays in use."
)


def trained_on_sixteen_winners(universe_name, classifier_params, monkeypatch):
    """A gated factor whose classifier trains on its first 16 training trades, every one labelled a winner."""
    preprocess = Factor._preprocess_train_trades_store_df_for_rarAV

    def winners(self, *args, **kwargs):
        X, y, entry, exit_, impact = (part.iloc[:16] for part in preprocess(self, *args, **kwargs))
        return X, y * 0 + 1, entry, exit_, impact / impact.sum()

    monkeypatch.setattr(Factor, "_preprocess_train_trades_store_df_for_rarAV", winners)
    stem = f"{universe_name}_1440_{OBJECTIVE}_0.9_{STUDY}"
    optuna.create_study(study_name=STUDY, storage=f"sqlite:///{stem}.db", direction="maximize").enqueue_trial(
        TRADING_PARAMS
    )
    enqueue(stem, STUDY, classifier_params)
    universe = universe_table(n_securities=4, n_bars=330, freq="1D", seed=3)
    classifier = OptimalEntryClassifier()
    return Factor(universe_name, universe, 1440, [], False, Signalforge(), classifier, objective=OBJECTIVE)


def test_winners_only_train_a_gate_that_takes_every_entry_and_a_failed_training_keeps_it(workdir, monkeypatch, capsys):
    naive_bayes = trained_on_sixteen_winners("road", CHEAP_PARAMS, monkeypatch)
    naive_bayes.fit(1, fit_rarAV=True)
    saved = saved_pipeline_path(workdir, STUDY).read_bytes()
    capsys.readouterr()
    naive_bayes.get_full_backtest_results()
    lines = capsys.readouterr().out.splitlines()
    assert lines and all(line.endswith("PREDICTION: True") for line in lines)

    # Another universe's classifier study, whose only trial is a logistic regression, saves to the same gate file.
    logistic = dict(CHEAP_PARAMS, classifier_model_to_use="BaggingClassifierLogisticRegression")
    other = trained_on_sixteen_winners("other", logistic, monkeypatch)
    with pytest.raises(ValueError) as raised:
        other.fit(1, fit_rarAV=True)
    assert str(raised.value) == (
        "The entry classifier needs both outcomes (labels 0 and 1) among its training trades to fit the best "
        "trial's BaggingClassifierLogisticRegression, a logistic regression ensemble; its 16 trades hold only [1]."
    )
    assert raised.value.__notes__ == [TOLD.format(f"other_1440_{OBJECTIVE}_0.9_{STUDY}.db")]
    assert saved_pipeline_path(workdir, STUDY).read_bytes() == saved
    capsys.readouterr()
    other.get_full_backtest_results()
    assert capsys.readouterr().out.splitlines() == lines


def stage_errors():
    """Errors with an attribute a caller reads, and its value: each must reach the caller as the object raised."""
    try:
        sqlite3.connect(":memory:").execute("no such statement")
    except sqlite3.OperationalError as error:
        database = error
    try:
        object().lr_c
    except AttributeError as error:
        attribute = error
    return [(PermissionError(13, "Permission denied", "gate.pkl"), "filename", "gate.pkl"),
            (KeyError("lr_c"), "args", ("lr_c",)), (database, "sqlite_errorname", "SQLITE_ERROR"),
            (attribute, "name", "lr_c")]


@pytest.mark.parametrize("error, attribute, value", stage_errors(), ids=["oserror", "keyerror", "sqlite", "attribute"])
def test_a_classifier_stage_error_reaches_the_caller_unchanged_with_a_note(error, attribute, value):
    with pytest.raises(type(error)) as raised, _classifier_stage_failures_explained("s.db"):
        raise error
    assert raised.value is error and error.__notes__ == [TOLD.format("s.db")]
    assert getattr(error, attribute) == value
