"""korvane quickstart: the main job end to end, offline, on a synthetic universe.

1. Build a universe table of five securities whose prices share one stochastic
   trend, so that every pair is cointegrated.
2. Construct the pairs-trading factor on all but the last few days.
3. Search its parameters with ``fit`` (a few dozen trials on two worker jobs).
4. Rerun the best parameters: print the train and test statistics table and
   save the equity plot to a PNG.
5. Feed the held-back days with ``update`` and read target weights from
   ``predict``.
6. Train the entry classifier: ``fit(..., fit_rarAV=True)`` records the
   features of every entry, searches a few cheap classifier pipelines on the
   trades and saves the best one; rerun the best parameters with that gate
   and print its test statistics next to the ungated ones.

Everything runs offline: the benchmark series that the statistics table
compares against is synthetic too. Files (the optimiser's studies, the plot
and the classifier's saved pipeline) are written to
``examples/quickstart_output/``.
"""

import contextlib
import io
import os
import sqlite3
import time
import warnings
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import korvane.utils.results.scorebook as scorebook_module  # noqa: E402
from korvane._common.synthetic_universe import BarNoise, PriceModel, universe_table  # noqa: E402
from korvane.factors.technical.pairtrader import PairsTradingSerialCointegrationFactor  # noqa: E402
from korvane.rarAV.signalforge import Signalforge  # noqa: E402
from korvane.rarAV.tradegate import OptimalEntryClassifier  # noqa: E402

SECURITIES = ["ALPHA", "BRAVO", "CHARLIE", "DELTA", "ECHO"]
N_DAYS = 1000
HELD_BACK_DAYS = 3
N_TRIALS = 36
N_JOBS = 2
REPOSITORY = Path(__file__).resolve().parent.parent
OUTPUT_DIR = REPOSITORY / "examples" / "quickstart_output"
# The classifier saves its pipeline to "../rarAV/saved_models/" relative to
# the working directory, so its stage runs one folder down: the pipeline then
# lands in examples/quickstart_output/rarAV/saved_models/.
CLASSIFIER_STAGE_DIR = OUTPUT_DIR / "classifier_stage"
# The factor's study file: universe name, resolution, objective, "0.9" and the study name.
STUDY_FILE_NAME = "quickstart_synthetic_1440_annual_sharpe_ratio_0.9_PairsTradingSerialCointegrationFactor.db"
CLASSIFIER_TRIALS = 3
# Cheap pipelines queued as the classifier's first trials, so that the demo's
# short search stays in seconds (a drawn pipeline may hold thousands of models).
CHEAP_PIPELINE = dict(
    score_func_to_use="f_classif", select_top_k_features_percentile=50,
    classifier_model_to_use="BaggingClassifierGaussianNB", AdaBoostClassifier_n_estimators=5,
    AdaBoostClassifier_learning_rate=0.5, lr_penalty="l2", lr_c=1.0, lr_class_weight="balanced",
    lr_max_iter=1000, lr_l1_ratio=0.5, cnb_alpha=1.0, gnb_var_smoothing=1e-9,
    BaggingClassifier_n_estimators=5, BaggingClassifier_max_samples=0.8, BaggingClassifier_max_features=0.8,
    imputer_to_use="SimpleImputer", KNNImputer_n_neighbors=3, KNNImputer_weights="uniform",
    SimpleImputer_weights="mean",
)
CHEAP_PIPELINES = (
    CHEAP_PIPELINE,
    dict(CHEAP_PIPELINE, classifier_model_to_use="AdaBoostClassifierGaussianNB", select_top_k_features_percentile=30),
    dict(CHEAP_PIPELINE, imputer_to_use="KNNImputer", select_top_k_features_percentile=80),
)


def synthetic_universe(n_days=N_DAYS, seed=7):
    """Daily OHLCV bars on business days, in the universe-table layout.

    Each log price is a security-specific loading on one common random walk
    plus its own mean-reverting (AR(1)) deviation: any two of them have a
    stationary linear combination, which is what the factor looks for.
    """
    return universe_table(
        n_bars=n_days, freq="B", start="2019-01-01", seed=seed, names=SECURITIES, index_name="datetime",
        model=PriceModel(trend_drift=0.0003, trend_sd=0.012, persistence=0.93, shock_sd=0.01,
                         first_price=40.0, price_step=15.0, first_loading=0.8, loading_step=0.1),
        noise=BarNoise(range_sd=0.004, open_sd=0.002, volume_low=50_000, volume_high=150_000),
    )


class OfflineBenchmark:
    """Stands in for yfinance: daily closes of a smooth synthetic benchmark.

    The results report compares returns with a downloaded benchmark; this
    keeps the demo offline. Columns follow yfinance 1.x: (Price, Ticker).
    """

    @staticmethod
    def download(tickers, start=None, end=None, progress=True, **kwargs):
        names = [tickers] if isinstance(tickers, str) else list(tickers)
        start = pd.Timestamp(start).tz_localize(None).normalize()
        end = pd.Timestamp(end).tz_localize(None).normalize()
        index = pd.bdate_range(start, end - pd.Timedelta(days=1), name="Date")
        days = (index - pd.Timestamp("2000-01-03")).days.to_numpy()
        close = 100.0 * np.exp(0.0002 * days + 0.02 * np.sin(days / 30.0))
        frame = pd.DataFrame(
            {(field, name): close for field in ("Close", "High", "Low", "Open") for name in names}, index=index
        )
        for name in names:
            frame[("Volume", name)] = 1e6
        frame.columns = pd.MultiIndex.from_tuples(frame.columns, names=["Price", "Ticker"])
        return frame


