"""A restricted unpickler for saved pipelines, bounded in what it builds.

A saved pipeline sits at a path relative to the working directory and is
read at every factor construction, so loading must neither run what the file
holds nor let it cost more than its own size, and must stay close to what the
interpreter's own unpickler costs. The file is therefore read in two passes
over the same bytes, held in memory (the file is never read twice):

1. A scan of the opcode stream, mostly by a regular expression. It refuses
   the ways of making objects that no pipeline is written with (sets, which
   hash what they hold; persistent ids; extension codes; INST, OBJ and
   NEWOBJ_EX; out-of-band buffers), lengths longer than what is left of the
   file (the unpickler allocates what a length claims before reading), and
   memo indices that would make the unpickler allocate a memo far larger than
   the file. It sums what the opcodes make live (an estimate, in proportion to
   the file: a few bytes may make a new container each), and refuses a file
   whose opcodes alone would build more than its allowance. It rewrites the
   opcodes that fill containers or make estimators into calls of the
   unpickler's ``persistent_load``, so that this module sees each of them
   first, and frames the result anew.
2. The interpreter's C unpickler over the rewritten stream. Every global the
   file names is an object of ``admitted_objects`` that checks what the file
   does with it (calls, states); every container filled is checked by the
   rewritten opcodes: dictionary keys are plain text before anything hashes
   them, a container is filled only before it is put into another (as pickle
   writes them), and each addition is charged against what is left of the
   allowance, as are the states set and the objects the helpers build.

Containers may nest only so deep (the interpreter hashes, compares and frees
some of them recursively). An array frees what it holds recursively with no
guard of the interpreter's, so an object array may hold only complete arrays
and containers whose nesting is final (they may not be filled any more), and
its nesting is known when it is built; what the load returns is walked once
more at the end, which also puts the real classes and functions in place of
their stand-ins, and arrays in place of the shells they were built in.
"""

import contextlib
import functools
import gc
import pickle
import re
from operator import is_not

import numpy as np

from korvane.rarAV._tradegate.admitted_objects import (
    ARRAY_NESTING,
    Allowance,
    ArrayShell,
    DtypeShell,
    Named,
    Rebuild,
    MAX_VERSION_LENGTH,
    Refused,
    called,
    check_estimator_state,
    excerpt,
    running,
    set_running_load,
)

# What a load may make live, as the loader estimates it: this many bytes for
# each byte of the file, with a floor for small files. Pipelines of every
# model kind are estimated at 30 to 40 bytes a byte (they hold many small
# objects: a fitted member takes some 400 bytes of file), and use about half that.
BUILT_BYTES_PER_FILE_BYTE = 96
BUILT_BYTES_FLOOR = 8 * 1024 * 1024

# Pipelines nest about ten containers deep.
MAX_NESTING = 100

# What an addition or a new object is charged, about twice what it takes in
# memory: a reference (on the stack, in a list), a dictionary entry, a new
# container, a new estimator.
_REFERENCE = 16
_DICT_ENTRY = 128
_CONTAINER = 128
_ESTIMATOR = 256


def allowance(file_bytes):
    return BUILT_BYTES_FLOOR + BUILT_BYTES_PER_FILE_BYTE * file_bytes


# ------------------------------------------------------------------ the scan

_OP = {name: getattr(pickle, name)[0] for name in dir(pickle) if name.isupper() and type(getattr(pickle, name)) is bytes
       and len(getattr(pickle, name)) == 1}


def _opcode_charges():
    """What each opcode makes live besides the bytes it reads, about twice their memory."""
    charges = np.full(256, _REFERENCE, dtype=np.int64)
    for name, charge in (
        ("MEMOIZE", 32), ("BINPUT", 32), ("LONG_BINPUT", 32), ("PUT", 32), ("MARK", 32),
        ("EMPTY_LIST", 128), ("EMPTY_DICT", 144), ("LIST", 112),
        # What a helper makes besides the data it is given: a shell, a scalar, a data type.
        ("REDUCE", 256),
        ("TUPLE", 80), ("TUPLE1", 96), ("TUPLE2", 112), ("TUPLE3", 128),
        # Integers, floats, texts and bytes: the object's header (their data is charged by its length).
        ("INT", 64), ("BININT", 64), ("BININT2", 64), ("LONG", 64), ("LONG1", 64), ("LONG4", 64),
        ("FLOAT", 64), ("BINFLOAT", 64),
        ("STRING", 128), ("BINSTRING", 128), ("SHORT_BINSTRING", 128), ("UNICODE", 128),
        ("BINUNICODE", 128), ("SHORT_BINUNICODE", 128), ("BINUNICODE8", 128),
        ("BINBYTES", 128), ("SHORT_BINBYTES", 128), ("BINBYTES8", 128), ("BYTEARRAY8", 128),
    ):
        charges[_OP[name]] = charge
    return charges


