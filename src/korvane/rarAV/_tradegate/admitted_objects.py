"""What a saved pipeline file may name, call and set: the objects it can reach and their checks.

Only the globals that the six fitted pieces need to rebuild are admitted,
each named exactly (not whole modules: numpy.memmap writes files, and library
functions can serve as gadgets). The interpreter's own unpickler runs the
file, so the file is never handed an admitted global itself, only an object
of this module that stands for it, and every object the file can put on the
unpickler's stack is then a plain value (a number, a text, bytes, None), a
container, a numpy scalar, or one of these:

- ``Named``: a class or function the file may pass as an argument or keep as
  an attribute, but neither call nor give a state. The loader puts the real
  object in its place once the load is over.
- ``Rebuild``: one of the few numpy and pickle helpers that rebuild arrays,
  data types, scalars and bytes, bound to the load it serves. Each accepts
  exactly the arguments that the pickle protocols write for it, and none of
  them builds from a few bytes an object much larger than the bytes that
  describe it.
- ``ArrayShell`` and ``DtypeShell``: the array or data type a helper began,
  whose state the file sets once. The state is checked before numpy reads it
  (numpy trusts an object array's element list to be as long as its shape
  says, and a data type to be the one its state describes).
- an estimator the loader made (see ``bounded_unpickler``), whose state is
  checked before it is set.

None of them takes a state but through a method of this system, so the
unpickler's default way of setting a state (writing into ``__dict__`` or
setting attributes one by one) never reaches a helper or a class, and no file
can change what a later load calls.
"""

import codecs
import functools
import pickle
import threading
import types

import numpy as np

try:
    from numpy._core import multiarray, numeric
except ImportError:  # numpy 1.x
    from numpy.core import multiarray, numeric

# A scikit-learn version is a short text, such as "1.9.1" or "1.10.0.dev0".
MAX_VERSION_LENGTH = 32

# The nesting an array adds around what it holds: its state tuple, the element
# list in it, and the array itself. A numeric array nests as deep as its state.
ARRAY_NESTING = 3


class Refused(pickle.UnpicklingError):
    """A file that asks for something a saved pipeline never holds; the message says what."""


# ------------------------------------------------------------------ what the file is handed


class Named:
    """An admitted class or function as the file sees it: passed around, never called, never given a state."""

    __slots__ = ("obj",)

    def __init__(self, obj):
        self.obj = obj

    def __call__(self, *args):
        raise Refused(f"it calls {called(self.obj)}")

    def __setstate__(self, state):
        raise Refused(f"it sets the state of a {type(self.obj).__name__}")


class Rebuild(functools.partial):
    """A helper the file may call; the file cannot set its state (a partial's function and arguments)."""

    __slots__ = ()

    def __setstate__(self, state):
        raise Refused("it sets the state of a function")


class Allowance:
    """What a load may still make live, in bytes as the loader estimates them; charged for all the file makes."""

    __slots__ = ("left",)

    def __init__(self, left):
        self.left = left

    def charge(self, amount):
        self.left -= amount
        if self.left < 0:
            raise Refused("it builds far more than a pipeline of its size")


# ``running.load``: the load running in this thread, which the helpers charge and which makes estimators.
running = threading.local()


def set_running_load(load):
    previous = getattr(running, "load", None)
    running.load = load
    return previous


_NDARRAY = Named(np.ndarray)
_SHELL_ARGUMENTS = ((0,), b"b")


