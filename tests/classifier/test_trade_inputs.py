"""Trade inputs the classifier scores alike or refuses up front, and the sampler's quiet start."""

import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest
from timeseriescv.cross_validation import CombPurgedKFoldCV

from classifier.classifier_helpers import CHEAP_PARAMS, FixedTrial, tiny_trades
from korvane.rarAV.tradegate import OptimalEntryClassifier

OBJECTIVE = "__single_instance_optimal_entry_classifier_chimera_fit"
ARRAY_FOLDS = [(np.arange(0, 30), np.arange(30, 40)), (np.arange(10, 40), np.arange(0, 10))]
# The same folds as plain lists, with an empty training list (skipped) between them.
LIST_FOLDS = [(list(range(0, 30)), list(range(30, 40))), ([], list(range(10))), (list(range(10, 40)), list(range(10)))]


# The same folds as boolean masks over the 40 trades.
MASK_FOLDS = [(np.isin(np.arange(40), train), np.isin(np.arange(40), test)) for train, test in ARRAY_FOLDS]


def _zoned(series, zone):
    aware = series.dt.tz_localize("UTC")
    if zone == "UTC and Tokyo":  # an object Series of Timestamps in two zones
        return pd.Series([t.tz_convert("Asia/Tokyo") if i % 2 else t for i, t in enumerate(aware)], dtype=object)
    return aware.dt.tz_convert(zone)


@pytest.mark.parametrize(
    "zone, folds",
    [
        (None, LIST_FOLDS),
        (None, MASK_FOLDS),
        ("UTC", ARRAY_FOLDS),
        ("Asia/Tokyo", ARRAY_FOLDS),
        ("UTC and Tokyo", ARRAY_FOLDS),
    ],
)
def test_aware_times_and_list_folds_score_as_naive_times_and_array_folds(zone, folds):
    X, y, bars, entry, exit_, impact = tiny_trades()
    score = getattr(OptimalEntryClassifier(), OBJECTIVE)
    cpcv = CombPurgedKFoldCV(n_splits=4, n_test_splits=1, embargo_td=pd.Timedelta(days=1))
    naive_split = list(cpcv.split(X, y, pred_times=entry, eval_times=exit_))
    np.random.seed(1)
    expected = score(X, y, iter(ARRAY_FOLDS), bars, entry, exit_, impact, FixedTrial(CHEAP_PARAMS))
    if zone is not None:
        bars, entry, exit_ = (_zoned(s, zone) for s in (bars, entry, exit_))
    np.random.seed(1)
    got = score(X, y, iter(folds), bars, entry, exit_, impact, FixedTrial(CHEAP_PARAMS))
    assert expected > 0 and got == expected
    split = list(cpcv.split(X, y, pred_times=entry, eval_times=exit_))
    assert all(np.array_equal(a, b) for fold, naive in zip(split, naive_split) for a, b in zip(fold, naive))


@pytest.mark.parametrize(
    "folds, expected",
    [
        # Positions read outside a fold's guard fail the trial; inside it, the fold scores 0.
        ([(np.arange(0, 30) + 0.5, np.arange(30, 40))], "integer positions or a boolean mask; got dtype float64"),
        ([(np.arange(0, 30), np.arange(30, 40) * 1.0)], 0.0),
        ([(np.ones(30, dtype=bool), np.arange(30, 40))], r"one entry per training trade \(40\); it has shape \(30,\)"),
    ],
)
def test_fold_positions_that_are_not_integers_or_a_mask_are_refused(folds, expected):
    X, y, bars, entry, exit_, impact = tiny_trades()
    score = getattr(OptimalEntryClassifier(), OBJECTIVE)
    if isinstance(expected, str):
        with pytest.raises(IndexError, match=expected):
            score(X, y, iter(folds), bars, entry, exit_, impact, FixedTrial(CHEAP_PARAMS))
    else:
        assert score(X, y, iter(folds), bars, entry, exit_, impact, FixedTrial(CHEAP_PARAMS)) == expected


@pytest.mark.parametrize(
    "n_trades, label, n_splits, message",
    [(6, None, 10, r"has 6 training trades; its 10 cross-validation splits need at least 10")],
)
def test_fit_refuses_unusable_trades_before_the_first_trial(workdir, n_trades, label, n_splits, message):
    X, y, bars, entry, exit_, impact = tiny_trades(n=n_trades)
    if label is not None:
        y = pd.Series(label, index=y.index, name=y.name)
    with pytest.raises(ValueError, match=message):
        OptimalEntryClassifier().fit(
            X, y, bars, entry, exit_, impact, n_splits=n_splits, n_test_splits=1, factor_name="F", storage_name="s"
        )
    assert list(workdir.iterdir()) == []  # no study was opened


def test_a_classifier_only_process_opens_studies_without_the_group_notice(tmp_path):
    # A sampler made outside the classifier still gets optuna's notice, once.
    script = textwrap.dedent(
        """
        import optuna
        from korvane.rarAV.tradegate import OptimalEntryClassifier
        classifier = OptimalEntryClassifier(study_name="quiet")
        for seed in (69, 70):
            classifier._open_study(seed)
        optuna.samplers.TPESampler(multivariate=True, group=True)
        """
    )
    run = subprocess.run(
        [sys.executable, "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=120, check=True
    )
    assert run.stderr.count("ExperimentalWarning") == 1
