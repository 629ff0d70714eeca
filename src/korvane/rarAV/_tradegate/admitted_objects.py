"""What a saved pipeline file may name, call and set: the admitted objects and their checks.

Only the globals that the six fitted pieces need to rebuild are admitted,
each named exactly (not whole modules: numpy.memmap writes files, and library
functions can serve as gadgets). A file gets the admitted classes and score
functions themselves, to make estimators of or to keep as settings, but calls
only the few rebuild helpers here, which stand for the numpy and pickle
functions that rebuild arrays, data types, scalars and bytes. Each helper
accepts only the arguments the pickle protocols write for it, checks them
before it builds anything, and builds one object.

The states a file sets are checked here too, before the object's own
``__setstate__`` sees them: an array's state against its shape and type
(numpy trusts an object array's element list to be as long as its shape says),
a data type's against the state numpy itself writes for it, and an
estimator's attributes against the methods they would hide and the settings
that scikit-learn only ever fills with a name or a number.

Every value of the file is compared by its exact type first and then by its
value (a state with the one numpy writes by ``same``), so that no numpy array
given in its place answers a comparison for itself, elementwise.

Messages quote what the file holds cut short and with control characters
escaped (``excerpt``), so that a refusal printed in a terminal shows the
file's bytes instead of acting on the terminal. The texts the load hands on to
what may print them (an estimator's version, which scikit-learn quotes in its
warning; a data type's name, which numpy quotes in its own) are admitted only
of characters that print as they are.
"""

import codecs
import functools
import pickle
import re
import types

import numpy as np

try:
    from numpy._core import multiarray, numeric
except ImportError:  # numpy 1.x
    from numpy.core import multiarray, numeric

# A scikit-learn version is a short text, such as "1.9.1", "1.10.0.dev0" or "1.8.dev0+git-a1b2".
MAX_VERSION_LENGTH = 32
_VERSION = re.compile(r"[0-9A-Za-z.+-]+")
_UNVERSIONED = object()  # files of scikit-learn before 0.18 hold no version

# numpy names the data types it writes by a kind and a size, such as "f8", "U12" or "M8".
_DATA_TYPE_NAME = re.compile(r"[A-Za-z][0-9A-Za-z]*")

# The units numpy writes for datetime64 and timedelta64 types, and its largest count of them (a C int).
_TIME_UNITS = frozenset(b"Y M W D h m s ms us ns ps fs as generic".split())
_MAX_TIME_COUNT = 2**31 - 1

# What a text of numpy's type U may hold: any code point, lone surrogates included, as numpy takes them.
_MAX_CODE_POINT = 0x10FFFF
_CODE_UNIT = np.dtype(np.uint32)

# numpy takes at most this many axes (32 before numpy 2).
MAX_AXES = 64

_OBJECT = np.dtype(object)


class Refused(pickle.UnpicklingError):
    """A file that asks for something a saved pipeline never holds; the message says what."""


# ------------------------------------------------------------------ the rebuild helpers


def _rebuild(refusal, awaits_state=False, reads=None):
    """Marks a helper the file may call with ``refusal``, its refusal of arguments pickle never writes for it.

    ``arguments`` is the fewest and the most arguments it takes, which a call
    is checked against before anything unpacks them. ``awaits_state`` marks a
    helper whose object pickle gives its state next, once. ``reads`` gives,
    for a call's arguments (not yet checked), the bytes of them the call
    reads whatever it makes (None: no more than it makes): a file may hand one
    buffer or text from its memo to every call, so a call is charged what it
    reads as well as what it makes.
    """

    def mark(func):
        taken = func.__code__.co_argcount
        func.refusal, func.arguments = refusal, (taken - len(func.__defaults__ or ()), taken)
        func.awaits_state, func.reads = awaits_state, reads
        return func

    return mark


def _buffer_reads(buffer, dtype, *_):
    # A view over the buffer costs nothing to make; the code-point check of a text buffer reads it whole.
    return len(buffer) if type(buffer) in (bytes, bytearray) and _is_text(dtype) else 0


def _scalar_reads(dtype, data):
    # The code-point check and numpy both read the whole data, and the scalar can be far smaller: numpy drops
    # a text's trailing NULs and keeps most texts in a byte a character.
    return len(data) if type(data) is bytes else 0


