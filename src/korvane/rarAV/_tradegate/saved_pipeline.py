"""The saved pipeline file: written whole or not at all, read back with a restricted unpickler.

The file sits at a path relative to the working directory and is read at every
factor construction, so loading must neither run what the file holds nor let
it cost more than its own size. Only the globals that the six fitted pieces
need to rebuild are admitted, each named exactly (not whole modules:
numpy.memmap writes files, and library functions can serve as gadgets), and
only the few numpy helpers that rebuild arrays, data types and scalars may be
called, with their arguments checked: none of them builds from a few bytes an
object much larger than the bytes that describe it. An array's state is
checked before numpy reads it (numpy trusts an object array's element list to
be as long as its shape says). The loaded pieces are then checked against what
the final fit writes, before the caller sees any of them.
"""

import codecs
import functools
import math
import numbers
import os
import pickle
import stat
import struct
import tempfile
import threading

import numpy as np

try:
    from numpy._core import multiarray, numeric
except ImportError:  # numpy 1.x
    from numpy.core import multiarray, numeric

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


class _Refused(pickle.UnpicklingError):
    """A file that asks for something a saved pipeline never holds; the message says what."""


# ------------------------------------------------------------------ what a file may build
#
# The callables a file may name. Each accepts exactly the arguments that the
# pickle protocols write for it.


def _array_shell(subtype, shape, code):
    """An empty array whose state (shape, type, data) the file sets next."""
    if subtype is not np.ndarray or type(shape) is not tuple or shape != (0,) or code != b"b":
        raise _Refused("it builds an array shell other than numpy's empty one")
    return multiarray._reconstruct(np.ndarray, (0,), b"b")


def _array_from_buffer(buffer, dtype, shape, order, axis_order=None):
    """An array over bytes of the file (protocol 5); the shape must match the bytes' length."""
    if (
        type(buffer) not in (bytes, bytearray)
        or not isinstance(dtype, np.dtype)
        or dtype.hasobject
        or not _is_shape(shape)
        or order not in ("C", "F", "A", "K")
        or not (axis_order is None or _is_shape(axis_order))
    ):
        raise _Refused("it rebuilds an array from a buffer with unexpected arguments")
    # numpy 1.x takes no axis order (and never writes one).
    extra = () if axis_order is None else (axis_order,)
    return numeric._frombuffer(buffer, dtype, shape, order, *extra)


def _scalar(dtype, data=None):
    """A numpy scalar: the object itself for the object type, else its bytes."""
    if not isinstance(dtype, np.dtype) or not (dtype == np.dtype(object) or type(data) is bytes):
        raise _Refused("it rebuilds a numpy scalar with unexpected arguments")
    return multiarray.scalar(dtype, data)


def _data_type(spec, align=False, copy=True):
    """A plain numpy data type; no fitted piece holds records or sub-arrays."""
    if type(spec) is not str or len(spec) > 32 or type(align) is not bool:
        raise _Refused("it names a numpy data type with unexpected arguments")
    # Always a new object: its state is set next, and the shared one must not change.
    dtype = np.dtype(spec, align, True)
    if dtype.fields is not None or dtype.subdtype is not None:
        raise _Refused(f"it names the numpy data type {dtype}, which no fitted piece holds")
    return dtype


def _object_of(cls, base, state, admitted):
    """``copyreg._reconstructor`` of protocols 0 and 1, for the admitted estimators only."""
    if cls not in admitted.estimators or base is not object or state is not None:
        raise _Refused("it rebuilds an object other than an estimator of a pipeline")
    return object.__new__(cls)


def _latin1_bytes(text, encoding):
    """Bytes as protocols 0 to 2 write them: a text encoded in latin-1."""
    if type(text) is not str or encoding != "latin1":
        raise _Refused("it encodes bytes other than the way pickle does")
    return codecs.encode(text, "latin1")


def _empty_bytes():
    return b""


def _is_shape(value):
    return type(value) is tuple and all(type(n) is int and n >= 0 for n in value)


