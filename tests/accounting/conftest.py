"""Fixtures for the backtest-run tests."""

import logging

import pytest

from run_stand_ins import RecordingScorebook, build_factor


@pytest.fixture
def factor():
    return build_factor()


@pytest.fixture
def recording_scorebook(monkeypatch):
    from korvane.factors.technical._factor.globals import pm

    RecordingScorebook.built = []
    monkeypatch.setattr(pm(), "Scorebook", RecordingScorebook)
    return RecordingScorebook


@pytest.fixture
def run_log(caplog):
    caplog.set_level(logging.INFO, logger=" ")
    return caplog
