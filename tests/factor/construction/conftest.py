"""Fixtures of the construction tests."""

import pytest

from korvane._common.synthetic_universe import universe_table


@pytest.fixture
def daily_universe():
    return universe_table(n_securities=3, n_bars=300, freq="1D", seed=1)
