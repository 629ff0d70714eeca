"""The saved pipeline file as data from disk: what loading refuses, file modes, links, pickle protocols."""

import copyreg
import errno
import gc
import logging
import multiprocessing
import os
import pathlib
import pickle
import re
import signal
import tempfile
import threading

import numpy as np
import pandas as pd
import pytest
from sklearn.feature_selection import f_classif
from sklearn.linear_model import LogisticRegression
from sklearn.naive_bayes import GaussianNB
from sklearn.preprocessing import MinMaxScaler

from child_limits import limit_this_process
from classifier.classifier_helpers import CHEAP_PARAMS, saved_pipeline_path, tiny_trades
from korvane.rarAV._tradegate import admitted_objects, bounded_unpickler, fold_scoring, saved_pipeline, search_space
from korvane.rarAV._tradegate.admitted_objects import check_text_data
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


def parallel_bagging(n_jobs=8):
    pipeline = fitted_pipeline()
    pipeline["classifier_model"].n_jobs = n_jobs
    return pickle.dumps(pipeline)


def over_scaler():
    pipeline = fitted_pipeline()
    pipeline["classifier_model"].estimator = MinMaxScaler()
    return pickle.dumps(pipeline)


def knn_imputer_with(**settings):
    pipeline = fitted_pipeline(imputer_to_use="KNNImputer")
    for name, value in settings.items():
        setattr(pipeline["imputer"], name, value)
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
        (lambda: pickle.dumps(dict.fromkeys(saved_pipeline.PIPELINE_KEYS[:3], "x")), 'no "scaler" entry'),
        (lambda: with_field(no_variance_cols=np.array([0.5, 1.0])), 'float64 as "no_variance_cols"'),
        (lambda: with_field(features_to_drop_from_multicollinearity="abc"), 'str as "features_to_drop'),
        (lambda: with_field(scaler=fitted_pipeline()["imputer"]), 'SimpleImputer as "scaler"'),
        (over_scaler, 'BaggingClassifier over a MinMaxScaler as "classifier_model"'),
        (fifo, "not a regular file"),
        ("oversized", "more than the 1000"),
        # Settings scikit-learn would call at every predict.
        (lambda: knn_imputer_with(metric=f_classif), "a function as its metric"),
        (lambda: knn_imputer_with(metric=LogisticRegression), "a class as its metric"),
        (lambda: knn_imputer_with(metric=np.ndarray), "a class as its metric"),
        (lambda: knn_imputer_with(weights=GaussianNB), "a class as its weights"),
    ],
    ids=["list-range", "bytearray", "ndarray", "zeros", "object-array", "bytearray-claim", "n_jobs", "strings",
         "no-key", "float-positions", "label-text", "swapped-piece", "inner-model", "fifo", "oversized",
         "metric-function", "metric-class", "metric-ndarray", "weights-class"],
)
def test_hostile_files_are_refused_before_any_pipeline_field_changes(workdir, monkeypatch, content, error):
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
    classifier._imputer = classifier._study_name = "earlier"

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
    assert classifier._imputer == "earlier" and classifier._study_name == "F_OptimalEntryClassifier"


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
    dict(imputer_to_use=("KNNImputer", "SimpleImputer")[i % 2], classifier_model_to_use=model,
         score_func_to_use=("mutual_info_classif", "f_classif")[i % 2], AdaBoostClassifier_learning_rate=0.1)
    for i, model in enumerate(search_space.MODEL_NAMES)
], ids=search_space.MODEL_NAMES)
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
        content = pickle.dumps(pipeline, protocol=protocol)
        path.write_bytes(content)
        loader = OptimalEntryClassifier()
        assert getattr(loader, LOAD)(factor_name="F") is True
        assert [loader.predict(X.iloc[[i]]) for i in range(len(X))] == expected, protocol
        # What pickle makes of the file: pickled again (a stand-in, shell or class of the loader's left in it
        # would be written as such) and read back, so that which equal texts are one object does not count.
        loaded = pickle.loads(pickle.dumps(saved_pipeline.load_pipeline(str(path)), protocol=protocol))
        assert pickle.dumps(loaded, protocol=protocol) == pickle.dumps(pickle.loads(content), protocol=protocol), protocol


# ------------------------------------------------------------------ files that cost more than their size