class ArrayShell(functools.partial):
    """``_reconstruct(ndarray, (0,), b"b")``: an array the file builds, given once a state checked before numpy reads it.

    The file calls the class itself, which keeps the arguments without running
    anything; they are checked with the state, or when the load ends for a
    shell never given one. ``array`` is the array (None until its state is
    set); ``nesting`` how deep it nests, what it holds included.
    """

    # Kept in the partial's own dictionary, which a file cannot reach: the state is set here.
    array = numeric = None
    nesting = ARRAY_NESTING

    def __call__(self, *args):
        raise Refused("it calls ndarray")

    def check_arguments(self):
        if self.func is not _NDARRAY or self.args != _SHELL_ARGUMENTS or self.keywords:
            raise Refused("it builds an array shell other than numpy's empty one")

    def empty(self):
        """The array of a shell never given its state: numpy's empty one, as pickle leaves it."""
        self.check_arguments()
        return _empty_array(_ndarray, _EMPTY_SHAPE, b"b")

    def __setstate__(self, state):
        # Written out for the common case, numeric data in bytes, as cheaply as it can be: numpy
        # itself refuses a shape it cannot take, or bytes of another length than the shape and type
        # say (before allocating anything), and whatever it refuses goes the long way, which says
        # why in this system's words.
        if type(state) is tuple and self.array is None:
            try:
                version, shape, dtype, fortran, data = state
            except ValueError:
                pass
            else:
                if (
                    type(dtype) is DtypeShell
                    and dtype.numeric is not None
                    and type(data) is bytes
                    and type(shape) is tuple
                    and (
                        type(shape[0]) is int and type(shape[1]) is int
                        if len(shape) == 2
                        else _INTEGERS.issuperset(map(type, shape))
                    )
                    and self.func is _NDARRAY
                    and self.args == _SHELL_ARGUMENTS
                    and not self.keywords
                ):
                    allowance = dtype.allowance
                    allowance.left -= len(data)
                    if allowance.left < 0:
                        allowance.charge(0)
                    array = _empty_array(_ndarray, _EMPTY_SHAPE, b"b")
                    try:
                        array.__setstate__((version, shape, dtype.numeric, fortran, data))
                    except Exception:
                        allowance.left += len(data)
                    else:
                        dtype.in_use = True
                        # Numeric: the array holds nothing to finish when the load ends.
                        self.array = self.numeric = array
                        return
        self._set_state(state)

    def _set_state(self, state):
        self.check_arguments()
        if type(state) is not tuple or len(state) != 5:
            raise Refused("it gives an array a state numpy does not write")
        version, shape, dtype, fortran, data = state
        dtype = real_dtype(dtype)
        _check_array_state(shape, dtype, data)
        if self.array is not None:
            raise Refused("it sets the state of an array twice")
        load = running.load
        if type(data) is list:
            # Arrays in the list become the arrays themselves; the list's own nesting counts.
            data, nesting = load.array_elements(data)
        else:
            load.allowance.charge(len(data))
            nesting = ARRAY_NESTING
        array = _empty_array(_ndarray, _EMPTY_SHAPE, b"b")
        array.__setstate__((version, shape, dtype, fortran, data))
        self.array, self.nesting = array, nesting
        if type(data) is not list:
            self.numeric = array

    @classmethod
    def complete(cls, array):
        shell = cls(_NDARRAY, *_SHELL_ARGUMENTS)
        shell.array, shell.nesting = array, ARRAY_NESTING
        return shell


_empty_array = multiarray._reconstruct
_scalar = multiarray.scalar
_ndarray = np.ndarray
_INTEGERS = frozenset((int,))

_EMPTY_SHAPE = (0,)


class DtypeShell:
    """A numpy data type the file names: a new one, given once a state numpy itself writes for it, before any use.

    ``numeric`` is the type when it holds no objects (no state numpy writes changes that), else None;
    ``allowance`` that of the load, which the arrays of this type are charged to.
    """

    __slots__ = ("dtype", "numeric", "allowance", "state_set", "in_use")

    def __init__(self, dtype, allowance):
        self.dtype, self.allowance, self.state_set, self.in_use = dtype, allowance, False, False
        self.numeric = None if dtype.hasobject else dtype

    def __call__(self, *args):
        raise Refused("it calls dtype")

    def __setstate__(self, state):
        dtype = self.dtype
        # Only the state numpy itself writes for this type (in either byte order).
        if state not in (dtype.__reduce__()[2], dtype.newbyteorder().__reduce__()[2]):
            raise Refused(f"it gives the numpy data type {dtype} a state numpy does not write")
        if self.in_use:
            raise Refused("it fills a dtype after putting it inside another container")
        if self.state_set:
            raise Refused(f"it sets the state of the numpy data type {dtype} twice")
        dtype.__setstate__(state)
        self.state_set = True


def real_dtype(value):
    if type(value) is DtypeShell:
        value.in_use = True
        return value.dtype
    return value


# ------------------------------------------------------------------ the helpers a file may call
#
# Each accepts exactly the arguments that the pickle protocols write for it.
# What they make besides the data they are given is charged with the opcode
# that calls them.


def _array_from_buffer(buffer, dtype, shape, order, axis_order=None):
    """An array over bytes of the file (protocol 5); the shape must match the bytes' length."""
    dtype = real_dtype(dtype)
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
    # Complete already: a later state for it is refused as a second one. A view of the file's bytes.
    return ArrayShell.complete(numeric._frombuffer(buffer, dtype, shape, order, *extra))


def scalar(dtype, data=None):
    """A numpy scalar: the object itself for the object type, else its bytes."""
    dtype = real_dtype(dtype)
    if not isinstance(dtype, np.dtype) or not (
        (type(data) is bytes and len(data) == dtype.itemsize) or dtype == _OBJECT
    ):
        raise Refused("it rebuilds a numpy scalar with unexpected arguments")
    return _scalar(dtype, data)


def _data_type(spec, align=False, copy=True):
    """A plain numpy data type; no fitted piece holds records or sub-arrays."""
    if type(spec) is not str or len(spec) > 32 or type(align) is not bool:
        raise Refused("it names a numpy data type with unexpected arguments")
    # Always a new object: its state is set next, and the shared one must not change.
    dtype = np.dtype(spec, align, True)
    if dtype.fields is not None or dtype.subdtype is not None:
        raise Refused(f"it names the numpy data type {dtype}, which no fitted piece holds")
    return DtypeShell(dtype, running.load.allowance)


