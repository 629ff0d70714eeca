"""Native accounting of one split against the numpy oracle and worked cases."""

import numpy as np
import pytest

from korvane.factors.technical import _pairtrader as native
from reference import accounting_reference as ref

KEYS = ref.ARRAY_NAMES

# The step functions are bound only in builds with KORVANE_TEST_HOOKS (the
# Makefile's); a wheel has account_split alone.
needs_step_functions = pytest.mark.skipif(
    not hasattr(native, "settle_after_costs"),
    reason="built without KORVANE_TEST_HOOKS: the accounting step functions are not bound",
)


def native_split(raw, close, spread, starting_equity=100_000.0, pct=0.9, scale=True, comm=0.001, slip=0.5, bars=None):
    bars = len(raw) if bars is None else bars
    return native.account_split(raw, close, spread, starting_equity, pct, scale, comm, slip, bars)


def assert_same(got, want):
    assert list(got) == list(KEYS)
    for key in KEYS:
        assert got[key].dtype == np.float64, key
        assert got[key].shape == want[key].shape, key
        np.testing.assert_allclose(got[key], want[key], rtol=1e-12, atol=0, err_msg=key)


def random_book(rng, bars, n, flat_share=0.3):
    """Raw positions in stretches: flat, in position, sign flips, single-security rows."""
    raw = rng.normal(size=(bars, n)) * rng.uniform(0.1, 5.0)
    state = rng.uniform(size=bars)
    raw[state < flat_share] = 0.0
    raw[rng.uniform(size=(bars, n)) < 0.2] = 0.0
    close = np.exp(np.cumsum(rng.normal(0, 0.01, size=(bars, n)), axis=0)) * rng.uniform(5, 500, size=n)
    spread = rng.uniform(0.0, 0.01, size=n)
    return raw, close, spread


@needs_step_functions
class TestSteps:
    def test_scaling_examples(self):
        raw, close = np.array([2.0, -1.0, 0.0]), np.array([10.0, 20.0, 5.0])
        np.testing.assert_array_equal(
            native.scale_positions_market_value(raw, 3.0, close, 500.0, 0.9, False), [225.0, -225.0, 0.0]
        )
        np.testing.assert_allclose(
            native.scale_positions_market_value(raw, 3.0, close, 500.0, 0.9, True), [150.0, -150.0, 0.0], rtol=1e-15
        )
        assert not native.scale_positions_market_value(raw, 3.0, close, 0.0, 0.9, True).any()

    @pytest.mark.parametrize("n", [1, 3, 7, 8, 9, 45, 130])
    def test_scaling_matches_reference(self, n):
        rng = np.random.default_rng(n)
        for _ in range(20):
            raw = rng.normal(size=n)
            raw[rng.uniform(size=n) < 0.3] = 0.0
            if not raw.any():
                raw[0] = 1.0
            close = rng.uniform(1, 100, size=n)
            total = np.sum(np.abs(raw))
            for scale in (False, True):
                got = native.scale_positions_market_value(raw, total, close, 12345.6, 0.7, scale)
                want = ref.scale_positions(raw, total, close, 12345.6, 0.7, scale)
                np.testing.assert_allclose(got, want, rtol=1e-12, atol=0)
            # Positive rescaling of the raw row leaves the sizes unchanged.
            again = native.scale_positions_market_value(raw * 37.0, total * 37.0, close, 12345.6, 0.7, True)
            np.testing.assert_allclose(again, want, rtol=1e-12)

    def test_equity_step(self):
        pnl, equity = native.equity_after_pnl_change(
            np.array([11.0, 19.0]), np.array([10.0, 20.0]), np.array([10.0, -5.0]), 500.0
        )
        np.testing.assert_array_equal(pnl, [10.0, 5.0])
        assert equity == 515.0
        pnl, equity = native.equity_after_pnl_change(np.array([11.0]), np.array([10.0]), np.array([0.0]), 42.0)
        assert equity == 42.0 and not pnl.any()

    def test_six_bar_walk(self):
        raw = np.array([0, 1, 1, 0, 0, 2.0])[:, None]
        close = np.array([10, 10, 12.5, 10, 10, 8.0])[:, None]
        for scale in (False, True):
            units, value, change, change_value, pnl = native.account_positions_and_equity(100.0, 0.5, raw, close, 6, scale)
            np.testing.assert_allclose(units[:, 0], [0, 5, 4.5, 0, 0, 6.328125])
            np.testing.assert_allclose(value[:, 0], [0, 50, 56.25, 0, 0, 50.625])
            np.testing.assert_allclose(change[:, 0], [0, 5, -0.5, -4.5, 0, 6.328125])
            np.testing.assert_allclose(change_value[:, 0], [0, 50, -6.25, -45, 0, 50.625])
            np.testing.assert_allclose(pnl[:, 0], [0, 0, 12.5, -11.25, 0, 0])

    def test_costs_follow_traded_value_only(self):
        change_value = np.array([[100.0, 0.0], [0.0, -50.0], [-100.0, 0.0]])
        commissions, slippage = native.charge_commissions_and_slippage(change_value, np.array([0.02, 0.04]), 0.001, 0.5)
        np.testing.assert_allclose(commissions, [[0.1, 0], [0, 0.05], [0.1, 0]])
        np.testing.assert_allclose(slippage, [[1.0, 0], [0, 1.0], [1.0, 0]])