FORK = multiprocessing.get_context("fork")


def in_child(work, *, address_space=None, file_size=None, bound_by_file_modes=False, timeout=30):
    """What ``work()`` returns or raises (type, text, errno, file name), run in a forked child under limits."""
    receive, send = FORK.Pipe(duplex=False)

    def run():
        limit_this_process(bound_by_file_modes=bound_by_file_modes, file_size=file_size, address_space=address_space)
        try:
            send.send(("returned", work()))
        except BaseException as error:
            send.send((type(error), str(error), getattr(error, "errno", None), getattr(error, "filename", None)))

    child = FORK.Process(target=run)
    child.start()
    child.join(timeout)
    if child.is_alive():
        child.kill()
        child.join()
        pytest.fail(f"the child ran for more than {timeout} s")
    assert child.exitcode == 0, f"the child ended with {child.exitcode}"
    return receive.recv()


class Makes:
    """Pickles as a new ``cls`` given ``state``: NEWOBJ, then BUILD."""

    def __init__(self, cls, state):
        self.cls, self.state = cls, state

    __class__ = property(lambda self: self.cls)  # what the pickler checks NEWOBJ's class against

    def __reduce__(self):
        return copyreg.__newobj__, (self.cls,), self.state


ARRAY_SHELL = np.ndarray.__reduce__(np.zeros(0))[0]
SHELL = Calls(ARRAY_SHELL, (np.ndarray, (0,), b"b"))
BIG = 1 << 160_000  # a 20 KB integer
VERSION = "1" * 2**20
TUPLE1, EMPTY_TUPLE, HEADER = pickle.TUPLE1, pickle.EMPTY_TUPLE, pickle.PROTO + b"\x04"


def nested_arrays(levels):
    inner = np.empty(1, dtype=object)
    for _ in range(levels):
        outer = np.empty(1, dtype=object)
        outer[0] = inner
        inner = outer
    return pickle.dumps(inner)


def rebuilt_state(estimator=b"sklearn.naive_bayes\nGaussianNB", entries=100_000, times=20_000):
    """One estimator given the same ``entries``-entry state ``times`` times, five bytes each."""
    estimator = b"c" + estimator + b"\n)" + pickle.NEWOBJ + b"q\x01"
    entries = b"".join(pickle.SHORT_BINUNICODE + bytes([len(key)]) + key + pickle.NONE
                       for key in (f"k{i}".encode() for i in range(entries)))
    state = pickle.EMPTY_DICT + b"q\x02" + pickle.MARK + entries + pickle.SETITEMS
    again = b"h\x01h\x02" + pickle.BUILD + pickle.POP
    return pickle.PROTO + b"\x02" + estimator + state + pickle.BUILD + again * times + pickle.STOP


def filled_inside(levels, first, then):
    """``first``, then ``levels`` containers, each put into the one before while empty and filled after."""
    return HEADER + first + b"q\x00" + (then + pickle.POP + b"h\x01") * levels + pickle.STOP


GNB = b"csklearn.naive_bayes\nGaussianNB\n" + EMPTY_TUPLE + pickle.NEWOBJ


def array_runs(runs, per_run=20):
    """Runs of object arrays nested as pickle writes them; each run's innermost holds a list the next run fills."""
    start = pickle.dumps(np.dtype(object), protocol=2)[2:-1] + b"0cnumpy._core.multiarray\n_reconstruct\nq\x010"
    shell = b"h\x01h\x02K\x00\x85C\x01b\x87R"
    state = pickle.MARK + b"K\x01K\x01\x85h\x03\x89]\x94"  # (1, (1,), object, False, [ ...
    run = (shell + state) * per_run + b"]q\x05" + b"at\x94b" * per_run
    return HEADER + start + b"cnumpy\nndarray\nq\x020]q\x05" + (b"h\x05" + run + b"a0") * runs + pickle.STOP


def repeated_member():
    pipeline = fitted_pipeline()
    pipeline["classifier_model"].estimators_ *= 100_000
    return pickle.dumps(pipeline)


