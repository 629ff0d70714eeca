"""Optimiser settings shared by the factor's and the entry classifier's studies."""

import contextlib
import errno
import os
import signal
import sqlite3
import stat
import sys
import threading
import time
from urllib.parse import quote

try:
    import fcntl
except ImportError:  # no POSIX file locks here: studies go unlocked
    fcntl = None

try:
    import resource
except ImportError:
    resource = None

# Every fit starts its sampler from this seed; job k of the parallel way uses
# SAMPLER_SEED + k, so the in-process first trial and job 0 share a seed.
SAMPLER_SEED = 69
N_STARTUP_TRIALS = 30

# Concurrent trials write to one SQLite file; a writer that finds the file
# locked waits up to this long instead of failing its trial.
SQLITE_BUSY_TIMEOUT_SECONDS = 300.0

# Sidecar files SQLite keeps beside a study file in write-ahead-log mode.
SQLITE_SIDECAR_SUFFIXES = ("-wal", "-shm")

# The lock file beside a study file: "<study file>.lock".
STUDY_LOCK_SUFFIX = ".lock"

# Every name a study file brings beside it: SQLite's rollback journal, its
# write-ahead log and the log's index, and the lock file.
STUDY_COMPANION_SUFFIXES = ("-journal",) + SQLITE_SIDECAR_SUFFIXES + (STUDY_LOCK_SUFFIX,)

# A write-ahead log no longer than its header holds no page.
_WAL_HEADER_BYTES = 32

# A waiting lock is tried again after this pause, doubled each time up to the longest.
_FIRST_LOCK_PAUSE_SECONDS = 0.005
_LONGEST_LOCK_PAUSE_SECONDS = 0.1

# Less free room than this on a disk, or in a file below the process's size
# limit, explains a write that SQLite could not make: a commit appends a few
# pages to the log, a checkpoint a few more to the file.
_NEARLY_FULL_BYTES = 1 << 20

# Primary SQLite result codes of a write that the file system refused.
_SQLITE_READONLY, _SQLITE_IOERR, _SQLITE_FULL, _SQLITE_CANTOPEN = 8, 10, 13, 14


class _StudyFileConnector:
    """Opens the optimiser's connections to one SQLite study file.

    Every suggested parameter and every trial state is its own commit. In
    SQLite's default rollback journal each commit syncs the file several
    times; in write-ahead-log mode with synchronous=NORMAL a commit appends to
    the log without a sync, and the log is synced at checkpoints. A process
    killed mid-fit loses nothing it committed (only a power cut may lose the
    last commits), and the file stays an ordinary SQLite study that other
    processes open. The log mode is stored in the file itself; the sync
    level holds per connection, so it is set on every connection, before the
    optimiser's first statement. A class rather than a closure: the storage
    pickles its engine settings.

    SQLite pairs a file with its log by name alone. Were another file moved
    onto the path, a connection to it would read the log of the file it
    replaced as its own pages, and a checkpoint would write them into it. So
    all connections of a storage open one file: the one a fit of this
    process holds (see :func:`fit_file_identity_kept`), else the first one's.
    SQLite reads nothing of a file, nor opens its log, before the first
    statement, so another file is closed untouched.
    """

    __slots__ = ("path", "identity")

    def __init__(self, path, identity=None):
        self.path = path
        self.identity = identity

    def check_kept(self):
        """Raise when the path no longer names the file that this storage opened."""
        if self.identity is not None and _file_identity(self.path) != self.identity:
            raise RuntimeError(_gone_message(self.path))

    def __call__(self):
        # Connections move between threads of a pool, as with the driver's
        # own defaults for a file database.
        connection = sqlite3.connect(self.path, timeout=SQLITE_BUSY_TIMEOUT_SECONDS, check_same_thread=False)
        try:
            if self.identity is None:
                self.identity = _file_identity(self.path)
            self.check_kept()
            connection.execute("PRAGMA journal_mode=WAL")
            connection.execute("PRAGMA synchronous=NORMAL")
        except BaseException:
            connection.close()
            raise
        return connection


