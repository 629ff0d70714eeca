"""The optimiser's connections to a study's SQLite file, and the connectors that open them.

A connection finishes its statements when it closes, waits for a file that
another connection holds locked in slices a stop can end, and closes to its
end whatever stops arrive meanwhile. The connectors set the file's log mode
and sync level on each connection, and connect only to the file that a fit
of this process holds at the path.
"""

import os
import sqlite3
import threading
import time
import weakref
from urllib.parse import quote

from korvane._common import study_settings
from korvane._common.stops import cleanup_context, runs_to_its_end, stoppable

# A file locked by another connection, and the extended code of a transaction
# whose snapshot another writer made stale: waiting cannot help that one.
_SQLITE_BUSY, _SQLITE_BUSY_SNAPSHOT = 5, 517

# SQLite waits for a locked study file in slices of this length, inside its
# own sleep, where no signal handler runs; between slices the interpreter
# runs the handlers of the stops that arrived meanwhile.
_BUSY_SLICE_SECONDS = 0.25


def gone_message(path, how=""):
    return (
        f"the study file {path} was removed or replaced during the fit{how}: the trials of this fit went "
        "with it, so the fit has no result; please fit again"
    )


def _still_busy(error):
    """Whether a statement refused with ``error`` may succeed once another connection lets go of the file."""
    code = getattr(error, "sqlite_errorcode", 0)
    return code & 0xFF == _SQLITE_BUSY and code != _SQLITE_BUSY_SNAPSHOT


class _StudyCursor(sqlite3.Cursor):
    """A cursor whose statements wait for a locked study file in slices that a stop can end.

    Closing it once its connection has closed does nothing: the connection
    closed it first, and the database layer, closing it again after a stop,
    would otherwise log the driver's "Cannot operate on a closed database".
    """

    @runs_to_its_end
    def close(self):
        if not self.connection.closed:
            super().close()

    def execute(self, *args):
        return self.connection.waiting_while_busy(super().execute, args)

    def executemany(self, *args):
        return self.connection.waiting_while_busy(super().executemany, args)


class StudyConnection(sqlite3.Connection):
    """A connection to a study file that finishes its statements when it closes, and waits a stop can end.

    Closing a connection whose cursor still holds an unfinished statement
    leaves SQLite holding the connection open, and with it its transaction
    and the file's write lock, until that cursor is freed. The database
    layer above closes the connection without its cursor when a stop lands
    in the middle of a statement, and the stop's traceback keeps the cursor:
    the next fit of the study in this process would wait for a lock that
    nothing releases. Here the cursors are closed first, so the connection
    closes, rolling back what it had not committed.

    A statement meeting a file that another connection holds locked is tried
    again for as long as the storage waits in all (``busy_seconds``), a
    slice at a time; a wait that runs out is raised naming the file.
    """

    # Set by the connector once connected: the study file, and the storage's whole wait.
    study_file = None
    busy_seconds = None
    closed = False

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self._cursors = weakref.WeakSet()

    def cursor(self, factory=_StudyCursor):
        cursor = super().cursor(factory)
        self._cursors.add(cursor)
        return cursor

    def execute(self, *args):
        return self.cursor().execute(*args)

    def executemany(self, *args):
        return self.cursor().executemany(*args)

    @runs_to_its_end
    def close(self):
        self.closed = True
        for cursor in list(self._cursors):
            try:
                sqlite3.Cursor.close(cursor)
            except sqlite3.Error:
                pass
        super().close()

    @stoppable
    def waiting_while_busy(self, run, args):
        deadline = None
        while True:
            started = time.monotonic()
            try:
                return run(*args)
            except sqlite3.OperationalError as error:
                if self.busy_seconds is None or not _still_busy(error):
                    raise
                now = time.monotonic()
                if deadline is None:
                    deadline = started + self.busy_seconds
                if now >= deadline:
                    raise _busy_error(self.study_file, self.busy_seconds) from error
                # SQLite does not wait at all where this connection's transaction
                # has read already; the pause keeps that from spinning.
                time.sleep(max(0.0, min(_BUSY_SLICE_SECONDS - (now - started), deadline - now)))


def _busy_error(path, seconds):
    error = sqlite3.OperationalError(
        f"database is locked: the study file {path} stayed locked by another connection for {seconds:g} s"
    )
    error.sqlite_errorcode = _SQLITE_BUSY
    error.sqlite_errorname = "SQLITE_BUSY"
    error.busy_seconds = seconds
    return error


class _KeptConnections(threading.local):
    # Study file -> the connections to it that this thread opened while a hold keeps them.
    by_file = None


_KEPT = _KeptConnections()


@cleanup_context
def connections_closed_at_the_end(path):
    """Within the block, the connections that this thread opens to the study file at ``path`` are kept, and closed at its end.

    A stop can land between the opening of a storage and the moment its
    opener has it (the storage is then lost with its connections, which the
    stop's traceback keeps open); kept here from the moment each connection
    is made, they are closed all the same.
    """
    kept = _KEPT.by_file
    if kept is None:
        kept = _KEPT.by_file = {}
    outer = kept.get(path)
    kept[path] = weakref.WeakSet()
    try:
        yield
    finally:
        for connection in list(kept.pop(path)):
            if not connection.closed:
                connection.close()
        if outer is not None:
            kept[path] = outer


@runs_to_its_end
def _connect(path, *args, **kwargs):
    """A :class:`StudyConnection` to the study file at ``path`` (``args`` as for ``sqlite3.connect``)."""
    busy_seconds = study_settings.SQLITE_BUSY_TIMEOUT_SECONDS
    connection = sqlite3.connect(
        *args, timeout=min(busy_seconds, _BUSY_SLICE_SECONDS), check_same_thread=False, factory=StudyConnection,
        **kwargs,
    )
    connection.study_file = path
    connection.busy_seconds = busy_seconds
    kept = (_KEPT.by_file or {}).get(path)
    if kept is not None:
        kept.add(connection)
    return connection


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
        if self.identity is not None and file_identity(self.path) != self.identity:
            raise RuntimeError(gone_message(self.path))

    @runs_to_its_end
    def __call__(self):
        # Connections move between threads of a pool, as with the driver's
        # own defaults for a file database.
        connection = _connect(self.path, self.path)
        try:
            if self.identity is None:
                self.identity = file_identity(self.path)
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
        return _connect(self.path, "file:" + quote(self.path, safe="/") + "?" + query, uri=True)


def file_identity(path):
    try:
        status = os.stat(path)
    except OSError:
        return None
    return status.st_dev, status.st_ino
