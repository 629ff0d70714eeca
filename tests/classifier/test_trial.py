"""One trial of the classifier's study: its draws, its pieces and its purged fold scores."""

import logging

import numpy as np
import optuna
import pandas as pd
import pytest

from classifier.classifier_helpers import CHEAP_PARAMS, FixedTrial, tiny_trades
from korvane.rarAV import tradegate
from korvane.rarAV._tradegate import fold_scoring, search_space
from korvane.rarAV.tradegate import OptimalEntryClassifier

OBJECTIVE = "__single_instance_optimal_entry_classifier_chimera_fit"
DRAW_ORDER = [key for key, *_ in search_space.MODEL_DRAWS + search_space.IMPUTER_DRAWS]


def objective(folds, trial, trades=None, classifier=None):
    X, y, bars, entry, exit_, impact = trades or tiny_trades()
    method = getattr(classifier or OptimalEntryClassifier(), OBJECTIVE)
    return method(X, y, iter(folds), bars, entry, exit_, impact, trial)


def test_a_real_trial_records_all_nineteen_keys_in_draw_order():
    trades = tiny_trades()
    study = optuna.create_study(direction="maximize", sampler=optuna.samplers.RandomSampler(seed=1))
    # No folds: the trial draws everything, scores nothing and is kept as failed.
    study.optimize(lambda trial: objective([], trial, trades), n_trials=3)
    for trial in study.trials:
        assert list(trial.params) == DRAW_ORDER
    distributions = study.trials[0].distributions
    assert distributions["AdaBoostClassifier_n_estimators"].log and not distributions["lr_max_iter"].log
    assert (distributions["select_top_k_features_percentile"].low, distributions["KNNImputer_n_neighbors"].high) == (20, 5)


def test_scores_skips_failures_and_log_lines(caplog):
    # A scored fold, an empty training fold (skipped), an empty validation
    # fold (fails, scores 0): the mean is over the scored and the failed one.
    folds = [(np.arange(0, 30), np.arange(30, 40)), (np.arange(0), np.arange(0, 10)), (np.arange(0, 30), np.arange(0))]
    with caplog.at_level(logging.INFO, logger=" "):
        scored = objective(folds[:1], FixedTrial(CHEAP_PARAMS, trial_id=1))
        np.random.seed(5)
        first = objective(folds[:1], FixedTrial(CHEAP_PARAMS))
        np.random.seed(5)
        mixed = objective(folds, FixedTrial(CHEAP_PARAMS, trial_id=7))
    assert type(mixed) is np.float64 and 0 < scored <= 1
    assert mixed == pytest.approx(first / 2, abs=0, rel=1e-15)
    messages = [r.getMessage() for r in caplog.records]
    assert messages[-2] == "RUNNING TRIAL NUM 6 TO OPTIMISE PARAMETERS IN-SAMPLE | OPTIMAL ENTRY CLASSIFIER RARAV"
    assert messages[-1] == f"FINISHED TRIAL NUM 6 WITH OBJECTIVE SCORE: {round(mixed, 3)} | OPTIMAL ENTRY CLASSIFIER RARAV\n"


def test_no_scored_fold_gives_nan_and_a_bad_fold_item_fails_the_trial():
    assert np.isnan(objective([(np.arange(0), np.arange(3))], FixedTrial(CHEAP_PARAMS)))
    with pytest.raises(ValueError):
        objective([(np.arange(3),)], FixedTrial(CHEAP_PARAMS))


