"""Parameter search: optuna studies persisted in SQLite files, trials run in-process or in workers.

A study file is shared by every factor with the same universe name, resolution
and objective, so repeated fits, other processes and worker processes all add
their trials to one study and the best trial is chosen over all of them.
"""

import atexit
import contextlib
import gc
import multiprocessing
import operator
import os
import pickle
import signal
import tempfile
import threading
import time
import uuid
from concurrent.futures.process import BrokenProcessPool
from urllib.parse import quote

try:
    import fcntl
except ImportError:  # no POSIX file locks here: first creations go unguarded
    fcntl = None

from korvane._common.binding import (
    as_int64,
    as_truth_value,
    bind_with_defaults,
    check_no_arguments,
    method_signature,
    signature,
)
from korvane._common.study_settings import (
    SAMPLER_SEED,
    SQLITE_SIDECAR_SUFFIXES,
    sqlite_study_engine_kwargs,
    tpe_sampler_kwargs,
)
from korvane.factors.technical._factor.globals import pm
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


def _longest_file_name():
    """Bytes a file name may hold in the working directory's file system."""
    try:
        return os.pathconf(".", "PC_NAME_MAX")
    except (AttributeError, OSError, ValueError):
        return 255

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

BEST_TRIAL_LINE_SUFFIX = " | PAIRS TRADING SERIAL COINTEGRATION FACTOR "


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


# Each trial of a parallel job records (fit token, job index) under this key
# of its system attributes, so that the fitting process can tell the trials of
# its own fit from those of other processes sharing the study.
FIT_JOB_ATTRIBUTE = "fit_job"

# How often a pool worker checks that the process that started it still runs.
PARENT_CHECK_SECONDS = 0.5


class _ThreadFitCopy(threading.local):
    """The factor copy that this thread rebuilt for the parallel fit in progress.

    A worker runs many single-trial jobs of one fit; the first job rebuilds the
    copy and opens the study, later jobs of the same fit reuse both. A new fit
    (new token) replaces the entry. Each thread keeps its own copy: jobs that
    run in threads of one process (joblib's threading backend) would otherwise
    share one factor, one study object and its sampler between trials.
    """

    token = None
    factor = None


_TRIAL_COPY_OF_FIT = _ThreadFitCopy()

# (fit token, job index) of the parallel job this thread is running, if any.
_JOB_OF_THIS_THREAD = threading.local()


class WorkerFactorCopy:
    """What a parallel job carries in place of the factor.

    It holds the factor's rebuild function and constructor values (without
    the feature generator and the classifier, which trials never use),
    pickled once per fit, and the token of the fit. Unpickling it in a worker
    yields the rebuilt factor, made once per fit and process: the jobs after
    the first one in a worker unpickle neither the universe table nor the
    factor.

    When the workers run on this machine, the pickled values are written once
    to a private temporary file and the jobs carry only its path: a job then
    costs no copy of the universe table through the pool's pipes, in the
    fitting process nor in the worker. Workers elsewhere get the values inside
    every job.
    """

    __slots__ = ("token", "payload", "payload_path")

    def __init__(self, token, rebuild, arguments, share_through_file=False):
        self.token = token
        payload = pickle.dumps((rebuild, arguments), protocol=pickle.HIGHEST_PROTOCOL)
        self.payload = None
        self.payload_path = None
        if share_through_file:
            descriptor, path = tempfile.mkstemp(prefix="korvane-fit-", suffix=".pickle")
            try:
                with os.fdopen(descriptor, "wb") as handle:
                    handle.write(payload)
            except BaseException:
                os.remove(path)
                raise
            self.payload_path = path
        else:
            self.payload = payload

    def release(self):
        """Remove the temporary file of the values once the fit's jobs are done."""
        path, self.payload_path = self.payload_path, None
        if path is not None:
            try:
                os.remove(path)
            except FileNotFoundError:
                pass

    def __reduce__(self):
        # Imported at pickling time, like the factor's own rebuild function.
        from korvane.utils.pickling.rebuilds import rebuild_factor_copy_for_fit

        return rebuild_factor_copy_for_fit, (self.token, self.payload, self.payload_path)


