"""The study lock beside a study file, the study a fit holds with it for its whole run, and the folder lock.

Every lock here is waited for within a time limit, in a wait that a stop
ends, and is released by a clean-up that no stop cuts short (see
:mod:`korvane._common.stops`). Its descriptor belongs to an object that
closes it, and so releases the lock, should it ever be collected still open.
"""

import contextlib
import errno
import os
import stat
import time

from korvane._common import study_settings
from korvane._common.stops import cleanup_context, runs_to_its_end, stoppable
from korvane._common.study_connections import connections_closed_at_the_end, file_identity, gone_message
from korvane._common.study_files import (
    check_study_file_writable,
    close_leaving_no_log,
    close_study_connections,
    connector_of,
    fit_file_identity_kept,
    storage_failures_explained,
)
from korvane._common.study_settings import STUDY_LOCK_SUFFIX
from korvane._common.study_trials import fail_trials_left_running

try:
    import fcntl
except ImportError:  # no POSIX file locks here: studies go unlocked
    fcntl = None

# A waiting lock is tried again after this pause, doubled each time up to the longest.
_FIRST_LOCK_PAUSE_SECONDS = 0.005
_LONGEST_LOCK_PAUSE_SECONDS = 0.1


class LockDescriptor:
    """An open descriptor that a lock is held on; closed, and the lock with it, by :meth:`close` or when collected.

    A bare descriptor number is never closed by the collector: one that a
    stop left open would hold its lock until the process ends.
    """

    __slots__ = ("number",)

    def __init__(self, number):
        self.number = number

    @runs_to_its_end
    def close(self):
        number, self.number = self.number, None
        if number is not None:
            os.close(number)

    def __del__(self):
        if self.number is not None:
            os.close(self.number)


@runs_to_its_end
def _flocked(descriptor, operation):
    """Whether ``operation`` (with LOCK_NB) locked ``descriptor`` now; False while another holds it."""
    try:
        fcntl.flock(descriptor.number, operation | fcntl.LOCK_NB)
    except BlockingIOError:
        return False
    return True


@stoppable
def _waited_for(attempt, timeout):
    """Whether ``attempt()`` held its lock within ``timeout`` seconds, tried again with growing pauses.

    ``attempt`` gives True once held, False while another holds the lock,
    and None to be tried again at once.
    """
    deadline = time.monotonic() + timeout
    pause = _FIRST_LOCK_PAUSE_SECONDS
    while True:
        held = attempt()
        if held:
            return True
        if held is None:
            continue
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        time.sleep(min(pause, left))
        pause = min(2 * pause, _LONGEST_LOCK_PAUSE_SECONDS)


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
            timeout = study_settings.SQLITE_BUSY_TIMEOUT_SECONDS
        operation = fcntl.LOCK_EX if exclusive else fcntl.LOCK_SH
        return _waited_for(lambda: self._locked_once(operation), timeout)

    @runs_to_its_end
    def _locked_once(self, operation):
        """Lock the file at the path once: True when held, False while another holds it, None if erased meanwhile."""
        descriptor = LockDescriptor(_open_lock_file(self.path))
        try:
            if not _flocked(descriptor, operation):
                descriptor.close()
                return False
            if not _names_file(self.path, descriptor.number):
                descriptor.close()  # erased meanwhile: lock the new file
                return None
        except BaseException:
            descriptor.close()
            raise
        self._descriptor = descriptor
        return True

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
        if self._descriptor is None or self._turned_shared():
            return True
        if not self._acquire_for_fit(exclusive=False):
            raise TimeoutError(_lock_timeout_message(self.path))
        return False

    @runs_to_its_end
    def _turned_shared(self):
        """Whether the lock is now held shared on the file at the path; else it is released."""
        if _flocked(self._descriptor, fcntl.LOCK_SH) and _names_file(self.path, self._descriptor.number):
            return True
        self.release()
        return False

    def held(self):
        """Whether the lock path still names the file this lock holds (always so without POSIX locks)."""
        return self._descriptor is None or _names_file(self.path, self._descriptor.number)

    def remove_file(self):
        """Remove the lock file, while holding it exclusively."""
        with contextlib.suppress(FileNotFoundError):
            os.remove(self.path)

    @runs_to_its_end
    def release(self):
        descriptor, self._descriptor = self._descriptor, None
        if descriptor is not None:
            descriptor.close()  # which releases the lock


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
        f"{study_settings.SQLITE_BUSY_TIMEOUT_SECONDS:g} s, please try again once erase_fit_memory has finished"
    )