def test_fold_scores_equal_the_table_based_pipeline():
    # Extreme and missing values everywhere: the fast plumbing must feed the
    # pieces exactly what the table road gives them.
    X, y, bars, entry, exit_, impact = trades = tiny_trades(n=60, k=8, seed=3)
    values = X.to_numpy(copy=True)
    values[::7, 1] = 2e15
    values[::5, 2] = -np.inf
    values[::3, 3] = 5e-9
    values[:, 4] = values[:, 5] * -2.0 + 1e-12
    values[::4, 6] = np.nan
    X = pd.DataFrame(values, columns=X.columns)
    trades = (X,) + trades[1:]
    folds = [(np.arange(0, 40), np.arange(40, 60)), (np.arange(20, 60), np.arange(0, 20))]
    params = dict(CHEAP_PARAMS, classifier_model_to_use="AdaBoostClassifierGaussianNB", imputer_to_use="KNNImputer")
    np.random.seed(0)
    ours = objective(folds, FixedTrial(params), trades)
    expected = []
    for train, validation in folds:
        def prepared(rows):
            frame = X.iloc[rows].copy()
            v = frame.to_numpy(copy=True)
            v[np.abs(v) > 1e15] = np.inf
            v[np.isclose(v, 0)] = 0
            return pd.DataFrame(v, columns=X.columns).replace([np.inf, -np.inf], np.nan)
        imputer = tradegate.KNNImputer(n_neighbors=2, weights="uniform", keep_empty_features=True)
        train_frame = pd.DataFrame(imputer.fit_transform(prepared(train)), columns=X.columns)
        vt = tradegate.VarianceThreshold(threshold=0.05).fit(train_frame)
        train_frame = train_frame.iloc[:, vt.get_support(indices=True)]
        corr = train_frame.corr().abs()
        upper = corr.where(np.triu(np.ones(corr.shape), k=1).astype(bool))
        drop = [c for c in upper.columns if (upper[c] > 0.95).any()]
        assert "float64_f5" in drop
        scaler, selector = tradegate.MinMaxScaler(), tradegate.SelectPercentile(tradegate.f_classif, percentile=60)
        final = selector.fit_transform(scaler.fit_transform(train_frame.drop(drop, axis=1)), y.iloc[train].to_numpy().astype(np.int8))
        model = tradegate.AdaBoostClassifier(estimator=tradegate.GaussianNB(var_smoothing=1e-9), n_estimators=3, learning_rate=0.5)
        weights = tradegate.SampleWeights().fit_transform(bars.values, entry.values[train], exit_.values[train], impact.values[train])
        model.fit(final, y.values[train], sample_weight=weights)
        val = pd.DataFrame(imputer.transform(prepared(validation)), columns=X.columns)
        val = val.iloc[:, vt.get_support(indices=True)].drop(drop, axis=1)
        expected.append(tradegate.f1_score(y.values[validation], model.predict(selector.transform(scaler.transform(val)))))
    assert ours == np.mean(expected)


@pytest.mark.parametrize(
    "penalty, class_weight, model, expected",
    [
        ("l2", "None", "BaggingClassifierLogisticRegression", dict(l1_ratio=0.0, solver="liblinear", class_weight=None)),
        ("l1", "balanced", "AdaBoostClassifierLogisticRegression", dict(l1_ratio=1.0, solver="liblinear", class_weight="balanced")),
        ("elasticnet", "None", "AdaBoostClassifierLogisticRegression", dict(l1_ratio=0.25, solver="saga", class_weight=None)),
    ],
)
def test_logistic_regression_pieces(penalty, class_weight, model, expected):
    params = dict(CHEAP_PARAMS, lr_penalty=penalty, lr_class_weight=class_weight, classifier_model_to_use=model, lr_l1_ratio=0.25)
    ensemble = search_space.build_classifier_model(params)
    inner = ensemble.estimator
    assert {key: inner.get_params()[key] for key in expected} == expected
    X, y, *_ = tiny_trades()
    ensemble.fit(X.to_numpy(), y.to_numpy())  # accepted by the library as built


@pytest.mark.parametrize(
    "columns, dropped",
    [
        ({"a": [1, 2, 3, 4], "b": [2, 4, 6, 8.5], "c": [4, 1, 3, 2]}, ["b"]),
        ({"a": [1, 2, 3, 4], "b": [-1, -2, -3, -4], "c": [5, 5, 5, 5]}, ["b"]),  # -1 drops, constant stays
        ({"a": [0, 1, 2, 3, 4, 5], "b": [0, 1, 2, 3, 4, 6], "c": [0, 1, 2, 3, 5, 7.5]}, ["b", "c"]),
        ({"a": [1.0, np.inf, 3, 4], "b": [1.0, 0, 3, 4]}, ["b"]),  # infinity counts as 0
        ({"a": [1.0], "b": [1.0]}, []),
    ],
)
def test_correlation_filter(columns, dropped):
    frame = pd.DataFrame(columns, dtype=float)
    reduced, labels = fold_scoring.features_without_high_correlation(frame)
    assert labels == dropped == [frame.columns[p] for p in fold_scoring._pandas_correlation_drops(frame)]
    assert list(reduced.columns) == [c for c in frame.columns if c not in dropped]


def test_correlation_filter_agrees_with_the_table_library_on_random_tables():
    rng = np.random.default_rng(11)
    for _ in range(20):
        base = rng.normal(size=(50, 4))
        mixed = base @ rng.normal(size=(4, 30)) + rng.normal(size=(50, 30)) * rng.uniform(0.01, 1, 30)
        assert fold_scoring.correlated_column_positions(mixed) == fold_scoring._pandas_correlation_drops(pd.DataFrame(mixed))
