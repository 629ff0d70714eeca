"""fit end to end on tiny trade tables, the saved pipeline file, loading and predict."""

import contextlib
import logging
import os
import pickle
import re
import socket

import joblib
import numpy as np
import optuna
import pandas as pd
import pytest
from joblib.externals.loky import get_reusable_executor

from classifier.classifier_helpers import CHEAP_PARAMS, enqueue, saved_pipeline_path, tiny_trades
from korvane.rarAV import tradegate
from korvane.rarAV.tradegate import OptimalEntryClassifier

LOAD = "__check_and_load_optimal_entry_classifier"
PIPELINE_KEYS = ["imputer", "no_variance_cols", "features_to_drop_from_multicollinearity", "scaler",
                 "select_top_k_features", "classifier_model"]


def fit(classifier, trades, n_trials=1, n_jobs=1, **kwargs):
    X, y, bars, entry, exit_, impact = trades
    classifier.fit(X_train_df=X, y_train_series=y, complete_datetime_index_series=bars,
                   train_time_of_entry_series=entry, train_time_of_exit_series=exit_, impact_series=impact,
                   n_splits=4, n_test_splits=1, factor_name="F", storage_name="stem",
                   n_trials_to_estimate_params=n_trials, n_jobs=n_jobs, **kwargs)


def fixed_sampler(**kwargs):
    return optuna.samplers.PartialFixedSampler(CHEAP_PARAMS, optuna.samplers.RandomSampler(seed=kwargs["seed"]))


# Where the pool's jobs run, and whether they mark their trials: only copies
# that workers unpickled do; jobs on the fitting object itself never.
@pytest.mark.parametrize(
    "backend, n_jobs, marked", [(None, 1, False), ("loky", 2, True), ("threading", 2, False)]
)
def test_fit_saves_a_pipeline_that_loads_and_predicts(workdir, caplog, backend, n_jobs, marked):
    trades = tiny_trades()
    X = trades[0]
    X.iloc[0, 0], X.iloc[1, 1], X.iloc[:, 2] = 3e15, -np.inf, np.nan  # an all-missing column is kept and imputed
    before = X.copy()
    enqueue("stem", "F", CHEAP_PARAMS, dict(CHEAP_PARAMS, BaggingClassifier_n_estimators=2))
    classifier = OptimalEntryClassifier()
    pool = joblib.parallel_config(backend=backend) if backend else contextlib.nullcontext()
    with caplog.at_level(logging.INFO, logger=" "), pool:
        try:
            fit(classifier, trades, n_trials=2, n_jobs=n_jobs)
        finally:
            # The pool's workers stay up for reuse; later tests expect no child processes.
            get_reusable_executor().shutdown(wait=True)
    pd.testing.assert_frame_equal(X, before)  # the caller's table is left as it was
    messages = [r.getMessage() for r in caplog.records if r.name == " "]
    # Queued trials count: the study is not empty, so no trial runs before the pool.
    assert "-" * 29 + "STUDY DB IS EMPTY, INITIALIZING DB WITH SINGLE FIT" + "-" * 29 not in messages
    assert messages[-1].startswith("FINISHED FITTING RARAV TO TRAINING SET WITH OBJECTIVE SCORE: ")
    study = optuna.load_study(study_name="F_OptimalEntryClassifier", storage="sqlite:///stem_OptimalEntryClassifier.db")
    assert len(study.trials) == 2 and all(t.state.name == "COMPLETE" for t in study.trials)
    assert f"BEST TRIAL SO FAR: {study.best_trial.number} WITH SCORE: {round(study.best_value, 3)} | Optimal Entry Classifier\n" in messages
    # Study files are shared: a trial's mark is the search's random token and its job, nothing of this machine.
    jobs = sorted(t.system_attrs.get("fit_job") or [] for t in study.trials)
    if marked:
        token = jobs[0][0]
        assert re.fullmatch("[0-9a-f]{32}", token) and jobs == [[token, 0], [token, 1]]
    else:
        assert jobs == [[], []]
    assert socket.gethostname() not in repr([t.system_attrs for t in study.trials])
    _, carried = classifier.__reduce__()  # pickled as before the search
    assert carried[:2] == ("F_OptimalEntryClassifier", "sqlite:///" + str(workdir / "stem_OptimalEntryClassifier.db"))

    path = saved_pipeline_path(workdir)
    assert os.listdir(path.parent) == [path.name]
    with open(path, "rb") as handle:
        assert list(pickle.load(handle)) == PIPELINE_KEYS
    loader = OptimalEntryClassifier()
    assert getattr(loader, LOAD)(factor_name="F") is True
    decisions = [loader.predict(X.iloc[[i]]) for i in range(len(X))]
    assert set(decisions) <= {0, 1}
    # Two rows: the first row's label. Values beyond 1e15 are missing, as in training.
    assert loader.predict(X.iloc[[5, 0]]) == decisions[5]
    row = X.iloc[[3]].copy()
    row.iloc[0, 0] = 2e15
    cleaned = row.copy()
    cleaned.iloc[0, 0] = np.nan
    assert loader.predict(row) == loader.predict(cleaned)