def factor_copy_for_fit(token, payload, payload_path=None, in_worker=False):
    """The factor rebuilt for the fit ``token`` in this process, rebuilt at most once.

    The pickled constructor values come in ``payload``, or in the file at
    ``payload_path``, which is read only by the first job of a fit here.
    ``in_worker`` says that this process is a pool worker, whose heap the
    copy may settle (never the fitting process's).
    """
    held = _TRIAL_COPY_OF_FIT
    if held.token != token:
        if in_worker:
            _exit_when_parent_is_gone()
            # Let the collector reach the previous fit's copy again.
            gc.unfreeze()
        held.token = None
        held.factor = None
        if payload is None:
            with open(payload_path, "rb") as handle:
                payload = handle.read()
        rebuild, arguments = pickle.loads(payload)
        held.factor = rebuild(*arguments)
        held.token = token
        if in_worker:
            _settle_worker_heap()
    return held.factor


def running_in_worker_process():
    return multiprocessing.parent_process() is not None


def _settle_worker_heap():
    """Keep what a pool worker holds for the fit out of later cyclic collections.

    The pool's workers run a full garbage collection after a job whenever a
    second has passed since the last one. With the numeric, optimiser and
    storage libraries and the factor copy loaded, each walks some 200,000
    long-lived objects, about a tenth of a second, which is most of a trial's
    cost again every few trials. After one collection here those objects are
    frozen, so the later collections look only at what the trials allocate.
    The next fit's first job in the worker unfreezes them again.
    """
    if not _WORKER_HEAP_RELEASE_AT_EXIT:
        # Frozen objects are never collected, not even when the interpreter
        # exits, so the worker gives everything back to the collector first.
        atexit.register(_release_worker_heap)
        _WORKER_HEAP_RELEASE_AT_EXIT.append(True)
    gc.collect()
    gc.freeze()


_WORKER_HEAP_RELEASE_AT_EXIT = []


def _release_worker_heap():
    forget_fit(_TRIAL_COPY_OF_FIT.token)
    gc.unfreeze()
    gc.collect()


_PARENT_WATCH = []


def _exit_when_parent_is_gone():
    """End this pool worker soon after the process that started it has gone.

    A parent killed outright never tells its workers to stop; they would run
    the trials in flight and then wait for jobs that never come. A worker
    whose parent has gone is adopted by another process, so a change of
    parent id is the sign.
    """
    parent = multiprocessing.parent_process()
    if _PARENT_WATCH or parent is None or parent.pid != os.getppid():
        return
    parent_pid = parent.pid

    def watch():
        while os.getppid() == parent_pid:
            time.sleep(PARENT_CHECK_SECONDS)
        os._exit(1)

    threading.Thread(target=watch, name="korvane-parent-watch", daemon=True).start()
    _PARENT_WATCH.append(parent_pid)


def _workers_share_this_machine():
    """Whether the pool that ``Parallel`` would use now runs its jobs on this machine.

    joblib's own backends (processes, threads, in-process) do; a backend
    registered by another library (a cluster, say) may not see this
    machine's temporary files.
    """
    try:
        from joblib.parallel import get_active_backend

        backend, _ = get_active_backend()
    except Exception:
        return False
    return type(backend).__module__.startswith("joblib.")


def forget_fit(token):
    held = _TRIAL_COPY_OF_FIT
    if held.token == token:
        held.token = None
        held.factor = None


def _fit_single_instance_job(factor, index, study_file_path, fit_token=None):
    """One parallel job: one trial on the fit's factor copy against the caller's study file.

    Reused worker processes keep the working directory they started in, so the
    job carries the absolute path of the study file resolved by the caller.
    The trial is marked with the fit's token and the job's index.
    """
    if isinstance(factor, WorkerFactorCopy):  # the pool ran the job in this process
        factor = factor_copy_for_fit(factor.token, factor.payload, factor.payload_path)
    factor._study_file_path = study_file_path
    # Each trial starts like a freshly rebuilt copy: an empty trade store.
    factor.initialize_rarAV_data_structures(None, None)
    _JOB_OF_THIS_THREAD.job = None if fit_token is None else [fit_token, index]
    try:
        operator.methodcaller("__fit_single_instance", index)(factor)
    finally:
        _JOB_OF_THIS_THREAD.job = None


