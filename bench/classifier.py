"""Entry classifier: cost of one study trial (120 purged folds) and where a fold's time goes.

One trial on 300 trades x 126 features with a fixed cheap pipeline
(SimpleImputer mean, f_classif, Bagging of 3 GaussianNB), run through the
classifier's own objective. The reference is a straightforward table-based
loop over the same folds with the same pieces. Both must give the same score.

Target: at most 1.5 s per trial on the development machine.
"""

import logging
import pathlib
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

from classifier.classifier_helpers import CHEAP_PARAMS, FixedTrial  # noqa: E402
from korvane.rarAV import tradegate  # noqa: E402
from korvane.rarAV._tradegate import fold_scoring  # noqa: E402
from korvane.rarAV.tradegate import OptimalEntryClassifier  # noqa: E402

N_TRADES, N_FEATURES, N_BARS = 300, 126, 2000
# The tests' cheapest pipeline with the benchmark's own settings.
PARAMS = dict(
    CHEAP_PARAMS, select_top_k_features_percentile=50, AdaBoostClassifier_learning_rate=0.1,
    BaggingClassifier_max_samples=0.8, BaggingClassifier_max_features=0.8, KNNImputer_n_neighbors=3,
)


def trades(seed=0):
    rng = np.random.default_rng(seed)
    bars = pd.Series(pd.date_range("2018-01-01", periods=N_BARS, freq="D"))
    entry = np.sort(rng.choice(N_BARS - 40, N_TRADES, replace=False))
    exit_ = entry + rng.integers(1, 30, N_TRADES)
    X = pd.DataFrame(rng.normal(size=(N_TRADES, N_FEATURES)), columns=[f"float64_feature_{i}" for i in range(N_FEATURES)])
    X.iloc[:, 1] = 3.0 * X.iloc[:, 0] + 0.01 * rng.normal(size=N_TRADES)  # a correlated pair
    X.iloc[:40, 2] = np.nan  # warm-up gaps
    y = pd.Series((X.iloc[:, 0] + rng.normal(size=N_TRADES) > 0).astype(np.int64))
    returns = pd.Series(rng.normal(0.0, 0.02, N_TRADES))
    impact = returns.abs() / returns.abs().sum()
    return X, y, bars, pd.Series(bars.values[entry]), pd.Series(bars.values[exit_]), impact


def folds(X, y, entry, exit_):
    cv = tradegate.CombPurgedKFoldCV(n_splits=10, n_test_splits=3, embargo_td=pd.Timedelta(days=1))
    return list(cv.split(X=X, y=y, pred_times=entry, eval_times=exit_))


def reference_trial(X, y, bars, entry, exit_, impact, fold_list):
    """The table-based loop: every fold cleaned, imputed, filtered and scored as pandas frames."""
    scores = []
    for train, validation in fold_list:
        pieces = [tradegate.VarianceThreshold(threshold=0.05), tradegate.MinMaxScaler(),
                  tradegate.SelectPercentile(score_func=tradegate.f_classif, percentile=50)]
        vt, scaler, selector = pieces
        model = tradegate.BaggingClassifier(estimator=tradegate.GaussianNB(var_smoothing=1e-9), n_estimators=3,
                                            max_samples=0.8, max_features=0.8, bootstrap_features=True)
        X_train, y_train = X.iloc[train, :].copy(), y.iloc[train]
        values = X_train.to_numpy(copy=True)
        values[np.abs(values) > 1e15] = np.inf
        values[np.isclose(values, 0)] = 0
        X_train = pd.DataFrame(values, columns=X.columns).replace([np.inf, -np.inf], np.nan)
        imputer = tradegate.SimpleImputer(strategy="mean", keep_empty_features=True)
        X_imputed = pd.DataFrame(imputer.fit_transform(X_train), columns=X_train.columns)
        vt.fit_transform(X_imputed)
        kept = vt.get_support(indices=True)
        X_nv = X_imputed.iloc[:, kept]
        corr = X_nv.replace([np.inf, -np.inf], np.nan).fillna(0).corr().abs()
        upper = corr.where(np.triu(np.ones(corr.shape), k=1).astype(bool))
        drop = [c for c in upper.columns if any(upper[c] > 0.95)]
        X_final = selector.fit_transform(scaler.fit_transform(X_nv.drop(drop, axis=1)),
                                         np.asarray(y_train, dtype=np.int8).ravel())
        weights = tradegate.SampleWeights().fit_transform(
            bars.values, entry.iloc[train].values, exit_.iloc[train].values, impact.iloc[train].values)
        model.fit(X_final, y_train.values.ravel(), sample_weight=weights)
        X_val = X.iloc[validation, :].copy()
        values = X_val.to_numpy(copy=True)
        values[np.abs(values) > 1e15] = np.inf
        values[np.isclose(values, 0)] = 0
        X_val = pd.DataFrame(values, columns=X.columns).replace([np.inf, -np.inf], np.nan)
        X_val = pd.DataFrame(imputer.transform(X_val), columns=X_val.columns).iloc[:, kept].drop(drop, axis=1)
        prediction = model.predict(selector.transform(scaler.transform(X_val)))
        scores.append(tradegate.f1_score(y.iloc[validation].values.ravel(), prediction))
    return float(np.nanmean(scores))