def test_an_empty_study_gets_its_first_trial_in_process(workdir, monkeypatch, caplog):
    monkeypatch.setattr(tradegate, "TPESampler", fixed_sampler)
    with caplog.at_level(logging.INFO, logger=" "):
        fit(OptimalEntryClassifier(), tiny_trades(), n_trials=1, n_jobs=-1)
    banners = [r.getMessage().strip("-") for r in caplog.records if r.getMessage().startswith("-")]
    assert banners == [
        "BEGINNING IN-SAMPLE RARAV OPTIMISATION", "STUDY DB IS EMPTY, INITIALIZING DB WITH SINGLE FIT",
        "FITTING SINGLE FIT BEFORE MULTIPROCESSING", "BEGINNING MULTIPROCESSED IN-SAMPLE RARAV OPTIMISATION",
        "IN-SAMPLE RARAV OPTIMISATION COMPLETE", "BEGINNING FITTING TO TRAINING SET RARAV",
    ]
    assert saved_pipeline_path(workdir).is_file()


@pytest.mark.parametrize("pool_fails", [False, True])
def test_the_search_hands_joblib_bound_tasks_and_marks_only_pickles_made_meanwhile(workdir, monkeypatch, pool_fails):
    monkeypatch.setattr(tradegate, "TPESampler", fixed_sampler)
    classifier = OptimalEntryClassifier()
    handed = []

    def recording_parallel(n_jobs):
        def run(tasks):
            # What a worker, or another thread pickling meanwhile, gets.
            handed.append((n_jobs, list(tasks), classifier.__reduce__(), pickle.loads(pickle.dumps(classifier))))
            if pool_fails:
                raise RuntimeError("the pool broke")

        return run

    monkeypatch.setattr(tradegate, "Parallel", recording_parallel)
    failing = pytest.raises(RuntimeError, match="the pool broke") if pool_fails else contextlib.nullcontext()
    with failing:
        fit(classifier, tiny_trades(), n_trials=4, n_jobs=2)  # the empty study's first trial runs here
    [(n_jobs, tasks, reduced, copy)] = handed
    assert n_jobs == 2
    task = getattr(OptimalEntryClassifier, "__fit_single_instance")
    assert [(f.__self__, f.__func__, args, kwargs) for f, args, kwargs in tasks] == [
        (classifier, task, (index,), {}) for index in range(3)
    ]
    assert len(reduced) == 3 and re.fullmatch("[0-9a-f]{32}", reduced[2][0])
    # Once the search is over, however it ended, neither the object nor a copy passes the mark on.
    assert len(classifier.__reduce__()) == 2 and len(copy.__reduce__()) == 2
    # A copy called directly, outside a pool's task, does not mark its trial with a search long over.
    getattr(copy, "__fit_single_instance")(7)
    study = optuna.load_study(study_name="F_OptimalEntryClassifier", storage="sqlite:///stem_OptimalEntryClassifier.db")
    assert [t.system_attrs.get("fit_job") for t in study.trials] == [None, None]