# Every byte is counted as the opcode it would be: an upper bound, since each
# opcode is some byte of the file (arguments and data add a little).
_CHARGES = _opcode_charges()
_CHARGE_UNITS = bytes((_CHARGES // _REFERENCE).tolist())
_COUNT_CHUNK = 1 << 20
assert (_CHARGES % _REFERENCE == 0).all() and _CHARGES.max() // _REFERENCE < 256


def _class(*names):
    return b"[" + b"".join(re.escape(bytes([_OP[name]])) for name in names) + b"]"


# Opcodes the C unpickler may run unseen: pushes, the memo (small indices),
# tuples, marks, globals (through ``find_class``), calls and states (through
# the objects the file is handed). Counted texts and bytes up to 255 bytes are
# matched by their length byte.
_PLAIN = _class(
    "MEMOIZE", "TUPLE1", "MARK", "NEWFALSE", "TUPLE3", "TUPLE", "TUPLE2", "NONE", "EMPTY_DICT", "EMPTY_TUPLE",
    "EMPTY_LIST", "NEWTRUE", "STACK_GLOBAL", "POP", "POP_MARK", "DUP", "LIST", "REDUCE", "BUILD",
)
_SHORT_COUNT = b"(?:" + b"|".join(re.escape(bytes([n])) + (b".{%d}" % n if n else b"") for n in range(256)) + b")"
_WITH_ARGUMENT = b"|".join((
    _class("BINGET", "BININT1", "BINPUT", "PROTO") + b".",
    _class("LONG_BINGET", "BININT") + b".{4}",
    _class("SHORT_BINBYTES", "SHORT_BINUNICODE", "SHORT_BINSTRING", "LONG1") + _SHORT_COUNT,
    _class("BININT2") + b"..",
    _class("BINFLOAT") + b".{8}",
    # Memo indices below 65,536: a memo of at most a megabyte.
    _class("LONG_BINPUT") + b"..\x00\x00",
))
_RUN = re.compile(_PLAIN + b"*+(?:(?:" + _WITH_ARGUMENT + b")" + _PLAIN + b"*+)*+", re.DOTALL)

# Opcodes rewritten into a call of ``persistent_load`` with (first, second, tag):
# each pushes its tag and packs what the opcode would have taken from the stack.
_NEWOBJ, _APPEND, _APPENDS, _SETITEM, _SETITEMS, _DICT = range(6)
_REWRITTEN = {
    "NEWOBJ": b"K\x00\x87Q",  # cls args -> (cls, args, tag)
    "APPEND": b"K\x01\x87Q",  # list value -> (list, value, tag)
    "APPENDS": b"lK\x02\x87Q",  # list MARK items -> (list, [items], tag)
    "SETITEM": b"\x86K\x03\x87Q",  # dict key value -> (dict, (key, value), tag)
    "SETITEMS": b"lK\x04\x87Q",  # dict MARK key value ... -> (dict, [key, value, ...], tag)
    "DICT": b"lNK\x05\x87Q",  # MARK key value ... -> ([key, value, ...], None, tag)
}

_REFUSED_WAYS = {
    "INST": "it makes an object by a way no pipeline is written",
    "OBJ": "it makes an object by a way no pipeline is written",
    "NEWOBJ_EX": "it makes an object by a way no pipeline is written",
    # No pipeline holds a set, and sets hash what they hold.
    "EMPTY_SET": "it makes an object by a way no pipeline is written",
    "ADDITEMS": "it makes an object by a way no pipeline is written",
    "FROZENSET": "it makes an object by a way no pipeline is written",
    "PERSID": "it refers to an object outside the file (a persistent id)",
    "BINPERSID": "it refers to an object outside the file (a persistent id)",
    # The registry is the process's, and its cache would hand out objects no check has seen.
    "EXT1": "it names an object by an extension code, which no pipeline does",
    "EXT2": "it names an object by an extension code, which no pipeline does",
    "EXT4": "it names an object by an extension code, which no pipeline does",
    "NEXT_BUFFER": "it refers to out-of-band buffers, which no pipeline has",
    "READONLY_BUFFER": "it refers to out-of-band buffers, which no pipeline has",
}

# How the scan steps over each opcode the regular expression stops at.
_INVALID, _FIXED, _STOP, _FRAME, _REWRITE, _COUNTED, _LINE, _TWO_LINES, _MEMO_PUT, _MEMO_PUT_LINE, _REFUSE, _FLOAT = range(12)


def _steps():
    steps = [(_INVALID, None)] * 256
    for name in ("BINGET", "BININT1", "BINPUT", "PROTO", "LONG_BINGET", "BININT", "BININT2", "BINFLOAT",
                 "SHORT_BINBYTES", "SHORT_BINUNICODE", "SHORT_BINSTRING", "LONG1"):
        steps[_OP[name]] = (_FIXED, None)  # stopped at only when cut short
    steps[_OP["STOP"]] = (_STOP, None)
    steps[_OP["FRAME"]] = (_FRAME, None)
    for name, replacement in _REWRITTEN.items():
        steps[_OP[name]] = (_REWRITE, replacement)
    for name, width in (("BINUNICODE", 4), ("BINBYTES", 4), ("BINSTRING", 4), ("LONG4", 4),
                        ("BINUNICODE8", 8), ("BINBYTES8", 8), ("BYTEARRAY8", 8)):
        steps[_OP[name]] = (_COUNTED, width)
    for name in ("INT", "LONG", "STRING", "UNICODE", "GET"):
        steps[_OP[name]] = (_LINE, None)
    steps[_OP["FLOAT"]] = (_FLOAT, None)
    steps[_OP["GLOBAL"]] = (_TWO_LINES, None)
    steps[_OP["LONG_BINPUT"]] = (_MEMO_PUT, None)
    steps[_OP["PUT"]] = (_MEMO_PUT_LINE, None)
    for name, message in _REFUSED_WAYS.items():
        steps[_OP[name]] = (_REFUSE, message)
    return tuple(steps)


_STEPS = _steps()


def _truncated():
    return pickle.UnpicklingError("pickle data was truncated")


def _line_end(data, start):
    end = data.find(b"\n", start)
    if end < 0:
        raise _truncated()
    return end + 1


def scan(data):
    """The stream the C unpickler runs for ``data``, and what its opcodes make live (see the module's text)."""
    size = len(data)
    match = _RUN.match
    steps = _STEPS
    view = memoryview(data)
    # The rewritten stream, framed whole: the frame's length is written once known.
    stream = bytearray(pickle.FRAME + bytes(8))
    copied = pos = 0
    memo_top = 1 << 16  # memo indices below it are met unseen and cost at most a megabyte
    memo_charge = 0
    while True:
        pos = match(data, pos).end()
        if pos >= size:
            raise _truncated()
        kind, detail = steps[data[pos]]
        if kind == _REWRITE:
            stream += view[copied:pos]
            stream += detail
            pos = copied = pos + 1
        elif kind == _COUNTED:
            start = pos + 1 + detail
            if start > size:
                raise _truncated()
            pos = start + int.from_bytes(data[pos + 1:start], "little")
            if pos > size:
                raise _truncated()
        elif kind == _STOP:
            stream += view[copied:pos + 1]
            break
        elif kind == _FRAME:
            # Frames are dropped: the rewritten stream is framed whole.
            if pos + 9 > size or int.from_bytes(data[pos + 1:pos + 9], "little") > size - pos - 9:
                raise _truncated()
            stream += view[copied:pos]
            pos = copied = pos + 9
        elif kind == _LINE:
            pos = _line_end(data, pos + 1)
        elif kind == _FLOAT:
            # Read as Python reads a float, so that a text that is none says so (the unpickler
            # would first complain of its size).
            end = _line_end(data, pos + 1)
            float(data[pos + 1:end - 1])
            pos = end
        elif kind == _TWO_LINES:
            pos = _line_end(data, _line_end(data, pos + 1))
        elif kind == _MEMO_PUT or kind == _MEMO_PUT_LINE:
            if kind == _MEMO_PUT:
                if pos + 5 > size:
                    raise _truncated()
                index, pos = int.from_bytes(data[pos + 1:pos + 5], "little"), pos + 5
            else:
                end = _line_end(data, pos + 1)
                try:
                    index = int(data[pos + 1:end])
                except ValueError:
                    raise pickle.UnpicklingError("a PUT opcode holds no memo index") from None
                pos = end
            # The memo is an array as long as twice the largest index, filled with empty places.
            if index > memo_top:
                memo_charge += 16 * (index - memo_top)
                memo_top = index
        elif kind == _REFUSE:
            raise Refused(detail)
        elif kind == _FIXED:
            raise _truncated()
        else:
            raise pickle.UnpicklingError(f"invalid load key, {bytes([data[pos]])!r}.")
    stream[1:9] = (len(stream) - 9).to_bytes(8, "little")
    return stream, _built_by_opcodes(data, pos + 1) + memo_charge


def _built_by_opcodes(data, end):
    # Each byte becomes its opcode's charge in units of _REFERENCE, summed by numpy a megabyte at a time.
    view = memoryview(data)
    units = 0
    for start in range(0, end, _COUNT_CHUNK):
        chunk = view[start:min(end, start + _COUNT_CHUNK)].tobytes().translate(_CHARGE_UNITS)
        units += int(np.frombuffer(chunk, dtype=np.uint8).sum(dtype=np.int64))
    # The data of texts, bytes and numbers takes at most as many bytes as the file gives it.
    return _REFERENCE * units + end


# ------------------------------------------------------------------ the estimators a load makes

# Values that hold nothing: the walks step over them without a call.
_LEAVES = frozenset((int, float, str, bytes, bool, type(None), np.float64, np.int64, np.float32, np.int32, np.str_,
                     np.bool_))

def _loading_class(estimator):
    """A subclass of ``estimator`` that the load makes, whose states it checks; it gets its class back at the end.

    It has the estimator's names (scikit-learn reads its module to know its own
    estimators) and no attribute of its own in instances.
    """
    methods = frozenset(name for name in dir(estimator) if callable(getattr(estimator, name, None)))

    def __setstate__(self, state):
        load = running.load
        if type(state) is not dict or not methods.isdisjoint(state):
            check_estimator_state(estimator, state, methods)
        version = state.get("_sklearn_version")
        if version is not None and (type(version) is not str or len(version) > MAX_VERSION_LENGTH):
            check_estimator_state(estimator, state, methods)
        if id(self) in load.inside:
            load.check_open(self)
        allowance = load.allowance
        allowance.left -= _DICT_ENTRY * len(state)
        if allowance.left < 0:
            allowance.charge(0)
        # Numeric arrays in place of their shells, when they are all the state holds besides numbers
        # and texts (fitted members, thousands in an ensemble): the final walk need not go through
        # the estimator then. A second state joins the first, so only a first one is settled here.
        nesting = None
        if not self.__dict__:
            nesting = 0
            for key, value in state.items():
                kind = type(value)
                if kind in _LEAVES:
                    continue
                if kind is ArrayShell and value.numeric is not None:
                    state[key] = value.numeric
                    nesting = ARRAY_NESTING
                    continue
                nesting = None
                break
        estimator.__setstate__(self, state)
        if nesting is None:
            load.settled.pop(id(self), None)
        else:
            load.settled[id(self)] = 2 + nesting

    def __call__(self, *args):
        raise Refused(f"it calls {estimator.__qualname__}")

    namespace = {"__module__": estimator.__module__, "__qualname__": estimator.__qualname__,
                 "__setstate__": __setstate__, "__call__": __call__, "_real_class": estimator}
    return type(estimator.__name__, (estimator,), namespace)


@functools.cache
def _loading_classes(estimators):
    return {estimator: _loading_class(estimator) for estimator in estimators}


# ------------------------------------------------------------------ the unpickler


_TEXT_ONLY = frozenset((str,))


def _too_deep():
    return Refused(f"it nests containers more than {MAX_NESTING} deep")


def _kind(obj):
    """The name a message gives the type of ``obj``: stand-ins by the type they stand for."""
    if type(obj) is ArrayShell:
        return "ndarray"
    if type(obj) is DtypeShell:
        return "dtype"
    return type(obj).__name__


def _stood_for(obj):
    if type(obj) is Named:
        return obj.obj
    if type(obj) is Rebuild:
        return obj.func
    return obj


class PipelineUnpickler(pickle.Unpickler):
    """The C unpickler over a scanned stream, with every global, state and filled container checked first."""

    def __init__(self, stream, admitted, allowed):
        super().__init__(_Stream(stream))
        self.admitted = admitted
        self.allowance = Allowance(allowed)
        self._loading = _loading_classes(admitted.estimators)
        # ids of the fillable objects put inside another container (kept alive,
        # so that no id is reused): these may not be filled any more.
        self.inside = {}
        # Shells are not among them: an array takes one state, and a data type none once used.
        self._fillable = frozenset((list, dict, *self._loading.values()))
        # id -> (object, nesting) of the containers an object array holds, final once sealed.
        self._nesting = {}
        self._made = []
        # id -> (object, what it stands for, its nesting) of what the final walk has done.
        self.finished = {}
        # id -> nesting of the estimators made (kept alive by ``_made``) that the final walk need not go through.
        self.settled = {}
        self._estimator_kinds = frozenset(self._loading.values())
        # id of a stand-in -> (the stand-in, the class its estimators are made of)
        self._estimator_of = {
            id(stand_in): (stand_in, self._loading[cls])
            for stand_in, cls in ((admitted.globals[(cls.__module__, cls.__qualname__)], cls)
                                  for cls in admitted.estimators)
        }

    def load(self):
        previous = set_running_load(self)
        try:
            with _collector_paused():
                loaded = super().load()
            loaded = self._finish(loaded, 0)[0]
            for made in self._made:
                made.__class__ = type(made)._real_class
            return loaded
        finally:
            set_running_load(previous)

    # ---------------------------------------------------------------- bookkeeping

    def charge(self, amount):
        self.allowance.charge(amount)

    def seal(self, value):
        if type(value) in self._fillable:
            self.inside[id(value)] = value

    def _seal_all(self, values):
        fillable, inside = self._fillable, self.inside
        for value in values:
            if type(value) in fillable:
                inside[id(value)] = value

    def check_open(self, target):
        if id(target) in self.inside:
            raise Refused(f"it fills a {_kind(target)} after putting it inside another container")

    def new_estimator(self, estimator):
        self.charge(_ESTIMATOR)
        loading = self._loading[estimator]
        made = loading.__new__(loading)
        self._made.append(made)
        return made

    # ---------------------------------------------------------------- globals

    def find_class(self, module, name):
        try:
            entry = self.admitted.globals[(module, name)]
        except (KeyError, TypeError):
            named = f"{excerpt(str(module))}.{excerpt(str(name))}"
            raise Refused(f"it refers to {named}, which a saved pipeline may not load") from None
        return entry

    # ---------------------------------------------------------------- the rewritten opcodes

    def persistent_load(self, pid):
        first, second, tag = pid
        # The two a pipeline writes for each fitted member are written out here.
        if tag == _NEWOBJ:
            estimator = self._estimator_of.get(id(first))
            if estimator is None or estimator[0] is not first or type(second) is not tuple or second:
                self._refuse_newobj(first)
            allowance = self.allowance
            allowance.left -= _ESTIMATOR
            if allowance.left < 0:
                allowance.charge(0)
            loading = estimator[1]
            made = loading.__new__(loading)
            self._made.append(made)
            return made
        if tag == _SETITEMS:
            target, items = first, second
            count = len(items)
            if count % 2:
                raise pickle.UnpicklingError("odd number of items for SETITEMS")
            allowance = self.allowance
            allowance.left -= _DICT_ENTRY * (count >> 1)
            if allowance.left < 0:
                allowance.charge(0)
            if type(target) is not dict:
                raise Refused(f"it adds items to a {_kind(target)}")
            keys, values = items[0::2], items[1::2]
            fillable, inside = self._fillable, self.inside
            for key, value in zip(keys, values):
                if type(key) is not str:
                    self._check_key(key)
                if type(value) in fillable:
                    inside[id(value)] = value
            if id(target) in inside:
                self.check_open(target)
            target.update(zip(keys, values))
            return target
        # The functions, not methods bound to this load: those would keep it alive in a cycle.
        return _HOOKS[tag](self, first, second)

    def _refuse_newobj(self, cls):
        if type(cls) in (tuple, list, dict):
            self._nesting_of(cls)  # a container too deep is refused as such
        raise Refused(f"it makes a {called(_stood_for(cls))}")

    def _check_key(self, key):
        if type(key) is not str:
            if type(key) in (tuple, list, dict):
                self._nesting_of(key)  # a container too deep is refused as such
            raise Refused(f"it uses a {_kind(key)} as a dictionary key")

    @staticmethod
    def _adds_to(target, kind):
        if type(target) is not kind:
            raise Refused(f"it adds items to a {_kind(target)}")

    def _append(self, target, value):
        self._adds_to(target, list)
        self.seal(value)
        self.check_open(target)
        target.append(value)
        self.charge(_REFERENCE)
        return target

    def _appends(self, target, items):
        self.charge(_REFERENCE * len(items))
        self._adds_to(target, list)
        self._seal_all(items)
        self.check_open(target)
        target.extend(items)
        return target

    def _setitem(self, target, pair):
        key, value = pair
        self._check_key(key)
        self._adds_to(target, dict)
        self.seal(value)
        self.check_open(target)
        target[key] = value
        self.charge(_DICT_ENTRY)
        return target

    def _dict(self, items, _):
        if len(items) % 2:
            raise pickle.UnpicklingError("odd number of items for DICT")
        keys, values = items[0::2], items[1::2]
        for key in keys:
            if type(key) is not str:
                self._check_key(key)
        self.charge(_CONTAINER + _DICT_ENTRY * len(keys))
        self._seal_all(values)
        return dict(zip(keys, values))

    # ---------------------------------------------------------------- nesting

    def array_elements(self, data):
        """The elements an object array is given, arrays for their shells, and the array's nesting.

        Each element's nesting is final: arrays must be complete, and the
        containers held are sealed, so that the array's nesting stays exact.
        """
        self.charge(_REFERENCE * len(data))
        elements = list(data)
        deepest = 0
        for index, element in enumerate(elements):
            kind = type(element)
            if kind in _LEAVES:
                continue
            if kind is ArrayShell:
                if element.array is None:
                    raise Refused("it puts an array into another before the inner one is complete")
                elements[index] = element.array
            nesting = self._nesting_of(element)
            if nesting > deepest:
                deepest = nesting
        nesting = deepest + ARRAY_NESTING
        if nesting > MAX_NESTING:
            raise _too_deep()
        return elements, nesting

    def _nesting_of(self, value, level=0):
        """How deep ``value`` nests, sealing the containers inside it; refused beyond ``MAX_NESTING``."""
        kind = type(value)
        if kind is ArrayShell:
            if value.array is None:
                raise Refused("it puts an array into another before the inner one is complete")
            return value.nesting
        estimator = kind in self._estimator_kinds
        if kind not in (list, tuple, dict) and not estimator:
            return 0
        known = self._nesting.get(id(value))
        if known is not None:
            return known[1]
        if level >= MAX_NESTING:
            raise _too_deep()
        self.seal(value)
        inner = value.values() if kind is dict else vars(value).values() if estimator else value
        nesting = 1 + estimator + max((self._nesting_of(item, level + 1) for item in inner), default=0)
        if nesting > MAX_NESTING:
            raise _too_deep()
        self._nesting[id(value)] = (value, nesting)
        return nesting

    # ---------------------------------------------------------------- what the load returns

    def _finish(self, value, level):
        """(what ``value`` stands for, with the same done inside it, how deep it nests)."""
        kind = type(value)
        if kind in _LEAVES:
            return value, 0
        done = self.finished.get(id(value))
        if done is not None:
            return done[1], done[2]
        nesting = self.settled.get(id(value))
        if nesting is not None and kind in self._estimator_kinds:
            return value, nesting
        if level >= MAX_NESTING:
            raise _too_deep()
        result = value
        if kind is dict:
            nesting = 1 + self._finish_entries(value, value.items(), level + 1)
        elif kind in self._estimator_kinds:
            entries = vars(value)
            nesting = 2 + self._finish_entries(entries, entries.items(), level + 1)
        elif kind is list:
            nesting = 1 + self._finish_entries(value, enumerate(value), level + 1)
        elif kind is tuple:
            items = list(value)
            nesting = 1 + self._finish_entries(items, enumerate(value), level + 1)
            if any(map(is_not, items, value)):
                result = tuple(items)
        elif kind is ArrayShell or kind is np.ndarray:
            if kind is ArrayShell:
                result = value.array
                if result is None:
                    result = value.empty()
            nesting = ARRAY_NESTING
            if result.dtype.hasobject and result.size:
                flat = result.reshape(-1, order="A")
                nesting += self._finish_entries(flat, enumerate(flat), level + 1)
        elif kind is Named or kind is Rebuild:
            return _stood_for(value), 0
        elif kind is DtypeShell:
            return value.dtype, 0
        else:
            return value, 0
        if nesting > MAX_NESTING:
            raise _too_deep()
        self.finished[id(value)] = (value, result, nesting)
        return result, nesting

    def _finish_entries(self, target, entries, level):
        """Finish each (place, item) of ``entries``, putting what an item stands for at its place in ``target``.

        Numeric arrays, the bulk of a pipeline, are put in place here without a call.
        """
        deepest = 0
        leaves, finish = _LEAVES, self._finish
        for place, item in entries:
            kind = type(item)
            if kind in leaves:
                continue
            if kind is ArrayShell and item.numeric is not None:
                target[place] = item.numeric
                if deepest < ARRAY_NESTING:
                    deepest = ARRAY_NESTING
                continue
            new, nesting = finish(item, level)
            if new is not item:
                target[place] = new
            if nesting > deepest:
                deepest = nesting
        return deepest


_HOOKS = (None, PipelineUnpickler._append, PipelineUnpickler._appends, PipelineUnpickler._setitem, None,
          PipelineUnpickler._dict)


@contextlib.contextmanager
def _collector_paused():
    """The cyclic garbage collector paused, and resumed after if it ran before.

    Everything a load makes stays referenced until the load ends (by the
    memo, or by what the file builds), and what it drops is freed by its
    reference count, so the collector's passes would find nothing to free; but
    each full pass walks every object made so far, and they come more often
    the more a load makes, which made loading a large pipeline cost several
    times what its opcodes do. What a hostile file may leave in a cycle is
    bounded by its allowance and collected once the collector runs again.
    """
    paused = gc.isenabled()
    if paused:
        gc.disable()
    try:
        yield
    finally:
        if paused:
            gc.enable()


class _Stream:
    """The rewritten stream as the C unpickler reads it: slices of one buffer, not copies of it."""

    def __init__(self, buffer):
        self._view = memoryview(buffer)
        self._pos = 0

    def read(self, size=-1):
        start = self._pos
        self._pos = len(self._view) if size < 0 else min(len(self._view), start + size)
        return self._view[start:self._pos]

    def readline(self):
        # Never needed: the stream is one frame, which the unpickler reads whole.
        end = bytes(self._view[self._pos:]).find(b"\n")
        return self.read(-1 if end < 0 else end + 1)


def load_bounded(data, admitted):
    """The object pickled in ``data``, loaded under the checks and bounds above; ``Refused`` says why not.

    The caller passes the only reference to ``data``: it is dropped once scanned.
    """
    stream, built = scan(data)
    allowed = allowance(len(data))
    del data
    if built > allowed:
        raise Refused("it builds far more than a pipeline of its size")
    return PipelineUnpickler(stream, admitted, allowed - built).load()
