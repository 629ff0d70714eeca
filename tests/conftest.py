"""Shared fixtures: everything runs offline.

Sockets are blocked by pytest-socket (see pyproject). The benchmark download
of the results report goes through ``yfinance.download``; it is replaced here
by a function returning frames in yfinance 1.x's real layout.

Every test folder is a package under tests/, which is on the path: helpers
import as, say, ``factor.live.live_stub``, and two folders may hold test files
of the same name.
"""

import signal
import subprocess
import sys

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402


def pytest_configure(config):
    # The factor's studies use the optimiser's experimental features on purpose.
    config.addinivalue_line("filterwarnings", "ignore::optuna.exceptions.ExperimentalWarning")


def fake_yfinance_download(tickers, start=None, end=None, progress=True, **kwargs):
    """A deterministic stand-in for ``yfinance.download`` (daily bars, naive index).

    Columns are a (Price, Ticker) MultiIndex, as yfinance 1.x returns even for
    a single ticker, and the end date is exclusive.
    """
    names = [tickers] if isinstance(tickers, str) else list(tickers)
    start = pd.Timestamp(start if start is not None else "2000-01-01").tz_localize(None).normalize()
    end = pd.Timestamp(end if end is not None else pd.Timestamp.today()).tz_localize(None).normalize()
    index = pd.bdate_range(start, end - pd.Timedelta(days=1), name="Date")
    frames = {}
    for name in names:
        # Prices depend only on the calendar day, so overlapping requests agree.
        days = (index - pd.Timestamp("2000-01-03")).days.to_numpy()
        close = 100.0 * np.exp(0.0002 * days + 0.01 * np.sin(days / 7.0))
        for field, values in (
            ("Close", close),
            ("High", close * 1.01),
            ("Low", close * 0.99),
            ("Open", close),
            ("Volume", np.full(len(index), 1e6)),
        ):
            frames[(field, name)] = values
    frame = pd.DataFrame(frames, index=index)
    frame.columns = pd.MultiIndex.from_tuples(frame.columns, names=["Price", "Ticker"])
    return frame


@pytest.fixture(autouse=True)
def offline_benchmark(monkeypatch):
    import yfinance

    monkeypatch.setattr(yfinance, "download", fake_yfinance_download)
    return fake_yfinance_download


@pytest.fixture
def in_tmp_dir(tmp_path, monkeypatch):
    """Runs the test in its own temporary folder, where the study files and saved models land."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def fresh_interpreter():
    """Runs a probe in a new interpreter, which prints "ok" once every check in it holds; returns the run."""

    def run(probe):
        result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        assert result.stdout.strip() == "ok"
        return result

    return run


@pytest.fixture
def stops_as_by_default():
    """Stops in this process as a program started from a terminal has them, put back after the test.

    A run under ``nohup``, or as a background job of a script, inherits
    SIGHUP or Ctrl-C ignored, and a fit leaves an ignored stop alone.
    """
    from child_groups import STOPS, stops_as_by_default

    before = {signum: signal.getsignal(signum) for signum in STOPS}
    stops_as_by_default()
    yield
    for signum, handler in before.items():
        signal.signal(signum, handler)


@pytest.fixture(autouse=True)
def children_ended():
    """Kills, with all they started, the children a test started through ``child_groups``."""
    from child_groups import end_groups

    yield
    end_groups()
