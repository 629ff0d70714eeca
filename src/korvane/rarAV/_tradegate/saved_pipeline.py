"""The saved pipeline file: written whole or not at all, read back with a restricted unpickler.

The file is read once into memory and loaded from those bytes with the
bounded unpickler, and the loaded pieces are then checked against what the
final fit writes, before the caller sees any of them. A write goes through a
temporary file, so the path always holds a whole file.
"""

import errno
import numbers
import os
import pickle
import stat
import tempfile

import numpy as np

from korvane import _kernels
from korvane.rarAV._tradegate.admitted_objects import Refused, admitted_pieces, excerpt, quoted, shape_text
from korvane.rarAV._tradegate.bounded_unpickler import load_bounded

SAVED_MODELS_DIRECTORY = "../rarAV/saved_models/"

# Far above any pipeline the search can make (a KNN imputer keeps its training
# rows), far below what would strain the machine.
MAX_PIPELINE_BYTES = 256 * 1024 * 1024

PIPELINE_KEYS = (
    "imputer",
    "no_variance_cols",
    "features_to_drop_from_multicollinearity",
    "scaler",
    "select_top_k_features",
    "classifier_model",
)


def pipeline_path(study_name):
    return SAVED_MODELS_DIRECTORY + str(study_name) + ".pkl"


class _MissingEntry(pickle.UnpicklingError, KeyError):
    """A pipeline dictionary without one of the six entries: a KeyError whose argument is the key, as a mapping's."""

    def __init__(self, key, path=None):
        super().__init__(key)
        self.path = path

    def __str__(self):
        return (
            f'The saved entry classifier pipeline {self.path} has no "{self.args[0]}" entry; '
            "please fit the classifier again"
        )


# ------------------------------------------------------------------ what the pieces must be


def _is_fitted(estimator):
    return any(name.endswith("_") and not name.startswith("__") for name in vars(estimator))


def _fitted_piece(value, kinds):
    if type(value) not in kinds:
        return f"a {type(value).__name__}"
    if not _is_fitted(value):
        return f"an unfitted {type(value).__name__}"
    return None


def _column_positions(value, admitted):
    if isinstance(value, np.ndarray):
        if value.ndim == 1 and value.dtype.kind in "iu" and (value >= 0).all():
            return None
        return f"an array of shape {shape_text(value.shape)} and type {excerpt(str(value.dtype))}"
    if type(value) is list and all(isinstance(item, numbers.Integral) and item >= 0 for item in value):
        return None
    return f"a {type(value).__name__}"


def _column_labels(value, admitted):
    if type(value) is list and all(isinstance(item, (str, numbers.Number)) for item in value):
        return None
    return f"a {type(value).__name__}"


def _selector(value, admitted):
    problem = _fitted_piece(value, (admitted.selector,))
    if problem is None and not any(vars(value).get("score_func") is f for f in admitted.score_functions):
        return "a selector with another score function"
    return problem


def _ensemble(value, admitted):
    problem = _fitted_piece(value, admitted.ensembles)
    if problem is not None:
        return problem
    attributes = vars(value)
    inner = type(attributes.get("estimator"))
    members = attributes.get("estimators_")
    if inner not in admitted.inner_models:
        return f"a {type(value).__name__} over a {inner.__name__}"
    if type(members) is not list or not members or any(type(member) is not inner for member in members):
        return f"a {type(value).__name__} whose fitted members are not all {inner.__name__} models"
    # Each member costs a prediction: listing one many times would make a small file slow to use.
    if len(set(map(id, members))) != len(members):
        return f"a {type(value).__name__} that lists one fitted member more than once"
    return None


_FIELD_CHECKS = {
    "imputer": lambda value, admitted: _fitted_piece(value, admitted.imputers),
    "no_variance_cols": _column_positions,
    "features_to_drop_from_multicollinearity": _column_labels,
    "scaler": lambda value, admitted: _fitted_piece(value, (admitted.scaler,)),
    "select_top_k_features": _selector,
    "classifier_model": _ensemble,
}


def _parallel_jobs(value, admitted):
    """The first ``n_jobs`` other than None or 1 of any estimator inside ``value``, else None."""
    seen = set()
    pending = [value]
    while pending:
        item = pending.pop()
        if id(item) in seen:
            continue
        seen.add(id(item))
        if type(item) in admitted.estimators:
            attributes = vars(item)
            jobs = attributes.get("n_jobs")
            if not (jobs is None or (isinstance(jobs, numbers.Integral) and jobs == 1)):
                return jobs
            pending.extend(attributes.values())
        elif type(item) in (list, tuple):
            pending.extend(item)
        elif type(item) is dict:
            pending.extend(item.values())
    return None


