"""The values a saved pipeline file gives its arrays, data types and estimators: compared by type and value.

A numpy array put where a check expects a number or a text must meet the
check's own refusal, not answer the comparison itself; a text of numpy's own
must stay within Unicode; and what the file says is shown escaped, or refused
where scikit-learn or numpy would print it.
"""

import codecs
import pickle
import re
import warnings
from unittest import mock

import numpy as np
import pytest
import sklearn.base
from sklearn.naive_bayes import GaussianNB

from classifier.classifier_helpers import saved_pipeline_path
from classifier.test_saved_pipeline_files import ARRAY_SHELL, GNB, HEADER4, Calls, Makes, fitted_pipeline
from korvane.rarAV._tradegate import bounded_unpickler, saved_pipeline
from korvane.rarAV._tradegate.admitted_objects import admitted_pieces, multiarray, numeric

F8_STATE = np.dtype("f8").__reduce__()[2]
NS_STATE = np.dtype("M8[ns]").__reduce__()[2]
BEYOND_UNICODE = (0x110000).to_bytes(4, "little")
BEYOND_UNICODE_BIG_ENDIAN = (0x110000).to_bytes(4, "big")


def shell(shape, code=b"b"):
    return Calls(ARRAY_SHELL, (np.ndarray, shape, code))


def array(state):
    return Calls(*shell((0,)).reduced, state)


def data_type(spec, state=None):
    return Calls(np.dtype, (spec, False, True), state)


def time_unit(unit_and_count):
    return data_type("M8", NS_STATE[:8] + (unit_and_count,))


def pipeline_of_version(version):
    """A fitted pipeline pickled by a scikit-learn whose version text is ``version``."""
    pipeline = fitted_pipeline()
    with mock.patch.object(sklearn.base, "__version__", version):
        return pickle.dumps(pipeline)


NOT_AN_EMPTY_SHELL = "array shell other than numpy's empty one"
NOT_WRITTEN_F8 = "data type float64 a state numpy does not write"
NOT_WRITTEN_TIME = "data type datetime64 a state numpy does not write"
NOT_WRITTEN_ARRAY = "gives an array a state numpy does not write"
NOT_UNICODE = "character beyond U[+]10FFFF"
NOT_A_VERSION = "scikit-learn version that is not a short text of digits, letters"

VALUE_CHECKS = {
    # What pickle.loads refuses as a shape, and arrays that compared equal to (0,) elementwise.
    "shell-shape-false": (shell((False,)), NOT_AN_EMPTY_SHELL),
    "shell-shape-float": (shell((0.0,)), NOT_AN_EMPTY_SHELL),
    "shell-shape-0d-array": (shell((np.array(0),)), NOT_AN_EMPTY_SHELL),
    "shell-shape-array": (shell((np.array([0, 0]),)), NOT_AN_EMPTY_SHELL),
    "encoding-array": (Calls(codecs.encode, ("abc", np.array(["latin1", "latin1"]))), "encodes bytes other than"),
    "buffer-order-array": (Calls(numeric._frombuffer, (bytes(8), np.dtype("f8"), (1,), np.array(["C", "C"]))),
                           "from a buffer with unexpected arguments"),
    "data-type-state-array": (data_type("f8", (3, np.array(["<", "<"])) + F8_STATE[2:]), NOT_WRITTEN_F8),
    "data-type-state-bool": (data_type("f8", F8_STATE[:7] + (False,)), NOT_WRITTEN_F8),  # False == 0
    # numpy writes no state for its variable-width text type (its reduction has none to index).
    "variable-width-text-state": (data_type("T", F8_STATE), "StringDType[(][)] a state numpy does not write"),
    "array-version-array": (array((np.array([1, 1]), (1,), np.dtype("f8"), False, bytes(8))), NOT_WRITTEN_ARRAY),
    # Code units above U+10FFFF became texts that string operations failed on with SystemError.
    "text-scalar": (Calls(multiarray.scalar, (np.dtype("U1"), BEYOND_UNICODE)), NOT_UNICODE),
    "text-array": (array((1, (2,), np.dtype("U1"), False, b"a\0\0\0" + BEYOND_UNICODE)), NOT_UNICODE),
    "text-array-big-endian": (array((1, (1,), np.dtype(">U1"), False, BEYOND_UNICODE_BIG_ENDIAN)), NOT_UNICODE),
    "text-buffer": (Calls(numeric._frombuffer, (BEYOND_UNICODE, np.dtype("U1"), (1,), "C")), NOT_UNICODE),
    # A time type's unit as numpy never writes it.
    "time-unit-unknown": (time_unit((None, (b"xs", 1, 1, 1))), NOT_WRITTEN_TIME),
    "time-count-zero": (time_unit((None, (b"ns", 0, 1, 1))), NOT_WRITTEN_TIME),
    "time-count-huge": (time_unit((None, (b"ns", 2**40, 1, 1))), NOT_WRITTEN_TIME),
    "time-count-bool": (time_unit((None, (b"ns", True, 1, 1))), NOT_WRITTEN_TIME),
    "time-metadata": (time_unit(({"a": 1}, (b"ns", 1, 1, 1))), NOT_WRITTEN_TIME),
    # Pickle writes one state for each object, estimators as well.
    "second-estimator-state": (HEADER4 + GNB + b"q\x00}b" + b"h\x00}b.", "sets the state of a GaussianNB twice"),
    "second-data-type-state": (HEADER4 + b"cnumpy\ndtype\n\x8c\x02f8\x89\x88\x87Rq\x00" + pickle.dumps(F8_STATE)[2:-1]
                               + b"q\x01bh\x00h\x01b.", "data type float64 twice"),
    # What scikit-learn or numpy would print in a warning or an error, refused and quoted escaped.
    "data-type-name-escapes": (data_type("\x1b[2J"), re.escape(r"data type \x1b[2J, which is not a name")),
    "data-type-unknown": (data_type("zz9"), "data type zz9, which numpy does not know"),
    "version-escapes": (lambda: pipeline_of_version("\x1b]0;title\x07\x1b[2J"), NOT_A_VERSION),
    "version-empty": (Makes(GaussianNB, {"_sklearn_version": ""}), NOT_A_VERSION),
    "version-other-digits": (Makes(GaussianNB, {"_sklearn_version": "1.\u0663"}), NOT_A_VERSION),
    "version-newline": (Makes(GaussianNB, {"_sklearn_version": "1.9.1\n"}), NOT_A_VERSION),
}


