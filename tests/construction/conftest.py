"""Fixtures of the construction tests."""

import pytest

from universe_factory import make_universe


@pytest.fixture
def daily_universe():
    return make_universe(n_securities=3, n_bars=300, freq="1D", seed=1)