def flexible_scalars(calls, size=2**16, kind="S", fill=b"x"):
    """``calls`` numpy scalars of a ``size``-byte ``kind`` type, each made of one memoised text, eight bytes a call."""
    spec = f"{kind}{size // np.dtype(kind + '1').itemsize}".encode()
    data_type = b"cnumpy\ndtype\n\x8c" + bytes([len(spec)]) + spec + b"\x89\x88\x87R"
    text = b"B" + size.to_bytes(4, "little") + fill * size
    return (HEADER + b"cnumpy._core.multiarray\nscalar\nq\x00" + data_type + b"q\x01" + text + b"q\x020("
            + b"h\x00h\x01h\x02\x86R" * calls + b"l" + pickle.STOP)


def text_buffer_views(calls, size=2**16):
    """``calls`` arrays over one memoised ``size``-byte buffer of numpy text, five bytes a call."""
    units = size // 4
    arguments = (b"(B" + size.to_bytes(4, "little") + b"a\0\0\0" * units + b"cnumpy\ndtype\n\x8c\x02U1\x89\x88\x87R"
                 + b"J" + units.to_bytes(4, "little") + b"\x85\x8c\x01Ct")
    return (HEADER + b"cnumpy._core.numeric\n_frombuffer\nq\x00" + arguments + b"q\x010("
            + b"h\x00h\x01R" * calls + b"l" + pickle.STOP)


def shells_of_long_arguments(calls, length=100_000):
    """The array shell called ``calls`` times with one memoised tuple of ``length`` items."""
    return (HEADER + b"cnumpy._core.multiarray\n_reconstruct\nq\x00(" + pickle.NONE * length + b"tq\x01("
            + b"h\x00h\x01R" * calls + b"l" + pickle.STOP)


def long_text(text):
    return pickle.BINUNICODE + len(text).to_bytes(4, "little") + text.encode()


