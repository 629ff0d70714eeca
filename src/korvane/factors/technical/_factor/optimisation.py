"""Parameter search: optuna studies persisted in SQLite files, trials run in-process or in workers.

A study file is shared by every factor with the same universe name, resolution
and objective, so repeated fits, other processes and worker processes all add
their trials to one study and the best trial is chosen over all of them.
"""

import contextlib
import os
from urllib.parse import quote

from korvane._common.binding import (
    CONVERSION_TYPE_WORDING,
    as_int64,
    as_truth_value,
    bind_with_defaults,
    check_no_arguments,
    check_type,
    method_signature,
    signature,
)
from korvane._common.study_files import (
    check_study_file_name,
    closed_on_failure,
    connections_closed_after,
    forget_study_schema,
    remember_study_schema,
    sqlite_study_engine_kwargs,
    sqlite_study_reading_engine_kwargs,
    study_file_name_fits,
    study_schema_known,
)
from korvane._common.study_lock import study_creation_lock, study_held_by_fit, study_lock_for_erasing
from korvane._common.study_settings import SAMPLER_SEED, SQLITE_SIDECAR_SUFFIXES, tpe_sampler_kwargs
from korvane._common.stops import cleanup_context, ending_cleanly_on_stop, runs_to_its_end
from korvane._common.study_trials import failing_trial_left_running, study_storage_class
from korvane.factors.technical._factor.construction import MINIMUM_SIZE_OF_ROLLING_WINDOW, unusable_universe_name
from korvane.factors.technical._factor.globals import pm
from korvane.factors.technical._factor.live import restart_live_run
from korvane.factors.technical._factor.parallel_fit import (
    BEST_TRIAL_LINE_SUFFIX,
    copy_for_workers,
    fit_storage_class,
    objective_of_this_thread,
    run_parallel_jobs,
)
from korvane.factors.technical._factor.signals import _ENGINE_PARAMETER_KEYS

BANNER_DASHES = "-" * 29

# The "0.9" segment is a fixed part of every study file name; it does not
# follow pct_equity_invested.
STUDY_FILE_CONSTANT_SEGMENT = "_0.9_"

# Characters that the storage URL or the classifier's file names would read
# as something other than part of the file name: "?" starts a query, "#" a
# fragment and "%" an escape, so two universe names could share a study.
UNSAFE_STUDY_NAME_CHARACTERS = ("?", "#", "%", "\x00")
STUDY_FILE_SUFFIX = ".db"
# The entry classifier keeps its own study beside the factor's, under the
# factor's stem and this suffix.
CLASSIFIER_STUDY_SUFFIX = "_OptimalEntryClassifier"

# Bounds shared by the ten multiplier and sensitivity parameters.
_UNIT_RANGE = (0.01, 10.0)

# The twelve searched parameters, in the order a trial draws them (which is
# the order of the stored dictionary): the rolling window, then the strategy
# parameters the engine reads per bar. The window and the entry threshold
# are integers, the ten others floats.
TRIAL_PARAMETER_KEYS = ("size_of_rolling_windows",) + _ENGINE_PARAMETER_KEYS

NO_CLASSIFIER_TO_TRAIN_MESSAGE = (
    "fit_rarAV is True but the factor holds no rarAV_optimal_entry_model, "
    "please construct the factor with an entry classifier to train"
)

FIT_ARGUMENTS = (
    ("n_trials_to_estimate_params", 1),
    ("n_jobs", 1),
    ("fit_rarAV", False),
    ("n_trials_to_estimate_params_for_rarAV", 1),
    ("n_jobs_for_rarAV", 1),
)
FIT_SINGLE_INSTANCE_ARGUMENTS = (("index", 0),)


def banner(text):
    return BANNER_DASHES + text + BANNER_DASHES


def _tpe_sampler_kwargs(seed):
    return tpe_sampler_kwargs(seed, pm().optuna.__version__)


@contextlib.contextmanager
def _classifier_stage_failures_explained(study_file_name):
    """Errors of the entry classifier's training, noted with what they leave in place.

    The factor's fit is stored before the classifier trains, and the saved
    gate is replaced only by a training that succeeds. The error itself goes
    on unchanged (its type, arguments and attributes are the caller's to
    read); the sentence is added as a note, which every traceback shows.
    """
    try:
        yield
    except Exception as error:
        error.add_note(
            "The factor's own fit finished and is stored in " + study_file_name
            + "; the entry gate saved earlier for this study, if any, stays in use."
        )
        raise


