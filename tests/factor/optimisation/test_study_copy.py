"""The quickstart copies a study that is still open, in write-ahead-log mode, with every trial."""

import importlib.util
import shutil
from pathlib import Path

import optuna

from korvane._common.study_files import sqlite_study_engine_kwargs

EXAMPLE = Path(__file__).resolve().parents[3] / "examples" / "quickstart.py"


def trial_count(path):
    storage = optuna.storages.RDBStorage("sqlite:///" + str(path))
    try:
        return len(optuna.load_study(study_name="copied", storage=storage).trials)
    except KeyError:  # not even the study's record reached the file
        return 0
    finally:
        storage.remove_session()
        storage.engine.dispose()


def test_copy_of_an_open_study_holds_every_trial(tmp_path):
    spec = importlib.util.spec_from_file_location("quickstart", EXAMPLE)
    quickstart = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(quickstart)

    source = tmp_path / "study.db"
    storage = optuna.storages.RDBStorage(
        "sqlite:///" + str(source), engine_kwargs=sqlite_study_engine_kwargs(str(source))
    )
    study = optuna.create_study(study_name="copied", storage=storage)
    study.optimize(lambda trial: trial.suggest_float("x", 0.0, 1.0), n_trials=36)
    # The study stays open, as the demo's factor keeps it: its latest trials
    # are committed to the log beside the file, not yet to the file.
    shutil.copy(source, tmp_path / "plain.db")
    quickstart.copy_study_file(source, tmp_path / "copy.db")
    assert trial_count(tmp_path / "plain.db") < 36
    assert trial_count(tmp_path / "copy.db") == 36