COSTLY_FILES = {
    # The C stack overflowed hashing a deep key, or comparing a deep class.
    "deep-key": (lambda: HEADER + pickle.EMPTY_DICT + EMPTY_TUPLE + TUPLE1 * 200_000 + pickle.NONE
                 + pickle.SETITEM + pickle.STOP, "nests containers more than 100 deep"),
    "deep-class": (lambda: HEADER + EMPTY_TUPLE + TUPLE1 * 200_000 + EMPTY_TUPLE + pickle.NEWOBJ + pickle.STOP,
                   "nests containers more than 100 deep"),
    "tuple-key": (lambda: pickle.dumps({(1, 2): 3}), "uses a tuple as a dictionary key"),
    "tuple-class": (lambda: HEADER + EMPTY_TUPLE + TUPLE1 + EMPTY_TUPLE + pickle.NEWOBJ + pickle.STOP, "makes a tuple"),
    "deep-list": (lambda: HEADER + pickle.MARK * 200_000 + pickle.LIST * 200_000 + pickle.STOP, "100 deep"),
    "array-chain": (lambda: nested_arrays(60), "100 deep"),
    # The depth of arrays in arrays is exact only if each inner one is complete first.
    "unfinished-inner-array": (
        lambda: pickle.dumps([SHELL, Calls(*SHELL.reduced, (1, (1,), np.dtype(object), False, [SHELL]))]),
        "before the inner one is complete",
    ),
    # math.prod of 2,000 references to one 20 KB integer took a minute.
    "huge-shape": (lambda: pickle.dumps(Calls(*SHELL.reduced, (1, (BIG,) * 2000, np.dtype("f8"), False, b""))),
                   "data of another size"),
    # 3,000 estimators given one 1 MiB version text.
    "long-version": (lambda: pickle.dumps([Makes(GaussianNB, {"_sklearn_version": VERSION}) for _ in range(3000)]),
                     "version that is not a short text"),
    "empty-sets": (lambda: HEADER + pickle.EMPTY_SET * 2**22 + pickle.STOP, "by a way no pipeline is written"),
    "empty-lists": (lambda: HEADER + pickle.EMPTY_LIST * 2**22 + pickle.STOP, "far more than a pipeline of its size"),
    # What follows STOP is never read, and does not enlarge the allowance.
    "bytes-after-stop": (lambda: HEADER + pickle.EMPTY_LIST * 2**21 + pickle.STOP + bytes(2**22),
                         "far more than a pipeline of its size"),
    # A call charged by what it makes: a scalar by its type's size, eight bytes of file each.
    "flexible-scalars": (lambda: flexible_scalars(3000), "far more than a pipeline of its size"),
    # Charged by what they read too: numpy drops trailing NULs, so the scalars are small and their data is not.
    "padded-scalars": (lambda: flexible_scalars(3000, fill=b"\0"), "far more than a pipeline of its size"),
    "padded-text-scalars": (lambda: flexible_scalars(3000, kind="U", fill=b"\0"), "far more than a pipeline"),
    # A view costs little, but the code-point check read the whole buffer at each: 10,000 views of 8 MiB took 7 s.
    "text-buffer-views": (lambda: text_buffer_views(2000), "far more than a pipeline of its size"),
    # The shell's arguments are counted before anything copies them.
    "shell-arguments": (lambda: shells_of_long_arguments(200), "array shell other than numpy's empty one"),
    # No data, but a set over its 10**18 elements at the first predict never ends.
    "zero-byte-elements": (lambda: pickle.dumps(Calls(*SHELL.reduced, (1, (10**18,), np.dtype("S0"), False, b""))),
                           "data of another size"),
    # Refused at the 101st list, before the chain is built.
    "deep-list-2MB": (lambda: HEADER + pickle.MARK * 10**6 + pickle.LIST * 10**6 + pickle.STOP, "100 deep"),
    # Pickle writes one state for each object: a second one is refused at once, however small.
    "rebuilt-state": (rebuilt_state, "sets the state of a GaussianNB twice"),
    "restated-scaler": (lambda: rebuilt_state(b"sklearn.preprocessing._data\nMinMaxScaler", 1, 10**6),
                        "sets the state of a MinMaxScaler twice"),
    # Filled after being put inside another, a container's depth went unseen: a million lists or dictionaries
    # loaded, 150 estimators, and 6,000 object arrays that overflowed the C stack when freed.
    "lists-filled-inside": (lambda: filled_inside(10**6, b"]", b"]q\x01a"), "fills a list after putting it inside"),
    "dicts-filled-inside": (lambda: filled_inside(10**6, b"}", b"\x8c\x01k}q\x01s"), "fills a dict after"),
    "estimators-filled-inside": (lambda: filled_inside(150, GNB, b"}\x8c\x01a" + GNB + b"q\x01sb"),
                                 "fills a GaussianNB after"),
    "arrays-filled-inside": (lambda: array_runs(300), "fills a list after"),
    # One fitted member listed 100,000 times: a fast load, then each predict took half a minute.
    "repeated-member": (repeated_member, "lists one fitted member more than once"),
    # A file's names and texts are quoted cut short.
    "long-module": (lambda: HEADER + b"c" + b"m" * 2**20 + b"\nx\n" + pickle.STOP, "mmm... (1048576 characters).x"),
    "long-number": (lambda: HEADER + b"F" + b"1" * 2**20 + b"x\n" + pickle.STOP, "convert string to float"),
    "long-n_jobs": (lambda: parallel_bagging("j" * 2**20), "n_jobs='jjj"),
    "long-qualname": (lambda: HEADER + GNB + b"}\x8c\x0c__qualname__" + long_text("q" * 2**20) + b"sb)R" + pickle.STOP,
                      "it calls GaussianNB"),
}


def load_space(size):
    """The address space a refused file's load may take: the file a few times over (read, scanned), and a margin.

    A file of nothing but new containers would build tens of bytes a byte;
    refused before it builds them, it takes a few.
    """
    return 48 * 2**20 + 8 * size


@pytest.mark.parametrize("name", COSTLY_FILES)
def test_hostile_files_are_refused_within_a_bounded_space_in_a_short_message(workdir, name):
    make, error = COSTLY_FILES[name]
    path = saved_pipeline_path(workdir)
    path.parent.mkdir(parents=True)
    content = make()
    path.write_bytes(content)

    def load():
        classifier = OptimalEntryClassifier()
        classifier._imputer = classifier._study_name = "earlier"
        try:
            getattr(classifier, LOAD)(factor_name="F")
        except pickle.UnpicklingError as refusal:
            return str(refusal), classifier._imputer, classifier._study_name
        return "loaded"

    # What the load makes beyond its space fails it with a MemoryError, whose message is not the one expected.
    message, *fields = in_child(load, address_space=load_space(len(content)))[1]
    assert error in message and fields == ["earlier", "F_OptimalEntryClassifier"], message
    assert len(message) < 500, message  # what the file holds is quoted cut short


