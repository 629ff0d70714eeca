import numpy as np
import pytest

from korvane.rarAV.signalforge import SampleWeights
from reference import sample_weights_reference as reference

BARS = np.datetime64("2024-03-01T09:30", "ns") + np.arange(5) * np.timedelta64(1, "h")
T0, T1, T2, T3, T4 = BARS
HALF_HOUR = np.timedelta64(30, "m")


def times(*values):
    return np.array(values, dtype="datetime64[ns]")


@pytest.mark.parametrize(
    "index, starts, ends, impacts, expected_uniqueness, expected_weights",
    [
        # A spans t0..t2 and B spans t1..t2: counters 1, 2, 2.
        (BARS, times(T0, T1), times(T2, T2), None, [2 / 3, 0.5], [8 / 7, 6 / 7]),
        (BARS, times(T0, T1), times(T2, T2), [0.25, 0.75], [2 / 3, 0.5], [0.4, 1.6]),
        (BARS, times(T0, T1), times(T2, T2), [-0.5, 1.5], [2 / 3, 0.5], [0.4, 1.6]),
        # Spans meeting at one bar both count it.
        (BARS, times(T0, T2), times(T2, T4), None, [5 / 6, 5 / 6], [1.0, 1.0]),
        # Ends between bar times cover the bar times inside.
        (BARS, times(T0 + HALF_HOUR), times(T3 - HALF_HOUR), None, [1.0], [1.0]),
        # A repeated bar time is two points, both counted.
        (times(T0, T1, T1, T2), times(T1, T0), times(T1, T2), None, [0.5, 0.75], [0.8, 1.2]),
        # A span holding no bar: its uniqueness is NaN, and so is every weight.
        (BARS, times(T0, T2 + HALF_HOUR), times(T1, T2 + HALF_HOUR), None, [1.0, np.nan], [np.nan, np.nan]),
        (BARS, times(T0), times(T1), [0.0], [1.0], [np.nan]),
        (times(), times(T0), times(T1), None, [np.nan], [np.nan]),
        (BARS, times(), times(), None, [], []),
    ],
)
def test_worked_cases(index, starts, ends, impacts, expected_uniqueness, expected_weights):
    sample_weights = SampleWeights()
    uniqueness = sample_weights.get_sample_uniqueness_weights(index, starts, ends)
    args = (index, starts, ends) if impacts is None else (index, starts, ends, np.array(impacts))
    weights = sample_weights.fit_transform(*args)
    assert uniqueness.dtype == np.float64 and weights.dtype == np.float64
    np.testing.assert_allclose(uniqueness, expected_uniqueness, rtol=1e-15)
    np.testing.assert_allclose(weights, expected_weights, rtol=1e-15)


@pytest.mark.parametrize("seed", range(4))
def test_matches_plain_numpy_on_random_spans(seed):
    rng = np.random.default_rng(seed)
    index = np.sort(rng.integers(0, 5_000, 3_000)).astype("datetime64[m]").astype("datetime64[ns]")
    starts = rng.integers(-100, 5_100, 400).astype("datetime64[m]")
    ends = starts + rng.integers(-5, 300, 400).astype("timedelta64[m]")
    impacts = rng.normal(size=400)
    sample_weights = SampleWeights()
    # Start and end times in minutes: units are converted, not reinterpreted.
    np.testing.assert_allclose(
        sample_weights.get_sample_uniqueness_weights(index, starts, ends),
        reference.uniqueness(index, starts.astype("datetime64[ns]"), ends.astype("datetime64[ns]")),
        rtol=1e-12,
    )
    for args in ((), (impacts,)):
        expected = reference.weights(index, starts.astype("M8[ns]"), ends.astype("M8[ns]"), *args)
        np.testing.assert_allclose(sample_weights.fit_transform(index, starts, ends, *args), expected, rtol=1e-12)


def test_fit_transform_uses_an_overridden_uniqueness():
    class Flat(SampleWeights):
        def get_sample_uniqueness_weights(self, complete, starts, ends):
            return np.ones(len(starts))

    np.testing.assert_array_equal(Flat().fit_transform(BARS, times(T0, T1), times(T2, T2), np.array([1.0, 3.0])), [0.5, 1.5])


def test_keywords_and_end_entries_past_the_samples():
    weights = SampleWeights().fit_transform(
        training_samples_end_datetime_array=times(T2, T2, T0),
        training_samples_start_datetime_array=times(T0, T1),
        complete_datetime_indices_array=BARS,
    )
    np.testing.assert_allclose(weights, [8 / 7, 6 / 7])


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((BARS, times(T0)), TypeError, r"^fit_transform\(\) takes at least 3 positional arguments \(2 given\)$"),
        ((BARS, [T0], times(T1)), TypeError, r"^Argument 'training_samples_start_datetime_array' has incorrect type \(expected numpy.ndarray, got list\)$"),
        ((BARS, times(T0), times(T1), None), TypeError, "training_samples_impact_array"),
        ((BARS[::-1], times(T0), times(T1)), ValueError, "ascending order"),
        ((times(T0, "NaT"), times(T0), times(T1)), ValueError, "NaT"),
        ((BARS, times("NaT"), times(T1)), ValueError, "NaT"),
        ((BARS, times(T0, T1), times(T2)), IndexError, "fewer entries"),
        ((BARS, times(T0, T1), times(T2, T2), np.ones(3)), ValueError, "one impact per sample"),
        ((BARS, np.array([1.5]), times(T1)), TypeError, "datetime64"),
        ((BARS.reshape(1, 5), times(T0), times(T1)), ValueError, "one-dimensional"),
    ],
)
def test_bad_input(args, error, message):
    copies = [a.copy() if isinstance(a, np.ndarray) else a for a in args]
    with pytest.raises(error, match=message):
        SampleWeights().fit_transform(*args)
    for before, after in zip(copies, args):
        if isinstance(before, np.ndarray):
            np.testing.assert_array_equal(before, after)

