"""Native signal kernels against the libraries they replace, on random inputs.

Tolerances: Johansen statistics and first eigenvector rtol 1e-9 against
statsmodels; half-life slope rtol 1e-12 against scikit-learn; rolling mean,
standard deviation and volatility multiplier rtol 1e-12 against numpy.
"""

import numpy as np
import pytest
from sklearn.linear_model import LinearRegression
from statsmodels.tsa.vector_ar.vecm import coint_johansen

from korvane import _kernels
from korvane.factors.technical._factor.signals import (
    JOHANSEN_MAX_EIGEN_CRITICAL_VALUE_90 as EIG90,
    JOHANSEN_TRACE_CRITICAL_VALUE_90 as TRACE90,
)
from reference.pairs_reference import volatility_multiplier as reference_volatility_multiplier


def _pair(rng, n, cointegrated):
    a = np.cumsum(rng.normal(size=n)) + 4.0
    if cointegrated:
        b = 0.7 * a + rng.normal(size=n) * 0.5 + 3.0
    else:
        b = np.cumsum(rng.normal(size=n)) + 4.0
    return a, b


def test_critical_values_come_from_statsmodels():
    result = coint_johansen(np.random.default_rng(0).normal(size=(50, 2)).cumsum(axis=0), 1, 0)
    assert EIG90 == result.max_eig_stat_crit_vals[0][0]
    assert TRACE90 == result.cvt[0][0]


@pytest.mark.parametrize("cointegrated", [True, False])
def test_johansen_matches_statsmodels(cointegrated):
    rng = np.random.default_rng(11 if cointegrated else 12)
    verdicts = []
    for _ in range(300):
        n = int(rng.integers(6, 250))
        a, b = _pair(rng, n, cointegrated)
        expected = coint_johansen(endog=np.column_stack((a, b)), det_order=1, k_ar_diff=0)
        got = _kernels.johansen_test(a, b, EIG90, TRACE90)
        assert got["ok"]
        np.testing.assert_allclose(got["max_eig_stat"], expected.max_eig_stat[0], rtol=1e-9)
        np.testing.assert_allclose(got["trace_stat"], expected.lr1[0], rtol=1e-9)
        np.testing.assert_allclose(got["eigenvalues"], expected.eig, rtol=1e-9, atol=1e-14)
        np.testing.assert_allclose(got["evec0"], expected.evec[:, 0], rtol=1e-9)
        eig, trace = expected.max_eig_stat[0], expected.lr1[0]
        if abs(eig - EIG90) > 1e-6 * EIG90 and abs(trace - TRACE90) > 1e-6 * TRACE90:
            assert got["is_cointegrated"] == bool(eig >= EIG90 and trace >= TRACE90)
        verdicts.append(got["is_cointegrated"])
    # Both outcomes occur, so the verdict is really being tested.
    assert any(verdicts) and (not all(verdicts) or cointegrated)


def test_hedge_ratios_sample_the_window_once_per_day():
    rng = np.random.default_rng(5)
    a, b = _pair(rng, 61, True)
    h1, h2, verdict = _kernels.hedge_ratio_from_johansen(a, b, 3, EIG90, TRACE90)
    # Indices 3, 6, ..., 60: the window's first bar is never used.
    expected = coint_johansen(endog=np.column_stack((a[::3][1:], b[::3][1:])), det_order=1, k_ar_diff=0)
    np.testing.assert_allclose((h1, h2), expected.evec[:, 0], rtol=1e-9)
    # Unnormalised, as the test returns them.
    assert abs(h1) != 1.0 and abs(h2) != 1.0


@pytest.mark.parametrize(
    "window, bars_per_day",
    [(10, 3), (16, 3), (5, 1), (30, 30), (30, 40)],
)
def test_johansen_with_fewer_than_six_daily_rows_fails(window, bars_per_day):
    rng = np.random.default_rng(0)
    a, b = _pair(rng, window, True)
    assert _kernels.hedge_ratio_from_johansen(a, b, bars_per_day, EIG90, TRACE90) == (0.0, 0.0, False)


def test_johansen_on_degenerate_data_fails():
    rng = np.random.default_rng(1)
    a, b = _pair(rng, 40, True)
    bad = a.copy()
    bad[7] = np.nan
    assert not _kernels.johansen_test(bad, b, EIG90, TRACE90)["ok"]
    bad[7] = -np.inf
    assert _kernels.hedge_ratio_from_johansen(bad, b, 1, EIG90, TRACE90) == (0.0, 0.0, False)
    # Identical series: singular moment matrices.
    assert _kernels.hedge_ratio_from_johansen(a, a, 1, EIG90, TRACE90) == (0.0, 0.0, False)


