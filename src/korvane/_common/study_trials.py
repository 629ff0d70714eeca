"""Trials of a study that a fit leaves behind: queued trials taken once, trials left running failed, stops.

A fit stopped by Ctrl-C, SIGTERM or SIGHUP marks failed the trial it was
running; Ctrl-C leaves it as ``KeyboardInterrupt``, the others end the
process by the same signal once it has cleaned up.
"""

import contextlib
import os
import signal
import sys
import threading

from korvane._common.study_files import check_storage_file_kept

_QUEUE_SAFE_STORAGES = {}
_QUEUE_SAFE_STORAGES_LOCK = threading.Lock()


def queue_safe_storage_class(storage_class):
    """``storage_class``, where a queued trial goes to one process or thread only.

    The optimiser takes a queued (WAITING) trial by reading its state, then
    writing RUNNING if it read WAITING. On SQLite the read runs outside the
    write's transaction, so two parallel jobs can both read WAITING and both
    run the same queued trial, while another queued trial is never run. Here
    the state changes in one conditional update, made under SQLite's write
    lock, and only the job whose update changed the row has the trial.
    """
    with _QUEUE_SAFE_STORAGES_LOCK:
        safe = _QUEUE_SAFE_STORAGES.get(storage_class)
        if safe is None:

            class QueueSafeStorage(storage_class):
                def set_trial_state_values(self, trial_id, state, values=None):
                    from optuna.trial import TrialState

                    if state != TrialState.RUNNING or values is not None:
                        return super().set_trial_state_values(trial_id, state, values)
                    if _claim_queued_trial(self, trial_id):
                        return True
                    # Taken by another job (False), finished, or missing: as the optimiser says.
                    return super().set_trial_state_values(trial_id, state)

            safe = _QUEUE_SAFE_STORAGES[storage_class] = QueueSafeStorage
    return safe


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
    with _create_scoped_session(storage.scoped_session) as session:
        return session.execute(claim).rowcount == 1


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
    with _QUEUE_SAFE_STORAGES_LOCK:
        recording = _STUDY_STORAGES.get(safe)
        if recording is None:

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

            recording = _STUDY_STORAGES[safe] = TrialRecordingStorage
    return recording


def fail_if_running(storage, trial_id):
    """Mark the trial failed unless it has finished; whether it was marked."""
    from optuna.exceptions import UpdateFinishedTrialError
    from optuna.trial import TrialState

    try:
        storage.set_trial_state_values(trial_id, TrialState.FAIL)
    except UpdateFinishedTrialError:
        return False
    return True


@contextlib.contextmanager
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


def fail_trials_left_running(study):
    """Mark failed every RUNNING trial of a study that no fit is running: they were left by fits that died."""
    from optuna.trial import TrialState

    storage = study._storage
    for trial in storage.get_all_trials(study._study_id, deepcopy=False, states=(TrialState.RUNNING,)):
        fail_if_running(storage, trial._trial_id)


# Signals that end a process at once by default: a kill, or a closed terminal
# or dropped session. A fit turns them into an unwinding first.
ENDING_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


class _Terminated(BaseException):
    """SIGTERM or SIGHUP received while a fit ran."""


@contextlib.contextmanager
def ending_cleanly_on_stop():
    """Let a stop (Ctrl-C, SIGTERM, SIGHUP) unwind the block as itself, and lose no stop on the way.

    By default SIGTERM and SIGHUP end the process at once: the trial running
    here stays RUNNING, the temporary files of a fit stay behind and its
    workers run on without their parent. Raised as an exception instead, they
    let the fit mark its trials failed, joblib stop the workers and the fit
    remove what it made, after which the process ends by the same signal, as
    whoever sent it expects, whatever error the unwinding turned it into.

    Ctrl-C leaves the block as ``KeyboardInterrupt``, whatever error the
    unwinding turned it into (the optimiser's bookkeeping, interrupted
    half-way, fails with an error of its own), so that a program catching it
    catches it, and a script left to it ends by SIGINT.

    A handler the program set itself, before the block or during it, is
    left alone, and so is a fit outside the main thread, where no handler
    can be set.

    The interpreter drops an exception raised inside a finaliser or a weakref
    callback ("Exception ignored in ..."). A stop whose exception is dropped
    there would let the fit run on as if nothing had been asked: the signal
    is sent again while the block runs, and a stop still unanswered when the
    block ends is answered then.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    ours = [signum for signum in ENDING_SIGNALS if signal.getsignal(signum) is signal.SIG_DFL]
    interrupts = signal.getsignal(signal.SIGINT) is signal.default_int_handler
    received = []
    running = [True]

    def raise_terminated(signum, frame):
        for each in ours:  # a second signal must not cut the clean-up short
            if signal.getsignal(each) is installed.get(each):
                installed[each] = signal.SIG_IGN
                signal.signal(each, signal.SIG_IGN)
        received.append(signum)
        raise _Terminated()

    def raise_interrupt(signum, frame):
        received.append(signum)
        raise KeyboardInterrupt()

    def signal_again(signum):
        """Send ``signum`` again from another thread a moment later, while the block still runs.

        Sent at once, its handler could run, and its exception be dropped
        again, before the interpreter is back in the fit's own code.
        """

        def send():
            if running[0]:
                os.kill(os.getpid(), signum)

        sender = threading.Timer(0.05, send)
        sender.daemon = True
        sender.start()

    def signal_dropped_stop_again(unraisable):
        stop = unraisable.exc_value
        if threading.current_thread() is threading.main_thread():
            if isinstance(stop, _Terminated) and received:
                if signal.getsignal(received[-1]) is installed.get(received[-1]):
                    installed[received[-1]] = raise_terminated
                    signal.signal(received[-1], raise_terminated)
                return signal_again(received[-1])
            if isinstance(stop, KeyboardInterrupt) and callable(signal.getsignal(signal.SIGINT)):
                return signal_again(signal.SIGINT)
        return previous_hook(unraisable)

    # The handler this block installed for each signal; a signal whose handler
    # the program replaced meanwhile is the program's again.
    installed = dict.fromkeys(ours, raise_terminated)
    if interrupts:
        installed[signal.SIGINT] = raise_interrupt
    previous_hook = sys.unraisablehook
    sys.unraisablehook = signal_dropped_stop_again
    for signum, handler in installed.items():
        signal.signal(signum, handler)
    try:
        yield
        if received:  # its exception was dropped on the way, too late to send it again
            raise _Terminated() if received[0] != signal.SIGINT else KeyboardInterrupt()
    except BaseException as error:
        if received and received[0] == signal.SIGINT and not isinstance(error, KeyboardInterrupt):
            raise KeyboardInterrupt() from error
        raise
    finally:
        running[0] = False
        if sys.unraisablehook is signal_dropped_stop_again:
            sys.unraisablehook = previous_hook
        for signum, handler in installed.items():
            # Only what this block installed goes back: a handler that the program
            # set during the block (in a trial, a callback) stays.
            if signal.getsignal(signum) is handler:
                signal.signal(signum, signal.SIG_DFL if signum != signal.SIGINT else signal.default_int_handler)
        ending = [signum for signum in received if signum != signal.SIGINT]
        if ending:
            os.kill(os.getpid(), ending[0])