@pytest.mark.parametrize("name", ["text-buffer-views", "padded-text-scalars"])
def test_the_code_point_check_reads_no_more_than_the_files_allowance(monkeypatch, name):
    content = COSTLY_FILES[name][0]()
    examined = []

    def counted(dtype, data):
        examined.append(len(data) if dtype.kind == "U" else 0)
        return check_text_data(dtype, data)

    monkeypatch.setattr(admitted_objects, "check_text_data", counted)
    try:
        bounded_unpickler.load_bounded(content, admitted_objects.admitted_pieces())
    except pickle.UnpicklingError:
        pass  # how the load ends is the other table's; what it read on the way is this test's
    allowance = bounded_unpickler.BUILT_BYTES_FLOOR + bounded_unpickler.BUILT_BYTES_PER_FILE_BYTE * len(content)
    assert len(examined) > 1 and sum(examined) <= allowance


# ------------------------------------------------------------------ ways the loader itself could be turned

HEADER4 = pickle.PROTO + b"\x04"
F8 = b"cnumpy\ndtype\nX\x02\x00\x00\x00f8\x89\x88\x87R"  # numpy.dtype("f8", False, True)
F8_STATE = b"(K\x03X\x01\x00\x00\x00<NNNJ\xff\xff\xff\xffJ\xff\xff\xff\xffK\x00t"  # as numpy writes it
O8 = b"cnumpy\ndtype\nX\x02\x00\x00\x00O8\x89\x88\x87R(K\x03X\x01\x00\x00\x00|NNNJ\xff\xff\xff\xffJ\xff\xff\xff\xffK?tb"
EMPTY_SHELL = b"cnumpy._core.multiarray\n_reconstruct\ncnumpy\nndarray\nK\x00\x85C\x01b\x87R"

UNADMITTED_WAYS = {
    "extension-code": (HEADER4 + b"\x82\x01.", "by an extension code"),
    "persistent-id": (b"Pfoo\n.", "a persistent id"),
    "binary-persistent-id": (HEADER4 + b"NQ.", "a persistent id"),
    "inst": (b"(i__main__\nX\n.", "by a way no pipeline is written"),
    "frozenset": (HEADER4 + b"(\x91.", "by a way no pipeline is written"),
    "out-of-band-buffer": (b"\x80\x05\x97.", "out-of-band buffers"),
    # The unpickler would make its memo twice as long as the index, empty places included.
    "memo-index": (HEADER4 + b"Nr\xff\xff\xff\x7f.", "far more than a pipeline of its size"),
    "text-memo-index": (b"Np576460752303423488\n.", "far more than a pipeline of its size"),  # 16 * index overflowed
    "text-memo-sum": (b"Np576460752303423487\n.", "far more than a pipeline of its size"),
    # The unpickler allocates what a length claims before reading it.
    "bytes-claim": (HEADER4 + b"\x8e" + (2**40).to_bytes(8, "little") + b".", "truncated"),
    "frame-claim": (HEADER4 + b"\x95" + (2**40).to_bytes(8, "little") + b"N.", "truncated"),
    # A state given to what the file is handed instead of a helper or a class.
    "helper-state": (HEADER4 + b"cnumpy._core.multiarray\nscalar\n}b.", "sets the state of a function, which takes no"),
    "class-state": (HEADER4 + b"csklearn.naive_bayes\nGaussianNB\n}b.", "sets the state of a ABCMeta"),
    "calls-class": (lambda: pickle.dumps(Calls(GaussianNB, ())), "it calls GaussianNB"),
    "calls-score-function": (lambda: pickle.dumps(Calls(f_classif, ((1,), (1,)))), "it calls f_classif"),
    # Terminal escapes and a NUL in a name the file gives, quoted escaped.
    "escapes-in-name": (HEADER4 + b"c\x1b]0;title\x07\x1b[2J\x00\nx\n.", re.escape(r"\x1b]0;title\x07\x1b[2J\x00.x")),
    # States given to what takes none, refused as such.
    "scalar-state": (HEADER4 + b"cnumpy._core.multiarray\nscalar\n" + F8 + b"C\x08" + bytes(8) + b"\x86R}b.",
                     "sets the state of a float64"),
    "list-state": (HEADER4 + b"]}b.", "sets the state of a list"),
    "dict-state": (HEADER4 + b"}}b.", "sets the state of a dict"),
    "bytes-state": (HEADER4 + b"C\x01x}b.", "sets the state of a bytes"),
    # None, unlike anything else taking no state, was taken for an object awaiting one.
    "none-state": (b"\x80\x02N}b.", "sets the state of a NoneType, which takes no state"),
    # An attribute would hide the method from whatever looks it up on the object.
    "hidden-method": (HEADER4 + GNB + b"}\x8c\x07predict\x8c\x01xsb.", "attribute predict that hides its method"),
    # An estimator holding itself through a tuple: a cycle, made by filling what is already inside another.
    "cycle": (HEADER4 + GNB + b"q\x00}\x8c\x01ah\x00\x85sb.", "fills a GaussianNB after putting it inside"),
    # A data type given its state after an array took it.
    "data-type-after-use": (HEADER4 + F8 + b"q\x00" + F8_STATE + b"q\x01b0cnumpy._core.multiarray\nscalar\nh\x00C\x08"
                            + bytes(8) + b"\x86R0h\x00h\x01b.", "fills a dtype after"),
    # A list an object array holds, filled afterwards: the array's nesting would grow unseen.
    "list-in-array-filled": (HEADER4 + b"]q\x00" + EMPTY_SHELL + b"(K\x01K\x01\x85" + O8 + b"\x89(h\x00ltb0h\x00Na.",
                             "fills a list after"),
}