def _marking_its_job(objective, job):
    def objective_of_job(trial):
        trial.storage.set_trial_system_attr(trial._trial_id, FIT_JOB_ATTRIBUTE, job)
        return objective(trial)

    return objective_of_job


@contextlib.contextmanager
def _study_creation_lock(study_file_path):
    """Hold an exclusive lock on the directory of a study file while it is opened.

    Opening a study file that does not exist yet creates its tables and
    stamps its schema version; two processes doing that at once fail on each
    other's tables or version row. A process opening a study file holds this
    lock for that short time, so the first creation happens once and the
    others then open a complete file. Locking the directory leaves no lock
    file behind.
    """
    descriptor = None
    if fcntl is not None:
        try:
            descriptor = os.open(os.path.dirname(study_file_path) or os.curdir, os.O_RDONLY)
        except OSError:
            descriptor = None
    try:
        if descriptor is not None:
            fcntl.flock(descriptor, fcntl.LOCK_EX)
        yield
    finally:
        if descriptor is not None:
            os.close(descriptor)  # which releases the lock


def _settle_trials_of_fit(study, token):
    """Mark the trials that the fit ``token`` left running as failed.

    Called once the fit's pool has stopped, when no job of the fit can still
    be running. Returns the job indices of the fit's completed trials and
    those of the trials just marked failed.
    """
    TrialState = pm().optuna.trial.TrialState
    storage = study._storage
    completed, lost = set(), []
    for trial in storage.get_all_trials(
        study._study_id, deepcopy=False, states=(TrialState.RUNNING, TrialState.COMPLETE)
    ):
        job = trial.system_attrs.get(FIT_JOB_ATTRIBUTE)
        if not job or job[0] != token:
            continue
        if trial.state == TrialState.COMPLETE:
            completed.add(job[1])
            continue
        try:
            storage.set_trial_state_values(trial._trial_id, TrialState.FAIL)
        except pm().optuna.exceptions.UpdateFinishedTrialError:
            continue  # it finished meanwhile
        lost.append(job[1])
    return completed, lost


class _Terminated(BaseException):
    """SIGTERM received while parallel jobs ran."""