class OptimisationMixin:
    __slots__ = ()

    # ------------------------------------------------------------------ study file

    def _study_file_stem(self):
        return (
            str(self._universe_name)
            + "_"
            + str(int(self._resolution_in_mins))
            + "_"
            + str(self._objective)
            + STUDY_FILE_CONSTANT_SEGMENT
            + str(self._study_name)
        )

    def _check_study_file_stem(self):
        """The study file's stem, refused when the universe name would make it name another file.

        The study file must be one plain file in the working directory: a
        path separator or ".." would place it (and what ``erase_fit_memory``
        deletes) elsewhere, and the storage URL reads "?", "#" and "%" as
        something other than the file name.
        """
        stem = self._study_file_stem()
        name = str(self._universe_name)
        problems = [repr(ch) for ch in UNSAFE_STUDY_NAME_CHARACTERS if ch in name]
        if any(separator and separator in name for separator in ("/", "\\", os.sep, os.altsep)):
            problems.append("a path separator")
        if ".." in name:
            problems.append("'..'")
        if not study_file_name_fits(stem + STUDY_FILE_SUFFIX):
            problems.append("too many characters for a file name")
        if problems:
            raise unusable_universe_name(self._universe_name, problems)
        return stem

    def _check_study_file_name_fits(self):
        """Refuse, at construction, a universe name whose study file, or a file beside it, cannot be named."""
        check_study_file_name(self._study_file_stem() + STUDY_FILE_SUFFIX, "universe_name", self._universe_name)

    def _resolved_study_file_path(self):
        """Absolute path of the study file: pinned by a parallel job, else in the working directory."""
        if self._study_file_path is not None:
            return self._study_file_path
        return os.path.abspath(self._check_study_file_stem() + STUDY_FILE_SUFFIX)

    def _open_study_storage(self, study_file_path, reading=False):
        """The optimiser's storage on a study file: the one place its connection is set up.

        ``reading`` a finished study: a study in a folder this process may
        not write is read without writing beside it.
        """
        # The path is percent-encoded so that a working directory holding
        # "?", "#" or "%" still names this very file.
        url = "sqlite:///" + quote(study_file_path, safe="/")
        # Trials are recorded per thread, a parallel job's trials are born
        # marked with the job, and a queued trial goes to one job only.
        storage_class = fit_storage_class(study_storage_class(pm().optuna.storages.RDBStorage))
        # The schema is checked once per file and process: a parallel job
        # opens a file that its fitting process has just opened and checked,
        # a file about to be created gets the installed optimiser's schema,
        # and a file checked before still holds the schema it had then.
        known = (
            self._study_file_path is not None
            or not os.path.exists(study_file_path)
            or study_schema_known(study_file_path)
        )
        engine_kwargs = (sqlite_study_reading_engine_kwargs if reading else sqlite_study_engine_kwargs)(study_file_path)
        storage = storage_class(url, engine_kwargs=engine_kwargs, skip_compatibility_check=known)
        remember_study_schema(study_file_path)
        return storage

    def _create_or_load_study(self, study_file_path, seed):
        optuna = pm().optuna
        # A parallel job opens the file its fitting process has already
        # created; anyone else may be the first to open it.
        guard = study_creation_lock(study_file_path) if self._study_file_path is None else contextlib.nullcontext()
        with guard:
            with closed_on_failure(self._open_study_storage(study_file_path)) as storage:
                return optuna.create_study(
                    study_name=self._study_name,
                    direction="maximize",
                    storage=storage,
                    load_if_exists=True,
                    sampler=pm().TPESampler(**_tpe_sampler_kwargs(seed)),
                )

    def _study_held_by_fit(self, study_file_path, seed):
        """The study of a fit in this process, held for the whole fit (see ``study_held_by_fit``)."""
        return study_held_by_fit(study_file_path, lambda: self._create_or_load_study(study_file_path, seed))

    def _search_study(self, study, study_file_path, n_jobs, n_trials):
        """Add ``n_trials`` trials to the fit's study, in this process or in the pool.

        A trial of this process that is interrupted (Ctrl-C, SIGTERM, SIGHUP, a failed
        write) is marked failed, as the pool's are.
        """
        module = pm()
        logger = module.logger
        if n_jobs > 1 or n_jobs == -1:
            remaining = n_trials
            if not study.get_trials(deepcopy=False):
                logger.info(banner("STUDY DB IS EMPTY, INITIALIZING DB WITH SINGLE FIT"))
                logger.info(banner("FITTING SINGLE FIT BEFORE MULTIPROCESSING"))
                with failing_trial_left_running(study):
                    self._run_first_trial_in_process(study, study_file_path)
                remaining -= 1
            logger.info(banner("BEGINNING MULTIPROCESSED IN-SAMPLE FACTOR OPTIMISATION"))
            self._run_parallel_jobs(study, study_file_path, n_jobs, remaining)
        else:
            with module.np.errstate(all="ignore"), failing_trial_left_running(study):
                study.optimize(getattr(self, "__run_pairs_trading_serial_cointegration_factor"), n_trials=n_trials)

    def _stored_best_params(self):
        """The best parameters of the stored study, or optuna's own error when there is none.

        A missing file is not created: the lookup then goes to an empty
        in-memory storage, which raises the same kind of error as a file
        without the study. The study's connections are closed once read.
        """
        self._check_study_file_stem()
        optuna = pm().optuna
        path = self._resolved_study_file_path()
        if not os.path.exists(path):
            study = optuna.load_study(study_name=self._study_name, storage=optuna.storages.InMemoryStorage())
            return self._best_params_of(study)
        # A stop while it is read leaves no connection or lock behind.
        with ending_cleanly_on_stop(), connections_closed_after(
            path, lambda: self._open_study_storage(path, reading=True)
        ) as storage:
            with study_creation_lock(path):
                study = optuna.load_study(study_name=self._study_name, storage=storage)
            return self._best_params_of(study)

    @staticmethod
    def _best_params_of(study):
        params = study.best_trial.params
        check_type(params, dict, CONVERSION_TYPE_WORDING, exact=True)
        return params

    # ------------------------------------------------------------------ trial parameters

    def _get_trial_params_for_pairs_trading_serial_cointegration_factor(self, trial):
        maximum_size_of_rolling_window = int(float(self._datetime_length) * 0.5)
        # More bars than the shortest z-score window.
        minimum_size_of_rolling_window = MINIMUM_SIZE_OF_ROLLING_WINDOW + 1
        integer_ranges = {
            "size_of_rolling_windows": (minimum_size_of_rolling_window, maximum_size_of_rolling_window),
            "starting_sd_for_position_entry": (1, 10),
        }
        unit_low, unit_high = _UNIT_RANGE
        params = {}
        for name in TRIAL_PARAMETER_KEYS:
            if name in integer_ranges:
                low, high = integer_ranges[name]
                params[name] = trial.suggest_int(name=name, low=low, high=high, log=False)
            else:
                params[name] = trial.suggest_float(name=name, low=unit_low, high=unit_high, log=False)
        return params

    # ------------------------------------------------------------------ fit

    def fit(self, *args, **kwargs):
        """Search the strategy parameters in the factor's persisted optimiser study.

        Adds ``n_trials_to_estimate_params`` trials to the study (in worker
        processes when ``n_jobs`` is above 1 or -1), keeps the best trial's
        parameters and, with ``fit_rarAV``, trains the entry classifier on the
        trades of the best parameters.
        """
        (
            n_trials_to_estimate_params,
            n_jobs,
            fit_rarAV,
            n_trials_to_estimate_params_for_rarAV,
            n_jobs_for_rarAV,
        ) = bind_with_defaults("fit", FIT_ARGUMENTS, args, kwargs)
        n_trials_to_estimate_params = as_int64(n_trials_to_estimate_params)
        n_jobs = as_int64(n_jobs)
        fit_rarAV = as_truth_value(fit_rarAV)
        n_trials_to_estimate_params_for_rarAV = as_int64(n_trials_to_estimate_params_for_rarAV)
        n_jobs_for_rarAV = as_int64(n_jobs_for_rarAV)
        if n_trials_to_estimate_params <= 0:
            raise Exception(
                "n_trials_to_estimate_params cannot be less than 0, please ensure n_trials_to_estimate_params > 0"
            )
        if fit_rarAV and self._rarAV_optimal_entry_model is None:
            # Found before the search, not after every trial has run.
            raise Exception(NO_CLASSIFIER_TO_TRAIN_MESSAGE)
        module = pm()
        logger = module.logger

        self._fit_rarAV = fit_rarAV
        storage_name = self._check_study_file_stem()
        if fit_rarAV:
            # Its longer name is refused before the search, not after it.
            check_study_file_name(
                os.path.basename(storage_name) + CLASSIFIER_STUDY_SUFFIX + STUDY_FILE_SUFFIX,
                "universe_name",
                self._universe_name,
            )
        study_file_path = self._resolved_study_file_path()
        # A stop (Ctrl-C, SIGTERM, SIGHUP) while the study is opened or searched unwinds the fit.
        with ending_cleanly_on_stop(), self._study_held_by_fit(study_file_path, SAMPLER_SEED) as held:
            study = held.study
            # Trials move the per-pair state and may change the best parameters,
            # so the next prediction starts the live run again, however the fit ends.
            restart_live_run(self)
            self._search_study(study, study_file_path, n_jobs, n_trials_to_estimate_params)
            held.check_kept()

            logger.info(banner("IN-SAMPLE FACTOR OPTIMISATION COMPLETE"))
            best_trial = study.best_trial
            logger.info(
                "BEST TRIAL SO FAR: "
                + str(best_trial.number)
                + " WITH SCORE: "
                + repr(round(float(study.best_value), 3))
                + BEST_TRIAL_LINE_SUFFIX
                + str(self._resolution_in_mins)
                + "\n"
            )
            self._factor_best_params_dict = self._best_params_of(study)

        if self._fit_rarAV:
            with _classifier_stage_failures_explained(storage_name + STUDY_FILE_SUFFIX):
                self._train_entry_classifier(storage_name, n_trials_to_estimate_params_for_rarAV, n_jobs_for_rarAV)
        return None

    def _run_first_trial_in_process(self, study, study_file_path):
        """The parallel way's first trial, run here on the study this fit has just opened.

        ``__fit_single_instance`` would open the same file again and check its
        schema once more while the workers wait; lent this fit's study, it only
        gives the study a fresh sampler with the job's seed, as a new study
        object would have.
        """
        with _study_lent(self, study_file_path, study):
            getattr(self, "__fit_single_instance")()

    def _run_parallel_jobs(self, study, study_file_path, n_jobs, count):
        """Run ``count`` single-trial jobs in the pool, outliving the death of workers (see :mod:`parallel_fit`)."""
        run_parallel_jobs(self, study, study_file_path, n_jobs, count)

    def _train_entry_classifier(self, storage_name, n_trials, n_jobs):
        pd = pm().pd
        model = self._rarAV_optimal_entry_model
        if model is None:
            raise Exception(NO_CLASSIFIER_TO_TRAIN_MESSAGE)
        getattr(self, "__run_pairs_trading_serial_cointegration_factor")(
            None,
            is_optimising=False,
            optimal_params=self._factor_best_params_dict,
            use_rarAV_if_ready=False,
        )
        (
            X_train_df,
            y_train_series,
            train_time_of_entry_series,
            train_time_of_exit_series,
            impact_series,
        ) = self._preprocess_train_trades_store_df_for_rarAV(
            self._rarav_train_trades_store_df, impact_col="trade_returns"
        )
        getattr(model, "fit")(
            X_train_df=X_train_df,
            y_train_series=y_train_series,
            n_splits=10,
            n_test_splits=3,
            embargo_td=pd.Timedelta(days=1),
            complete_datetime_index_series=pd.Series(self._data_datetime_array),
            train_time_of_entry_series=train_time_of_entry_series,
            train_time_of_exit_series=train_time_of_exit_series,
            impact_series=impact_series,
            factor_name=self._study_name,
            storage_name=storage_name,
            n_trials_to_estimate_params=n_trials,
            n_jobs=n_jobs,
        )

    def _copy_for_workers(self):
        """The factor copy that parallel jobs carry to the workers, for one fit."""
        return copy_for_workers(self)

    def _fit_single_instance(self, *args, **kwargs):
        """Run one trial of the factor's study with the sampler seed 69 + ``index``."""
        (index,) = bind_with_defaults("__fit_single_instance", FIT_SINGLE_INSTANCE_ARGUMENTS, args, kwargs)
        index = as_int64(index)
        seed = SAMPLER_SEED + index
        objective = getattr(self, "__run_pairs_trading_serial_cointegration_factor")
        if self._study_file_path is None:
            # Called on its own: a fit of one trial.
            study_file_path = self._resolved_study_file_path()
            with ending_cleanly_on_stop(), self._study_held_by_fit(study_file_path, seed) as held:
                restart_live_run(self)  # the trial moves the per-pair state, as a fit's do
                with failing_trial_left_running(held.study):
                    held.study.optimize(objective, n_trials=1)
            return None
        study = self._job_study
        if study is None:
            # A copy working for a parallel fit keeps its study (and the
            # optimiser's cache of the trials) for the fit's later jobs.
            study = self._job_study = self._create_or_load_study(self._study_file_path, seed)
        else:
            study.sampler = pm().TPESampler(**_tpe_sampler_kwargs(seed))
        study.optimize(objective_of_this_thread(objective), n_trials=1)
        return None

    # ------------------------------------------------------------------ results and removal

    def get_full_backtest_results(self, *args, **kwargs):
        check_no_arguments("get_full_backtest_results", args, kwargs)
        self._factor_best_params_dict = self._stored_best_params()
        model = self._rarAV_optimal_entry_model
        if model is not None:
            getattr(model, "__check_and_load_optimal_entry_classifier")(factor_name=self._study_name)
        return getattr(self, "__run_pairs_trading_serial_cointegration_factor")(
            None, is_optimising=False, optimal_params=self._factor_best_params_dict
        )

    def erase_fit_memory(self, *args, **kwargs):
        check_no_arguments("erase_fit_memory", args, kwargs)
        logger = pm().logger
        os_module = pm().os
        file_name = self._check_study_file_stem() + STUDY_FILE_SUFFIX
        # Never under a running fit: it would go on writing trials to a file
        # that no longer has a name, and report success.
        # A stop while it waits ends the erasure; once the files go, they all go.
        with ending_cleanly_on_stop(), study_lock_for_erasing(os_module.path.abspath(file_name)) as lock:
            existed = _erase_study_files(os_module, file_name, lock)
        if existed:
            logger.info("FIT FILE: " + file_name + " SUCCESSFULLY REMOVED FROM MEMORY")
        else:
            logger.info("FIT FILE: " + file_name + " DOES NOT EXIT IN MEMORY, FILE MISPECIFIED OR PREVIOUSLY REMOVED")
        return None