def fold_split(X, y, bars, entry, exit_, impact, fold_list):
    """Seconds per fold in each stage of the classifier's own fold plumbing."""
    stages = dict.fromkeys(("clean-up and imputing", "filters", "weights", "fit and score"), 0.0)
    start = time.perf_counter()
    values = fold_scoring.cleaned_values(X.to_numpy(dtype=np.float64))
    labels, labels_int8 = y.to_numpy(), np.asarray(y, dtype=np.int8)
    stages["clean-up and imputing"] += time.perf_counter() - start
    weights_model = tradegate.SampleWeights()
    with fold_scoring._fold_loop_settings():
        _fold_split_loop(stages, values, labels, labels_int8, weights_model, bars, entry, exit_, impact, fold_list)
    return {stage: seconds / len(fold_list) for stage, seconds in stages.items()}


def _fold_split_loop(stages, values, labels, labels_int8, weights_model, bars, entry, exit_, impact, fold_list):
    for train, validation in fold_list:
        t0 = time.perf_counter()
        imputer = tradegate.SimpleImputer(strategy="mean", keep_empty_features=True)
        imputed = imputer.fit_transform(values[train])
        val_imputed = imputer.transform(values[validation])
        t1 = time.perf_counter()
        vt = tradegate.VarianceThreshold(threshold=0.05).fit(imputed)
        kept = vt.get_support(indices=True)
        dropped = fold_scoring.correlated_column_positions(imputed[:, kept])
        scaler, selector = tradegate.MinMaxScaler(), tradegate.SelectPercentile(tradegate.f_classif, percentile=50)
        X_final = selector.fit_transform(scaler.fit_transform(np.delete(imputed[:, kept], dropped, axis=1)),
                                         labels_int8[train])
        X_val = selector.transform(scaler.transform(val_imputed[:, np.delete(kept, dropped)]))
        t2 = time.perf_counter()
        weights = weights_model.fit_transform(bars.values, entry.values[train], exit_.values[train],
                                              impact.values[train])
        t3 = time.perf_counter()
        model = tradegate.BaggingClassifier(estimator=tradegate.GaussianNB(var_smoothing=1e-9), n_estimators=3,
                                            max_samples=0.8, max_features=0.8, bootstrap_features=True)
        model.fit(X_final, labels[train], sample_weight=weights)
        tradegate.f1_score(labels[validation], model.predict(X_val))
        t4 = time.perf_counter()
        for stage, seconds in zip(stages, (t1 - t0, t2 - t1, t3 - t2, t4 - t3)):
            stages[stage] += seconds


def main(repeats=3):
    logging.getLogger(" ").setLevel(logging.WARNING)
    X, y, bars, entry, exit_, impact = trades()
    fold_list = folds(X, y, entry, exit_)
    objective = getattr(OptimalEntryClassifier(), "__single_instance_optimal_entry_classifier_chimera_fit")

    def ours():
        return objective(X, y, iter(fold_list), bars, entry, exit_, impact, FixedTrial(PARAMS))

    def reference():
        return reference_trial(X, y, bars, entry, exit_, impact, fold_list)

    timings = {}
    for name, run in (("classifier objective", ours), ("table-based reference", reference)):
        best, score = float("inf"), None
        for _ in range(repeats):
            # The ensembles draw from numpy's global generator: same seed, same models.
            np.random.seed(0)
            start = time.perf_counter()
            score = run()
            best = min(best, time.perf_counter() - start)
        timings[name] = (best, score)
    (ours_s, ours_score), (ref_s, ref_score) = timings["classifier objective"], timings["table-based reference"]
    print(f"{len(fold_list)} folds, {N_TRADES} trades x {N_FEATURES} features, Bagging of 3 GaussianNB")
    print(f"classifier objective : {ours_s:6.3f} s per trial  (score {ours_score:.6f}; target <= 1.5 s)")
    print(f"table-based reference: {ref_s:6.3f} s per trial  (score {ref_score:.6f})")
    print(f"ratio reference / ours: {ref_s / ours_s:.2f}x")
    print("per-fold split of the classifier's plumbing (ms):")
    for stage, seconds in fold_split(X, y, bars, entry, exit_, impact, fold_list).items():
        print(f"  {stage:22s} {seconds * 1e3:7.3f}")


if __name__ == "__main__":
    main()
