"""A restricted unpickler for saved pipelines, bounded in what it builds.

A saved pipeline sits at a path relative to the working directory and is
read at every factor construction, so loading must neither run what the file
holds nor let it cost more than its own size. Every global, call and state
the file asks for is checked first (see ``admitted_objects``).

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

import itertools
import pickle
import struct
import sys

import numpy as np

from korvane.rarAV._tradegate.admitted_objects import Refused, array_shell, called, check_state, excerpt, scalar

# What a load may make live, as the unpickler estimates it: this many bytes
# for each byte read so far, with a floor for small files. Pipelines of every
# model kind are estimated at 40 to 55 bytes a byte (they hold many small
# objects: a fitted member takes some 400 bytes of file), and use about half that.
BUILT_BYTES_PER_FILE_BYTE = 96
BUILT_BYTES_FLOOR = 8 * 1024 * 1024

# Pipelines nest about ten containers deep.
MAX_NESTING = 100

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
    return Refused(f"it nests containers more than {MAX_NESTING} deep")


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


class PipelineUnpickler(pickle._Unpickler):
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
                        raise Refused("it builds far more than a pipeline of its size")
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
            raise Refused(f"it fills a {type(container).__name__} after putting it inside another container")

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
            raise Refused(f"it uses a {type(key).__name__} as a dictionary key")

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
            raise Refused(f"it adds items to a {type(target).__name__}")
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
            named = f"{excerpt(module)}.{excerpt(name)}"
            raise Refused(f"it refers to {named}, which a saved pipeline may not load") from None

    def _load_reduce(self):
        args = self.stack.pop()
        func = self.stack[-1]
        if self._admitted.callables.get(id(func)) is not func or type(args) is not tuple:
            raise Refused(f"it calls {called(func)}")
        self.stack[-1] = made = func(*args)
        if func is array_shell:
            self._shells[id(made)] = made
        if func is not scalar:  # a new object, whose state may come next (an object scalar is the object itself)
            self._open.add(id(made))

    def _load_newobj(self):
        args = self.stack.pop()
        cls = self.stack.pop()
        if not self._admitted.is_estimator_class(cls) or type(args) is not tuple or len(args):
            raise Refused(f"it makes a {called(cls)}")
        self._made(cls.__new__(cls))

    def _load_build(self):
        inst, state = self.stack[-2], self.stack[-1]
        check_state(inst, state, self._admitted)
        self._put_into(inst, (state,))
        if type(inst) is np.ndarray:
            self._build_array(inst, state)
        else:
            self._count(_DICT_ENTRY * len(state) if type(state) is dict else _CONTAINER)
        pickle._Unpickler.load_build(self)
        self._holds(inst, self._depth(state))

    def _build_array(self, inst, state):
        if self._shells.pop(id(inst), None) is not inst:
            raise Refused("it sets the state of an array twice")
        _, shape, dtype, _, data = state
        if type(data) is list:
            # Freeing arrays nested in arrays recurses in C, so their depth must be exact.
            if any(type(item) is np.ndarray and id(item) in self._shells for item in data):
                raise Refused("it puts an array into another before the inner one is complete")
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
        raise Refused("it makes an object by a way no pipeline is written")

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


class BoundedReader:
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