def _object_of(cls, base, state):
    """``copyreg._reconstructor`` of protocols 0 and 1, for the admitted estimators only."""
    load = running.load
    estimator = load.admitted.estimator_class(cls)
    if estimator is None or base is not load.admitted.object or state is not None:
        raise Refused("it rebuilds an object other than an estimator of a pipeline")
    return load.new_estimator(estimator)


def _latin1_bytes(text, encoding):
    """Bytes as protocols 0 to 2 write them: a text encoded in latin-1."""
    if type(text) is not str or encoding != "latin1":
        raise Refused("it encodes bytes other than the way pickle does")
    running.load.allowance.charge(len(text))
    return codecs.encode(text, "latin1")


def _empty_bytes():
    return b""


# ------------------------------------------------------------------ checks and messages


def _is_shape(value):
    if type(value) is not tuple:
        return False
    for n in value:
        if type(n) is not int or n < 0:
            return False
    return True


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
    if len(shape) == 1:
        return shape[0] if shape[0] <= available else None
    if 0 in shape:
        return 0
    count = 1
    for n in shape:
        if n > available:
            return None
        count *= n
        if count > available:
            return None
    return count


def _check_array_state(shape, dtype, data):
    if not _is_shape(shape) or not isinstance(dtype, np.dtype):
        raise Refused("it gives an array a shape or type numpy does not write")
    kind = type(data)
    if dtype.hasobject:
        whole = kind is list and dtype == _OBJECT and _element_count(shape, len(data)) == len(data)
    elif kind is bytes or kind is bytearray:
        count = _element_count(shape, len(data))
        whole = count is not None and count * dtype.itemsize == len(data)
    else:
        whole = False
    if not whole:
        raise Refused(f"it gives an array of shape {shape_text(shape)} and type {dtype} data of another size")


_OBJECT = np.dtype(object)


def check_estimator_state(estimator, state, methods):
    """Refuse a state that the estimator's own ``__setstate__`` should not see.

    Its keys were checked to be texts when the dictionary was filled; none may
    name a method of the estimator's class, which the attribute would hide
    from everything that looks the method up on the object (pickle's and copy's
    hooks, scikit-learn's clone and tags, predict itself).
    """
    name = estimator.__name__
    if type(state) is not dict:
        raise Refused(f"it gives a {name} a state other than its attributes")
    version = state.get("_sklearn_version", "")
    if type(version) is not str or len(version) > MAX_VERSION_LENGTH:
        raise Refused(f"it gives a {name} a scikit-learn version that is not a short text")
    if not methods.isdisjoint(state):
        hidden = min(methods.intersection(state))
        raise Refused(f"it gives a {name} an attribute {excerpt(hidden)} that hides its method")


# ------------------------------------------------------------------ the admitted globals


class _Admitted:
    """The globals a file may name, as the stand-ins it is handed, and the kinds of fitted pieces."""

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
        self.ndarray = _NDARRAY
        self.object = Named(object)
        # The stand-ins are shared by every load: none can be changed by a file.
        stand_ins = {obj: Named(obj) for obj in self.estimators | set(self.score_functions)}
        self._estimator_of = {id(stand_ins[cls]): (stand_ins[cls], cls) for cls in self.estimators}
        # Named where the running libraries define them, so files written by
        # this installation always load.
        named = {(obj.__module__, obj.__qualname__): stand_in for obj, stand_in in stand_ins.items()}
        # Arrays, types and scalars under numpy's present and former core
        # package names; protocols 0 to 2 name the builtins and copyreg by
        # their old names, and write bytes through the codec function.
        # The helpers are shared by every load too: none keeps anything of a load.
        helpers = {helper: Rebuild(helper) for helper in (scalar, _array_from_buffer, _data_type, _latin1_bytes,
                                                          _empty_bytes, _object_of)}
        for core in ("numpy._core", "numpy.core"):
            named[(core + ".multiarray", "_reconstruct")] = ArrayShell
            named[(core + ".multiarray", "scalar")] = helpers[scalar]
            named[(core + ".numeric", "_frombuffer")] = helpers[_array_from_buffer]
        named[("numpy", "ndarray")] = self.ndarray
        named[("numpy", "dtype")] = helpers[_data_type]
        named[("_codecs", "encode")] = helpers[_latin1_bytes]
        for builtins_module, copyreg_module in (("builtins", "copyreg"), ("__builtin__", "copy_reg")):
            named[(builtins_module, "object")] = self.object
            named[(builtins_module, "bytes")] = helpers[_empty_bytes]
            named[(copyreg_module, "_reconstructor")] = helpers[_object_of]
        self.globals = named

    def estimator_class(self, obj):
        """The estimator class ``obj`` stands for, or None; by identity: the object comes from the file."""
        entry = self._estimator_of.get(id(obj))
        return entry[1] if entry is not None and entry[0] is obj else None


@functools.cache
def admitted_pieces():
    return _Admitted()
