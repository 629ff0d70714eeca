"""The parallel way of a fit: single-trial jobs in a pool of worker processes.

Each job carries a light copy of the factor (its constructor values, pickled
once per fit and shared through a private temporary file) and runs one trial
against the fit's study file. The pool outlives the death of workers, a
worker ends when the process that started it has gone, a stop unwinds the
fit so that its temporary file and workers are cleaned up, and the first
creation of a study file is guarded by a lock on its directory.
"""

import atexit
import contextlib
import gc
import multiprocessing
import operator
import os
import pickle
import tempfile
import threading
import time
import uuid
from concurrent.futures.process import BrokenProcessPool

from korvane._common.fit_jobs import (  # noqa: F401  (the factor's fit looks them up here)
    FIT_JOB_ATTRIBUTE,
    _JOB_OF_THIS_THREAD,
    fit_storage_class,
    objective_of_this_thread,
    run_as_job,
    stopping_workers_to_the_end,
)
from korvane._common.fit_jobs import settle_trials_of_fit as _settle_trials_of_fit
from korvane._common.stops import cleanup_context, runs_to_its_end
from korvane._common.study_files import close_study_connections, fit_file_identity, fit_file_identity_kept
from korvane.factors.technical._factor.globals import pm

# Ends the log lines of a fit: "... | PAIRS TRADING SERIAL COINTEGRATION FACTOR <resolution>".
BEST_TRIAL_LINE_SUFFIX = " | PAIRS TRADING SERIAL COINTEGRATION FACTOR "

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
    # A pool worker freezes what the fit's first job here leaves, once it is done.
    heap_to_settle = False


