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

What a load builds is bounded too, not only what it reads: a few bytes of
memo references can name one large object many times, so every opcode is
charged an estimate of the memory it makes live, against an allowance in
proportion to the file. Containers may nest only so deep (the interpreter
hashes, compares and frees some of them recursively), dictionary keys are
plain text, and classes are compared by identity, before anything of the
file's making is hashed. A container is filled only before it is put into
another, as pickle writes them, so the depth recorded when it is put there
is final.
"""

import codecs
import errno
import functools
import itertools
import numbers
import os
import pickle
import stat
import struct
import sys
import tempfile
import threading
import types

import numpy as np

try:
    from numpy._core import multiarray, numeric
except ImportError:  # numpy 1.x
    from numpy.core import multiarray, numeric

SAVED_MODELS_DIRECTORY = "../rarAV/saved_models/"

# Far above any pipeline the search can make (a KNN imputer keeps its training
# rows), far below what would strain the machine.
MAX_PIPELINE_BYTES = 256 * 1024 * 1024

# What a load may make live, as the unpickler estimates it: this many bytes
# for each byte read so far, with a floor for small files. Pipelines of every
# model kind are estimated at 40 to 55 bytes a byte (they hold many small
# objects: a fitted member takes some 400 bytes of file), and use about half that.
BUILT_BYTES_PER_FILE_BYTE = 96
BUILT_BYTES_FLOOR = 8 * 1024 * 1024

# Pipelines nest about ten containers deep.
MAX_NESTING = 100

# A scikit-learn version is a short text, such as "1.9.1" or "1.10.0.dev0".
MAX_VERSION_LENGTH = 32

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
    if _element_count(shape, len(buffer) // max(dtype.itemsize, 1)) is None:
        raise _Refused(f"it rebuilds an array of shape {_shape_text(shape)} from {len(buffer)} bytes")
    # numpy 1.x takes no axis order (and never writes one).
    extra = () if axis_order is None else (axis_order,)
    return numeric._frombuffer(buffer, dtype, shape, order, *extra)


def _scalar(dtype, data=None):
    """A numpy scalar: the object itself for the object type, else its bytes."""
    if not isinstance(dtype, np.dtype) or not (
        dtype == np.dtype(object) or (type(data) is bytes and len(data) == dtype.itemsize)
    ):
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
    if not admitted.is_estimator_class(cls) or base is not object or state is not None:
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


def _shape_text(shape):
    # Huge extents are not written out: their decimal digits alone would take long.
    if len(shape) <= 64 and all(n < 2**63 for n in shape):
        return _excerpt(str(shape))
    return f"({len(shape)} extents, some beyond any array)"


def _excerpt(text, limit=60):
    """``text`` from a file as a message quotes it: cut when long, so that the file cannot fill the message."""
    return text if len(text) <= limit else f"{text[:limit]}... ({len(text)} characters)"


def _quoted(value):
    """A value of the file as a message shows it: a plain number or text by its (cut) repr, else by its type."""
    short_int = type(value) is int and value.bit_length() < 64
    if short_int or isinstance(value, (type(None), bool, float, str, np.generic)):
        return _excerpt(repr(value))
    return f"<{type(value).__name__}>"


def _called(obj):
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
            for func in (_array_shell, _array_from_buffer, _scalar, _data_type, object_of, _latin1_bytes, _empty_bytes)
        }
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

    def is_estimator_class(self, cls):
        # By identity: the object comes from the file and must not be hashed.
        return any(cls is estimator for estimator in self.estimators)


@functools.cache
def _admitted():
    return _Admitted()


def _check_state(inst, state, admitted):
    """Refuse a state that the object's own ``__setstate__`` should not see."""
    if type(inst) in admitted.estimators:
        if type(state) is not dict:
            raise _Refused(f"it gives a {type(inst).__name__} a state other than its attributes")
        version = state.get("_sklearn_version", "")
        if type(version) is not str or len(version) > MAX_VERSION_LENGTH:
            raise _Refused(f"it gives a {type(inst).__name__} a scikit-learn version that is not a short text")
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
    if dtype.hasobject:
        whole = dtype == np.dtype(object) and type(data) is list and _element_count(shape, len(data)) == len(data)
    elif type(data) in (bytes, bytearray):
        count = _element_count(shape, len(data))
        whole = count is not None and count * dtype.itemsize == len(data)
    else:
        whole = False
    if not whole:
        raise _Refused(f"it gives an array of shape {_shape_text(shape)} and type {dtype} data of another size")