class TestParity:
    @pytest.mark.parametrize("n", [1, 2, 5, 8, 13, 45, 131])
    @pytest.mark.parametrize("scale", [False, True])
    def test_random_books(self, n, scale):
        rng = np.random.default_rng(1000 + n)
        raw, close, spread = random_book(rng, 300, n)
        want = ref.account_split(raw, close, spread, 1e5, 0.9, scale, 0.001, 0.5, 300)
        assert_same(native_split(raw, close, spread, scale=scale), want)

    @needs_step_functions
    def test_steps_compose_to_the_fused_split(self):
        rng = np.random.default_rng(7)
        raw, close, spread = random_book(rng, 200, 6)
        five = native.account_positions_and_equity(5e4, 0.8, raw, close, 200, True)
        commissions, slippage = native.charge_commissions_and_slippage(five[3], spread, 0.002, 0.3)
        twelve = native.settle_after_costs(five[4], five[0], five[1], five[2], five[3], commissions, slippage, 5e4, 200)
        fused = native_split(raw, close, spread, 5e4, 0.8, True, 0.002, 0.3)
        order = (7, 8, 9, 10, 11, 5, 6, 4, 0, 1, 2, 3)
        for got, index in zip(twelve, order):
            np.testing.assert_array_equal(got, fused[KEYS[index]])

    def test_longer_inputs_contribute_only_their_first_rows(self):
        rng = np.random.default_rng(3)
        raw, close, spread = random_book(rng, 120, 4)
        assert_same(native_split(raw, close, spread, bars=80), native_split(raw[:80], close[:80], spread))

    def test_strided_and_readonly_inputs(self):
        rng = np.random.default_rng(11)
        raw, close, spread = random_book(rng, 150, 4)
        wide = np.repeat(close, 2, axis=1)[:, ::2]  # a column view, not C-contiguous
        raw_ro = raw.copy()
        raw_ro.setflags(write=False)
        assert_same(native_split(raw_ro, wide, spread), native_split(raw, close, spread))

    def test_calls_are_independent(self):
        rng = np.random.default_rng(5)
        raw, close, spread = random_book(rng, 100, 3)
        first, second = native_split(raw, close, spread), native_split(raw, close, spread)
        for key in KEYS:
            np.testing.assert_array_equal(first[key], second[key])
            assert not np.shares_memory(first[key], second[key])

    def test_reused_memory_never_reaches_live_arrays(self):
        rng = np.random.default_rng(13)
        raw, close, spread = random_book(rng, 400, 5)
        kept = native_split(raw, close, spread)["equity_value_array"]  # the rest of its split is released
        expected = kept.copy()
        others = [native_split(raw * (k + 2.0), close, spread, starting_equity=7.0 + k) for k in range(4)]
        np.testing.assert_array_equal(kept, expected)
        for a, b in zip(others, others[1:]):
            assert not np.shares_memory(a["positions_matrix_array"], b["positions_matrix_array"])
        assert_same(others[3], ref.account_split(raw * 5.0, close, spread, 10.0, 0.9, True, 0.001, 0.5, 400))

    def test_without_costs_equity_is_pnl_path(self):
        rng = np.random.default_rng(9)
        raw, close, spread = random_book(rng, 100, 3)
        got = native_split(raw, close, spread, comm=0.0, slip=0.0)
        np.testing.assert_array_equal(got["securities_pnl_after_transaction_costs_matrix_array"], got["securities_pnl_matrix_array"])
        assert got["equity_value_array"].min() > 0
        np.testing.assert_allclose(got["equity_value_array"], 1e5 + np.cumsum(got["securities_pnl_matrix_array"].sum(axis=1)), rtol=1e-12)


