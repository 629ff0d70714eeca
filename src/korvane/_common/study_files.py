"""A study's SQLite file: the optimiser's storage settings for it, read-only reads, name checks and failures.

Connections are opened by the connectors of :mod:`study_connections`; a fit
checks that the file at the path is still the one it opened. A write that the
storage fails, and a file that is no study, are raised naming the study file
and the cause: the first as an ``OSError``, the second as the storage's own
``DatabaseError`` (:class:`NotAStudyFileError`), whoever opens the study.
"""

import contextlib
import errno
import os
import sqlite3

import sqlalchemy.exc

from korvane._common.stops import cleanup_context, runs_to_its_end, stoppable
from korvane._common.study_connections import (
    _ReadOnlyStudyFileConnector,
    _StudyFileConnector,
    connections_closed_at_the_end,
    file_identity,
    gone_message,
)
from korvane._common.study_settings import SQLITE_SIDECAR_SUFFIXES, STUDY_COMPANION_SUFFIXES

try:
    import resource
except ImportError:
    resource = None

# A write-ahead log no longer than its header holds no page.
_WAL_HEADER_BYTES = 32

# Less free room than this on a disk, or in a file below the process's size
# limit, explains a write that SQLite could not make: a commit appends a few
# pages to the log, a checkpoint a few more to the file.
_NEARLY_FULL_BYTES = 1 << 20

# Primary SQLite result codes of a write that the file system refused.
_SQLITE_READONLY, _SQLITE_IOERR, _SQLITE_FULL, _SQLITE_CANTOPEN = 8, 10, 13, 14

# ... and of a file that is no SQLite database, or a damaged one.
_SQLITE_CORRUPT, _SQLITE_NOTADB = 11, 26


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
# of a study, and a file's schema does not change while it exists. Each
# look-up, addition and removal is one set operation, atomic on its own.
_SCHEMA_KNOWN_FILES = set()


def study_schema_known(path):
    """Whether this process has checked or created the schema of the study file at ``path``."""
    identity = file_identity(path)
    return identity is not None and identity in _SCHEMA_KNOWN_FILES


def remember_study_schema(path):
    """Record that the study file at ``path`` now holds a schema checked or created by this process."""
    identity = file_identity(path)
    if identity is not None:
        _SCHEMA_KNOWN_FILES.add(identity)


def forget_study_schema(path):
    """Before the study file at ``path`` is removed: a file later made at the same place is checked again."""
    _SCHEMA_KNOWN_FILES.discard(file_identity(path))


def sqlite_study_engine_kwargs(path):
    """Engine settings of the optimiser's storage on the SQLite study file at ``path``."""
    return {"creator": _StudyFileConnector(path, _FIT_FILE_IDENTITIES.get(path))}


# The study files that fits in this process hold, or that the parallel jobs
# running here work for, by path: the file each must still be.
_FIT_FILE_IDENTITIES = {}


def fit_file_identity(path):
    """The file at ``path`` as the fit of this process holding it opened it, for its parallel jobs; or None."""
    return _FIT_FILE_IDENTITIES.get(path)


@cleanup_context
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


def connector_of(study):
    return getattr(_backend_of(study), "engine_kwargs", {}).get("creator")


def _engine_of(study):
    return getattr(_backend_of(study), "engine", None)


@runs_to_its_end
def close_study_connections(study):
    """Close the pooled connections of a study's storage, or of a storage; later use opens new ones."""
    engine = _engine_of(study)
    if engine is not None:
        engine.dispose()


@cleanup_context
def closed_on_failure(storage):
    """``storage`` for a block that opens a study on it; should the block fail, the storage's connections close.

    Nothing else holds a storage whose study was never made, so its
    connections would otherwise be left to the garbage collector.
    """
    try:
        yield storage
    except BaseException:
        close_study_connections(storage)
        raise


@cleanup_context
def connections_closed_after(path, open_study):
    """The study or storage that ``open_study()`` opens on the file at ``path``, its connections closed however the block ends.

    So are those of a storage that a stop lost on its way from the opening.
    A file at the path that is no study is raised naming it.
    """
    opened = []
    with _failures_explained(path, _not_a_study_failure), connections_closed_at_the_end(path):
        try:
            opened.append(stoppable(open_study)())
            yield opened[0]
        finally:
            for study in opened:
                close_study_connections(study)


@runs_to_its_end
def close_leaving_no_log(study):
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
    try:
        # A stop may end the merge (it may wait for another connection), not the closing.
        with contextlib.suppress(Exception), engine.connect() as connection:
            connection.exec_driver_sql("PRAGMA wal_checkpoint(TRUNCATE)")
    finally:
        engine.dispose()