# The memory an opcode may make live besides what it reads from the file: a
# reference on the stack, a new container (with its place in the nesting
# record), a memo entry, a dictionary entry, a new mark.
_REFERENCE = 16
_CONTAINER = 200
_MEMO_ENTRY = 128
_DICT_ENTRY = 128
_MARK = 128

# How each opcode is charged besides its fixed amount: its new object's own
# size, or what its handler counted (items added, a state set).
_FIXED, _SIZED, _COUNTED = 0, 1, 2


def _opcode_charges():
    charges = [_REFERENCE] * 256
    kinds = [_FIXED] * 256
    for op in (pickle.PUT, pickle.BINPUT, pickle.LONG_BINPUT, pickle.MEMOIZE):
        charges[op[0]] = _MEMO_ENTRY
    for op in (pickle.EMPTY_LIST, pickle.EMPTY_DICT, pickle.TUPLE, pickle.TUPLE1, pickle.TUPLE2, pickle.TUPLE3,
               pickle.LIST, pickle.DICT):
        charges[op[0]] = _CONTAINER
    charges[pickle.MARK[0]] = _MARK
    charges[pickle.SETITEM[0]] = _DICT_ENTRY
    for op in (
        # Not BININT1: integers below 256 are shared, not made.
        pickle.INT, pickle.BININT, pickle.BININT2, pickle.LONG, pickle.LONG1, pickle.LONG4,
        pickle.FLOAT, pickle.BINFLOAT, pickle.STRING, pickle.BINSTRING, pickle.SHORT_BINSTRING,
        pickle.UNICODE, pickle.BINUNICODE, pickle.SHORT_BINUNICODE, pickle.BINUNICODE8,
        pickle.BINBYTES, pickle.SHORT_BINBYTES, pickle.BINBYTES8, pickle.BYTEARRAY8,
        pickle.TUPLE, pickle.TUPLE1, pickle.TUPLE2, pickle.TUPLE3, pickle.LIST, pickle.DICT,
        pickle.REDUCE, pickle.NEWOBJ,
    ):
        kinds[op[0]] = _SIZED
    for op in (pickle.APPENDS, pickle.SETITEMS, pickle.BUILD):
        kinds[op[0]] = _COUNTED
    return tuple(charges), tuple(kinds)


_OPCODE_CHARGES, _OPCODE_KINDS = _opcode_charges()


_NO_DEPTH = itertools.repeat(0)


def _too_deep():
    return _Refused(f"it nests containers more than {MAX_NESTING} deep")


# The most frequent opcodes of a pipeline file, so their depth record is written out here.


def _load_tuple1(self):
    stack = self.stack
    made = (stack[-1],)
    stack[-1] = made
    self._open.discard(id(made[0]))
    depth = self._depths.get(id(made[0]), 0) + 1
    if depth > MAX_NESTING:
        raise _too_deep()
    self._depths[id(made)] = depth


def _short_tuple_loader(count):
    def load(self):
        stack = self.stack
        made = tuple(stack[-count:])
        if len(made) != count:
            raise pickle.UnpicklingError("the stack holds too few items for a tuple")
        stack[-count:] = [made]
        self._open.difference_update(map(id, made))
        depth = max(map(self._depths.get, map(id, made), _NO_DEPTH)) + 1
        if depth > MAX_NESTING:
            raise _too_deep()
        self._depths[id(made)] = depth

    return load