class _Admitted:
    """The globals a file may name, which of them it may call, and what it may make with NEWOBJ."""

    def __init__(self):
        from sklearn.ensemble import AdaBoostClassifier, BaggingClassifier
        from sklearn.feature_selection import SelectPercentile, f_classif, mutual_info_classif
        from sklearn.impute import KNNImputer, SimpleImputer
        from sklearn.linear_model import LogisticRegression
        from sklearn.naive_bayes import ComplementNB, GaussianNB
        from sklearn.preprocessing import MinMaxScaler

        self.imputers = (SimpleImputer, KNNImputer)
        self.scaler = MinMaxScaler
        self.selector = SelectPercentile
        self.score_functions = (f_classif, mutual_info_classif)
        self.ensembles = (AdaBoostClassifier, BaggingClassifier)
        self.inner_models = (LogisticRegression, ComplementNB, GaussianNB)
        self.estimators = frozenset(
            self.imputers + (MinMaxScaler, SelectPercentile) + self.ensembles + self.inner_models
        )
        object_of = functools.partial(_object_of, admitted=self)
        self.callables = (_array_shell, _array_from_buffer, _scalar, _data_type, object_of, _latin1_bytes, _empty_bytes)
        # Named where the running libraries define them, so files written by
        # this installation always load.
        named = {(obj.__module__, obj.__qualname__): obj for obj in self.estimators | set(self.score_functions)}
        # Arrays, types and scalars under numpy's present and former core
        # package names; protocols 0 to 2 name the builtins and copyreg by
        # their old names, and write bytes through the codec function.
        for core in ("numpy._core", "numpy.core"):
            named[(core + ".multiarray", "_reconstruct")] = _array_shell
            named[(core + ".multiarray", "scalar")] = _scalar
            named[(core + ".numeric", "_frombuffer")] = _array_from_buffer
        named[("numpy", "ndarray")] = np.ndarray
        named[("numpy", "dtype")] = _data_type
        named[("_codecs", "encode")] = _latin1_bytes
        for builtins_module, copyreg_module in (("builtins", "copyreg"), ("__builtin__", "copy_reg")):
            named[(builtins_module, "object")] = object
            named[(builtins_module, "bytes")] = _empty_bytes
            named[(copyreg_module, "_reconstructor")] = object_of
        self.globals = named


@functools.cache
def _admitted():
    return _Admitted()


def _check_state(inst, state, admitted):
    """Refuse a state that the object's own ``__setstate__`` should not see."""
    if type(inst) in admitted.estimators:
        if type(state) is not dict:
            raise _Refused(f"it gives a {type(inst).__name__} a state other than its attributes")
    elif type(inst) is np.ndarray:
        _check_array_state(state)
    elif isinstance(inst, np.dtype):
        # Only the state numpy itself writes for this type (in either byte order).
        if state not in (inst.__reduce__()[2], inst.newbyteorder().__reduce__()[2]):
            raise _Refused(f"it gives the numpy data type {inst} a state numpy does not write")
    else:
        raise _Refused(f"it sets the state of a {type(inst).__name__}")


def _check_array_state(state):
    if type(state) is not tuple or len(state) != 5:
        raise _Refused("it gives an array a state numpy does not write")
    _, shape, dtype, _, data = state
    if not _is_shape(shape) or not isinstance(dtype, np.dtype):
        raise _Refused("it gives an array a shape or type numpy does not write")
    count = math.prod(shape)
    if dtype.hasobject:
        whole = dtype == np.dtype(object) and type(data) is list and len(data) == count
    else:
        whole = type(data) in (bytes, bytearray) and len(data) == count * dtype.itemsize
    if not whole:
        raise _Refused(f"it gives an array of shape {shape} and type {dtype} data of another size")