class TestBankruptcy:
    def settle(self, totals, starting_equity=100.0):
        """Settle a one-security book whose pnl per bar is `totals` (no costs)."""
        pnl = np.asarray(totals, dtype=float)[:, None]
        ones = np.ones_like(pnl)
        zeros = np.zeros_like(pnl)
        out = native.settle_after_costs(pnl, ones, ones, ones, ones, zeros, zeros, starting_equity, len(totals))
        names = ("after", "total", "equity", "returns", "cumprod", "commissions", "slippage", "pnl",
                 "positions", "market_value", "change", "change_value")
        return dict(zip(names, out))

    @needs_step_functions
    def test_doubling_then_ruin_scores_zero(self):
        got = self.settle([0.0, 100.0, -250.0, 5.0, 7.0])
        np.testing.assert_array_equal(got["equity"], [100, 200, 0, 0, 0])
        np.testing.assert_array_equal(got["total"], [0, 100, -200, 0, 0])
        np.testing.assert_array_equal(got["returns"], [1.0, -1.0, 0.0, 0.0])
        np.testing.assert_array_equal(got["cumprod"], [2.0, 0.0, 0.0, 0.0])
        # The ruinous bar keeps its own book, scaled to the loss it may book;
        # later bars are wiped.
        assert got["pnl"][2, 0] == -200.0 and got["positions"][2, 0] == 1.0
        for name in ("after", "pnl", "positions", "market_value", "change", "change_value"):
            assert not got[name][3:].any(), name

    @needs_step_functions
    def test_ruin_at_bar_five_of_ten(self):
        totals = [0, 1, 1, 1, 1, -500, 3, 3, 3, 3]
        got = self.settle(totals)
        assert (got["equity"][:5] > 0).all() and not got["equity"][5:].any()
        assert got["total"][5] == -104.0 and not got["total"][6:].any()
        assert got["returns"][4] == -1.0 and not got["returns"][5:].any()
        assert not got["cumprod"][4:].any()

    @needs_step_functions
    def test_equity_of_exactly_zero_is_ruin(self):
        got = self.settle([0.0, -100.0, 10.0])
        np.testing.assert_array_equal(got["equity"], [100, 0, 0])
        np.testing.assert_array_equal(got["returns"], [-1.0, 0.0])

    @needs_step_functions
    @pytest.mark.parametrize("totals", [[-150.0, 10.0, 20.0], [-100.0, 5.0]])
    def test_ruin_on_first_bar(self, totals):
        # Returns start at bar 1, so the first one carries the ruin of bar 0.
        got = self.settle(totals)
        assert not got["equity"].any()
        assert got["total"][0] == -100.0 and not got["total"][1:].any()
        np.testing.assert_array_equal(got["returns"], np.r_[-1.0, np.zeros(len(totals) - 2)])
        assert not got["cumprod"].any()
        assert got["pnl"][0, 0] == -100.0 and not got["pnl"][1:].any()

    @pytest.mark.parametrize("ruin_bar", [0, 2])
    def test_books_of_the_ruinous_bar_add_up(self, ruin_bar):
        # Long A, short B at twice the equity; B quadruples (or entry costs
        # alone ruin the book on its first bar).
        raw = np.tile([1.0, -1.0], (5, 1))
        close = np.array([[10, 10], [10, 11], [10, 40], [10, 41], [10, 42]], float)
        pct, comm = (2.0, 0.001) if ruin_bar else (0.9, 1.5)
        got = native_split(raw, close, np.array([0.01, 0.02]), 1000.0, pct, False, comm, 0.5)
        assert_same(got, ref.account_split(raw, close, np.array([0.01, 0.02]), 1000.0, pct, False, comm, 0.5, 5))
        k = ruin_bar
        equity, total = got["equity_value_array"], got["total_pnl_after_transaction_costs_array"]
        assert equity[k] == 0 and (k == 0 or equity[k - 1] > 0)
        left = equity[k - 1] if k else 1000.0
        assert total[k] == -left
        after = got["securities_pnl_after_transaction_costs_matrix_array"][k]
        gross, costs = got["securities_pnl_matrix_array"][k], got["commissions_matrix_array"][k] + got["slippage_matrix_array"][k]
        np.testing.assert_allclose([after.sum(), gross.sum() - costs.sum()], [-left, -left], rtol=1e-12)
        assert (costs > 0).all() and (after < 0).all()
        # No position is ever held against the signal's sign.
        assert (got["positions_matrix_array"] * raw >= 0).all()
        assert got["cumprod_returns_after_transaction_costs_array"][-1] == 0.0

    def test_matches_reference_on_random_ruin(self):
        rng = np.random.default_rng(21)
        raw, close, spread = random_book(rng, 400, 4, flat_share=0.05)
        close[200:] = close[200:] * np.linspace(1.0, 0.01, 200)[:, None] ** 3  # a crash
        for pct in (5.0, 40.0):  # leverage high enough to go under
            want = ref.account_split(raw, close, spread, 1e4, pct, False, 0.001, 0.5, 400)
            got = native_split(raw, close, spread, 1e4, pct, False)
            assert_same(got, want)
        assert (got["equity_value_array"] == 0).any()


