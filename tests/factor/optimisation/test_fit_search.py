"""The parameter search of ``fit``: study files, the two ways of running trials, seeds and banners.

These tests drive the optimisation code through ``StubFactor``, whose backtest
run is a cheap function of the drawn parameters; the real factor is exercised
end to end in ``test_fit_factor.py``.
"""

import collections
import gc
import logging
import os
import sqlite3
import tempfile

import optuna
import pytest

import pickle

import korvane.factors.technical.pairtrader as pairtrader
from factor.optimisation.stub_factor import StubFactor


def pairtrader_parallel_fit():
    import korvane.factors.technical._factor.parallel_fit as parallel_fit

    return parallel_fit

STEM = "stub_60_latest_cumprod_returns_0.9_PairsTradingSerialCointegrationFactor"
DASHES = "-" * 29

pytestmark = pytest.mark.usefixtures("in_tmp_dir")


def all_trials(path=STEM + ".db"):
    return optuna.load_study(study_name="PairsTradingSerialCointegrationFactor", storage="sqlite:///" + str(path)).trials


def finished_trials(path=STEM + ".db"):
    study = optuna.load_study(study_name="PairsTradingSerialCointegrationFactor", storage="sqlite:///" + str(path))
    return [t for t in study.get_trials(deepcopy=False) if t.state == optuna.trial.TrialState.COMPLETE]


class InlineParallel:
    """Stands in for joblib's pool: records the jobs and runs them in this process.

    Each job's arguments go through pickling first, as they would on their
    way to a worker process; ``received`` keeps what the jobs were run with.
    """

    instances = []

    def __init__(self, n_jobs):
        self.n_jobs = n_jobs
        self.jobs = None
        self.received = []
        InlineParallel.instances.append(self)

    def __call__(self, jobs):
        self.jobs = list(jobs)
        results = []
        for function, args, kwargs in self.jobs:
            args = pickle.loads(pickle.dumps(args))
            self.received.append(args)
            results.append(function(*args, **kwargs))
        return results


@pytest.fixture
def inline_pool(monkeypatch):
    InlineParallel.instances = []
    monkeypatch.setattr(pairtrader, "Parallel", InlineParallel)
    return InlineParallel.instances


def messages(caplog):
    return [r.getMessage() for r in caplog.records if r.name == " "]


class TestArguments:
    @pytest.mark.parametrize("count", [0, -3])
    def test_non_positive_trial_count_is_rejected_before_any_study(self, count, in_tmp_dir):
        factor = StubFactor()
        with pytest.raises(Exception) as info:
            factor.fit(count)
        assert type(info.value) is Exception
        assert str(info.value) == (
            "n_trials_to_estimate_params cannot be less than 0, please ensure n_trials_to_estimate_params > 0"
        )
        assert os.listdir(in_tmp_dir) == []

    def test_argument_binding(self, in_tmp_dir):
        factor = StubFactor()
        with pytest.raises(TypeError, match=r"^fit\(\) takes at most 5 positional arguments \(6 given\)$"):
            factor.fit(1, 1, False, 1, 1, 1)
        with pytest.raises(TypeError, match="unexpected keyword argument 'trials'"):
            factor.fit(trials=3)
        with pytest.raises(TypeError, match="an integer is required"):
            factor.fit("3")
        with pytest.raises(Exception, match="^n_trials_to_estimate_params cannot be less than 0"):
            factor.fit(0.9)  # cut toward zero, like any 64-bit integer argument
        assert os.listdir(in_tmp_dir) == []

    @pytest.mark.parametrize("name", ["eu?x", "eu#x", "eu%20x", "../x", "a/b", "..", "x" * 250])
    def test_universe_name_that_would_name_another_file_is_rejected(self, name, in_tmp_dir, monkeypatch):
        (in_tmp_dir / "work").mkdir()
        monkeypatch.chdir(in_tmp_dir / "work")
        factor = StubFactor(universe_name=name)
        with pytest.raises(Exception, match="cannot name a study file") as info:
            factor.fit(1)
        assert type(info.value) is Exception
        assert os.listdir(in_tmp_dir) == ["work"] and os.listdir() == []
        for call in (factor.get_full_backtest_results, factor.erase_fit_memory):
            with pytest.raises(Exception, match="cannot name a study file"):
                call()