class _PipelineUnpickler(pickle._Unpickler):
    """The pure-Python unpickler, so that every call and every state the file asks for is seen first."""

    dispatch = dict(pickle._Unpickler.dispatch)

    def __init__(self, reader, admitted):
        super().__init__(reader)
        self._reader = reader
        self._admitted = admitted
        self._counted = 0
        # id -> nesting depth of the containers built so far (absent: 0). An id
        # freed and reused can only make a depth seem larger, never smaller:
        # tuples write theirs when made, the others only raise it.
        self._depths = {}
        # ids of the lists, dictionaries and objects made and not yet put into
        # another container: only these may still be filled.
        self._open = set()
        # id -> array whose state the file has yet to set; each is set once, and an
        # object array may hold only arrays already complete, so its depth is exact.
        self._shells = {}

    def load(self):
        # The standard loop, with each opcode charged before the next is read.
        self._unframer = pickle._Unframer(self._file_read, self._file_readline)
        self.read = self._unframer.read
        self.readinto = self._unframer.readinto
        self.readline = self._unframer.readline
        self.metastack = []
        self.stack = []
        self.append = self.stack.append
        self.proto = 0
        read = self.read
        dispatch = self.dispatch
        charges, kinds = _OPCODE_CHARGES, _OPCODE_KINDS
        sizeof = sys.getsizeof
        reader = self._reader
        left, credited = BUILT_BYTES_FLOOR, 0
        try:
            while True:
                key = read(1)
                if not key:
                    raise EOFError
                code = key[0]
                dispatch[code](self)
                left -= charges[code]
                kind = kinds[code]
                if kind:
                    if kind == _SIZED:
                        left -= sizeof(self.stack[-1])
                    else:
                        left -= self._counted
                        self._counted = 0
                if left < 0:
                    # The allowance grows with what has been read, so a costly start stops early.
                    left += BUILT_BYTES_PER_FILE_BYTE * (reader.consumed - credited)
                    credited = reader.consumed
                    if left < 0:
                        raise _Refused("it builds far more than a pipeline of its size")
        except pickle._Stop as stop:
            return stop.value

    def _count(self, amount):
        self._counted += amount

    # ---------------------------------------------------------------- nesting

    def _depth(self, value):
        return self._depths.get(id(value), 0)

    def _deepest(self, values):
        return max(map(self._depths.get, map(id, values), _NO_DEPTH), default=0)

    def _put_into(self, container, items):
        """Seal ``items`` inside ``container``, which must itself not sit inside another yet."""
        self._open.difference_update(map(id, items))
        if id(container) not in self._open:
            raise _Refused(f"it fills a {type(container).__name__} after putting it inside another container")

    def _holds(self, container, inner_depth):
        """Record that ``container``, new or not, holds values nested ``inner_depth`` deep."""
        depth = self._depths.get(id(container))
        if depth is None or depth <= inner_depth:
            if inner_depth >= MAX_NESTING:
                raise _too_deep()
            self._depths[id(container)] = inner_depth + 1

    @staticmethod
    def _check_key(key):
        if type(key) is not str:
            raise _Refused(f"it uses a {type(key).__name__} as a dictionary key")

    # ---------------------------------------------------------------- containers

    def _made(self, container):
        self.append(container)
        self._open.add(id(container))

    def _load_empty_list(self):
        self._made([])

    def _load_empty_dict(self):
        self._made({})

    def _load_tuple(self):
        made = tuple(self.pop_mark())
        self.append(made)
        self._open.difference_update(map(id, made))
        self._holds(made, self._deepest(made))

    def _load_list(self):
        items = self.pop_mark()
        self._open.difference_update(map(id, items))
        self._made(items)
        self._holds(items, self._deepest(items))

    def _load_dict(self):
        items = self.pop_mark()
        keys = items[0::2]
        for key in keys:
            self._check_key(key)
        loaded = dict(zip(keys, items[1::2]))
        self._open.difference_update(map(id, items))
        self._made(loaded)
        self._holds(loaded, self._deepest(items[1::2]))

    def _target(self, kind):
        target = self.stack[-1]
        if type(target) is not kind:
            raise _Refused(f"it adds items to a {type(target).__name__}")
        return target

    def _load_append(self):
        value = self.stack.pop()
        target = self._target(list)
        self._put_into(target, (value,))
        target.append(value)
        self._holds(target, self._depth(value))

    def _load_appends(self):
        items = self.pop_mark()
        self._count(_REFERENCE * len(items))
        target = self._target(list)
        self._put_into(target, items)
        target.extend(items)
        self._holds(target, self._deepest(items))

    def _load_setitem(self):
        value = self.stack.pop()
        key = self.stack.pop()
        self._check_key(key)
        target = self._target(dict)
        self._put_into(target, (value,))
        target[key] = value
        self._holds(target, self._depth(value))

    def _load_setitems(self):
        items = self.pop_mark()
        self._count(_DICT_ENTRY * (len(items) // 2))
        target = self._target(dict)
        self._put_into(target, items)
        for index in range(0, len(items) - 1, 2):
            self._check_key(items[index])
            target[items[index]] = items[index + 1]
        self._holds(target, self._deepest(items[1::2]))

    # ---------------------------------------------------------------- objects

    def find_class(self, module, name):
        try:
            return self._admitted.globals[(module, name)]
        except KeyError:
            named = f"{_excerpt(module)}.{_excerpt(name)}"
            raise _Refused(f"it refers to {named}, which a saved pipeline may not load") from None

    def _load_reduce(self):
        args = self.stack.pop()
        func = self.stack[-1]
        if self._admitted.callables.get(id(func)) is not func or type(args) is not tuple:
            raise _Refused(f"it calls {_called(func)}")
        self.stack[-1] = made = func(*args)
        if func is _array_shell:
            self._shells[id(made)] = made
        if func is not _scalar:  # a new object, whose state may come next (an object scalar is the object itself)
            self._open.add(id(made))

    def _load_newobj(self):
        args = self.stack.pop()
        cls = self.stack.pop()
        if not self._admitted.is_estimator_class(cls) or type(args) is not tuple or len(args):
            raise _Refused(f"it makes a {_called(cls)}")
        self._made(cls.__new__(cls))

    def _load_build(self):
        inst, state = self.stack[-2], self.stack[-1]
        _check_state(inst, state, self._admitted)
        self._put_into(inst, (state,))
        if type(inst) is np.ndarray:
            self._build_array(inst, state)
        else:
            self._count(_DICT_ENTRY * len(state) if type(state) is dict else _CONTAINER)
        pickle._Unpickler.load_build(self)
        self._holds(inst, self._depth(state))

    def _build_array(self, inst, state):
        if self._shells.pop(id(inst), None) is not inst:
            raise _Refused("it sets the state of an array twice")
        _, shape, dtype, _, data = state
        if type(data) is list:
            # Freeing arrays nested in arrays recurses in C, so their depth must be exact.
            if any(type(item) is np.ndarray and id(item) in self._shells for item in data):
                raise _Refused("it puts an array into another before the inner one is complete")
            self._count(_REFERENCE * len(data))
        else:
            self._count(len(data))

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
    dispatch[pickle.TUPLE[0]] = _load_tuple
    dispatch[pickle.TUPLE1[0]] = _load_tuple1
    dispatch[pickle.TUPLE2[0]] = _short_tuple_loader(2)
    dispatch[pickle.TUPLE3[0]] = _short_tuple_loader(3)
    dispatch[pickle.LIST[0]] = _load_list
    dispatch[pickle.EMPTY_LIST[0]] = _load_empty_list
    dispatch[pickle.EMPTY_DICT[0]] = _load_empty_dict
    dispatch[pickle.DICT[0]] = _load_dict
    dispatch[pickle.APPEND[0]] = _load_append
    dispatch[pickle.APPENDS[0]] = _load_appends
    dispatch[pickle.SETITEM[0]] = _load_setitem
    dispatch[pickle.SETITEMS[0]] = _load_setitems
    # No pipeline holds a set, and sets hash what they hold.
    for _opcode in (pickle.INST, pickle.OBJ, pickle.NEWOBJ_EX, pickle.EMPTY_SET, pickle.ADDITEMS, pickle.FROZENSET):
        dispatch[_opcode[0]] = _refuse_opcode
    del _opcode


class _BoundedReader:
    """Reads of an open file that end at the size it had when it was checked."""

    def __init__(self, handle, size):
        self._handle = handle
        self._left = size
        self.consumed = 0

    def _take(self, data):
        self._left -= len(data)
        self.consumed += len(data)
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
        return f"an array of shape {_shape_text(value.shape)} and type {value.dtype}"
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
                f'The saved entry classifier pipeline {path} asks for n_jobs={_quoted(jobs)} in "{key}"; '
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
                f"The saved entry classifier pipeline {path} cannot be read "
                f"({type(error).__name__}: {_excerpt(str(error), 200)}); "
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