def test_halflife_slope_matches_scikit_learn():
    rng = np.random.default_rng(3)
    for _ in range(200):
        n = int(rng.integers(3, 1500))
        ar = np.zeros(n)
        phi = rng.uniform(-0.5, 0.999)
        for t in range(1, n):
            ar[t] = phi * ar[t - 1] + rng.normal()
        spread = 20.0 * rng.normal() + ar * rng.uniform(0.001, 10)
        lagged = spread[:-1]
        reg = LinearRegression().fit(lagged.reshape(-1, 1), spread[1:] - lagged)
        np.testing.assert_allclose(_kernels.halflife_slope(spread), reg.coef_[0], rtol=1e-12)


@pytest.mark.parametrize(
    "slope, halflife",
    [(-0.05, 13), (0.05, -13), (-0.7, 0), (0.0, 0), (float("nan"), 0), (-1e-30, 0), (-0.6931471805599453, 1)],
)
def test_halflife_from_slope(slope, halflife):
    assert _kernels.halflife_from_slope(slope) == halflife


def test_halflife_is_zero_when_not_cointegrated_or_constant():
    spread = np.cumsum(np.random.default_rng(2).normal(size=100))
    assert _kernels.halflife(False, spread) == 0
    assert _kernels.halflife(True, np.full(100, 3.25)) == 0
    assert _kernels.halflife(True, np.array([1.0, np.nan, 2.0, 3.0])) == 0


def test_mean_and_std_match_numpy():
    rng = np.random.default_rng(4)
    for _ in range(200):
        values = rng.normal(rng.uniform(-100, 100), rng.uniform(1e-4, 10), int(rng.integers(1, 3000)))
        mean, std = _kernels.mean_std(values)
        np.testing.assert_allclose(mean, np.mean(values), rtol=1e-12)
        np.testing.assert_allclose(std, np.std(values), rtol=1e-12)


class TestZscore:
    spread = 30.0 + np.sin(np.arange(200) / 5.0) + np.random.default_rng(0).normal(0, 0.1, 200)

    def test_tradable_pair_uses_the_trailing_window(self):
        z, x, std, mean = _kernels.zscore_for_pair(self.spread, 20, 2.5, True, 30, 1000)
        window = self.spread[-50:]
        assert x == self.spread[-1]
        np.testing.assert_allclose((std, mean), (np.std(window), np.mean(window)), rtol=1e-12)
        np.testing.assert_allclose(z, (x - np.mean(window)) / np.std(window), rtol=1e-12)

    def test_short_window_is_raised_to_the_minimum(self):
        _, _, std, _ = _kernels.zscore_for_pair(self.spread, 3, 1.0, True, 30, 1000)
        np.testing.assert_allclose(std, np.std(self.spread[-30:]), rtol=1e-12)

    def test_window_longer_than_the_spread_uses_all_of_it(self):
        # 201 values asked of 200: the whole spread, not a 1-value slice.
        z, x, std, mean = _kernels.zscore_for_pair(self.spread, 201, 1.0, True, 30, 1000)
        np.testing.assert_allclose((std, mean), (np.std(self.spread), np.mean(self.spread)), rtol=1e-12)
        assert z != 0.0

    @pytest.mark.parametrize(
        "halflife, cointegrated, maximum",
        [(0, True, 1000), (-4, True, 1000), (20, False, 1000), (20, True, 49)],
    )
    def test_untradable_pairs_give_zero(self, halflife, cointegrated, maximum):
        assert _kernels.zscore_for_pair(self.spread, halflife, 2.5, cointegrated, 30, maximum) == (
            0.0, self.spread[-1], 0.0, 0.0,
        )

    def test_window_equal_to_the_maximum_is_tradable(self):
        assert _kernels.zscore_for_pair(self.spread, 20, 2.5, True, 30, 50)[2] > 0.0

    def test_constant_spread_gives_zero_zscore(self):
        z, x, std, mean = _kernels.zscore_for_pair(np.full(100, 2.0), 10, 3.0, True, 30, 1000)
        assert (z, x, std, mean) == (0.0, 2.0, 0.0, 2.0)


class TestVolatilityMultiplier:
    def test_matches_numpy_sliding_windows(self):
        rng = np.random.default_rng(6)
        for _ in range(200):
            n = int(rng.integers(2, 1500))
            spread = 50.0 + np.cumsum(rng.normal(size=n)) * rng.uniform(1e-3, 1)
            halflife = int(rng.integers(-5, 300))
            multiplier = float(rng.uniform(0.01, 10))
            expected = reference_volatility_multiplier(
                {"rolling_volatility_halflife_multiplier": multiplier}, spread, halflife
            )
            np.testing.assert_allclose(
                _kernels.volatility_multiplier(spread, halflife, multiplier), expected, rtol=1e-12
            )

    def test_quiet_and_steady_spreads(self):
        assert _kernels.volatility_multiplier(np.full(100, 4.0), 10, 1.0) == 1.0
        # Alternating values: every rolling deviation equals the average one.
        steady = np.tile([1.0, 2.0], 50)
        np.testing.assert_allclose(_kernels.volatility_multiplier(steady, 1, 1.0), 2.0, rtol=1e-14)