class TestStudyFile:
    def test_sequential_fit_writes_the_named_file_and_keeps_best_params(self, caplog):
        caplog.set_level(logging.INFO)
        factor = StubFactor()
        factor.fit(5)
        trials = finished_trials()
        assert len(trials) == 5
        best = max(trials, key=lambda t: t.value)
        assert factor._factor_best_params_dict == best.params
        assert list(best.params)[0] == "size_of_rolling_windows"
        lines = messages(caplog)
        assert lines[-2] == DASHES + "IN-SAMPLE FACTOR OPTIMISATION COMPLETE" + DASHES
        assert lines[-1] == (
            f"BEST TRIAL SO FAR: {best.number} WITH SCORE: {round(best.value, 3)!r}"
            " | PAIRS TRADING SERIAL COINTEGRATION FACTOR 60\n"
        )
        assert not any("MULTIPROCESSED" in line for line in lines)

    def test_study_is_shared_by_name_resolution_objective_and_continued(self):
        StubFactor().fit(3)
        other = StubFactor(datetime_length=1000)  # differs in other settings only
        other.fit(2)
        assert len(finished_trials()) == 5
        best = max(finished_trials(), key=lambda t: t.value)
        assert other._factor_best_params_dict == best.params
        StubFactor(resolution_in_mins=30).fit(1)
        assert os.path.exists("stub_30_latest_cumprod_returns_0.9_PairsTradingSerialCointegrationFactor.db")
        assert len(finished_trials()) == 5

    def test_none_universe_name_is_written_as_none(self):
        StubFactor(universe_name=None).fit(1)
        assert os.path.exists("None_60_latest_cumprod_returns_0.9_PairsTradingSerialCointegrationFactor.db")

    def test_seed_69_repeats_the_first_draws_of_each_fit(self, tmp_path):
        StubFactor().fit(2)
        first = [t.params for t in finished_trials()]
        os.remove(STEM + ".db")
        StubFactor().fit(2)
        assert [t.params for t in finished_trials()] == first

    def test_sampler_settings(self, monkeypatch):
        seen = []
        real = pairtrader.TPESampler

        def recording_sampler(**kwargs):
            seen.append(kwargs)
            return real(**kwargs)

        monkeypatch.setattr(pairtrader, "TPESampler", recording_sampler)
        StubFactor().fit(1)
        assert seen[0]["seed"] == 69
        assert seen[0]["n_startup_trials"] == 30
        assert seen[0]["multivariate"] and seen[0]["group"] and seen[0]["constant_liar"]

    def test_trials_see_integer_and_float_parameters_in_their_ranges(self):
        StubFactor(datetime_length=1001).fit(8)
        for trial in finished_trials():
            params = trial.params
            assert len(params) == 12
            assert 31 <= params["size_of_rolling_windows"] <= 500
            assert isinstance(params["starting_sd_for_position_entry"], int)
            assert 1 <= params["starting_sd_for_position_entry"] <= 10
            assert all(
                isinstance(v, float) and 0.01 <= v <= 10.0
                for k, v in params.items()
                if k not in ("size_of_rolling_windows", "starting_sd_for_position_entry")
            )

    def test_trial_draws_the_twelve_parameters_in_table_order_with_their_ranges(self):
        class RecordingTrial:
            def __init__(self):
                self.calls = []

            def suggest_int(self, **kwargs):
                self.calls.append(("int", kwargs))
                return kwargs["low"]

            def suggest_float(self, **kwargs):
                self.calls.append(("float", kwargs))
                return kwargs["high"]

        trial = RecordingTrial()
        params = StubFactor(datetime_length=1001)._get_trial_params_for_pairs_trading_serial_cointegration_factor(trial)
        unit = dict(low=0.01, high=10.0, log=False)
        assert trial.calls == [
            ("int", dict(name="size_of_rolling_windows", low=31, high=500, log=False)),
            ("float", dict(name="zscore_halflife_multiplier", **unit)),
            ("int", dict(name="starting_sd_for_position_entry", low=1, high=10, log=False)),
            ("float", dict(name="rolling_volatility_halflife_multiplier", **unit)),
            ("float", dict(name="take_profit_std_multiplier", **unit)),
            ("float", dict(name="take_profit_current_volatility_multiplier_sensitivity_at_time_of_entry", **unit)),
            ("float", dict(name="take_profit_current_volatility_multiplier_sensitivity_at_adjustment", **unit)),
            ("float", dict(name="stop_loss_std_multiplier", **unit)),
            ("float", dict(name="stop_loss_current_volatility_multiplier_sensitivity_at_time_of_entry", **unit)),
            ("float", dict(name="stop_loss_current_volatility_multiplier_sensitivity_at_adjustment", **unit)),
            ("float", dict(name="time_stop_halflife_multiplier", **unit)),
            ("float", dict(name="time_stop_adjustment_sensitivity", **unit)),
        ]
        assert list(params) == [kwargs["name"] for _, kwargs in trial.calls]

    def test_window_range_collapses_at_62_bars(self):
        StubFactor(datetime_length=63).fit(3)
        assert {t.params["size_of_rolling_windows"] for t in finished_trials()} == {31}


