"""The entry classifier's tests run in a working folder of their own."""

import pytest


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """A working folder whose "../rarAV/saved_models/" lies inside the test's own folder."""
    work = tmp_path / "work"
    work.mkdir()
    monkeypatch.chdir(work)
    return work