class _ReadOnlyStudyFileConnector:
    """Opens read-only connections to a study file in a folder this process may not write.

    SQLite reads a file in write-ahead-log mode through the log's index
    ("-shm"), which it makes beside the file. Where a fit left the log and
    its index, they are read as they are. Where no log holds pages, the file
    alone is the whole study and is read as immutable, which needs no index.
    """

    __slots__ = ("path", "immutable")

    def __init__(self, path, immutable):
        self.path = path
        self.immutable = immutable

    def __call__(self):
        query = "mode=ro&immutable=1" if self.immutable else "mode=ro"
        return sqlite3.connect(
            "file:" + quote(self.path, safe="/") + "?" + query,
            uri=True,
            timeout=SQLITE_BUSY_TIMEOUT_SECONDS,
            check_same_thread=False,
        )


def _holds_bytes(path, beyond=0):
    try:
        return os.path.getsize(path) > beyond
    except OSError:
        return False


def _unreadable_in_read_only_folder(path):
    """Why SQLite cannot read the study file at ``path`` without writing beside it, or None."""
    if _holds_bytes(path + "-journal"):
        return f"a write that did not finish left its rollback journal {path}-journal, which must be rolled back"
    if _holds_bytes(path + "-wal", _WAL_HEADER_BYTES) and not os.path.exists(path + "-shm"):
        return (
            f"its write-ahead log {path}-wal holds trials not yet merged into the file, and SQLite reads them "
            f"only through the log's index {path}-shm, which it cannot make there"
        )
    return None


def sqlite_study_reading_engine_kwargs(path):
    """Engine settings of the optimiser's storage that reads the finished study file at ``path``.

    Those of a fit where this process may write the study's folder; read-only
    ones in a folder it may not write (a shared results folder, say). A study
    that cannot be read there is refused with an error naming the folder.
    """
    folder = os.path.dirname(path) or os.curdir
    if os.access(folder, os.W_OK | os.X_OK):
        return sqlite_study_engine_kwargs(path)
    cause = _unreadable_in_read_only_folder(path)
    if cause is not None:
        raise PermissionError(
            errno.EACCES,
            f"cannot read the study file {path}: its folder {folder} is read-only and {cause}; "
            "please open the study once where its folder can be written",
        )
    pending = _holds_bytes(path + "-wal", _WAL_HEADER_BYTES)
    return {"creator": _ReadOnlyStudyFileConnector(path, immutable=not pending)}


def _longest_file_name():
    """Bytes a file name may hold in the working directory's file system."""
    try:
        return os.pathconf(".", "PC_NAME_MAX")
    except (AttributeError, OSError, ValueError):
        return 255


def study_file_name_fits(file_name):
    """Whether the study file ``file_name``, and every name beside it, fit a file name here."""
    longest = len(os.fsencode(file_name + max(STUDY_COMPANION_SUFFIXES, key=len)))
    return longest <= _longest_file_name()


def check_study_file_name(file_name, argument, value):
    """Refuse the ``argument`` ``value`` that makes the study file ``file_name`` or a name beside it too long."""
    if not study_file_name_fits(file_name):
        companion = file_name + max(STUDY_COMPANION_SUFFIXES, key=len)
        raise ValueError(
            f"{argument} {value!r} makes a study file name too long: beside the study file {file_name!r}, "
            f"SQLite writes {companion!r}, {len(os.fsencode(companion))} bytes, where this file system "
            f"holds at most {_longest_file_name()}; please use a shorter {argument}"
        )


# Study files whose table schema this process has checked against the
# installed optimiser, or created itself, by device and inode. The check
# loads every migration script of the optimiser, some 45 ms at each opening
# of a study, and a file's schema does not change while it exists.
_SCHEMA_KNOWN_FILES = set()
_SCHEMA_KNOWN_LOCK = threading.Lock()


def _file_identity(path):
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_dev, status.st_ino