def _checked_pipeline(loaded, path, admitted):
    if type(loaded) is not dict:
        raise pickle.UnpicklingError(
            f"The saved entry classifier pipeline {path} holds a {type(loaded).__name__}, not a pipeline dictionary"
        )
    missing = [key for key in PIPELINE_KEYS if key not in loaded]
    if missing:
        raise _MissingEntry(missing[0], path)
    for key, check in _FIELD_CHECKS.items():
        problem = check(loaded[key], admitted)
        if problem is not None:
            raise pickle.UnpicklingError(
                f'The saved entry classifier pipeline {path} holds {problem} as "{key}", '
                "which the final fit does not write; please fit the classifier again"
            )
        jobs = _parallel_jobs(loaded[key], admitted)
        if jobs is not None:
            raise pickle.UnpicklingError(
                f'The saved entry classifier pipeline {path} asks for n_jobs={quoted(jobs)} in "{key}"; '
                "a saved pipeline predicts in the calling process only"
            )
    return loaded


# ------------------------------------------------------------------ reading and writing


def load_pipeline(path):
    """The pipeline dictionary saved at ``path``; ``pickle.UnpicklingError`` for anything else.

    Only a regular file of at most ``MAX_PIPELINE_BYTES`` is read; it is
    opened without blocking, so a pipe put at the path cannot stall the caller.
    """
    descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    with os.fdopen(descriptor, "rb") as handle:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode):
            raise pickle.UnpicklingError(f"The saved entry classifier pipeline {path} is not a regular file")
        if status.st_size > MAX_PIPELINE_BYTES:
            raise pickle.UnpicklingError(
                f"The saved entry classifier pipeline {path} has {status.st_size} bytes, "
                f"more than the {MAX_PIPELINE_BYTES} a saved pipeline may have"
            )
        admitted = admitted_pieces()
        try:
            # Read once, up to the size checked (a file that grows meanwhile is cut there), and loaded
            # from those bytes; no other reference to them is kept, so they go once scanned.
            loaded = load_bounded(handle.read(status.st_size), admitted)
        except Refused as refusal:
            raise pickle.UnpicklingError(f"The saved entry classifier pipeline {path} is refused: {refusal}") from None
        except Exception as error:
            raise pickle.UnpicklingError(
                f"The saved entry classifier pipeline {path} cannot be read "
                f"({type(error).__name__}: {excerpt(str(error), 200)}); "
                "it may be truncated or not a saved pipeline, please fit the classifier again"
            ) from error
    return _checked_pipeline(loaded, path, admitted)


def _umask():
    """The process's umask, read without changing it where the system says it."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    # Set and put back in one native call, where no other thread or stop comes between.
    return _kernels.process_umask()


def _mode_for(path):
    """The mode the file at ``path`` has, or the one a plain open would give a new file."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode) & 0o777
    except FileNotFoundError:
        return 0o666 & ~_umask()


def _link_target(path):
    """The file that opening ``path`` would reach: symbolic links followed, even to a missing file."""
    target = path
    for _ in range(40):  # the system's own limit on links in a row
        try:
            link = os.readlink(target)
        except OSError as error:
            if error.errno in (errno.EINVAL, errno.ENOENT):  # not a link, or nothing there
                return target
            raise
        target = os.path.join(os.path.dirname(target), link)
    raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), path)


def _check_writable(target, path):
    """Refuse, as opening the file for writing would, a file this process may not write."""
    try:
        # Opened without truncating or blocking, only to ask the system.
        descriptor = os.open(target, os.O_WRONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except PermissionError as error:
        raise PermissionError(error.errno, f"{error.strerror}; the saved pipeline is left as it was", path) from None
    except OSError:
        return  # missing, a folder, a pipe without a reader: left to the write, as before
    os.close(descriptor)


def save_pipeline(path, pipeline):
    """Write ``pipeline`` to ``path`` through a temporary file, so the path holds a whole file always.

    The directory is created when missing; a failed write leaves the previous
    file in place. A symbolic link at ``path`` keeps pointing at the file it
    names, which receives the pipeline; a file this process may not write is
    refused with ``PermissionError``. The file keeps the mode of the one it
    replaces, and a new file gets the mode a plain open would give it, so that
    whoever could read the pipeline before still can. An error of the write
    itself (a full disk, the file size limit) names ``path``.
    """
    directory = os.path.dirname(path) or "."
    os.makedirs(directory, exist_ok=True)
    target = _link_target(path)
    target_directory = os.path.dirname(target) or "."
    if target != path and not os.path.isdir(target_directory):
        raise FileNotFoundError(
            errno.ENOENT, f"{os.strerror(errno.ENOENT)}: the link points to {target}, whose folder is missing", path
        )
    _check_writable(target, path)
    descriptor, temporary = tempfile.mkstemp(dir=target_directory, prefix=".", suffix=".pkl.partial")
    try:
        try:
            with os.fdopen(descriptor, "wb") as handle:
                os.fchmod(descriptor, _mode_for(target))
                pickle.dump(pipeline, handle)
                handle.flush()
                os.fsync(handle.fileno())
        except OSError as error:
            if error.filename is not None or error.errno is None:
                raise
            raise OSError(error.errno, error.strerror, path) from error
        os.replace(temporary, target)
    except BaseException:
        try:
            os.remove(temporary)
        except FileNotFoundError:
            pass
        raise