class TestResultsAndErase:
    def test_get_full_backtest_results_reruns_the_stored_best(self):
        StubFactor().fit(4)
        fresh = StubFactor()
        result = fresh.get_full_backtest_results()
        best = max(finished_trials(), key=lambda t: t.value)
        assert result == ("results", best.params)
        assert fresh._runs[-1][:3] == (False, best.params, True)

    def test_missing_study_raises_optunas_error_and_creates_no_file(self, in_tmp_dir):
        factor = StubFactor()
        factor._factor_best_params_dict = {"kept": 1}
        with pytest.raises(KeyError):
            factor.get_full_backtest_results()
        assert factor._factor_best_params_dict == {"kept": 1}
        assert os.listdir(in_tmp_dir) == []

    def test_classifier_is_asked_to_load_before_the_rerun(self):
        calls = []

        class Model:
            pass

        setattr(Model, "__check_and_load_optimal_entry_classifier", lambda self, factor_name="": calls.append(factor_name))
        StubFactor().fit(1)
        StubFactor(rarAV_optimal_entry_model=Model()).get_full_backtest_results()
        assert calls == ["PairsTradingSerialCointegrationFactor"]

    def test_erase_fit_memory_removes_the_file_then_reports_it_missing(self, caplog):
        caplog.set_level(logging.INFO)
        factor = StubFactor()
        factor.fit(1)
        factor.erase_fit_memory()
        assert not os.path.exists(STEM + ".db")
        factor.erase_fit_memory()
        assert messages(caplog)[-2:] == [
            f"FIT FILE: {STEM}.db SUCCESSFULLY REMOVED FROM MEMORY",
            f"FIT FILE: {STEM}.db DOES NOT EXIT IN MEMORY, FILE MISPECIFIED OR PREVIOUSLY REMOVED",
        ]
        assert factor._factor_best_params_dict is not None
        factor.fit(2)
        assert len(finished_trials()) == 2

    def test_erase_fit_memory_removes_the_logs_beside_the_study_and_nothing_else(self, in_tmp_dir):
        StubFactor().fit(1)
        kept = [STEM + ".db-journal", STEM + ".db.bak", STEM + "_OptimalEntryClassifier.db-wal", "other.db-wal"]
        for name in kept + [STEM + ".db-wal", STEM + ".db-shm"]:
            (in_tmp_dir / name).touch()
        StubFactor().erase_fit_memory()
        assert sorted(os.listdir(in_tmp_dir)) == sorted(kept)
        (in_tmp_dir / (STEM + ".db-wal")).touch()  # a log left without its study goes as well
        StubFactor().erase_fit_memory()
        assert sorted(os.listdir(in_tmp_dir)) == sorted(kept)


