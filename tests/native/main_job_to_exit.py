"""The main job with every native module, its objects kept until the interpreter ends.

Run as a script in a child interpreter, from an empty folder with another
empty folder above it (the classifier saves its pipeline to
"../rarAV/saved_models/"). Offline: the exchange client and the benchmark
download are the tests' stand-ins, and sockets other than the local ones
that the pool and the download's manager use are refused. Prints "ok" when
the work reached every module.
"""

import contextlib
import datetime
import io
import logging
import pathlib
import sys
import warnings

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))

import pytest_socket  # noqa: E402

pytest_socket.disable_socket(allow_unix_socket=True)
logging.disable(logging.CRITICAL)
warnings.simplefilter("ignore")

import optuna  # noqa: E402
import yfinance  # noqa: E402

import korvane.connections.binance.coinlink as coinlink  # noqa: E402
from classifier.classifier_helpers import CHEAP_PARAMS, enqueue  # noqa: E402
from conftest import fake_yfinance_download  # noqa: E402
from connections.fake_exchange import FakeClient  # noqa: E402
from factor.daily_factor import daily_factor  # noqa: E402
from korvane._common.synthetic_universe import TRADING_PARAMS, universe_table  # noqa: E402
from korvane.rarAV.signalforge import Signalforge  # noqa: E402
from korvane.rarAV.tradegate import OptimalEntryClassifier  # noqa: E402

STUDY = "PairsTradingSerialCointegrationFactor"
STEM = "held_1440_annual_sharpe_ratio_0.9_" + STUDY
NATIVE = ("korvane._kernels", "korvane.factors.technical._pairtrader", "korvane.utils.results._scorebook",
          "korvane.rarAV._signalforge", "korvane.connections.binance._coinlink")

yfinance.download = fake_yfinance_download
coinlink.Client = FakeClient
optuna.logging.set_verbosity(optuna.logging.ERROR)

# Candles parsed natively, downloaded through the manager process as a real download is.
candles = coinlink.Coinlink("k", "s").get_daily_historical_data_for_cryptocurrencies(
    ["AAAUSDT", "GAPUSDT"], datetime.datetime(2021, 1, 5), datetime.datetime(2021, 2, 1), 1
)

# A parallel fit whose first trial trades, entry features from the feature
# generator, the gate trained on them (sample weights) and saved; then the
# gated backtest, which loads the saved pipeline through the scan, its
# bootstrapped score, and the live step.
universe = universe_table(n_securities=4, n_bars=330, freq="1D", seed=3)
history, new_bars = universe.iloc[:-2], universe.iloc[-2:]
factor = daily_factor("held", history, rarAV_signalforge=Signalforge(), rarAV_optimal_entry_model=OptimalEntryClassifier())
optuna.create_study(study_name=STUDY, storage=f"sqlite:///{STEM}.db", direction="maximize").enqueue_trial(TRADING_PARAMS)
enqueue(STEM, STUDY, CHEAP_PARAMS)
factor.fit(2, n_jobs=2, fit_rarAV=True, n_trials_to_estimate_params_for_rarAV=1)
with contextlib.redirect_stdout(io.StringIO()) as decisions:
    results = factor.get_full_backtest_results()
score = results.get_objective_score()
factor.update(new_bars)
weights = factor.predict()
try:
    factor.fit(0)
except Exception as error:
    kept = error  # its traceback holds the factor too, as a notebook keeps it

reached = [
    not candles.empty,
    "PREDICTION" in decisions.getvalue(),
    len(weights) == 4,
    all(name in sys.modules for name in NATIVE),
]
print("ok" if all(reached) else f"the work fell short: {reached}")