def test_loader_reports_missing_files_and_keeps_an_earlier_pipeline(workdir):
    classifier = OptimalEntryClassifier()
    assert getattr(classifier, LOAD)() is False  # no directory at all
    assert classifier.__reduce__()[1][0] == "_OptimalEntryClassifier"
    saved_pipeline_path(workdir).mkdir(parents=True)  # a directory at the file's path
    assert getattr(classifier, LOAD)(factor_name="F") is False
    with pytest.raises(TypeError):
        getattr(classifier, LOAD)(factor_name=None)
    with pytest.raises(AttributeError, match="transform"):
        classifier.predict(pd.DataFrame({"a": [1.0]}))


def test_fit_names_its_study_before_a_storage_name_that_is_not_text_fails(workdir):
    classifier = OptimalEntryClassifier()
    with pytest.raises(TypeError):
        classifier.fit(*tiny_trades(), n_splits=4, n_test_splits=1, factor_name="F", storage_name=5)
    assert classifier.__reduce__()[1][:2] == ("F_OptimalEntryClassifier", None)


class Gadget:
    def __reduce__(self):
        return (os.system, ("touch pwned",))


@pytest.mark.parametrize(
    "content, error",
    [
        (pickle.dumps({"imputer": Gadget()}), "posix.system"),
        (pickle.dumps({key: np.memmap for key in PIPELINE_KEYS}), "numpy"),
        (pickle.dumps({key: 1 for key in PIPELINE_KEYS})[:-7], "truncated"),
        (b"", "truncated"),
    ],
    ids=["command", "memmap", "truncated", "empty"],
)
def test_unsafe_or_broken_files_are_refused_without_side_effects(workdir, content, error):
    path = saved_pipeline_path(workdir)
    path.parent.mkdir(parents=True)
    path.write_bytes(content)
    classifier = OptimalEntryClassifier()
    classifier._imputer = "earlier"
    with pytest.raises(pickle.UnpicklingError, match=error) as raised:
        getattr(classifier, LOAD)(factor_name="F")
    assert str(path.relative_to(workdir.parent)) in str(raised.value)
    assert not (workdir / "pwned").exists() and classifier._imputer == "earlier"


def test_a_failed_final_fit_keeps_the_saved_pipeline(workdir):
    path = saved_pipeline_path(workdir)
    path.parent.mkdir(parents=True)
    path.write_bytes(b"earlier")
    # A logistic regression cannot be fitted on one class: the search scores
    # 0 and the final fit raises, after which the earlier file is untouched.
    X, y, *rest = tiny_trades()
    y[:] = 0
    enqueue("stem", "F", dict(CHEAP_PARAMS, classifier_model_to_use="BaggingClassifierLogisticRegression"))
    with pytest.raises(ValueError, match="class"):
        fit(OptimalEntryClassifier(), (X, y, *rest))
    assert path.read_bytes() == b"earlier" and os.listdir(path.parent) == [path.name]


def test_too_few_trades_for_the_folds_ends_with_the_optimisers_error(workdir):
    with pytest.raises(ValueError):
        fit(OptimalEntryClassifier(), tiny_trades(n=3))
    assert not saved_pipeline_path(workdir).parent.exists()


def test_an_interrupt_stops_the_search(workdir, monkeypatch):
    def interrupted(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(tradegate, "f1_score", interrupted)
    enqueue("stem", "F", CHEAP_PARAMS)
    with pytest.raises(KeyboardInterrupt):
        fit(OptimalEntryClassifier(), tiny_trades())