@cleanup_context
def study_lock_for_erasing(study_file_path):
    """Hold the study's lock exclusively, once no fit holds it, or raise after the storage's busy timeout.

    A lock file that cannot be made (a folder this user may not write,
    without one) leaves the study unlocked: nothing in such a folder can be
    removed or written either. Anything else that keeps the lock from being
    held (a directory at its path, say) refuses the erasure.
    """
    lock = StudyLock(study_file_path)
    try:
        try:
            acquired = lock.acquire(exclusive=True)
        except FileNotFoundError:
            acquired = None
        except OSError as error:
            raise _refused("erase", study_file_path, error) from error
        if acquired is False:
            raise TimeoutError(
                f"cannot erase the study file {study_file_path}: a fit of this study still runs after "
                f"{study_settings.SQLITE_BUSY_TIMEOUT_SECONDS:g} s, please try again once it has finished"
            )
        yield lock if acquired else None
    finally:
        lock.release()


@cleanup_context
def study_creation_lock(study_file_path):
    """Hold an exclusive lock on the directory of a study file while it is opened.

    Opening a study file that does not exist yet creates its tables and
    stamps its schema version; two processes doing that at once fail on each
    other's tables or version row. A process opening a study file holds this
    lock for that short time, so the first creation happens once and the
    others then open a complete file. Locking the directory leaves no lock
    file behind. It is waited for as long as the storage waits for a locked
    file.
    """
    folder = os.path.dirname(study_file_path) or os.curdir
    descriptor = None
    try:
        descriptor = _opened_folder(folder)
        if descriptor is not None:
            waited = study_settings.SQLITE_BUSY_TIMEOUT_SECONDS
            if not _waited_for(lambda: _flocked(descriptor, fcntl.LOCK_EX), waited):
                raise TimeoutError(
                    f"cannot open the study file {study_file_path}: another fit kept its folder {folder} "
                    f"locked while opening a study for {waited:g} s, please try again once it has finished"
                )
        yield
    finally:
        if descriptor is not None:
            descriptor.close()  # which releases the lock


def _opened_folder(folder):
    """The folder's descriptor to lock, or None where it cannot be opened (or no POSIX locks are here)."""
    if fcntl is None:
        return None
    try:
        return LockDescriptor(os.open(folder, os.O_RDONLY))
    except OSError:
        return None


class HeldStudy:
    """The study of a fit, and the lock that holds it against erasure (see :func:`study_held_by_fit`)."""

    __slots__ = ("study", "_lock", "_identity")

    def __init__(self, study, lock):
        self.study = study
        self._lock = lock
        self._identity = None
        if lock is not None:
            self._identity = getattr(connector_of(study), "identity", None) or file_identity(lock.study_path)

    def kept(self):
        """Whether the study file is still the one the fit opened."""
        return self._lock is None or file_identity(self._lock.study_path) == self._identity

    def check_kept(self):
        """Raise when the study file is no longer the one the fit opened: the fit's trials went with it."""
        if not self.kept():
            raise self._gone_error()

    def _gone_error(self):
        """The error of a fit whose study file went, once the fit's connections are closed.

        Closed, they leave no log of the fit beside a file moved onto the path.
        """
        close_leaving_no_log(self.study)
        lock = self._lock
        how = "" if lock.held() else f" (its lock file {lock.path} was removed or replaced, so nothing waited for the fit)"
        error = RuntimeError(gone_message(lock.study_path, how))
        error.study_file_gone = True
        return error


@cleanup_context
def study_held_by_fit(path, open_study):
    """The study that ``open_study()`` opens in the file at ``path``, held against erasure for a whole fit.

    A folder or file that cannot be written is refused before the study is
    opened, and a write the storage fails later is raised naming the study
    file and the cause. A fit that finds no other fit of the study running
    first marks failed the trials that fits which died left running. A fit
    whose study file is removed or replaced raises instead of returning, at
    the latest when its next trial would begin. A ``path`` of None is a
    storage other than a file, held by nothing. However the fit ends, the
    connections of the studies it opened are closed before it does, and
    before the lock lets an erasure in.
    """
    opened = []
    open_study = stoppable(open_study)

    def open_held_study():
        opened.append(open_study())
        return opened[-1]

    if path is None:
        try:
            yield HeldStudy(open_held_study(), None)
        finally:
            _close_connections_of(opened)
        return
    check_study_file_writable(path)
    lock = StudyLock(path)
    with storage_failures_explained(path):
        try:
            with connections_closed_at_the_end(path):
                try:
                    alone = lock.hold_for_fit()
                    study = open_held_study()
                    if alone:
                        fail_trials_left_running(study)
                        if not lock.share():  # erased in between: a new study
                            study = open_held_study()
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
                    _close_connections_of(opened)
        finally:
            lock.release()


def _close_connections_of(studies):
    for study in studies:
        close_study_connections(study)