@pytest.mark.parametrize("name", UNADMITTED_WAYS)
def test_files_reaching_past_what_a_pipeline_writes_are_refused(workdir, name):
    content, error = UNADMITTED_WAYS[name]
    path = saved_pipeline_path(workdir)
    path.parent.mkdir(parents=True)
    path.write_bytes(content() if callable(content) else content)
    with pytest.raises(pickle.UnpicklingError, match=error) as raised:
        saved_pipeline.load_pipeline(str(path))
    assert str(raised.value).isprintable()


@pytest.mark.parametrize("collecting", [True, False])
@pytest.mark.parametrize("content", ["pipeline", "hostile"])
def test_a_load_leaves_the_collector_as_it_found_it(workdir, collecting, content):
    path = saved_pipeline_path(workdir)
    path.parent.mkdir(parents=True)
    path.write_bytes(pickle.dumps(fitted_pipeline()) if content == "pipeline" else UNADMITTED_WAYS["cycle"][0])
    was = gc.isenabled()
    (gc.enable if collecting else gc.disable)()
    try:
        try:
            saved_pipeline.load_pipeline(str(path))
        except pickle.UnpicklingError:
            assert content == "hostile"
        assert gc.isenabled() is collecting
    finally:
        (gc.enable if was else gc.disable)()


def test_other_threads_see_the_collector_as_the_program_set_it_while_pipelines_load(workdir):
    path = saved_pipeline_path(workdir)
    path.parent.mkdir(parents=True)
    path.write_bytes(pickle.dumps(fitted_pipeline(BaggingClassifier_n_estimators=300)))
    seen, done = set(), threading.Event()

    def watch():
        while not done.is_set():
            seen.add(gc.isenabled())

    assert gc.isenabled()
    watcher = threading.Thread(target=watch)
    watcher.start()
    try:
        for _ in range(5):
            saved_pipeline.load_pipeline(str(path))
    finally:
        done.set()
        watcher.join()
    assert seen == {True}


