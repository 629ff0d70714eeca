"""What the parallel ways of the factor's and the classifier's fits share.

A trial that a parallel job starts is born marked with the job (the fit's
token and the job's index), so that the fitting process can tell its own
trials from those of other processes sharing the study and mark failed the
ones its stopped pool left running. A pool of worker processes belongs to the
process that started it: a forked child starts its own.
"""

import datetime
import os
import sys
import threading

from korvane._common.stops import cleanup_context, mark_as_cleanup
from korvane._common.study_trials import fail_if_running, marking_claims

# Each trial of a parallel job records (fit token, job index) under this key
# of its system attributes.
FIT_JOB_ATTRIBUTE = "fit_job"

# (fit token, job index) of the parallel job this thread is running, if any.
_JOB_OF_THIS_THREAD = threading.local()


def run_as_job(token, index, run, *args):
    """``run(*args)`` as the job ``index`` of the fit ``token``: the trials it starts are born marked."""
    with _running_as_job(token, index):
        return run(*args)


@cleanup_context
def _running_as_job(token, index):
    """Within the block, this thread runs the job ``index`` of the fit ``token``; after it, none."""
    _JOB_OF_THIS_THREAD.job = None if token is None else [token, index]
    _JOB_OF_THIS_THREAD.marked_trial = None
    try:
        yield
    finally:
        _JOB_OF_THIS_THREAD.job = None


_FIT_STORAGES = {}


def fit_storage_class(storage_class):
    """``storage_class``, marking the trials that parallel jobs create with their job.

    A trial of a parallel job is born marked with the job: marked
    only once it has started, it could be left unmarked by a worker that the
    pool kills in between, and the fit could then neither tell it as its own
    nor mark it failed: it would stay RUNNING. Creating the trial with its
    mark leaves no such gap; a queued trial is marked in the commit that takes it.
    """
    recording = _FIT_STORAGES.get(storage_class)
    if recording is None:

        class FitStorage(storage_class):
            def _create_new_trial(self, study_id, template_trial=None):
                from optuna.trial import FrozenTrial, TrialState

                job = getattr(_JOB_OF_THIS_THREAD, "job", None)
                marking = template_trial is None and job is not None
                if marking:
                    template_trial = FrozenTrial(
                        number=-1,
                        state=TrialState.RUNNING,
                        value=None,
                        datetime_start=datetime.datetime.now(),
                        datetime_complete=None,
                        params={},
                        distributions={},
                        user_attrs={},
                        system_attrs={FIT_JOB_ATTRIBUTE: list(job)},
                        intermediate_values={},
                        trial_id=-1,
                    )
                frozen = super()._create_new_trial(study_id, template_trial)
                if marking:
                    _JOB_OF_THIS_THREAD.marked_trial = frozen._trial_id
                return frozen

            def set_trial_state_values(self, trial_id, state, values=None):
                from optuna.trial import TrialState

                job = getattr(_JOB_OF_THIS_THREAD, "job", None)
                if state != TrialState.RUNNING or job is None:
                    return super().set_trial_state_values(trial_id, state, values)
                # A queued trial that a job takes is marked in the very commit that takes it.
                with marking_claims({FIT_JOB_ATTRIBUTE: list(job)}) as marked:
                    taken = super().set_trial_state_values(trial_id, state, values)
                if taken:
                    if not marked(trial_id):
                        self.set_trial_system_attr(trial_id, FIT_JOB_ATTRIBUTE, list(job))
                    _JOB_OF_THIS_THREAD.marked_trial = trial_id
                return taken

        recording = _FIT_STORAGES[storage_class] = FitStorage
    return recording


def objective_of_this_thread(objective):
    """`objective`, marking each trial with the parallel job this thread runs (unchanged outside a job)."""
    job = getattr(_JOB_OF_THIS_THREAD, "job", None)
    if job is None:
        return objective

    def objective_of_job(trial):
        # A queued trial that a storage other than ``fit_storage_class``'s took is not marked yet.
        if getattr(_JOB_OF_THIS_THREAD, "marked_trial", None) != trial._trial_id:
            trial.storage.set_trial_system_attr(trial._trial_id, FIT_JOB_ATTRIBUTE, job)
        return objective(trial)

    return objective_of_job


def stopping_workers_to_the_end(parallel_class):
    """``parallel_class`` (joblib's Parallel), whose stopping of its workers no stop cuts short.

    A stop that lands while the pool stops its workers after a first stop
    would leave workers running trials of the fit; it is acted on once the
    pool has stopped them.
    """
    for name in ("_abort", "_terminate_and_reset"):
        mark_as_cleanup(getattr(parallel_class, name, None))
    return parallel_class


def settle_trials_of_fit(study, token):
    """Mark the trials that the fit ``token`` left running as failed.

    Called once the fit's pool has stopped, when no job of the fit can still
    be running. Returns the job indices of the fit's completed trials and
    those of the trials just marked failed.
    """
    from optuna.trial import TrialState

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
        if fail_if_running(storage, trial._trial_id):  # else it finished meanwhile
            lost.append(job[1])
    return completed, lost


def _forget_pool_of_parent():
    """Let a forked child start a worker pool of its own instead of using its parent's.

    The child inherits the bookkeeping of the parent's reusable pool, but
    neither the threads that feed it nor its workers, which are the parent's
    children: the jobs it sent there would never come back, and it would wait
    for their results for ever.
    """
    pools = sys.modules.get("joblib.externals.loky.reusable_executor")
    if pools is not None:
        pools._executor = None
        pools._executor_kwargs = None
        pools._executor_lock = threading.RLock()  # another thread may have held it at the fork


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_forget_pool_of_parent)