@runs_to_its_end
def _erase_study_files(os_module, file_name, lock):
    """Remove the study file, its log, the log's index and its lock file; whether the study file existed."""
    existed = os_module.path.exists(file_name)
    if existed:
        forget_study_schema(file_name)
        os_module.remove(file_name)
    # The study's write-ahead log and its index go with it, even when the
    # file itself is already gone: SQLite would replay a leftover log
    # into the next study created under this name.
    for sidecar in (file_name + suffix for suffix in SQLITE_SIDECAR_SUFFIXES):
        with contextlib.suppress(FileNotFoundError):
            os_module.remove(sidecar)
    if lock is not None:
        lock.remove_file()
    return existed


OptimisationMixin.fit.__signature__ = method_signature(FIT_ARGUMENTS)
OptimisationMixin.get_full_backtest_results.__signature__ = signature((), first="self")
OptimisationMixin.erase_fit_memory.__signature__ = signature((), first="self")
OptimisationMixin._fit_single_instance.__signature__ = method_signature(FIT_SINGLE_INSTANCE_ARGUMENTS)


@cleanup_context
def _study_lent(factor, study_file_path, study):
    """Within the block, the factor's trials run on ``study``, at ``study_file_path``; after it, on what they ran on before."""
    lent = (factor._study_file_path, factor._job_study)
    factor._study_file_path, factor._job_study = study_file_path, study
    try:
        yield
    finally:
        factor._study_file_path, factor._job_study = lent
