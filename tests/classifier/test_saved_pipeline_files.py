"""The saved pipeline file as data from disk: what loading refuses, file modes, pickle protocols."""

import os
import pickle
import signal

import numpy as np
import pandas as pd
import pytest
from sklearn.preprocessing import MinMaxScaler

from classifier.classifier_helpers import CHEAP_PARAMS, saved_pipeline_path, tiny_trades
from korvane.rarAV._tradegate import fold_scoring, saved_pipeline, search_space
from korvane.rarAV.tradegate import OptimalEntryClassifier

LOAD = "__check_and_load_optimal_entry_classifier"


def fitted_pipeline(**params):
    """The six pieces the final fit saves, fitted directly on a tiny trade table (no study)."""
    params = dict(CHEAP_PARAMS, **params)
    X, y = tiny_trades()[:2]
    _, vt, scaler, selector = search_space.build_selection_pieces(params)
    imputer = search_space.build_imputer(params)
    imputed = pd.DataFrame(imputer.fit_transform(X), columns=X.columns)
    positions = vt.fit(imputed).get_support(indices=True)
    kept, drops = fold_scoring.features_without_high_correlation(imputed.iloc[:, positions])
    model = search_space.build_classifier_model(params)
    model.fit(selector.fit_transform(scaler.fit_transform(kept), y.values), y.values)
    return {"imputer": imputer, "no_variance_cols": positions, "features_to_drop_from_multicollinearity": drops,
            "scaler": scaler, "select_top_k_features": selector, "classifier_model": model}


class Calls:
    """Pickles as a call of ``func`` with ``args`` (and a state), whatever the protocol."""

    def __init__(self, func, args, state=None):
        self.reduced = (func, args) if state is None else (func, args, state)

    def __reduce__(self):
        return self.reduced


def with_field(**fields):
    return pickle.dumps(dict(fitted_pipeline(), **fields))


def parallel_bagging():
    pipeline = fitted_pipeline()
    pipeline["classifier_model"].n_jobs = 8
    return pickle.dumps(pipeline)


def over_scaler():
    pipeline = fitted_pipeline()
    pipeline["classifier_model"].estimator = MinMaxScaler()
    return pickle.dumps(pipeline)


def claimed_bytearray():
    return b"\x80\x05\x96" + (2**40).to_bytes(8, "little") + b"."


def fifo(path):
    os.mkfifo(path)


@pytest.mark.parametrize(
    "content, error",
    [
        (lambda: pickle.dumps(Calls(list, (range(30_000_000),))), "builtins.list"),
        (lambda: pickle.dumps(Calls(bytearray, (10**9,))), "builtins.bytearray"),
        (lambda: pickle.dumps(Calls(np.ndarray, ((10**5, 10**5),))), "calls ndarray"),
        (lambda: pickle.dumps(Calls(np.zeros, ((10**5, 10**5),))), "numpy.zeros"),
        # An object array whose element list is shorter than its shape: numpy would read past the list.
        (lambda: pickle.dumps(Calls(np.ndarray.__reduce__(np.zeros(0))[0], (np.ndarray, (0,), b"b"),
                                    (1, (10**7,), np.dtype(object), False, [1]))), "data of another size"),
        (claimed_bytearray, "truncated"),
        (parallel_bagging, 'n_jobs=8 in "classifier_model"'),
        (lambda: pickle.dumps(dict.fromkeys(saved_pipeline.PIPELINE_KEYS, "x")), 'a str as "imputer"'),
        (lambda: with_field(no_variance_cols=np.array([0.5, 1.0])), 'float64 as "no_variance_cols"'),
        (lambda: with_field(features_to_drop_from_multicollinearity="abc"), 'str as "features_to_drop'),
        (lambda: with_field(scaler=fitted_pipeline()["imputer"]), 'SimpleImputer as "scaler"'),
        (over_scaler, 'BaggingClassifier over a MinMaxScaler as "classifier_model"'),
        (fifo, "not a regular file"),
        ("oversized", "more than the 1000"),
    ],
    ids=["list-range", "bytearray", "ndarray", "zeros", "object-array", "bytearray-claim", "n_jobs", "strings",
         "float-positions", "label-text", "swapped-piece", "inner-model", "fifo", "oversized"],
)
def test_hostile_files_are_refused_before_any_field_changes(workdir, monkeypatch, content, error):
    path = saved_pipeline_path(workdir)
    path.parent.mkdir(parents=True)
    if content == "oversized":
        monkeypatch.setattr(saved_pipeline, "MAX_PIPELINE_BYTES", 1000)
        path.write_bytes(pickle.dumps(fitted_pipeline()))
    elif content is fifo:
        fifo(path)
        monkeypatch.setattr(os.path, "isfile", lambda _: True)  # swapped in after the existence test
    else:
        path.write_bytes(content())
    classifier = OptimalEntryClassifier()
    classifier._imputer = "earlier"

    def blocked(*_):
        pytest.fail("loading blocked")

    previous = signal.signal(signal.SIGALRM, blocked)
    signal.alarm(20)
    try:
        with pytest.raises(pickle.UnpicklingError, match=error):
            getattr(classifier, LOAD)(factor_name="F")
    finally:
        signal.alarm(0)
        signal.signal(signal.SIGALRM, previous)
    assert classifier._imputer == "earlier"


@pytest.mark.parametrize("umask, new_mode", [(0o022, 0o644), (0o007, 0o660)])
def test_saved_files_get_the_mode_a_plain_open_gives(workdir, umask, new_mode):
    path = saved_pipeline_path(workdir)
    previous = os.umask(umask)
    try:
        saved_pipeline.save_pipeline(str(path), {"x": 1})
        assert path.stat().st_mode & 0o777 == new_mode
        path.chmod(0o664)
        saved_pipeline.save_pipeline(str(path), {"x": 2})
    finally:
        os.umask(previous)
    assert path.stat().st_mode & 0o777 == 0o664 and os.listdir(path.parent) == [path.name]


@pytest.mark.parametrize("params", [
    dict(imputer_to_use="KNNImputer", classifier_model_to_use="AdaBoostClassifierLogisticRegression",
         score_func_to_use="mutual_info_classif"),
    dict(CHEAP_PARAMS),
], ids=["knn-adaboost", "simple-bagging"])
def test_every_pickle_protocol_round_trips(workdir, params):
    pipeline = fitted_pipeline(**params)
    reference = OptimalEntryClassifier()
    for key, value in pipeline.items():
        setattr(reference, "_" + key, value)
    X = tiny_trades()[0].iloc[:8]
    expected = [reference.predict(X.iloc[[i]]) for i in range(len(X))]
    path = saved_pipeline_path(workdir)
    path.parent.mkdir(parents=True)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        path.write_bytes(pickle.dumps(pipeline, protocol=protocol))
        loader = OptimalEntryClassifier()
        assert getattr(loader, LOAD)(factor_name="F") is True
        assert [loader.predict(X.iloc[[i]]) for i in range(len(X))] == expected, protocol
