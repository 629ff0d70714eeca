"""Optimiser settings shared by the factor's and the entry classifier's studies."""

import contextlib
import errno
import os
import sqlite3
import threading
import time

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
    """

    __slots__ = ("path",)

    def __init__(self, path):
        self.path = path

    def __call__(self):
        # Connections move between threads of a pool, as with the driver's
        # own defaults for a file database.
        connection = sqlite3.connect(self.path, timeout=SQLITE_BUSY_TIMEOUT_SECONDS, check_same_thread=False)
        try:
            connection.execute("PRAGMA journal_mode=WAL")
            connection.execute("PRAGMA synchronous=NORMAL")
        except BaseException:
            connection.close()
            raise
        return connection


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
    return {"creator": _StudyFileConnector(path)}


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
    locks the one now there. Without POSIX file locks nothing is held.
    """

    __slots__ = ("path", "_descriptor")

    def __init__(self, study_file_path):
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

    def hold_for_fit(self):
        """Hold the lock for a fit, waiting out an erasure; whether no other fit of the study runs.

        When none does, the lock is held exclusively until :meth:`share`.
        """
        if self.acquire(exclusive=True, timeout=0):
            return True
        if not self.acquire(exclusive=False):
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
        if not self.acquire(exclusive=False):
            raise TimeoutError(_lock_timeout_message(self.path))
        return False

    def remove_file(self):
        """Remove the lock file, while holding it exclusively."""
        with contextlib.suppress(FileNotFoundError):
            os.remove(self.path)

    def release(self):
        descriptor, self._descriptor = self._descriptor, None
        if descriptor is not None:
            os.close(descriptor)  # which releases the lock


def _open_lock_file(path):
    try:
        return os.open(path, os.O_RDWR | os.O_CREAT, 0o666)
    except OSError as error:
        if error.errno not in (errno.EACCES, errno.EPERM, errno.EROFS):
            raise
    # A lock file that this user may not write (or not create) locks as well
    # when opened for reading; a missing one raises here.
    return os.open(path, os.O_RDONLY)


def _names_file(path, descriptor):
    try:
        named = os.stat(path)
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

    A lock file that cannot be opened (a folder this user may not write,
    without one) leaves the study unlocked: nothing in such a folder can be
    removed or written either.
    """
    lock = StudyLock(study_file_path)
    try:
        acquired = lock.acquire(exclusive=True)
    except OSError:
        lock, acquired = None, True
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
        explained = _explained_storage_failure(path, error)
        if explained is None:
            raise
        raise explained from error