def factor_storage(path):
    return StubFactor()._open_study_storage(str(path))


def classifier_storage(path):
    import korvane.rarAV.tradegate  # noqa: F401  (module globals the classifier looks up)
    from korvane.rarAV._tradegate import classifier

    return classifier._storage("sqlite:///" + str(path))


@pytest.mark.parametrize("open_storage", [factor_storage, classifier_storage])
def test_study_connections_log_ahead_and_wait_for_busy_writers(open_storage, in_tmp_dir):
    # The settings must hold on the very connection the optimiser uses,
    # including the first one it opens to create the tables.
    storage = open_storage(in_tmp_dir / "s.db")
    with storage.engine.connect() as connection:
        pragmas = [connection.exec_driver_sql("PRAGMA " + name).scalar()
                   for name in ("journal_mode", "synchronous", "busy_timeout")]
        whole_wait = connection.connection.dbapi_connection.busy_seconds
    # SQLite waits a quarter of a second at a time, the connection 300 s in all.
    assert pragmas == ["wal", 1, 250] and whole_wait == 300
    study = optuna.create_study(study_name="s", storage=storage)
    study.optimize(lambda trial: trial.suggest_float("x", 0, 1), n_trials=2)
    plain = optuna.load_study(study_name="s", storage="sqlite:///" + str(in_tmp_dir / "s.db"))
    assert len(plain.trials) == 2