def study_schema_known(path):
    """Whether this process has checked or created the schema of the study file at ``path``."""
    identity = _file_identity(path)
    with _SCHEMA_KNOWN_LOCK:
        return identity is not None and identity in _SCHEMA_KNOWN_FILES


def remember_study_schema(path):
    """Record that the study file at ``path`` now holds a schema checked or created by this process."""
    identity = _file_identity(path)
    if identity is not None:
        with _SCHEMA_KNOWN_LOCK:
            _SCHEMA_KNOWN_FILES.add(identity)


def forget_study_schema(path):
    """Before the study file at ``path`` is removed: a file later made at the same place is checked again."""
    identity = _file_identity(path)
    with _SCHEMA_KNOWN_LOCK:
        _SCHEMA_KNOWN_FILES.discard(identity)


def sqlite_study_engine_kwargs(path):
    """Engine settings of the optimiser's storage on the SQLite study file at ``path``."""
    return {"creator": _StudyFileConnector(path, _FIT_FILE_IDENTITIES.get(path))}


# The study files that fits in this process hold, or that the parallel jobs
# running here work for, by path: the file each must still be.
_FIT_FILE_IDENTITIES = {}


def fit_file_identity(path):
    """The file at ``path`` as the fit of this process holding it opened it, for its parallel jobs; or None."""
    return _FIT_FILE_IDENTITIES.get(path)


@contextlib.contextmanager
def fit_file_identity_kept(path, identity):
    """Within the block, storages opened on ``path`` connect only to the file ``identity`` (None: any).

    Gives whether the block set it, rather than a fit holding the file in
    this process: a parallel job then runs in a worker.
    """
    setting = identity is not None and path not in _FIT_FILE_IDENTITIES
    if setting:
        _FIT_FILE_IDENTITIES[path] = identity
    try:
        yield setting
    finally:
        if setting:
            _FIT_FILE_IDENTITIES.pop(path, None)


def _backend_of(study):
    """The database storage of a study, or of a storage (which the optimiser may wrap in a cache)."""
    storage = getattr(study, "_storage", study)
    return getattr(storage, "_backend", storage)


def _connector_of(study):
    return getattr(_backend_of(study), "engine_kwargs", {}).get("creator")


def _engine_of(study):
    return getattr(_backend_of(study), "engine", None)


def close_study_connections(study):
    """Close the pooled connections of a study's storage, or of a storage; later use opens new ones."""
    engine = _engine_of(study)
    if engine is not None:
        engine.dispose()


def _close_leaving_no_log(study):
    """Close the connections of a study whose file has gone from its path, its log merged first.

    The last connection to close merges the log into the file and removes
    it, but not once the file has moved: the log would stay, under its name,
    beside whatever file is now at the path, and be read as that file's
    pages. Merged and emptied through a connection still open on the fit's
    own file, it leaves nothing to read. With no such connection left, none
    is opened: a new one would open the file now at the path.
    """
    engine = _engine_of(study)
    if engine is None:
        return
    with contextlib.suppress(Exception), engine.connect() as connection:
        connection.exec_driver_sql("PRAGMA wal_checkpoint(TRUNCATE)")
    engine.dispose()


def _check_storage_file_kept(storage):
    connector = _connector_of(storage)
    if isinstance(connector, _StudyFileConnector):
        connector.check_kept()


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
                    _check_storage_file_kept(self)
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
    SIGTERM (raised here as an exception), nor one whose sampling or storage
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


class _Terminated(BaseException):
    """SIGTERM received while a fit ran."""


def _signal_again(signum):
    """Send ``signum`` to this process again, from another thread and a moment later.

    Sent at once, its handler could run, and its exception be dropped again,
    before the interpreter is back in the fit's own code.
    """
    sender = threading.Timer(0.05, os.kill, args=(os.getpid(), signum))
    sender.daemon = True
    sender.start()