def test_loads_in_several_threads_keep_to_their_own_file(workdir):
    saved = saved_pipeline_path(workdir).parent
    saved.mkdir(parents=True)
    pipelines = [fitted_pipeline(BaggingClassifier_n_estimators=n) for n in (3, 5)]
    paths = [saved / f"{n}.pkl" for n in range(3)]
    for path, content in zip(paths, [pickle.dumps(p) for p in pipelines] + [UNADMITTED_WAYS["hidden-method"][0]]):
        path.write_bytes(content)
    outcomes = {}

    def load(index):
        for _ in range(20):
            try:
                outcomes.setdefault(index, set()).add(len(saved_pipeline.load_pipeline(str(paths[index]))["classifier_model"].estimators_))
            except pickle.UnpicklingError as refusal:
                outcomes.setdefault(index, set()).add("hides its method" in str(refusal))

    threads = [threading.Thread(target=load, args=(index,)) for index in range(3)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert outcomes == {0: {3}, 1: {5}, 2: {True}}


# ------------------------------------------------------------------ where the file is written


@pytest.fixture
def open_folder():
    """A temporary folder that other users may enter, as a shared results folder."""
    with tempfile.TemporaryDirectory() as folder:
        os.chmod(folder, 0o755)
        yield pathlib.Path(folder)


@pytest.mark.parametrize("case", ["link", "dangling-link", "link-to-missing-folder", "read-only"])
def test_saved_file_goes_where_the_path_leads_and_only_if_writable(open_folder, case):
    saved, elsewhere = open_folder / "saved_models", open_folder / "elsewhere"
    saved.mkdir()
    elsewhere.mkdir()
    path = saved / "F.pkl"
    if case == "read-only":
        path.write_bytes(pickle.dumps({"x": "before"}))
        path.chmod(0o444)
        # Root writes whatever the modes say: the child saves without the capabilities that let it.
        outcome = in_child(lambda: saved_pipeline.save_pipeline(str(path), {"x": "after"}), bound_by_file_modes=True)
        assert outcome[0] is PermissionError and outcome[3] == str(path), outcome
        assert pickle.loads(path.read_bytes()) == {"x": "before"} and os.listdir(saved) == ["F.pkl"]
        return
    target = {"link": elsewhere / "F.pkl", "dangling-link": elsewhere / "new.pkl",
              "link-to-missing-folder": open_folder / "missing" / "F.pkl"}[case]
    if case == "link":
        target.write_bytes(pickle.dumps({"x": "before"}))
        target.chmod(0o640)
    path.symlink_to(os.path.relpath(target, saved))
    if case == "link-to-missing-folder":
        with pytest.raises(FileNotFoundError, match="folder is missing"):
            saved_pipeline.save_pipeline(str(path), {"x": "after"})
        assert not target.parent.exists()
    else:
        saved_pipeline.save_pipeline(str(path), {"x": "after"})
        assert pickle.loads(target.read_bytes()) == {"x": "after"} and path.is_symlink()
        assert os.listdir(elsewhere) == [target.name] and os.listdir(saved) == ["F.pkl"]
    if case == "link":
        assert target.stat().st_mode & 0o777 == 0o640


def test_a_write_that_fails_names_the_file(workdir):
    path = saved_pipeline_path(workdir)
    saved_pipeline.save_pipeline(str(path), {"x": "before"})
    outcome = in_child(lambda: saved_pipeline.save_pipeline(str(path), fitted_pipeline()), file_size=1000)
    assert outcome[0] is OSError and outcome[2] == errno.EFBIG and outcome[3] == str(path), outcome
    assert pickle.loads(path.read_bytes()) == {"x": "before"} and os.listdir(path.parent) == [path.name]


@pytest.mark.parametrize("kind", ["folder", "fifo", "no-key"])
def test_a_load_without_a_pipeline_renames_the_study_keeps_the_fields_and_logs_nothing(
    workdir, monkeypatch, caplog, kind
):
    path = saved_pipeline_path(workdir)
    path.parent.mkdir(parents=True)
    if kind == "no-key":
        path.write_bytes(pickle.dumps(dict.fromkeys(saved_pipeline.PIPELINE_KEYS[:3], "x")))
    else:  # not even opened: a pipe without a writer would block a plain open
        path.mkdir() if kind == "folder" else os.mkfifo(path)
        monkeypatch.setattr(saved_pipeline, "load_pipeline", lambda _: pytest.fail("opened"))
    classifier = OptimalEntryClassifier()
    classifier._imputer = classifier._study_name = "earlier"
    with caplog.at_level(logging.DEBUG):
        if kind == "no-key":
            with pytest.raises(KeyError) as raised:
                getattr(classifier, LOAD)(factor_name="F")
            assert raised.value.args[0] == "scaler" and 'no "scaler" entry' in str(raised.value)
        else:
            assert getattr(classifier, LOAD)(factor_name="F") is False
    assert caplog.records == []
    assert classifier._imputer == "earlier" and classifier._study_name == "F_OptimalEntryClassifier"
