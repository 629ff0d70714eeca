"""Optimiser settings shared by the factor's and the entry classifier's studies."""

import os
import sqlite3
import threading

# Every fit starts its sampler from this seed; job k of the parallel way uses
# SAMPLER_SEED + k, so the in-process first trial and job 0 share a seed.
SAMPLER_SEED = 69
N_STARTUP_TRIALS = 30

# Concurrent trials write to one SQLite file; a writer that finds the file
# locked waits up to this long instead of failing its trial.
SQLITE_BUSY_TIMEOUT_SECONDS = 300.0

# Sidecar files SQLite keeps beside a study file in write-ahead-log mode.
SQLITE_SIDECAR_SUFFIXES = ("-wal", "-shm")


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