@contextlib.contextmanager
def ending_cleanly_on_sigterm():
    """Let SIGTERM unwind the block before the process ends by it, and lose no stop on the way.

    By default the signal ends the process at once: the trial running here
    stays RUNNING, the temporary files of a fit stay behind and its workers
    run on without their parent. Raised as an exception instead, it lets the
    fit mark its trials failed, joblib stop the workers and the fit remove
    what it made, after which the process ends by the same signal, as
    whoever sent it expects, whatever error the unwinding turned it into. A
    handler the program set itself is left alone, and so is a fit outside the
    main thread, where no handler can be set.

    The interpreter drops an exception raised inside a finaliser or a weakref
    callback ("Exception ignored in ..."). A SIGTERM or Ctrl-C whose exception
    is dropped there would let the fit run on as if nothing had been asked:
    the signal is sent again.
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    ours = signal.getsignal(signal.SIGTERM) is signal.SIG_DFL
    received = []

    def raise_terminated(signum, frame):
        signal.signal(signal.SIGTERM, signal.SIG_IGN)  # a second signal must not cut the clean-up short
        received.append(signum)
        raise _Terminated()

    def signal_dropped_stop_again(unraisable):
        stop = unraisable.exc_value
        if threading.current_thread() is threading.main_thread():
            if ours and isinstance(stop, _Terminated):
                signal.signal(signal.SIGTERM, raise_terminated)
                return _signal_again(signal.SIGTERM)
            if isinstance(stop, KeyboardInterrupt) and callable(signal.getsignal(signal.SIGINT)):
                return _signal_again(signal.SIGINT)
        return previous_hook(unraisable)

    previous_hook = sys.unraisablehook
    sys.unraisablehook = signal_dropped_stop_again
    if ours:
        signal.signal(signal.SIGTERM, raise_terminated)
    try:
        yield
    finally:
        sys.unraisablehook = previous_hook
        if ours:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
            if received:
                os.kill(os.getpid(), signal.SIGTERM)


def tpe_sampler_kwargs(seed, optuna_version):
    """Keyword arguments of the TPE sampler of a study, for the installed optuna ``optuna_version``."""
    kwargs = dict(
        n_startup_trials=N_STARTUP_TRIALS,
        multivariate=True,
        group=True,
        constant_liar=True,
        seed=seed,
    )
    # The flag only silenced a warning; newer optuna deprecates it and warns
    # about the flag itself, so it is passed only where it is still quiet.
    if _version_tuple(optuna_version) < (4, 9):
        kwargs["warn_independent_sampling"] = False
    return kwargs


def _version_tuple(text):
    parts = []
    for piece in text.split(".")[:2]:
        digits = "".join(ch for ch in piece if ch.isdigit())
        parts.append(int(digits) if digits else 0)
    return tuple(parts)


class StudyLock:
    """The lock file beside a study file, "<study file>.lock".

    Every fit of a study holds it shared for its whole run, and erasing the
    study holds it exclusively: a study is never erased under a running fit,
    while fits of one study, and those of other studies in the same folder,
    run side by side. A fit that finds it can hold the lock exclusively also
    knows that no other fit of the study runs.

    Erasing removes the lock file with the study, so a holder checks, once
    locked, that the path still names the very file it locked, and otherwise
    locks the one now there. Anything else at the path (a directory, a pipe,
    a symbolic link) is refused with an error naming it. Without POSIX file
    locks nothing is held.
    """

    __slots__ = ("study_path", "path", "_descriptor")

    def __init__(self, study_file_path):
        self.study_path = study_file_path
        self.path = study_file_path + STUDY_LOCK_SUFFIX
        self._descriptor = None

    def acquire(self, exclusive, timeout=None):
        """Whether the lock came within ``timeout`` seconds (by default the storage's busy timeout)."""
        if fcntl is None:
            return True
        if timeout is None:
            timeout = SQLITE_BUSY_TIMEOUT_SECONDS
        operation = (fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH) | fcntl.LOCK_NB
        deadline = time.monotonic() + timeout
        pause = _FIRST_LOCK_PAUSE_SECONDS
        while True:
            descriptor = _open_lock_file(self.path)
            try:
                fcntl.flock(descriptor, operation)
                if _names_file(self.path, descriptor):
                    self._descriptor = descriptor
                    return True
                os.close(descriptor)  # erased meanwhile: lock the new file
                continue
            except BlockingIOError:
                os.close(descriptor)
            except BaseException:
                os.close(descriptor)
                raise
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            time.sleep(min(pause, left))
            pause = min(2 * pause, _LONGEST_LOCK_PAUSE_SECONDS)

    def _acquire_for_fit(self, exclusive, timeout=None):
        try:
            return self.acquire(exclusive, timeout)
        except OSError as error:
            raise _refused("fit", self.study_path, error) from error

    def hold_for_fit(self):
        """Hold the lock for a fit, waiting out an erasure; whether no other fit of the study runs.

        When none does, the lock is held exclusively until :meth:`share`.
        """
        if self._acquire_for_fit(exclusive=True, timeout=0):
            return True
        if not self._acquire_for_fit(exclusive=False):
            raise TimeoutError(_lock_timeout_message(self.path))
        return False

    def share(self):
        """Turn the exclusive hold into a shared one; False when the study was erased in between.

        Linux turns the lock at once; other systems may let a waiting lock
        in between, an erasure among them.
        """
        if self._descriptor is None:
            return True
        fcntl.flock(self._descriptor, fcntl.LOCK_SH)
        if _names_file(self.path, self._descriptor):
            return True
        self.release()
        if not self._acquire_for_fit(exclusive=False):
            raise TimeoutError(_lock_timeout_message(self.path))
        return False

    def held(self):
        """Whether the lock path still names the file this lock holds (always so without POSIX locks)."""
        return self._descriptor is None or _names_file(self.path, self._descriptor)

    def remove_file(self):
        """Remove the lock file, while holding it exclusively."""
        with contextlib.suppress(FileNotFoundError):
            os.remove(self.path)

    def release(self):
        descriptor, self._descriptor = self._descriptor, None
        if descriptor is not None:
            os.close(descriptor)  # which releases the lock


def _open_lock_file(path):
    """A descriptor of the regular file at ``path``, made if missing; an error naming ``path`` otherwise.

    Opened without blocking, so that a pipe put there cannot hold the caller,
    and without following a link, which would make or lock a file outside the
    study's folder.
    """
    flags = os.O_NONBLOCK | getattr(os, "O_NOFOLLOW", 0)
    try:
        try:
            descriptor = os.open(path, os.O_RDWR | os.O_CREAT | flags, 0o666)
        except OSError as error:
            if error.errno not in (errno.EACCES, errno.EPERM, errno.EROFS):
                raise
            # A lock file that this user may not write (or not create) locks as
            # well when opened for reading; a missing one raises here.
            descriptor = os.open(path, os.O_RDONLY | flags)
    except OSError as error:
        if error.errno == errno.EISDIR:
            raise OSError(error.errno, f"a directory is in the way of its lock file {path}, please remove it") from error
        if os.path.islink(path):
            raise OSError(error.errno, f"a symbolic link is in the way of its lock file {path}, please remove it") from error
        raise OSError(error.errno, f"cannot open its lock file {path}: {error.strerror}") from error
    if not stat.S_ISREG(os.fstat(descriptor).st_mode):
        os.close(descriptor)
        raise OSError(errno.EEXIST, f"its lock file {path} is not a regular file, please remove it")
    return descriptor


def _refused(action, study_file_path, error):
    """The lock file's ``error`` as the refusal to ``action`` the study file."""
    return OSError(error.errno, f"cannot {action} the study file {study_file_path}: {error.strerror}")


def _names_file(path, descriptor):
    try:
        named = os.lstat(path)
    except FileNotFoundError:
        return False
    held = os.fstat(descriptor)
    return (named.st_dev, named.st_ino) == (held.st_dev, held.st_ino)


def _lock_timeout_message(lock_path):
    return (
        f"cannot fit the study locked by {lock_path}: it is still being erased after "
        f"{SQLITE_BUSY_TIMEOUT_SECONDS:g} s, please try again once erase_fit_memory has finished"
    )


@contextlib.contextmanager
def study_lock_for_erasing(study_file_path):
    """Hold the study's lock exclusively, once no fit holds it, or raise after the storage's busy timeout.

    A lock file that cannot be made (a folder this user may not write,
    without one) leaves the study unlocked: nothing in such a folder can be
    removed or written either. Anything else that keeps the lock from being
    held (a directory at its path, say) refuses the erasure.
    """
    lock = StudyLock(study_file_path)
    try:
        acquired = lock.acquire(exclusive=True)
    except FileNotFoundError:
        lock, acquired = None, True
    except OSError as error:
        raise _refused("erase", study_file_path, error) from error
    if not acquired:
        raise TimeoutError(
            f"cannot erase the study file {study_file_path}: a fit of this study still runs after "
            f"{SQLITE_BUSY_TIMEOUT_SECONDS:g} s, please try again once it has finished"
        )
    try:
        yield lock
    finally:
        if lock is not None:
            lock.release()


def _gone_message(path, how=""):
    return (
        f"the study file {path} was removed or replaced during the fit{how}: the trials of this fit went "
        "with it, so the fit has no result; please fit again"
    )


class HeldStudy:
    """The study of a fit, and the lock that holds it against erasure (see :func:`study_held_by_fit`)."""

    __slots__ = ("study", "_lock", "_identity")

    def __init__(self, study, lock):
        self.study = study
        self._lock = lock
        self._identity = None
        if lock is not None:
            self._identity = getattr(_connector_of(study), "identity", None) or _file_identity(lock.study_path)

    def kept(self):
        """Whether the study file is still the one the fit opened."""
        return self._lock is None or _file_identity(self._lock.study_path) == self._identity

    def check_kept(self):
        """Raise when the study file is no longer the one the fit opened: the fit's trials went with it."""
        if not self.kept():
            raise self._gone_error()

    def _gone_error(self):
        """The error of a fit whose study file went, once the fit's connections are closed.

        Closed, they leave no log of the fit beside a file moved onto the path.
        """
        _close_leaving_no_log(self.study)
        lock = self._lock
        how = "" if lock.held() else f" (its lock file {lock.path} was removed or replaced, so nothing waited for the fit)"
        error = RuntimeError(_gone_message(lock.study_path, how))
        error.study_file_gone = True
        return error


@contextlib.contextmanager
def study_held_by_fit(path, open_study):
    """The study that ``open_study()`` opens in the file at ``path``, held against erasure for a whole fit.

    A folder or file that cannot be written is refused before the study is
    opened, and a write the storage fails later is raised naming the study
    file and the cause. A fit that finds no other fit of the study running
    first marks failed the trials that fits which died left running. A fit
    whose study file is removed or replaced raises instead of returning, at
    the latest when its next trial would begin. A ``path`` of None is a
    storage other than a file, held by nothing.
    """
    if path is None:
        yield HeldStudy(open_study(), None)
        return
    check_study_file_writable(path)
    lock = StudyLock(path)
    with storage_failures_explained(path):
        alone = lock.hold_for_fit()
        try:
            study = open_study()
            if alone:
                fail_trials_left_running(study)
                if not lock.share():  # erased in between: a new study
                    study = open_study()
            held = HeldStudy(study, lock)
            with fit_file_identity_kept(path, held._identity):
                try:
                    yield held
                except BaseException as error:
                    # A trial that found the file gone, here or in a worker, stops the fit
                    # (said once, by the innermost hold); an interrupt stays one.
                    if held.kept():
                        raise
                    gone = held._gone_error()
                    if not isinstance(error, Exception) or getattr(error, "study_file_gone", False):
                        raise
                    raise gone from error
                held.check_kept()
        finally:
            lock.release()


# ---------------------------------------------------------------- write failures


def _study_file_error(code, path, cause):
    return OSError(code, f"cannot write the study file {path}: {cause}")


def _unwritable_cause(path):
    """Why the folder or the files of a study cannot be written, or None."""
    folder = os.path.dirname(path) or os.curdir
    if not os.access(folder, os.W_OK | os.X_OK):
        return f"its folder {folder} is not writable, please make it writable or fit in another working directory"
    for name in (path,) + tuple(path + suffix for suffix in SQLITE_SIDECAR_SUFFIXES):
        if os.path.exists(name) and not os.access(name, os.W_OK):
            return f"{name} is not writable, please make it writable"
    return None


def check_study_file_writable(path):
    """Refuse, before a fit's first trial, a study file that its folder or permissions keep from being written."""
    cause = _unwritable_cause(path)
    if cause is not None:
        raise _study_file_error(errno.EACCES, path, cause)


_DISK_FULL_CAUSE = "no space is left on its disk, please free some space"


def _no_room_cause(path, sqlite_code):
    """(errno, cause) when the study's disk or the process's file size limit leaves no room, else None."""
    folder = os.path.dirname(path) or os.curdir
    try:
        status = os.statvfs(folder)
    except (AttributeError, OSError):
        status = None
    if status is not None and status.f_bavail * status.f_frsize < _NEARLY_FULL_BYTES:
        return errno.ENOSPC, _DISK_FULL_CAUSE
    if resource is not None:
        limit = resource.getrlimit(resource.RLIMIT_FSIZE)[0]
        if limit != resource.RLIM_INFINITY:
            for name in (path, path + SQLITE_SIDECAR_SUFFIXES[0]):
                with contextlib.suppress(OSError):
                    if os.path.getsize(name) + _NEARLY_FULL_BYTES >= limit:
                        return errno.EFBIG, (
                            f"no space is left below this process's file size limit of {limit} bytes "
                            "(RLIMIT_FSIZE), please raise the limit"
                        )
    if sqlite_code == _SQLITE_FULL:
        return errno.ENOSPC, _DISK_FULL_CAUSE
    return None


def _is_storage_failure(error):
    """Whether ``error`` is the optimiser's report of a storage write that failed.

    It wraps the database's error in a StorageInternalError, or, when the
    trial's last write fails, raises an assertion in its place. A worker's
    error arrives without the database error it came from.
    """
    name = type(error).__name__
    return name == "StorageInternalError" or (isinstance(error, AssertionError) and "Should not reach" in str(error))


def _causes(error):
    seen = set()
    while error is not None and id(error) not in seen:
        seen.add(id(error))
        yield error
        error = error.__cause__ or error.__context__


def _explained_storage_failure(path, error):
    """An error naming the study file at ``path`` and why the storage failed to write it, or None.

    None when ``error`` is no storage failure, or one with no cause in the
    file system to name.
    """
    chain = list(_causes(error))
    sqlite_error = next((cause for cause in chain if isinstance(cause, sqlite3.Error)), None)
    if sqlite_error is None and not any(_is_storage_failure(cause) for cause in chain):
        return None
    sqlite_code = getattr(sqlite_error, "sqlite_errorcode", 0) & 0xFF
    if sqlite_error is not None and sqlite_code not in (_SQLITE_READONLY, _SQLITE_IOERR, _SQLITE_FULL, _SQLITE_CANTOPEN):
        return None  # a busy or damaged database, say: the storage's own error says it best
    cause = _unwritable_cause(path)
    if cause is not None:
        return _study_file_error(errno.EACCES, path, cause)
    no_room = _no_room_cause(path, sqlite_code)
    if no_room is not None:
        return _study_file_error(no_room[0], path, no_room[1])
    if sqlite_error is not None:
        return _study_file_error(errno.EIO, path, str(sqlite_error))
    return None


@contextlib.contextmanager
def storage_failures_explained(path):
    """Raise a storage failure on the study file at ``path`` as an error naming the file and its cause.

    The optimiser reports a write refused by the file system as a commit
    "exceeding max length", or, inside a trial, as "Should not reach."
    """
    try:
        yield
    except Exception as error:
        if getattr(error, "study_file_explained", False):  # by a block inside this one
            raise
        explained = _explained_storage_failure(path, error)
        if explained is None:
            raise
        explained.study_file_explained = True
        raise explained from error