class TestDegenerateSplits:
    @pytest.mark.parametrize("bars", [0, 1])
    def test_short_splits_have_no_returns(self, bars):
        raw, close = np.ones((bars, 3)), np.full((bars, 3), 10.0)
        got = native_split(raw, close, np.full(3, 0.01))
        assert got["returns_after_transaction_costs_array"].shape == (0,)
        assert got["cumprod_returns_after_transaction_costs_array"].shape == (0,)
        assert got["equity_value_array"].shape == (bars,)
        assert got["positions_matrix_array"].shape == (bars, 3)

    def test_all_flat_split_is_all_zero(self):
        got = native_split(np.zeros((50, 3)), np.full((50, 3), 10.0), np.full(3, 0.01))
        for key in KEYS[:9]:
            assert not got[key].any(), key
        assert (got["equity_value_array"] == 1e5).all() and (got["cumprod_returns_after_transaction_costs_array"] == 1).all()

    def test_nan_prices_propagate_without_failing(self):
        raw, close = np.ones((5, 2)), np.full((5, 2), 10.0)
        close[2, 0] = np.nan
        got = native_split(raw, close, np.full(2, 0.01))
        assert np.isnan(got["equity_value_array"][2:]).all()
        assert not got["returns_after_transaction_costs_array"][2:].any()

    def test_bad_shapes_are_refused(self):
        spread = np.full(3, 0.01)
        with pytest.raises(ValueError, match="fewer than"):
            native_split(np.ones((4, 3)), np.ones((4, 3)), spread, bars=5)
        with pytest.raises(ValueError, match="columns"):
            native_split(np.ones((4, 3)), np.ones((4, 2)), spread)
        with pytest.raises(ValueError, match="fewer entries"):
            native_split(np.ones((4, 3)), np.ones((4, 3)), spread[:2])
        with pytest.raises(ValueError, match="negative"):
            native_split(np.ones((4, 3)), np.ones((4, 3)), spread, bars=-1)