class TestParallelDispatch:
    def test_empty_study_runs_one_trial_in_process_then_jobs(self, inline_pool, caplog):
        caplog.set_level(logging.INFO)
        factor = StubFactor()
        factor.fit(4, n_jobs=3)
        (pool,) = inline_pool
        assert pool.n_jobs == 3
        assert [args[1] for _, args, _ in pool.jobs] == [0, 1, 2]
        assert all(os.path.isabs(args[2]) and args[2].endswith(STEM + ".db") for _, args, _ in pool.jobs)
        assert len(finished_trials()) == 4
        lines = messages(caplog)
        banners = [line for line in lines if line.startswith(DASHES)]
        assert banners == [
            DASHES + "STUDY DB IS EMPTY, INITIALIZING DB WITH SINGLE FIT" + DASHES,
            DASHES + "FITTING SINGLE FIT BEFORE MULTIPROCESSING" + DASHES,
            DASHES + "BEGINNING MULTIPROCESSED IN-SAMPLE FACTOR OPTIMISATION" + DASHES,
            DASHES + "IN-SAMPLE FACTOR OPTIMISATION COMPLETE" + DASHES,
        ]

    def test_single_trial_on_empty_study_sends_an_empty_job_list(self, inline_pool):
        StubFactor().fit(1, n_jobs=2)
        assert inline_pool[0].jobs == []
        assert len(finished_trials()) == 1

    def test_study_with_trials_sends_every_trial_as_a_job(self, inline_pool):
        StubFactor().fit(1)
        StubFactor().fit(3, n_jobs=-1)
        assert [args[1] for _, args, _ in inline_pool[0].jobs] == [0, 1, 2]
        assert len(finished_trials()) == 4

    @pytest.mark.parametrize("n_jobs", [1, 0, -2])
    def test_other_job_counts_run_sequentially(self, inline_pool, n_jobs):
        StubFactor().fit(2, n_jobs=n_jobs)
        assert inline_pool == []
        assert len(finished_trials()) == 2

    def test_job_seeds_are_69_plus_index(self, inline_pool, monkeypatch):
        seeds = []
        real = pairtrader.TPESampler

        def recording_sampler(**kwargs):
            seeds.append(kwargs["seed"])
            return real(**kwargs)

        monkeypatch.setattr(pairtrader, "TPESampler", recording_sampler)
        StubFactor().fit(3, n_jobs=2)
        # fit's own study, the in-process trial, then jobs 0 and 1
        assert seeds == [69, 69, 69, 70]

    def test_a_factor_holding_unpicklable_helpers_sends_a_copy_without_them(self, inline_pool):
        class Unpicklable:
            def __reduce__(self):
                raise TypeError("cannot pickle 'Signalforge' object")

        generator, model = Unpicklable(), Unpicklable()
        factor = StubFactor(rarAV_signalforge=generator, rarAV_optimal_entry_model=model)
        factor.fit(4, n_jobs=2)
        handles = {id(args[0]) for _, args, _ in inline_pool[0].jobs}
        assert len(handles) == 1  # one handle per fit
        copies = {id(args[0]) for args in inline_pool[0].received}
        assert len(copies) == 1  # rebuilt once, then reused by the fit's later jobs
        copy = inline_pool[0].received[0][0]
        assert isinstance(copy, StubFactor) and copy is not factor
        assert copy._rarAV_signalforge is None and copy._rarAV_optimal_entry_model is None
        assert factor._rarAV_signalforge is generator and factor._rarAV_optimal_entry_model is model
        assert len(finished_trials()) == 4

    def test_jobs_of_one_fit_share_one_rebuilt_copy_reset_before_each_trial(self, inline_pool):
        frozen = gc.get_freeze_count()  # some interpreters start with objects frozen
        factor = StubFactor()
        factor.fit(1)
        before = StubFactor.constructed
        factor.fit(4, n_jobs=2)
        factor.fit(2, n_jobs=2)
        assert StubFactor.constructed - before == 2  # one copy per parallel fit, whatever its jobs
        assert len(factor._runs) == 1  # the jobs' trials ran on the copies
        assert len(finished_trials()) == 7
        assert pairtrader_parallel_fit()._TRIAL_COPY_OF_FIT.factor is None  # released after the fit
        assert gc.get_freeze_count() == frozen  # only pool workers settle their heap, never the fitting process

    def test_copy_values_travel_in_one_private_file_removed_after_the_fit(self, inline_pool, monkeypatch):
        made = []
        real_mkstemp = tempfile.mkstemp

        def recording_mkstemp(*args, **kwargs):
            descriptor, path = real_mkstemp(*args, **kwargs)
            made.append(path)
            return descriptor, path

        monkeypatch.setattr(tempfile, "mkstemp", recording_mkstemp)
        StubFactor().fit(4, n_jobs=2)
        assert len(made) == 1 and not os.path.exists(made[0])
        handle = inline_pool[0].jobs[0][1][0]
        assert handle.payload is None and len(pickle.dumps(handle)) < 1000

        def failing_run(self, trial, *args, **kwargs):
            raise ValueError("trial failed")

        monkeypatch.setattr(StubFactor, "__run_pairs_trading_serial_cointegration_factor", failing_run)
        with pytest.raises(ValueError, match="trial failed"):
            StubFactor().fit(2, n_jobs=2)
        assert len(made) == 2 and not os.path.exists(made[1])