@contextlib.contextmanager
def _ending_cleanly_on_sigterm():
    """Let SIGTERM unwind the block before the process ends by it.

    By default the signal ends the process at once: the temporary file of the
    copy's values stays behind and the workers run on without their parent.
    Raised as an exception instead, it lets joblib stop the workers and the
    fit remove what it made, after which the process ends by the same signal,
    as whoever sent it expects. A handler the program set itself is left alone,
    and so is a fit outside the main thread, where no handler can be set.
    """
    in_main_thread = threading.current_thread() is threading.main_thread()
    if not in_main_thread or signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL:
        yield
        return

    def raise_terminated(signum, frame):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)  # a second signal must not cut the clean-up short
        raise _Terminated()

    signal.signal(signal.SIGTERM, raise_terminated)
    try:
        yield
    except _Terminated:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGTERM)
        raise
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)


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
        if len(os.fsencode(stem + STUDY_FILE_SUFFIX)) > _longest_file_name():
            problems.append("too many characters for a file name")
        if problems:
            raise Exception(
                "universe_name "
                + repr(self._universe_name)
                + " cannot name a study file: it contains "
                + ", ".join(problems)
                + ", please use a short universe_name without '/', '..', '?', '#' or '%'"
            )
        return stem

    def _resolved_study_file_path(self):
        """Absolute path of the study file: pinned by a parallel job, else in the working directory."""
        if self._study_file_path is not None:
            return self._study_file_path
        return os.path.abspath(self._check_study_file_stem() + STUDY_FILE_SUFFIX)

    def _open_study_storage(self, study_file_path):
        """The optimiser's storage on a study file: the one place its connection is set up."""
        # The path is percent-encoded so that a working directory holding
        # "?", "#" or "%" still names this very file.
        url = "sqlite:///" + quote(study_file_path, safe="/")
        return pm().optuna.storages.RDBStorage(
            url,
            engine_kwargs=sqlite_study_engine_kwargs(study_file_path),
            # A parallel job opens a file that the fitting process has just
            # opened and checked; checking the schema again costs each job
            # about as much as loading the optimiser's migration scripts.
            skip_compatibility_check=self._study_file_path is not None,
        )

    def _create_or_load_study(self, study_file_path, seed):
        optuna = pm().optuna
        # A parallel job opens the file its fitting process has already
        # created; anyone else may be the first to open it.
        guard = _study_creation_lock(study_file_path) if self._study_file_path is None else contextlib.nullcontext()
        with guard:
            return optuna.create_study(
                study_name=self._study_name,
                direction="maximize",
                storage=self._open_study_storage(study_file_path),
                load_if_exists=True,
                sampler=pm().TPESampler(**_tpe_sampler_kwargs(seed)),
            )

    def _load_stored_study(self):
        """The stored study, or optuna's own error when there is none.

        A missing file is not created: the lookup then goes to an empty
        in-memory storage, which raises the same kind of error as a file
        without the study.
        """
        self._check_study_file_stem()
        optuna = pm().optuna
        path = self._resolved_study_file_path()
        if not os.path.exists(path):
            return optuna.load_study(study_name=self._study_name, storage=optuna.storages.InMemoryStorage())
        with _study_creation_lock(path):
            return optuna.load_study(study_name=self._study_name, storage=self._open_study_storage(path))

    @staticmethod
    def _best_params_of(study):
        params = study.best_trial.params
        if params is not None and type(params) is not dict:
            raise TypeError("Expected dict, got " + type(params).__name__)
        return params

    # ------------------------------------------------------------------ trial parameters

    def _get_trial_params_for_pairs_trading_serial_cointegration_factor(self, trial):
        maximum_size_of_rolling_window = int(float(self._datetime_length) * 0.5)
        minimum_size_of_rolling_window = 31
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
        np = module.np

        self._fit_rarAV = fit_rarAV
        storage_name = self._check_study_file_stem()
        study_file_path = self._resolved_study_file_path()
        study = self._create_or_load_study(study_file_path, SAMPLER_SEED)

        if n_jobs > 1 or n_jobs == -1:
            remaining = n_trials_to_estimate_params
            if not study.get_trials(deepcopy=False):
                logger.info(banner("STUDY DB IS EMPTY, INITIALIZING DB WITH SINGLE FIT"))
                logger.info(banner("FITTING SINGLE FIT BEFORE MULTIPROCESSING"))
                self._run_first_trial_in_process(study, study_file_path)
                remaining -= 1
            logger.info(banner("BEGINNING MULTIPROCESSED IN-SAMPLE FACTOR OPTIMISATION"))
            self._run_parallel_jobs(study, study_file_path, n_jobs, remaining)
        else:
            with np.errstate(all="ignore"):
                study.optimize(
                    getattr(self, "__run_pairs_trading_serial_cointegration_factor"),
                    n_trials=n_trials_to_estimate_params,
                )

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
            self._train_entry_classifier(storage_name, n_trials_to_estimate_params_for_rarAV, n_jobs_for_rarAV)
        return None

    def _run_first_trial_in_process(self, study, study_file_path):
        """The parallel way's first trial, run here on the study this fit has just opened.

        ``__fit_single_instance`` would open the same file again and check its
        schema once more while the workers wait; lent this fit's study, it only
        gives the study a fresh sampler with the job's seed, as a new study
        object would have.
        """
        lent = (self._study_file_path, self._job_study)
        self._study_file_path, self._job_study = study_file_path, study
        try:
            getattr(self, "__fit_single_instance")()
        finally:
            self._study_file_path, self._job_study = lent

    def _run_parallel_jobs(self, study, study_file_path, n_jobs, count):
        """Run ``count`` single-trial jobs in the pool, outliving the death of workers.

        A worker that dies (killed, out of memory) takes its trial with it, and
        the process pool then stops every other worker too. The trials this fit
        left running are marked failed, as the optimiser marks stale trials, so
        that its sampler no longer counts them as pending, and the jobs that did
        not finish run again in a new pool, but for one job charged to each
        death: a worker that dies again and again cannot keep the fit going.
        """
        module = pm()
        logger = module.logger
        if count <= 0:
            module.Parallel(n_jobs=n_jobs)([])
            return
        with _ending_cleanly_on_sigterm():
            worker_copy = self._copy_for_workers()
            try:
                pending = list(range(count))
                while pending:
                    jobs = [
                        module.delayed(_fit_single_instance_job)(worker_copy, index, study_file_path, worker_copy.token)
                        for index in pending
                    ]
                    try:
                        with module.np.errstate(all="ignore"):
                            module.Parallel(n_jobs=n_jobs)(jobs)
                        pending = []
                    except BaseException as error:
                        if not isinstance(error, BrokenProcessPool):
                            # Stopped by a failed trial or a signal: the pool has
                            # stopped its workers, whose trials would stay running.
                            with contextlib.suppress(Exception):
                                _settle_trials_of_fit(study, worker_copy.token)
                            raise
                        completed, lost = _settle_trials_of_fit(study, worker_copy.token)
                        pending = [index for index in pending if index not in completed]
                        charged = next((index for index in lost if index in pending), pending[-1] if pending else None)
                        if charged is not None:
                            pending.remove(charged)
                        logger.warning(
                            "A WORKER DIED: %d RUNNING TRIALS MARKED FAILED, %d TRIALS LEFT TO RUN%s%s",
                            len(lost),
                            len(pending),
                            BEST_TRIAL_LINE_SUFFIX,
                            self._resolution_in_mins,
                        )
            finally:
                forget_fit(worker_copy.token)
                worker_copy.release()

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
        """The factor copy that parallel jobs carry to the workers, for one fit.

        Trials in workers never collect features or consult the classifier,
        and a feature generator refuses pickling, so the copy is rebuilt from
        the factor's constructor values without either.
        """
        rebuild, arguments = self.__reduce__()
        arguments = list(arguments)
        arguments[5] = None
        arguments[6] = None
        return WorkerFactorCopy(
            uuid.uuid4().hex, rebuild, tuple(arguments), share_through_file=_workers_share_this_machine()
        )

    def _fit_single_instance(self, *args, **kwargs):
        """Run one trial of the factor's study with the sampler seed 69 + ``index``."""
        (index,) = bind_with_defaults("__fit_single_instance", FIT_SINGLE_INSTANCE_ARGUMENTS, args, kwargs)
        index = as_int64(index)
        seed = SAMPLER_SEED + index
        study = self._job_study if self._study_file_path is not None else None
        if study is None:
            study = self._create_or_load_study(self._resolved_study_file_path(), seed)
            if self._study_file_path is not None:
                # A copy working for a parallel fit keeps its study (and the
                # optimiser's cache of the trials) for the fit's later jobs.
                self._job_study = study
        else:
            study.sampler = pm().TPESampler(**_tpe_sampler_kwargs(seed))
        objective = getattr(self, "__run_pairs_trading_serial_cointegration_factor")
        job = getattr(_JOB_OF_THIS_THREAD, "job", None)
        if job is not None:
            objective = _marking_its_job(objective, job)
        study.optimize(objective, n_trials=1)
        return None

    # ------------------------------------------------------------------ results and removal

    def get_full_backtest_results(self, *args, **kwargs):
        check_no_arguments("get_full_backtest_results", args, kwargs)
        study = self._load_stored_study()
        self._factor_best_params_dict = self._best_params_of(study)
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
        existed = os_module.path.exists(file_name)
        if existed:
            os_module.remove(file_name)
        # The study's write-ahead log and its index go with it, even when the
        # file itself is already gone: SQLite would replay a leftover log
        # into the next study created under this name.
        for sidecar in (file_name + suffix for suffix in SQLITE_SIDECAR_SUFFIXES):
            with contextlib.suppress(FileNotFoundError):
                os_module.remove(sidecar)
        if existed:
            logger.info("FIT FILE: " + file_name + " SUCCESSFULLY REMOVED FROM MEMORY")
        else:
            logger.info("FIT FILE: " + file_name + " DOES NOT EXIT IN MEMORY, FILE MISPECIFIED OR PREVIOUSLY REMOVED")
        return None


OptimisationMixin.fit.__signature__ = method_signature(FIT_ARGUMENTS)
OptimisationMixin.get_full_backtest_results.__signature__ = signature((), first="self")
OptimisationMixin.erase_fit_memory.__signature__ = signature((), first="self")
OptimisationMixin._fit_single_instance.__signature__ = method_signature(FIT_SINGLE_INSTANCE_ARGUMENTS)
