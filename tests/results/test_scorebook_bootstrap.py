"""The native bootstrap reproduces scikit-learn's seeded resampling bit for bit."""

import numpy as np
import pandas as pd
import pytest
from sklearn.utils import resample

from korvane.utils.results import _scorebook
from korvane.utils.results import scorebook as scorebook_module
from results.scorebook_factory import daily_scorebook, random_daily_returns

LENGTHS = [1, 2, 3, 7, 250, 1001, 1025]


@pytest.fixture
def sklearn_loop(monkeypatch):
    """Send the Scorebook down the plain loop over scikit-learn's resample."""
    calls = []

    def loop_resample(array, random_state=None):
        calls.append(random_state)
        return resample(array, random_state=random_state)

    monkeypatch.setattr(scorebook_module, "bootstrapping_resample", loop_resample)
    return calls


class TestNativeStream:
    @pytest.mark.parametrize("length", LENGTHS)
    def test_single_rounds_equal_sklearn_resample(self, length):
        returns = np.random.default_rng(length).normal(0.0, 0.02, length)
        for seed in (0, 1, 2, 69, 4097, 9999, 2**32 - 1):
            resampled, growth = _scorebook.bootstrap_round(returns, seed)
            expected = resample(returns, random_state=seed)
            np.testing.assert_array_equal(resampled, expected)
            np.testing.assert_array_equal(growth, np.cumprod(1 + expected))

    @pytest.mark.parametrize("length", LENGTHS)
    def test_ending_values_equal_the_loop(self, length):
        returns = np.random.default_rng(length + 1).normal(0.0, 0.02, length)
        rounds = 37  # not a multiple of the rounds computed side by side
        ending = _scorebook.bootstrap_ending_values(returns, rounds)
        expected = [np.cumprod(1 + resample(returns, random_state=k))[-1] for k in range(rounds)]
        np.testing.assert_array_equal(ending, expected)

    def test_refuses_empty_returns(self):
        with pytest.raises(ValueError):
            _scorebook.bootstrap_ending_values(np.zeros(0), 10)


class TestPercentilePaths:
    def test_full_bootstrap_equals_the_sklearn_loop(self, sklearn_loop):
        book = daily_scorebook(5)
        returns = random_daily_returns(61, seed=3)
        percentiles = [5, 50, 95, 0, 100]
        loop_daily, loop_growth = book._get_bootstrapped_cumprod_daily_returns(61, returns, percentiles)
        assert sklearn_loop == list(range(10000))
        scorebook_module.bootstrapping_resample = resample  # back to the native path
        native_daily, native_growth = book._get_bootstrapped_cumprod_daily_returns(61, returns, percentiles)
        assert len(native_daily) == len(loop_daily) == len(native_growth) == 5
        for a, b in zip(native_daily + native_growth, loop_daily + loop_growth):
            np.testing.assert_array_equal(a, b)

    @pytest.mark.parametrize("length", [1, 2, 7, 250])
    def test_reduced_rounds_equal_the_sklearn_loop(self, length, sklearn_loop, monkeypatch):
        book = daily_scorebook(5)
        book._BOOTSTRAPPING_ROUNDS = 301
        returns = random_daily_returns(length, seed=length)
        loop = book._get_bootstrapped_cumprod_daily_returns(length, returns, [5, 50, 95])
        monkeypatch.setattr(scorebook_module, "bootstrapping_resample", resample)
        native = book._get_bootstrapped_cumprod_daily_returns(length, returns, [5, 50, 95])
        for a, b in zip(native[0] + native[1], loop[0] + loop[1]):
            np.testing.assert_array_equal(a, b)

    def test_each_percentile_takes_the_first_round_within_tolerance(self):
        book = daily_scorebook(5)
        returns = random_daily_returns(40, seed=8)
        values = returns.to_numpy()
        ending = _scorebook.bootstrap_ending_values(values, 10000)
        daily_paths, growth_paths = book._get_bootstrapped_cumprod_daily_returns(
            40, returns, [0, 100, 50, 50]
        )
        for position, percentile in enumerate([0, 100, 50]):
            target = np.percentile(ending, percentile)
            first = np.flatnonzero(np.abs(ending - target) <= 1e-3 + 1e-3 * abs(target))[0]
            np.testing.assert_array_equal(daily_paths[position], resample(values, random_state=first))
            assert growth_paths[position][-1] == ending[first]
        np.testing.assert_array_equal(daily_paths[3], daily_paths[2])

    def test_zero_and_missing_returns(self):
        book = daily_scorebook(5)
        returns = pd.Series([0.0, np.nan, 0.0], index=pd.date_range("2024-01-01", periods=3))
        daily_paths, growth_paths = book._get_bootstrapped_cumprod_daily_returns(3, returns, [5, 95])
        for path in daily_paths:
            np.testing.assert_array_equal(path, np.zeros(3))
        for path in growth_paths:
            np.testing.assert_array_equal(path, np.ones(3))

    def test_argument_failures(self):
        book = daily_scorebook(5)
        returns = random_daily_returns(10)
        assert book._get_bootstrapped_cumprod_daily_returns(10, returns, []) == ([], [])
        with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
            book._get_bootstrapped_cumprod_daily_returns(10, returns, None)
        with pytest.raises(ValueError, match="differs from the 10 daily returns"):
            book._get_bootstrapped_cumprod_daily_returns(11, returns, [50])
        with pytest.raises(ValueError):
            book._get_bootstrapped_cumprod_daily_returns(10, returns, [150])

    def test_a_percentile_without_a_close_round_is_left_out(self, monkeypatch):
        # Rounds alternate between growth 0.9 and 1.1: the median (1.0) has no
        # round within the tolerance, the 5th and 95th percentiles do.
        def alternating(array, random_state=None):
            return array if random_state % 2 else -array

        monkeypatch.setattr(scorebook_module, "bootstrapping_resample", alternating)
        book = daily_scorebook(5)
        returns = pd.Series([0.1], index=pd.date_range("2024-01-02", periods=1))
        daily_paths, growth_paths = book._get_bootstrapped_cumprod_daily_returns(1, returns, [5, 50, 95])
        assert [path[-1] for path in growth_paths] == [0.9, 1.1]
        assert [path[0] for path in daily_paths] == [-0.1, 0.1]
