"""Trials of a study that a fit leaves behind: queued trials taken once, trials left running failed.

A fit stopped by Ctrl-C, SIGTERM or SIGHUP (see :mod:`korvane._common.stops`)
marks failed the trial it was running.
"""

import contextlib
import threading

from korvane._common.stops import cleanup_context, stoppable
from korvane._common.study_files import check_storage_file_kept

# Classes made once per storage class. Two threads may both make one: the
# first stored is the one every caller gets.
_QUEUE_SAFE_STORAGES = {}


def queue_safe_storage_class(storage_class):
    """``storage_class``, where a queued trial goes to one process or thread only.

    The optimiser takes a queued (WAITING) trial by reading its state, then
    writing RUNNING if it read WAITING. On SQLite the read runs outside the
    write's transaction, so two parallel jobs can both read WAITING and both
    run the same queued trial, while another queued trial is never run. Here
    the state changes in one conditional update, made under SQLite's write
    lock, and only the job whose update changed the row has the trial.
    """
    safe = _QUEUE_SAFE_STORAGES.get(storage_class)
    if safe is not None:
        return safe

    class QueueSafeStorage(storage_class):
        def set_trial_state_values(self, trial_id, state, values=None):
            from optuna.trial import TrialState

            if state != TrialState.RUNNING or values is not None:
                return super().set_trial_state_values(trial_id, state, values)
            if _claim_queued_trial(self, trial_id):
                return True
            # Taken by another job (False), finished, or missing: as the optimiser says.
            return super().set_trial_state_values(trial_id, state)

    return _QUEUE_SAFE_STORAGES.setdefault(storage_class, QueueSafeStorage)


def _claim_queued_trial(storage, trial_id):
    """Whether this call turned the queued trial ``trial_id`` to RUNNING."""
    import datetime

    import sqlalchemy
    from optuna.storages._rdb import models
    from optuna.storages._rdb.storage import _create_scoped_session
    from optuna.trial import TrialState

    trial = models.TrialModel
    claim = (
        sqlalchemy.update(trial)
        .where(trial.trial_id == trial_id, trial.state == TrialState.WAITING)
        .values(state=TrialState.RUNNING, datetime_start=datetime.datetime.now())
        .execution_options(synchronize_session=False)
    )
    marks = getattr(_MARKS_OF_CLAIMS, "system_attrs", None) or {}
    with _create_scoped_session(storage.scoped_session) as session:
        if session.execute(claim).rowcount != 1:
            return False
        # Written with the claim: a process killed right after it leaves no trial RUNNING unmarked.
        for key, value in marks.items():
            storage._set_trial_attr_without_commit(session, models.TrialSystemAttributeModel, trial_id, key, value)
    _MARKS_OF_CLAIMS.marked_trial = trial_id if marks else None
    return True


# The system attributes that this thread's next claims of queued trials write with the claim.
_MARKS_OF_CLAIMS = threading.local()


@cleanup_context
def marking_claims(system_attrs):
    """Within the block, a queued trial taken by this thread gets ``system_attrs`` in the claim's own commit.

    Gives a function telling whether a trial (by id) was so marked.
    """
    _MARKS_OF_CLAIMS.system_attrs = system_attrs
    _MARKS_OF_CLAIMS.marked_trial = None
    try:
        yield lambda trial_id: _MARKS_OF_CLAIMS.marked_trial == trial_id
    finally:
        _MARKS_OF_CLAIMS.system_attrs = None


# The trial that the storages of this thread last created or took from the queue.
_TRIAL_OF_THIS_THREAD = threading.local()
_STUDY_STORAGES = {}


def study_storage_class(storage_class):
    """``storage_class`` as a study of a fit needs it: queued trials go to one job, this thread's trial is known.

    A fit interrupted in its own process fails the last trial its thread
    began, which may stop before its objective starts (while the sampler
    draws, say).
    """
    safe = queue_safe_storage_class(storage_class)
    recording = _STUDY_STORAGES.get(safe)
    if recording is not None:
        return recording

    class TrialRecordingStorage(safe):
        def _get_prepared_new_trial(self, study_id, template_trial, session):
            # Known before its creation commits: a stop landing between the
            # commit and the return still finds it, by its start time.
            trial = super()._get_prepared_new_trial(study_id, template_trial, session)
            _TRIAL_OF_THIS_THREAD.trial_id = trial.trial_id
            _TRIAL_OF_THIS_THREAD.uncommitted_start = trial.datetime_start
            return trial

        def _create_new_trial(self, study_id, template_trial=None):
            # Each trial begins on the file the storage opened, or not at all.
            check_storage_file_kept(self)
            frozen = super()._create_new_trial(study_id, template_trial)
            _TRIAL_OF_THIS_THREAD.trial_id = frozen._trial_id
            _TRIAL_OF_THIS_THREAD.uncommitted_start = None
            return frozen

        def set_trial_state_values(self, trial_id, state, values=None):
            from optuna.trial import TrialState

            taken = super().set_trial_state_values(trial_id, state, values)
            if taken and state == TrialState.RUNNING:
                _TRIAL_OF_THIS_THREAD.trial_id = trial_id
                _TRIAL_OF_THIS_THREAD.uncommitted_start = None
            return taken

    return _STUDY_STORAGES.setdefault(safe, TrialRecordingStorage)


def fail_if_running(storage, trial_id):
    """Mark the trial failed unless it has finished; whether it was marked."""
    from optuna.exceptions import UpdateFinishedTrialError
    from optuna.trial import TrialState

    try:
        storage.set_trial_state_values(trial_id, TrialState.FAIL)
    except UpdateFinishedTrialError:
        return False
    return True


@cleanup_context
def failing_trial_left_running(study):
    """Mark failed the trial that this thread left running when the block is interrupted.

    The optimiser fails a trial whose objective raises, but not one stopped by
    SIGTERM or SIGHUP (raised here as an exception), nor one whose sampling or storage
    writes are interrupted: it would stay RUNNING for ever, and the sampler
    would count it as pending in every later fit. A storage that cannot write
    just then (a full disk) leaves it to the next fit that runs alone.
    """
    _TRIAL_OF_THIS_THREAD.trial_id = None
    try:
        yield
    except BaseException:
        trial_id = getattr(_TRIAL_OF_THIS_THREAD, "trial_id", None)
        if trial_id is not None:
            with contextlib.suppress(Exception):
                # Stopped while it was being created: it counts if its creation committed.
                start = getattr(_TRIAL_OF_THIS_THREAD, "uncommitted_start", None)
                if start is None or study._storage.get_trial(trial_id).datetime_start == start:
                    fail_if_running(study._storage, trial_id)
        raise
    finally:
        _TRIAL_OF_THIS_THREAD.trial_id = None


@stoppable
def fail_trials_left_running(study):
    """Mark failed every RUNNING trial of a study that no fit is running: they were left by fits that died."""
    from optuna.trial import TrialState

    storage = study._storage
    for trial in storage.get_all_trials(study._study_id, deepcopy=False, states=(TrialState.RUNNING,)):
        fail_if_running(storage, trial._trial_id)
