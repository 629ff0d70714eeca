"""The classifier object: construction, carried fields, pickling and module start-up."""

import pickle

import pandas as pd
import pytest

from korvane.rarAV import tradegate
from korvane.rarAV.tradegate import OptimalEntryClassifier
from korvane.utils.pickling.rebuilds import rebuild_optimal_entry_classifier

DEFAULT_CARRIED = (None, None, 10, 3, tradegate.DEFAULT_EMBARGO_TD, None, None, None, None, None, None)


def carried(classifier):
    function, values = classifier.__reduce__()
    assert function is rebuild_optimal_entry_classifier
    return values


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, DEFAULT_CARRIED),
        # None given for a setting leaves that field None, not at its default.
        ((), {"embargo_td": None, "n_splits": None}, (None, None, None, 3, None) + (None,) * 6),
        (("s", "u", 4, 1), {}, ("s", "u", 4, 1, tradegate.DEFAULT_EMBARGO_TD) + (None,) * 6),
    ],
)
def test_construction_carries_the_eleven_fields(args, kwargs, expected):
    values = carried(OptimalEntryClassifier(*args, **kwargs))
    assert len(values) == 11
    assert all(v is e or v == e for v, e in zip(values, expected))


def test_default_embargos_are_two_shared_one_day_objects():
    a, b = OptimalEntryClassifier(), OptimalEntryClassifier()
    assert carried(a)[4] is carried(b)[4] is tradegate.DEFAULT_EMBARGO_TD
    assert tradegate.DEFAULT_FIT_EMBARGO_TD == pd.Timedelta(days=1)
    assert tradegate.DEFAULT_FIT_EMBARGO_TD is not tradegate.DEFAULT_EMBARGO_TD


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: OptimalEntryClassifier(*range(12)), "at most 11 positional arguments"),
        (lambda: OptimalEntryClassifier(nsplits=3), "unexpected keyword argument 'nsplits'"),
        (lambda: OptimalEntryClassifier("s", study_name="t"), "multiple values for keyword argument 'study_name'"),
        (lambda: OptimalEntryClassifier().restore_mp_variables(*[None] * 10), "exactly 11 positional arguments"),
        (lambda: OptimalEntryClassifier().no_such_field, "no_such_field"),
    ],
)
def test_wrong_use_raises_the_interpreters_errors(call, error):
    with pytest.raises((TypeError, AttributeError), match=error):
        call()


def test_restore_writes_only_values_that_are_not_none():
    classifier = OptimalEntryClassifier()
    assert classifier.restore_mp_variables(*[None] * 11) is None
    assert carried(classifier) == carried(OptimalEntryClassifier())
    classifier.restore_mp_variables("name", *[None] * 10)
    assert carried(classifier)[0] == "name" and carried(classifier)[1:] == carried(OptimalEntryClassifier())[1:]


def test_pickled_copy_carries_training_data_but_no_loaded_pipeline():
    table = pd.DataFrame({"a": [1.0, 2.0]})
    classifier = OptimalEntryClassifier("s", "sqlite:////x.db", 5, 2, pd.Timedelta(hours=2), table)
    classifier._imputer = "loaded"
    copy = pickle.loads(pickle.dumps(classifier))
    assert type(copy) is OptimalEntryClassifier
    values = carried(copy)
    assert values[:5] == ("s", "sqlite:////x.db", 5, 2, pd.Timedelta(hours=2))
    pd.testing.assert_frame_equal(values[5], table)
    assert copy._imputer is None


def test_module_start_up_in_a_fresh_process(fresh_interpreter):
    script = """
import logging, warnings, sys
import korvane.rarAV.tradegate as t
from sklearn.exceptions import ConvergenceWarning
assert logging.getLogger(" ").level == logging.INFO
assert logging.getLogger("blib2to3.pgen2.driver").level == logging.WARNING
assert "korvane.rarAV.signalforge" in sys.modules and t.SampleWeights is not None
for category in (UserWarning, FutureWarning, ConvergenceWarning, type("Sub", (FutureWarning,), {})):
    warnings.warn("hidden", category)
warnings.warn("shown", RuntimeWarning)
t.logger.info("hello")
print("ok")
"""
    done = fresh_interpreter(script)
    assert "hidden" not in done.stderr and "RuntimeWarning: shown" in done.stderr
    assert done.stderr.endswith("INFO: :hello\n")
