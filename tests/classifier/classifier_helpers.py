"""Helpers of the entry classifier's tests: tiny trade tables, cheap parameter sets, queued trials."""

import numpy as np
import pandas as pd

# Bagging of three Gaussian naive Bayes models on mean-imputed, f-score
# selected features: the cheapest pipeline of the search space.
CHEAP_PARAMS = dict(
    score_func_to_use="f_classif", select_top_k_features_percentile=60,
    classifier_model_to_use="BaggingClassifierGaussianNB", AdaBoostClassifier_n_estimators=3,
    AdaBoostClassifier_learning_rate=0.5, lr_penalty="l2", lr_c=1.0, lr_class_weight="None", lr_max_iter=1000,
    lr_l1_ratio=0.5, cnb_alpha=1.0, gnb_var_smoothing=1e-9, BaggingClassifier_n_estimators=3,
    BaggingClassifier_max_samples=0.9, BaggingClassifier_max_features=0.9, imputer_to_use="SimpleImputer",
    KNNImputer_n_neighbors=2, KNNImputer_weights="uniform", SimpleImputer_weights="mean",
)


class FixedTrial:
    """Answers every draw from a parameter set and records the draws in order."""

    def __init__(self, params, trial_id=1):
        self.params, self._trial_id, self.draws = params, trial_id, []

    def _answer(self, name, *args, **kwargs):
        self.draws.append((name, args, kwargs))
        return self.params[name]

    suggest_categorical = suggest_int = suggest_float = _answer


def tiny_trades(n=40, k=6, seed=0):
    """(X, y, all bar times, entry times, exit times, impact) of n daily trades with k features."""
    rng = np.random.default_rng(seed)
    bars = pd.Series(pd.date_range("2021-01-01", periods=4 * n + 20, freq="D"))
    entry = np.arange(n) * 4
    exit_ = entry + rng.integers(1, 6, n)
    X = pd.DataFrame(rng.normal(size=(n, k)), columns=[f"float64_f{i}" for i in range(k)])
    y = pd.Series((X.iloc[:, 0] + 0.5 * rng.normal(size=n) > 0).astype(np.int64), name="trade_label")
    returns = pd.Series(rng.normal(0.0, 0.02, n))
    impact = returns.abs() / returns.abs().sum()
    return X, y, bars, pd.Series(bars.values[entry]), pd.Series(bars.values[exit_]), impact


def saved_pipeline_path(workdir, factor_name="F"):
    return workdir.parent / "rarAV" / "saved_models" / f"{factor_name}_OptimalEntryClassifier.pkl"


def enqueue(stem, factor_name, *param_sets):
    """Queue parameter sets as the next trials of the classifier's study for ``stem``; no connection stays open."""
    import optuna

    storage = optuna.storages.RDBStorage(f"sqlite:///{stem}_OptimalEntryClassifier.db")
    try:
        study = optuna.create_study(
            study_name=factor_name + "_OptimalEntryClassifier",
            storage=storage,
            direction="maximize",
            load_if_exists=True,
        )
        for params in param_sets:
            study.enqueue_trial(params)
    finally:
        # A connection left to the garbage collector may still be open when a
        # test forks, and SQLite's connections must not cross a fork.
        storage.remove_session()
        storage.engine.dispose()