@_rebuild("it builds an array shell other than numpy's empty one", awaits_state=True)
def array_shell(subtype, shape, code):
    """``_reconstruct(ndarray, (0,), b"b")``: the empty array whose state the file sets next."""
    # Exactly (0,): an int extent, not False or 0.0 (which pickle.loads refuses) nor an array equal to 0.
    if subtype is not np.ndarray or type(shape) is not tuple or len(shape) != 1 or type(shape[0]) is not int:
        raise Refused(array_shell.refusal)
    if shape[0] != 0 or type(code) is not bytes or code != b"b":
        raise Refused(array_shell.refusal)
    return multiarray._reconstruct(np.ndarray, (0,), b"b")


@_rebuild("it rebuilds an array from a buffer with unexpected arguments", reads=_buffer_reads)
def array_from_buffer(buffer, dtype, shape, order, axis_order=None):
    """An array over bytes of the file (protocol 5); the shape must match the bytes' length."""
    if (
        type(buffer) not in (bytes, bytearray)
        or not isinstance(dtype, np.dtype)
        or dtype.hasobject
        or not _is_shape(shape)
        or type(order) is not str
        or order not in ("C", "F", "A", "K")
        or not (axis_order is None or _is_shape(axis_order))
    ):
        raise Refused(array_from_buffer.refusal)
    if _element_count(shape, len(buffer) // max(dtype.itemsize, 1)) is None:
        raise Refused(f"it rebuilds an array of shape {shape_text(shape)} from {len(buffer)} bytes")
    check_text_data(dtype, buffer)
    # numpy 1.x takes no axis order (and never writes one).
    extra = () if axis_order is None else (axis_order,)
    return numeric._frombuffer(buffer, dtype, shape, order, *extra)


@_rebuild("it rebuilds a numpy scalar with unexpected arguments", reads=_scalar_reads)
def scalar(dtype, data):
    """A numpy scalar of its bytes. No numpy scalar holds objects (indexing an object array gives the object)."""
    if not isinstance(dtype, np.dtype) or dtype.hasobject or type(data) is not bytes or len(data) != dtype.itemsize:
        raise Refused(scalar.refusal)
    check_text_data(dtype, data)
    return multiarray.scalar(dtype, data)


@_rebuild("it names a numpy data type with unexpected arguments", awaits_state=True)
def data_type(spec, align=False, copy=True):
    """A new plain numpy data type, whose state the file may set once; no fitted piece holds records or sub-arrays."""
    if type(spec) is not str or len(spec) > 32 or type(align) is not bool or type(copy) is not bool:
        raise Refused(data_type.refusal)
    if not _DATA_TYPE_NAME.fullmatch(spec):
        raise Refused(f"it names a numpy data type {excerpt(spec)}, which is not a name numpy writes")
    try:
        # Always a new object: its state may be set next, and the shared one must not change.
        dtype = np.dtype(spec, align, True)
    except (TypeError, ValueError, OverflowError):
        raise Refused(f"it names a numpy data type {excerpt(spec)}, which numpy does not know") from None
    if dtype.fields is not None or dtype.subdtype is not None:
        raise Refused(f"it names the numpy data type {excerpt(str(dtype))}, which no fitted piece holds")
    return dtype


@_rebuild("it encodes bytes other than the way pickle does")
def _latin1_bytes(text, encoding):
    """Bytes as protocols 0 to 2 write them: a text encoded in latin-1."""
    if type(text) is not str or not same(encoding, "latin1"):
        raise Refused(_latin1_bytes.refusal)
    return codecs.encode(text, "latin1")


@_rebuild("it makes bytes other than the way pickle does")
def _empty_bytes():
    return b""


# ------------------------------------------------------------------ checks


def same(value, expected):
    """Whether the file's ``value`` is ``expected``: of its exact type, and equal, a tuple item by item.

    ``expected`` is built of plain numbers, texts, bytes, None and tuples, so
    that no comparison here is one that the file's object answers itself (a
    numpy array compares elementwise, and is true when all of its items are).
    """
    kind = type(expected)
    if type(value) is not kind:
        return False
    if kind is not tuple:
        return value == expected
    if len(value) != len(expected):
        return False
    for item, want in zip(value, expected):
        # Items compared here, but for tuples: one call a tuple.
        if type(item) is not type(want) or not (same(item, want) if type(want) is tuple else item == want):
            return False
    return True


def _is_shape(value):
    # The length first: a file may give a tuple of millions of references to one huge integer.
    if type(value) is not tuple or len(value) > MAX_AXES:
        return False
    for n in value:
        if type(n) is not int or n < 0:
            return False
    return True


def _element_count(shape, available):
    """The element count of ``shape`` when it is at most ``available``, else None.

    Each extent is compared with what is there before any is multiplied: a
    shape may hold huge integers whose product alone would take minutes.
    """
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


def array_state_bytes(state, awaiting_state):
    """What setting ``state`` on an array makes live, once checked to be a state numpy writes, whole.

    The element count is checked for every type, those of no bytes included:
    an array of 10**18 empty texts takes no data, but a set over it never
    ends. ``awaiting_state`` holds the arrays begun and not yet given their
    state, which an object array may not hold.
    """
    if type(state) is not tuple or len(state) != 5:
        raise Refused("it gives an array a state numpy does not write")
    version, shape, dtype, fortran_order, data = state
    if type(version) is not int or version != 1 or type(fortran_order) is not bool:
        raise Refused("it gives an array a state numpy does not write")
    if type(shape) is not tuple or not isinstance(dtype, np.dtype):
        raise Refused("it gives an array a shape or type numpy does not write")
    kind = type(data)
    if len(shape) > MAX_AXES:
        whole = False  # no array has so many axes
    elif not _is_shape(shape):
        raise Refused("it gives an array a shape or type numpy does not write")
    elif dtype.hasobject:
        whole = kind is list and dtype == _OBJECT and _element_count(shape, len(data)) == len(data)
    elif kind is bytes or kind is bytearray:
        count = _element_count(shape, len(data))
        whole = count is not None and count * dtype.itemsize == len(data)
    else:
        whole = False
    if not whole:
        raise Refused(
            f"it gives an array of shape {shape_text(shape)} and type {excerpt(str(dtype))} data of another size"
        )
    if kind is list:
        if any(type(item) is np.ndarray and id(item) in awaiting_state for item in data):
            raise Refused("it puts an array into another before the inner one is complete")
        return 8 * len(data)
    if dtype.kind == "U":  # only text has code points to check, and most arrays are numbers
        check_text_data(dtype, data)
    return len(data)


def check_text_data(dtype, data):
    """Refuse numpy text (type U) of code units beyond Unicode, whose texts would break the interpreter's own.

    numpy reads the code units as they are into each ``str`` it hands out,
    where a unit above U+10FFFF makes string operations fail or worse. The
    units are read in the type's byte order; a trailing part of a unit (a
    buffer numpy will refuse for its length) is left to numpy. Its caller
    pays for what it reads (``_buffer_reads``, ``_scalar_reads``, an array's
    state by its size).
    """
    if not _is_text(dtype) or len(data) < _CODE_UNIT.itemsize:
        return
    units = np.frombuffer(data, _CODE_UNIT.newbyteorder(dtype.byteorder), len(data) // _CODE_UNIT.itemsize)
    if units.max() > _MAX_CODE_POINT:
        raise Refused(f"it gives numpy text of type {excerpt(str(dtype))} a character beyond U+10FFFF")


def _is_text(dtype):
    return isinstance(dtype, np.dtype) and dtype.kind == "U"


def check_data_type_state(dtype, state):
    """Only the state numpy itself writes for this type, in either byte order: the item size stays.

    A datetime64 or timedelta64 type is named without its unit, which its
    state carries: the state must be the one numpy writes for that unit.
    """
    if not any(same(state, written) for written in _states_numpy_writes(dtype, state)):
        raise Refused(f"it gives the numpy data type {excerpt(str(dtype))} a state numpy does not write")


def _states_numpy_writes(dtype, state):
    written = _time_type_of(dtype, state) if dtype.kind in "mM" else dtype
    reduced = () if written is None else written.__reduce__()
    # numpy writes no state for some types (its variable-width text), nor swaps their byte order.
    if len(reduced) < 3:
        return ()
    return reduced[2], written.newbyteorder().__reduce__()[2]


def _time_type_of(dtype, state):
    """The datetime64 or timedelta64 type of the unit and count ``state`` gives, as numpy writes them; else None.

    numpy writes ``(..., (None, (unit, count, 1, 1)))``; the state is then
    compared whole with what numpy writes for the type this gives.
    """
    if type(state) is not tuple or len(state) != 9 or type(state[8]) is not tuple or len(state[8]) != 2:
        return None
    unit_and_count = state[8][1]
    if type(unit_and_count) is not tuple or len(unit_and_count) != 4:
        return None
    unit, count = unit_and_count[:2]
    if type(unit) is not bytes or unit not in _TIME_UNITS or type(count) is not int:
        return None
    if not 1 <= count <= _MAX_TIME_COUNT:
        return None
    return np.dtype(f"{dtype.char}8[{count}{unit.decode('ascii')}]")


# Settings that scikit-learn fills with a name or a number, or with a callable
# it calls at predict: a file may give only the names and numbers.
NAMED_SETTINGS = {
    "KNNImputer": ("metric", "weights"),
    "SimpleImputer": ("strategy",),
}
_NAMES_AND_NUMBERS = (str, int, float, bool)


def check_estimator_state(cls, state, methods):
    """Refuse a state that the estimator's own ``__setstate__`` should not see.

    Its keys are texts (the scan refuses any other key); none may name a
    method of the estimator's class, which the attribute would hide from
    everything that looks the method up on the object (pickle's and copy's
    hooks, scikit-learn's clone and tags, predict itself).
    """
    name = cls.__name__
    if type(state) is not dict:
        raise Refused(f"it gives a {name} a state other than its attributes")
    # scikit-learn quotes the version in a warning when it is not its own: only one that prints as it is.
    # The length first: a file may give a long text to every estimator.
    version = state.get("_sklearn_version", _UNVERSIONED)
    if version is not _UNVERSIONED and (
        type(version) is not str or len(version) > MAX_VERSION_LENGTH or _VERSION.fullmatch(version) is None
    ):
        raise Refused(
            f"it gives a {name} a scikit-learn version that is not a short text of digits, letters, dots, + and -"
        )
    if not methods.isdisjoint(state):
        hidden = min(methods.intersection(state))
        raise Refused(f"it gives a {name} an attribute {excerpt(hidden)} that hides its method")
    for setting in NAMED_SETTINGS.get(name, ()):
        value = state.get(setting)
        if value is not None and type(value) not in _NAMES_AND_NUMBERS:
            kind = "class" if isinstance(value, type) else "function" if callable(value) else kind_name(value)
            raise Refused(f"it gives a {name} a {kind} as its {setting}, which takes a name")


# ------------------------------------------------------------------ messages


def shape_text(shape):
    # Huge extents are not written out: their decimal digits alone would take long.
    if len(shape) <= MAX_AXES and all(n < 2**63 for n in shape):
        return excerpt(str(shape))
    return f"({len(shape)} extents, some beyond any array)"


def excerpt(text, limit=60):
    """``text`` from a file as a message quotes it: cut when long, its control characters escaped."""
    if len(text) > limit:
        text = f"{text[:limit]}... ({len(text)} characters)"
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


def quoted(value):
    """A value of the file as a message shows it: a plain number or text by its (cut) repr, else by its type."""
    short_int = type(value) is int and value.bit_length() < 64
    if short_int or isinstance(value, (type(None), bool, float, str, np.generic)):
        return excerpt(repr(value))
    return f"<{type(value).__name__}>"


def called(obj):
    # Only a class or a function has a name the file cannot set; anything else is named by its type.
    return obj.__qualname__ if isinstance(obj, (type, types.FunctionType)) else type(obj).__name__


def kind_name(obj):
    """The name a message gives the type of ``obj``, numpy's arrays and data types by their common name."""
    if isinstance(obj, np.ndarray):
        return "ndarray"
    if isinstance(obj, np.dtype):
        return "dtype"
    return type(obj).__name__


# ------------------------------------------------------------------ the admitted globals


class _Admitted:
    """The globals a file may name, the helpers it may call, and the kinds of fitted pieces."""

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
        # The names each estimator's methods go by, which no attribute may take.
        self.methods = {
            cls: frozenset(name for name in dir(cls) if callable(getattr(cls, name, None))) for cls in self.estimators
        }

        @_rebuild("it rebuilds an object other than an estimator of a pipeline", awaits_state=True)
        def object_of(cls, base, state):
            """``copyreg._reconstructor`` of protocols 0 and 1, for the admitted estimators only."""
            if not self.is_estimator_class(cls) or base is not object or state is not None:
                raise Refused(object_of.refusal)
            return object.__new__(cls)

        rebuilds = (array_shell, array_from_buffer, scalar, data_type, object_of, _latin1_bytes, _empty_bytes)
        # By identity: what the file calls comes from the file and must not be hashed.
        self.rebuilds = {id(rebuild): rebuild for rebuild in rebuilds}
        # Named where the running libraries define them, so files written by
        # this installation always load.
        named = {(obj.__module__, obj.__qualname__): obj for obj in self.estimators | set(self.score_functions)}
        # Arrays, types and scalars under numpy's present and former core
        # package names; protocols 0 to 2 name the builtins and copyreg by
        # their old names, and write bytes through the codec function.
        for core in ("numpy._core", "numpy.core"):
            named[(core + ".multiarray", "_reconstruct")] = array_shell
            named[(core + ".multiarray", "scalar")] = scalar
            named[(core + ".numeric", "_frombuffer")] = array_from_buffer
        named[("numpy", "ndarray")] = np.ndarray
        named[("numpy", "dtype")] = data_type
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