class _PipelineUnpickler(pickle._Unpickler):
    """The pure-Python unpickler, so that every call and every state the file asks for is seen first."""

    dispatch = dict(pickle._Unpickler.dispatch)

    def __init__(self, reader, admitted):
        super().__init__(reader)
        self._admitted = admitted

    def find_class(self, module, name):
        try:
            return self._admitted.globals[(module, name)]
        except KeyError:
            raise _Refused(f"it refers to {module}.{name}, which a saved pipeline may not load") from None

    def _load_reduce(self):
        args = self.stack.pop()
        func = self.stack[-1]
        if not any(func is allowed for allowed in self._admitted.callables) or type(args) is not tuple:
            raise _Refused(f"it calls {getattr(func, '__qualname__', type(func).__name__)}")
        self.stack[-1] = func(*args)

    def _load_newobj(self):
        args = self.stack.pop()
        cls = self.stack.pop()
        if cls not in self._admitted.estimators or args != ():
            raise _Refused(f"it makes a {getattr(cls, '__qualname__', type(cls).__name__)}")
        self.append(cls.__new__(cls))

    def _load_build(self):
        _check_state(self.stack[-2], self.stack[-1], self._admitted)
        pickle._Unpickler.load_build(self)

    def _load_bytearray8(self):
        # Read before allocating: the stated length is only a claim of the file.
        (size,) = struct.unpack("<Q", self.read(8))
        data = self.read(size)
        if len(data) != size:
            raise pickle.UnpicklingError("pickle data was truncated")
        self.append(bytearray(data))

    def _refuse_opcode(self):
        raise _Refused("it makes an object by a way no pipeline is written")

    dispatch[pickle.REDUCE[0]] = _load_reduce
    dispatch[pickle.NEWOBJ[0]] = _load_newobj
    dispatch[pickle.BUILD[0]] = _load_build
    dispatch[pickle.BYTEARRAY8[0]] = _load_bytearray8
    for _opcode in (pickle.INST, pickle.OBJ, pickle.NEWOBJ_EX):
        dispatch[_opcode[0]] = _refuse_opcode
    del _opcode


class _BoundedReader:
    """Reads of an open file that end at the size it had when it was checked."""

    def __init__(self, handle, size):
        self._handle = handle
        self._left = size

    def _take(self, data):
        self._left -= len(data)
        return data

    def read(self, size=-1):
        return self._take(self._handle.read(self._left if size < 0 else min(size, self._left)))

    def readline(self):
        return self._take(self._handle.readline(self._left))


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
        return f"an array of shape {value.shape} and type {value.dtype}"
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
        raise KeyError(missing[0])
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
                f'The saved entry classifier pipeline {path} asks for n_jobs={jobs!r} in "{key}"; '
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
        admitted = _admitted()
        try:
            loaded = _PipelineUnpickler(_BoundedReader(handle, status.st_size), admitted).load()
        except _Refused as refusal:
            raise pickle.UnpicklingError(f"The saved entry classifier pipeline {path} is refused: {refusal}") from None
        except Exception as error:
            raise pickle.UnpicklingError(
                f"The saved entry classifier pipeline {path} cannot be read ({type(error).__name__}: {error}); "
                "it may be truncated or not a saved pipeline, please fit the classifier again"
            ) from error
    return _checked_pipeline(loaded, path, admitted)


_umask_lock = threading.Lock()


def _umask():
    """The process's umask, read without changing it where the system says it."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8)
    except (OSError, ValueError):
        pass
    with _umask_lock:
        mask = os.umask(0o077)
        os.umask(mask)
    return mask


def _mode_for(path):
    """The mode the file at ``path`` has, or the one a plain open would give a new file."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode) & 0o777
    except FileNotFoundError:
        return 0o666 & ~_umask()


def save_pipeline(path, pipeline):
    """Write ``pipeline`` to ``path`` through a temporary file, so the path holds a whole file always.

    The directory is created when missing; a failed write leaves the previous
    file in place. The file keeps the mode of the one it replaces, and a new
    file gets the mode a plain open would give it, so that whoever could read
    the pipeline before still can.
    """
    directory = os.path.dirname(path) or "."
    os.makedirs(directory, exist_ok=True)
    descriptor, temporary = tempfile.mkstemp(dir=directory, prefix=".", suffix=".pkl.partial")
    try:
        with os.fdopen(descriptor, "wb") as handle:
            os.fchmod(descriptor, _mode_for(path))
            pickle.dump(pipeline, handle)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.remove(temporary)
        except FileNotFoundError:
            pass
        raise