_TRIAL_COPY_OF_FIT = _ThreadFitCopy()


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
            self._write_payload_file(payload)
        else:
            self.payload = payload

    @runs_to_its_end
    def _write_payload_file(self, payload):
        descriptor, path = tempfile.mkstemp(prefix="korvane-fit-", suffix=".pickle")
        try:
            with os.fdopen(descriptor, "wb") as handle:
                handle.write(payload)
        except BaseException:
            os.remove(path)
            raise
        self.payload_path = path

    @runs_to_its_end
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
    ``in_worker`` says that this process is a pool worker, whose heap is
    collected and frozen for the fit (never the fitting process's).
    """
    held = _TRIAL_COPY_OF_FIT
    if held.token != token:
        held.token = None
        held.factor = None
        if in_worker:
            _exit_when_parent_is_gone()
            _collect_and_freeze_worker_heap(everything=True)
        if payload is None:
            with open(payload_path, "rb") as handle:
                payload = handle.read()
        rebuild, arguments = pickle.loads(payload)
        held.factor = rebuild(*arguments)
        held.token = token
        held.heap_to_settle = in_worker
    return held.factor


def running_in_worker_process():
    return multiprocessing.parent_process() is not None


def _collect_and_freeze_worker_heap(everything):
    """Keep what a pool worker holds for the fit out of later cyclic collections.

    The pool's workers run a full garbage collection after a job whenever a
    second has passed since the last one. With the numeric, optimiser and
    storage libraries loaded, each walks some 260,000 long-lived objects,
    about a tenth of a second, which is most of a trial's cost again every
    few trials. Frozen objects are left out of those collections.

    A new fit starts with ``everything``: the previous fit's copy has just
    been let go, so the whole heap is unfrozen and collected once (which
    reclaims that copy's reference cycles) and frozen again before the new
    copy is built. After the fit's first job here, a collection over what
    that job left (the copy, the opened study, the libraries' lazy imports)
    freezes those too, so the later collections look only at what the trials
    allocate.
    """
    if not _WORKER_HEAP_RELEASE_AT_EXIT:
        # Frozen objects are never collected, not even when the interpreter
        # exits, so the worker gives everything back to the collector first.
        atexit.register(_release_worker_heap)
        _WORKER_HEAP_RELEASE_AT_EXIT.append(True)
    if everything:
        gc.unfreeze()
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


def _fit_single_instance_job(factor, index, study_file_path, fit_token=None, file_identity=None):
    """One parallel job: one trial on the fit's factor copy against the caller's study file.

    Reused worker processes keep the working directory they started in, so the
    job carries the absolute path of the study file resolved by the caller,
    and the identity of the file that the fit holds there: the job works on
    that file or on none. The trial is marked with the fit's token and the
    job's index.
    """
    if isinstance(factor, WorkerFactorCopy):  # the pool ran the job in this process
        factor = factor_copy_for_fit(factor.token, factor.payload, factor.payload_path)
    factor._study_file_path = study_file_path
    # Each trial starts like a freshly rebuilt copy: an empty trade store.
    factor.initialize_rarAV_data_structures(None, None)
    with _job_study_connections_closed(factor), fit_file_identity_kept(study_file_path, file_identity):
        run_as_job(fit_token, index, operator.methodcaller("__fit_single_instance", index), factor)
    if _TRIAL_COPY_OF_FIT.heap_to_settle:
        _TRIAL_COPY_OF_FIT.heap_to_settle = False
        _collect_and_freeze_worker_heap(everything=False)


def run_parallel_jobs(factor, study, study_file_path, n_jobs, count):
    """Run ``count`` single-trial jobs in the pool, outliving the death of workers.

    A worker that dies (killed, out of memory) takes its trial with it, and
    the process pool then stops every other worker too. The trials this fit
    left running are marked failed, as the optimiser marks stale trials, so
    that its sampler no longer counts them as pending, and the jobs that did
    not finish run again in a new pool, but for one job charged to each
    death: a worker that dies again and again cannot keep the fit going.
    The fit runs it under ``ending_cleanly_on_stop``, so a stop unwinds it
    too.
    """
    module = pm()
    logger = module.logger
    parallel = stopping_workers_to_the_end(module.Parallel)
    if count <= 0:
        parallel(n_jobs=n_jobs)([])
        return
    identity = fit_file_identity(study_file_path)
    with _worker_copy_of(factor) as worker_copy:
        pending = list(range(count))
        while pending:
            jobs = [
                module.delayed(_fit_single_instance_job)(
                    worker_copy, index, study_file_path, worker_copy.token, identity
                )
                for index in pending
            ]
            try:
                with module.np.errstate(all="ignore"):
                    parallel(n_jobs=n_jobs)(jobs)
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
                    factor._resolution_in_mins,
                )


@cleanup_context
def _job_study_connections_closed(factor):
    """Close the connections of the study that the job's trial opened on the factor copy, however the job ends.

    The copy keeps its study for the fit's later jobs, not its connections: a
    worker waiting for its next job keeps no log of the fit open, and a copy
    that the fit forgets leaves none to the garbage collector.
    """
    try:
        yield
    finally:
        close_study_connections(factor._job_study)


@cleanup_context
def _worker_copy_of(factor):
    """The factor's copy for the fit's parallel jobs, let go of (its temporary file removed) however the fit ends."""
    held = []
    try:
        _keep_worker_copy(held, factor)
        yield held[0]
    finally:
        _end_worker_copies(held)


@runs_to_its_end
def _keep_worker_copy(copies, factor):
    """Make the factor's worker copy (and its temporary file) where no stop can lose it before it is kept."""
    copies.append(factor._copy_for_workers())


@runs_to_its_end
def _end_worker_copies(copies):
    """Let go of a fit's worker copies and remove their temporary files."""
    for copy in copies:
        forget_fit(copy.token)
        copy.release()


def copy_for_workers(factor):
    """The factor copy that parallel jobs carry to the workers, for one fit.

    Trials in workers never collect features or consult the classifier,
    and a feature generator refuses pickling, so the copy is rebuilt from
    the factor's constructor values without either.
    """
    rebuild, arguments = factor.__reduce__()
    arguments = list(arguments)
    arguments[5] = None
    arguments[6] = None
    return WorkerFactorCopy(
        uuid.uuid4().hex, rebuild, tuple(arguments), share_through_file=_workers_share_this_machine()
    )
