"""Triple barrier: placement, resizing, time stop and the crossing test."""

import pytest

from korvane import _kernels

SETTINGS = {
    "take_profit_std_multiplier": 2.0,
    "take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry": 1.0,
    "take_profit_current_volatility_multiplier_sensitivity_at_adjustment": 0.5,
    "stop_loss_std_multiplier": 2.0,
    "stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry": 1.0,
    "stop_loss_current_volatility_multiplier_sensitivity_at_adjustment": 0.25,
    "time_stop_halflife_multiplier": 1.5,
    "time_stop_adjustment_sensitivity": 0.5,
}


@pytest.mark.parametrize("position, take_profit, stop_loss", [(1, 1.4, 0.6), (-1, 0.6, 1.4)])
def test_barriers_at_entry(position, take_profit, stop_loss):
    state = _kernels.set_triple_barrier(SETTINGS, position, 1.0, 0.1, 10, 2.0, adjustment_countdown=3)
    assert state["take_profit"] == pytest.approx(take_profit, rel=1e-15)
    assert state["stop_loss"] == pytest.approx(stop_loss, rel=1e-15)
    assert state["time_stop"] == 15.0
    assert (state["entry_value"], state["entry_std"]) == (1.0, 0.1)
    # Placing the barriers leaves the resizing countdown of the last trade.
    assert state["adjustment_countdown"] == 3


def test_resizing_recentres_on_the_entry_value_then_counts_down():
    state = _kernels.set_triple_barrier(SETTINGS, 1, 1.0, 0.1, 10, 2.0)
    state = _kernels.update_triple_barrier(state, SETTINGS, 1, 4.0, 6)
    assert state["take_profit"] == pytest.approx(1.0 + 0.2 * 2.0)
    assert state["stop_loss"] == pytest.approx(1.0 - 0.2 * 1.0)
    assert state["adjustment_countdown"] == 6
    resized = dict(state)
    for expected in (5, 4, 3, 2, 1, 0):
        state = _kernels.update_triple_barrier(state, SETTINGS, 1, 99.0, 6)
        assert state["adjustment_countdown"] == expected
        assert (state["take_profit"], state["stop_loss"]) == (resized["take_profit"], resized["stop_loss"])
    state = _kernels.update_triple_barrier(state, SETTINGS, 1, 1.0, 6)
    assert state["adjustment_countdown"] == 6
    assert state["take_profit"] == pytest.approx(1.0 + 0.2 * 0.5)


def test_time_stop_fires_on_the_thirtieth_bar():
    state = _kernels.set_triple_barrier(SETTINGS, 1, 1.0, 0.1, 10, 2.0)
    for bar in range(1, 31):
        state = _kernels.update_triple_barrier(state, SETTINGS, 1, 2.0, 1000)
        crossed, label, returns = _kernels.check_triple_barrier(state, 1, 1.01)
        assert crossed == (bar == 30)
    assert (label, returns) == (1, pytest.approx(0.01))


@pytest.mark.parametrize(
    "position, value, label",
    [(1, 1.4, 1), (1, 0.6, 0), (-1, 0.6, 1), (-1, 1.4, 0)],
)
def test_price_barriers_are_inclusive(position, value, label):
    state = {"take_profit": 1.4 if position > 0 else 0.6, "stop_loss": 0.6 if position > 0 else 1.4,
             "time_stop": 5.0, "entry_value": 1.0, "entry_std": 0.1, "adjustment_countdown": 0}
    crossed, got_label, _ = _kernels.check_triple_barrier(state, position, value)
    assert crossed and got_label == label


def test_no_crossing_and_flat_position():
    state = {"take_profit": 1.4, "stop_loss": 0.6, "time_stop": 5.0, "entry_value": 1.0,
             "entry_std": 0.1, "adjustment_countdown": 0}
    assert _kernels.check_triple_barrier(state, 1, 1.2) == (False, 0, 0.0)
    assert _kernels.check_triple_barrier(state, 0, 5.0) == (False, 0, 0.0)


def test_returns_are_relative_to_the_absolute_entry_value():
    # A long spread entered at -2 and closed at -1 gained: +0.5, a profit.
    state = {"take_profit": 10.0, "stop_loss": -10.0, "time_stop": 0.0, "entry_value": -2.0,
             "entry_std": 0.1, "adjustment_countdown": 0}
    assert _kernels.check_triple_barrier(state, 1, -1.0) == (True, 1, 0.5)
    # A zero return at the time stop is a loss.
    assert _kernels.check_triple_barrier(state, 1, -2.0) == (True, 0, 0.0)


def test_entry_value_of_zero_gives_zero_return():
    state = {"take_profit": 0.5, "stop_loss": -0.5, "time_stop": 3.0, "entry_value": 0.0,
             "entry_std": 0.1, "adjustment_countdown": 0}
    assert _kernels.check_triple_barrier(state, 1, 0.7) == (True, 1, 0.0)