def factor_for(history, **classifier_objects):
    return PairsTradingSerialCointegrationFactor(
        universe_name="quickstart_synthetic",
        raw_OHCLV_dataframe=history,
        resolution_in_mins=1440,
        trading_hours=[],
        trades_only_on_weekdays=True,
        securities_names_list=list(SECURITIES),
        objective="annual_sharpe_ratio",
        **classifier_objects,
    )


def copy_study_file(source, destination):
    """Copy a study file with every committed trial.

    A study runs in write-ahead-log mode: trials committed since the last
    checkpoint are still in the "-wal" file beside it, so copying the file
    alone loses them. SQLite's backup reads through the log.
    """
    with contextlib.closing(sqlite3.connect(source)) as origin, contextlib.closing(sqlite3.connect(destination)) as copy:
        origin.backup(copy)


def classifier_stage(history, study_file):
    """Train the entry gate on the factor's trades and compare gated with ungated test statistics."""
    import optuna

    CLASSIFIER_STAGE_DIR.mkdir(exist_ok=True)
    os.chdir(CLASSIFIER_STAGE_DIR)
    # Start from the parameter search above, with a fresh classifier study and no saved pipeline.
    for stale in CLASSIFIER_STAGE_DIR.glob("*.db"):
        stale.unlink()
    saved = OUTPUT_DIR / "rarAV" / "saved_models" / "PairsTradingSerialCointegrationFactor_OptimalEntryClassifier.pkl"
    saved.unlink(missing_ok=True)
    copy_study_file(study_file, CLASSIFIER_STAGE_DIR / study_file.name)
    classifier_study = optuna.create_study(
        study_name="PairsTradingSerialCointegrationFactor_OptimalEntryClassifier",
        storage="sqlite:///" + study_file.stem + "_OptimalEntryClassifier.db",
        direction="maximize",
    )
    for pipeline in CHEAP_PIPELINES[:CLASSIFIER_TRIALS]:
        classifier_study.enqueue_trial(pipeline)

    print("\nclassifier stage: one more factor trial, then the entry gate learns from the recorded trades")
    factor = factor_for(history, rarAV_signalforge=Signalforge(), rarAV_optimal_entry_model=OptimalEntryClassifier())
    # The demo has few trades, so some purged folds and some bagged samples hold
    # one class only; naive Bayes then takes the log of a zero prior, which it
    # reports on every prediction. The scores and decisions are unaffected.
    warnings.filterwarnings("ignore", "divide by zero encountered in log", RuntimeWarning)
    factor.fit(
        n_trials_to_estimate_params=1,
        n_jobs=1,
        fit_rarAV=True,
        n_trials_to_estimate_params_for_rarAV=CLASSIFIER_TRIALS,
        n_jobs_for_rarAV=1,
    )
    print(f"gate saved to {saved.relative_to(REPOSITORY)}")
    # The gated rerun prints one line per signalled entry; count them instead.
    decisions = io.StringIO()
    with contextlib.redirect_stdout(decisions):
        gated = factor.get_full_backtest_results()
    lines = decisions.getvalue().splitlines()
    taken = sum(line.endswith("PREDICTION: True") for line in lines)
    ungated = factor_for(history).get_full_backtest_results()
    print(f"entries asked: {len(lines)}, taken by the gate: {taken}")
    print("\ntest statistics without and with the entry gate:")
    table = pd.concat(
        [ungated.test_full_results_df.iloc[:, 0].rename("ungated"), gated.test_full_results_df.iloc[:, 0].rename("gated")],
        axis=1,
    )
    print(table.to_string())


def main():
    started = time.perf_counter()
    OUTPUT_DIR.mkdir(exist_ok=True)
    os.chdir(OUTPUT_DIR)
    scorebook_module.yf = OfflineBenchmark()

    universe = synthetic_universe()
    history, new_bars = universe.iloc[:-HELD_BACK_DAYS], universe.iloc[-HELD_BACK_DAYS:]
    print(f"universe: {len(SECURITIES)} securities x {len(history)} daily bars "
          f"({history.index[0].date()} .. {history.index[-1].date()}), {HELD_BACK_DAYS} days held back")

    factor = factor_for(history)
    factor.erase_fit_memory()  # start from an empty study on every run of the demo

    factor.fit(n_trials_to_estimate_params=N_TRIALS, n_jobs=N_JOBS)

    results = factor.get_full_backtest_results()
    print("\nstatistics of the best parameters (train, test and the two together):")
    results.plot_full_results()
    plot_path = OUTPUT_DIR / "quickstart_equity.png"
    plt.gcf().savefig(plot_path, dpi=80)
    plt.close("all")
    print(f"equity plot saved to {plot_path.relative_to(REPOSITORY)}")

    factor.update(new_bars)
    weights = factor.predict()
    print(f"\ntarget weights after {HELD_BACK_DAYS} new bars (absolute weights sum to 1 when any pair trades):")
    print(weights.round(4).to_string())

    classifier_stage(history, OUTPUT_DIR / STUDY_FILE_NAME)
    print(f"\nquickstart finished in {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()
