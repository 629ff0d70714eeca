"""Fixtures of the entry classifier's tests."""

import pytest


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """A working folder whose "../rarAV/saved_models/" lies inside the test's own folder."""
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    return work