class TestClassifierTraining:
    class RecordingClassifier:
        def __init__(self):
            self.calls = []

        def fit(self, **kwargs):
            self.calls.append(list(kwargs.items()))

    def test_best_params_rerun_then_classifier_fit_with_the_training_bundle(self):
        model = self.RecordingClassifier()
        factor = StubFactor(rarAV_optimal_entry_model=model)
        factor.fit(3, fit_rarAV=True, n_trials_to_estimate_params_for_rarAV=7, n_jobs_for_rarAV=2)
        assert factor._fit_rarAV is True
        assert factor._runs[-1][:3] == (False, factor._factor_best_params_dict, False)
        (call,) = model.calls
        keys = [k for k, _ in call]
        assert keys == [
            "X_train_df",
            "y_train_series",
            "n_splits",
            "n_test_splits",
            "embargo_td",
            "complete_datetime_index_series",
            "train_time_of_entry_series",
            "train_time_of_exit_series",
            "impact_series",
            "factor_name",
            "storage_name",
            "n_trials_to_estimate_params",
            "n_jobs",
        ]
        values = dict(call)
        assert (values["X_train_df"], values["y_train_series"]) == ("X", "y")
        assert values["impact_series"] == ("impact", "train-trades", "trade_returns")
        assert (values["n_splits"], values["n_test_splits"]) == (10, 3)
        assert values["embargo_td"] == pytest.importorskip("pandas").Timedelta(days=1)
        assert list(values["complete_datetime_index_series"]) == list(factor._data_datetime_array)
        assert values["factor_name"] == "PairsTradingSerialCointegrationFactor"
        assert values["storage_name"] == STEM
        assert (values["n_trials_to_estimate_params"], values["n_jobs"]) == (7, 2)


def test_a_job_trial_stopped_before_its_objective_is_still_failed_by_its_fit(in_tmp_dir):
    # A pool may kill a worker between the creation of its trial and the
    # start of the objective: the trial must already carry its job.
    parallel_fit = pairtrader_parallel_fit()
    StubFactor().fit(1)
    copy = StubFactor()
    copy._study_file_path = os.path.abspath(STEM + ".db")
    study = copy._create_or_load_study(copy._study_file_path, 70)
    parallel_fit._JOB_OF_THIS_THREAD.job = ["fit-token", 3]
    try:
        study.ask()
    finally:
        parallel_fit._JOB_OF_THIS_THREAD.job = None
    assert parallel_fit._settle_trials_of_fit(study, "fit-token") == (set(), [3])
    states = collections.Counter(t.state for t in all_trials())
    assert states == {optuna.trial.TrialState.COMPLETE: 1, optuna.trial.TrialState.FAIL: 1}


class TestWorkers:
    """Real joblib worker processes (kept few: each spawns interpreters)."""

    def test_four_jobs_record_exactly_the_requested_trials(self):
        StubFactor().fit(9, n_jobs=4)
        assert len(finished_trials()) == 9
        StubFactor().fit(8, n_jobs=4)
        assert len(finished_trials()) == 17
        with sqlite3.connect(STEM + ".db") as db:
            assert db.execute("pragma integrity_check").fetchone() == ("ok",)

    def test_workers_follow_the_callers_working_directory(self, tmp_path, monkeypatch):
        first, second = tmp_path / "first", tmp_path / "second"
        first.mkdir()
        second.mkdir()
        monkeypatch.chdir(first)
        StubFactor().fit(3, n_jobs=2)  # starts (or reuses) workers here
        monkeypatch.chdir(second)
        StubFactor().fit(3, n_jobs=2)
        assert len(finished_trials(first / (STEM + ".db"))) == 3
        assert len(finished_trials(second / (STEM + ".db"))) == 3

    def test_a_dying_worker_loses_only_its_own_trial(self):
        StubFactor(die_at_trial_number=2).fit(6, n_jobs=2)
        states = {t.number: t.state for t in all_trials()}
        counts = collections.Counter(states.values())
        # The pool stops the other worker too; its trial is failed and run again.
        assert counts[optuna.trial.TrialState.COMPLETE] == 5 and 1 <= counts[optuna.trial.TrialState.FAIL] <= 2
        assert states[2] == optuna.trial.TrialState.FAIL and optuna.trial.TrialState.RUNNING not in counts
        StubFactor().fit(3, n_jobs=2)
        assert len(finished_trials()) == 8
