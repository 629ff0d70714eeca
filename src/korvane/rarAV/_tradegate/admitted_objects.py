"""What a saved pipeline file may name, call and set: the admitted globals and their checks.

Only the globals that the six fitted pieces need to rebuild are admitted,
each named exactly (not whole modules: numpy.memmap writes files, and library
functions can serve as gadgets), and only the few numpy helpers that rebuild
arrays, data types and scalars may be called, with their arguments checked:
none of them builds from a few bytes an object much larger than the bytes
that describe it. An array's state is checked before numpy reads it (numpy
trusts an object array's element list to be as long as its shape says).
"""

import codecs
import functools
import pickle
import types

import numpy as np

try:
    from numpy._core import multiarray, numeric
except ImportError:  # numpy 1.x
    from numpy.core import multiarray, numeric

# A scikit-learn version is a short text, such as "1.9.1" or "1.10.0.dev0".
MAX_VERSION_LENGTH = 32


class Refused(pickle.UnpicklingError):
    """A file that asks for something a saved pipeline never holds; the message says what."""


# ------------------------------------------------------------------ what a file may build
#
# The callables a file may name. Each accepts exactly the arguments that the
# pickle protocols write for it.


def array_shell(subtype, shape, code):
    """An empty array whose state (shape, type, data) the file sets next."""
    if subtype is not np.ndarray or type(shape) is not tuple or shape != (0,) or code != b"b":
        raise Refused("it builds an array shell other than numpy's empty one")
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
        raise Refused("it rebuilds an array from a buffer with unexpected arguments")
    if _element_count(shape, len(buffer) // max(dtype.itemsize, 1)) is None:
        raise Refused(f"it rebuilds an array of shape {shape_text(shape)} from {len(buffer)} bytes")
    # numpy 1.x takes no axis order (and never writes one).
    extra = () if axis_order is None else (axis_order,)
    return numeric._frombuffer(buffer, dtype, shape, order, *extra)


def scalar(dtype, data=None):
    """A numpy scalar: the object itself for the object type, else its bytes."""
    if not isinstance(dtype, np.dtype) or not (
        dtype == np.dtype(object) or (type(data) is bytes and len(data) == dtype.itemsize)
    ):
        raise Refused("it rebuilds a numpy scalar with unexpected arguments")
    return multiarray.scalar(dtype, data)


def _data_type(spec, align=False, copy=True):
    """A plain numpy data type; no fitted piece holds records or sub-arrays."""
    if type(spec) is not str or len(spec) > 32 or type(align) is not bool:
        raise Refused("it names a numpy data type with unexpected arguments")
    # Always a new object: its state is set next, and the shared one must not change.
    dtype = np.dtype(spec, align, True)
    if dtype.fields is not None or dtype.subdtype is not None:
        raise Refused(f"it names the numpy data type {dtype}, which no fitted piece holds")
    return dtype


def _object_of(cls, base, state, admitted):
    """``copyreg._reconstructor`` of protocols 0 and 1, for the admitted estimators only."""
    if not admitted.is_estimator_class(cls) or base is not object or state is not None:
        raise Refused("it rebuilds an object other than an estimator of a pipeline")
    return object.__new__(cls)


def _latin1_bytes(text, encoding):
    """Bytes as protocols 0 to 2 write them: a text encoded in latin-1."""
    if type(text) is not str or encoding != "latin1":
        raise Refused("it encodes bytes other than the way pickle does")
    return codecs.encode(text, "latin1")


def _empty_bytes():
    return b""


def _is_shape(value):
    return type(value) is tuple and all(type(n) is int and n >= 0 for n in value)


def shape_text(shape):
    # Huge extents are not written out: their decimal digits alone would take long.
    if len(shape) <= 64 and all(n < 2**63 for n in shape):
        return excerpt(str(shape))
    return f"({len(shape)} extents, some beyond any array)"


def excerpt(text, limit=60):
    """``text`` from a file as a message quotes it: cut when long, so that the file cannot fill the message."""
    return text if len(text) <= limit else f"{text[:limit]}... ({len(text)} characters)"


def quoted(value):
    """A value of the file as a message shows it: a plain number or text by its (cut) repr, else by its type."""
    short_int = type(value) is int and value.bit_length() < 64
    if short_int or isinstance(value, (type(None), bool, float, str, np.generic)):
        return excerpt(repr(value))
    return f"<{type(value).__name__}>"


def called(obj):
    # Only a class or a function has a name the file cannot set; anything else is named by its type.
    return obj.__qualname__ if isinstance(obj, (type, types.FunctionType)) else type(obj).__name__


def _element_count(shape, available):
    """The element count of ``shape`` when it is at most ``available``, else None.

    Each extent is compared with what is there before any is multiplied: a
    shape may hold huge integers whose product alone would take minutes.
    """
    if any(n == 0 for n in shape):
        return 0
    count = 1
    for n in shape:
        if n > available:
            return None
        count *= n
        if count > available:
            return None
    return count


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
        self.callables = {
            id(func): func
            for func in (array_shell, _array_from_buffer, scalar, _data_type, object_of, _latin1_bytes, _empty_bytes)
        }
        # Named where the running libraries define them, so files written by
        # this installation always load.
        named = {(obj.__module__, obj.__qualname__): obj for obj in self.estimators | set(self.score_functions)}
        # Arrays, types and scalars under numpy's present and former core
        # package names; protocols 0 to 2 name the builtins and copyreg by
        # their old names, and write bytes through the codec function.
        for core in ("numpy._core", "numpy.core"):
            named[(core + ".multiarray", "_reconstruct")] = array_shell
            named[(core + ".multiarray", "scalar")] = scalar
            named[(core + ".numeric", "_frombuffer")] = _array_from_buffer
        named[("numpy", "ndarray")] = np.ndarray
        named[("numpy", "dtype")] = _data_type
        named[("_codecs", "encode")] = _latin1_bytes
        for builtins_module, copyreg_module in (("builtins", "copyreg"), ("__builtin__", "copy_reg")):
            named[(builtins_module, "object")] = object
            named[(builtins_module, "bytes")] = _empty_bytes
            named[(copyreg_module, "_reconstructor")] = object_of
        self.globals = named

    def is_estimator_class(self, cls):
        # By identity: the object comes from the file and must not be hashed.
        return any(cls is estimator for estimator in self.estimators)


@functools.cache
def admitted_pieces():
    return _Admitted()


def check_state(inst, state, admitted):
    """Refuse a state that the object's own ``__setstate__`` should not see."""
    if type(inst) in admitted.estimators:
        if type(state) is not dict:
            raise Refused(f"it gives a {type(inst).__name__} a state other than its attributes")
        version = state.get("_sklearn_version", "")
        if type(version) is not str or len(version) > MAX_VERSION_LENGTH:
            raise Refused(f"it gives a {type(inst).__name__} a scikit-learn version that is not a short text")
    elif type(inst) is np.ndarray:
        _check_array_state(state)
    elif isinstance(inst, np.dtype):
        # Only the state numpy itself writes for this type (in either byte order).
        if state not in (inst.__reduce__()[2], inst.newbyteorder().__reduce__()[2]):
            raise Refused(f"it gives the numpy data type {inst} a state numpy does not write")
    else:
        raise Refused(f"it sets the state of a {type(inst).__name__}")


def _check_array_state(state):
    if type(state) is not tuple or len(state) != 5:
        raise Refused("it gives an array a state numpy does not write")
    _, shape, dtype, _, data = state
    if not _is_shape(shape) or not isinstance(dtype, np.dtype):
        raise Refused("it gives an array a shape or type numpy does not write")
    if dtype.hasobject:
        whole = dtype == np.dtype(object) and type(data) is list and _element_count(shape, len(data)) == len(data)
    elif type(data) in (bytes, bytearray):
        count = _element_count(shape, len(data))
        whole = count is not None and count * dtype.itemsize == len(data)
    else:
        whole = False
    if not whole:
        raise Refused(f"it gives an array of shape {shape_text(shape)} and type {dtype} data of another size")