def check_storage_file_kept(storage):
    connector = connector_of(storage)
    if isinstance(connector, _StudyFileConnector):
        connector.check_kept()


# ---------------------------------------------------------------- a file that is no study


class NotAStudyFileError(sqlalchemy.exc.DatabaseError):
    """The study file's path holds a file that is no SQLite database, or a damaged one.

    A ``DatabaseError``, as the storage raises for such a file, so that what
    catches the storage's error catches this one; its message names the file.
    The storage's statement, parameters and driver error (``orig``) are kept.
    """

    def __init__(self, path, reason, statement=None, params=None, orig=None):
        message = (
            f"cannot open the study file {path}: it is not a study korvane can read ({reason}), "
            "please move it away or fit under another name"
        )
        sqlalchemy.exc.StatementError.__init__(self, message, statement, params, orig)
        self.path = path
        self.reason = reason

    @classmethod
    def of(cls, path, sqlite_error, chain):
        """The error of the file at ``path``, from the driver's ``sqlite_error`` and the chain of errors it raised."""
        storage_error = next((cause for cause in chain if isinstance(cause, sqlalchemy.exc.StatementError)), None)
        return cls(
            path,
            str(sqlite_error),
            getattr(storage_error, "statement", None),
            getattr(storage_error, "params", None),
            sqlite_error,
        )

    def __str__(self):
        return self.args[0]

    def __reduce__(self):
        return type(self), (self.path, self.reason, self.statement, self.params, self.orig), dict(vars(self))


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


def _driver_failure(error):
    """(the chain of errors behind ``error``, the SQLite driver's error in it or None, that error's primary code or 0)."""
    chain = list(_causes(error))
    sqlite_error = next((cause for cause in chain if isinstance(cause, sqlite3.Error)), None)
    return chain, sqlite_error, getattr(sqlite_error, "sqlite_errorcode", 0) & 0xFF


def _explained_storage_failure(path, error):
    """An error naming the study file at ``path`` and why the storage failed to write or read it, or None.

    None when ``error`` is no storage failure, or one with no cause in the
    file system or the file to name.
    """
    chain, sqlite_error, sqlite_code = failure = _driver_failure(error)
    not_a_study = _not_a_study(path, *failure)
    if not_a_study is not None:
        return not_a_study
    if sqlite_error is None and not any(_is_storage_failure(cause) for cause in chain):
        return None
    busy_seconds = getattr(sqlite_error, "busy_seconds", None)
    if busy_seconds is not None:
        return _study_file_error(
            errno.ETIMEDOUT,
            path,
            f"another connection kept it locked for {busy_seconds:g} s, please try again once the fit or "
            "program holding it has finished",
        )
    if sqlite_error is not None and sqlite_code not in (_SQLITE_READONLY, _SQLITE_IOERR, _SQLITE_FULL, _SQLITE_CANTOPEN):
        return None  # a busy database, say: the storage's own error says it best
    cause = _unwritable_cause(path)
    if cause is not None:
        return _study_file_error(errno.EACCES, path, cause)
    no_room = _no_room_cause(path, sqlite_code)
    if no_room is not None:
        return _study_file_error(no_room[0], path, no_room[1])
    if sqlite_error is not None:
        return _study_file_error(errno.EIO, path, str(sqlite_error))
    return None


def _not_a_study_failure(path, error):
    """:class:`NotAStudyFileError` when ``error`` comes of a file at ``path`` that is no study, else None."""
    return _not_a_study(path, *_driver_failure(error))


def _not_a_study(path, chain, sqlite_error, sqlite_code):
    if sqlite_code not in (_SQLITE_NOTADB, _SQLITE_CORRUPT):
        return None
    return NotAStudyFileError.of(path, sqlite_error, chain)


@contextlib.contextmanager
def _failures_explained(path, explain):
    """Raise the error of the block as ``explain(path, error)`` names it, from the error; as it is when that is None."""
    try:
        yield
    except Exception as error:
        if getattr(error, "study_file_explained", False):  # by a block inside this one
            raise
        explained = explain(path, error)
        if explained is None:
            raise
        explained.study_file_explained = True
        raise explained from error


def storage_failures_explained(path):
    """Raise a storage failure on the study file at ``path`` as an error naming the file and its cause.

    The optimiser reports a write refused by the file system as a commit
    "exceeding max length", or, inside a trial, as "Should not reach."
    """
    return _failures_explained(path, _explained_storage_failure)