def content_of(row):
    if callable(row):
        return row()
    return row if type(row) is bytes else pickle.dumps(row, protocol=4)


@pytest.mark.parametrize("name", VALUE_CHECKS)
def test_values_no_pipeline_holds_are_refused_by_the_checks_own_message(workdir, name):
    row, error = VALUE_CHECKS[name]
    path = saved_pipeline_path(workdir)
    path.parent.mkdir(parents=True)
    path.write_bytes(content_of(row))
    with pytest.raises(pickle.UnpicklingError, match=error) as raised:
        saved_pipeline.load_pipeline(str(path))
    assert str(raised.value).isprintable()


GENUINE_VALUES = {
    "datetime-ns": np.array(["2020-01-01T12:00", "NaT"], "M8[ns]"),
    "datetime-days-big-endian": np.array([1, 2], ">M8[D]"),
    "timedelta-3us": np.array([5, -7], "m8[3us]"),
    "time-types": [np.dtype("M8"), np.dtype("m8[W]"), np.dtype("M8[1000ms]")],
    "time-scalars": [np.datetime64("2021-06-01", "s"), np.timedelta64(3, "h")],
    # numpy takes any code point up to U+10FFFF, lone surrogates included; so does the loader.
    "texts": np.array(["\ud800x", "\U0010ffff", ""]),
    "texts-big-endian": np.array(["abc"], ">U3"),
    "text-scalars": [np.str_("\udfff"), np.str_("\U0010ffff"), np.str_("")],
    "fortran-order": np.asfortranarray(np.arange(6.0).reshape(2, 3)),
}


@pytest.mark.parametrize("name", GENUINE_VALUES)
def test_values_numpy_writes_load_as_plain_pickle_loads_them(name):
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        data = pickle.dumps(GENUINE_VALUES[name], protocol=protocol)
        loaded = bounded_unpickler.load_bounded(data, admitted_pieces())
        assert pickle.dumps(loaded, protocol=protocol) == pickle.dumps(pickle.loads(data), protocol=protocol), protocol


@pytest.mark.parametrize("version", ["1.10.0.dev0", "0.24.2+local-build.3"])
def test_a_pipeline_of_another_version_loads_and_its_warnings_print_as_they_are(workdir, version):
    path = saved_pipeline_path(workdir)
    path.parent.mkdir(parents=True)
    content = pipeline_of_version(version)
    path.write_bytes(content)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        loaded = saved_pipeline.load_pipeline(str(path))
        assert pickle.dumps(loaded) == pickle.dumps(pickle.loads(content))
    # Each warning quotes the version; its lines (scikit-learn breaks them) print as they are.
    lines = [line for w in caught for line in str(w.message).splitlines()]
    assert caught and all(version in str(w.message) for w in caught) and all(line.isprintable() for line in lines)


class Swaps(bounded_unpickler.PipelineUnpickler):
    """Gives the ``at``-th call, state or new object of a load its arguments with item ``item`` made a numpy array."""

    at, item, events = 0, 0, 0

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.seen = 0

    def persistent_load(self, pid):
        first, second, tag = pid
        self.seen += 1
        type(self).events = max(type(self).events, self.seen)
        if self.seen == self.at and type(second) in (tuple, dict) and self.item < len(second):
            values = list(second.values() if type(second) is dict else second)
            values[self.item] = np.array([values[self.item]] * 2, dtype=object)
            second = dict(zip(second, values)) if type(second) is dict else tuple(values)
        return super().persistent_load((first, second, tag))


@pytest.mark.parametrize("protocol", [2, 4])
def test_a_numpy_array_in_place_of_any_value_meets_a_check_of_the_loader(workdir, monkeypatch, protocol):
    path = saved_pipeline_path(workdir)
    path.parent.mkdir(parents=True)
    path.write_bytes(pickle.dumps(fitted_pipeline(imputer_to_use="KNNImputer"), protocol=protocol))
    monkeypatch.setattr(bounded_unpickler, "PipelineUnpickler", Swaps)
    monkeypatch.setattr(Swaps, "events", 0)
    saved_pipeline.load_pipeline(str(path))
    outcomes = set()
    for at in range(1, Swaps.events + 1):
        for item in range(9):
            monkeypatch.setattr(Swaps, "at", at)
            monkeypatch.setattr(Swaps, "item", item)
            try:
                saved_pipeline.load_pipeline(str(path))
                outcomes.add("loaded")
            except pickle.UnpicklingError as refusal:
                # Refused by a check, never by what numpy or the unpickler made of the array.
                assert "cannot be read" not in str(refusal), refusal
                outcomes.add("refused")
    assert outcomes == {"loaded", "refused"}
