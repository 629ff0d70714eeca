"""Fixtures of the construction tests: small daily universes and a factor class
whose data initialiser is skipped, for checks that stop before the bars."""

import pytest

from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor

from universe_factory import make_universe


class ArgumentsOnlyFactor(PairsTradingSerialCointegrationFactor):
    """Runs the constructor's checks and storing, but builds no bars."""

    def intialize_pairs_trading_data_structures(self):
        return None


@pytest.fixture
def daily_universe():
    return make_universe(n_securities=3, n_bars=300, freq="1D", seed=1)
