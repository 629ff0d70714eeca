"""A restricted unpickler for saved pipelines, bounded in what it builds.

A saved pipeline sits at a path relative to the working directory and is read
at every classifier construction, so its file is data from disk, not code.
What a load promises, for any file:

- It runs no code of the file's choosing. It calls nothing but the rebuild
  helpers of ``admitted_objects`` (each checks its arguments first), makes no
  object but of an admitted estimator class, and sets no state but on an
  array, a data type or an estimator, once for each, after a check of that
  state. It names no global but the admitted ones.
- What it builds is in proportion to the bytes the unpickler reads (up to
  STOP, not what follows): every opcode, call and state is charged what it
  makes live (about twice its memory), against an allowance of
  ``BUILT_BYTES_PER_FILE_BYTE`` bytes a byte plus ``BUILT_BYTES_FLOOR``; a
  call is charged as well what it reads of its arguments, which the memo may
  hand to every call (a text buffer the code-point check reads whole, a
  scalar's bytes). Time follows: each opcode, call and state costs time in
  proportion to what it is charged, and no number is parsed from more than
  ``MAX_DIGITS`` digits.
- Containers nest at most ``MAX_NESTING`` deep (the interpreter hashes,
  compares and frees some of them recursively), refused at the opcode that
  would nest deeper, before it runs.
- It leaves the process as it found it: no setting of the interpreter (the
  garbage collector, signal handlers, recursion limit) is changed, so loads
  may run in several threads beside other work.

Each bound is enforced in one place:

1. The scan (``korvane._kernels.scan_pickle``, native) plays the opcode
   stream on a model of the unpickler's stack and memo before anything is
   built. It refuses the opcodes no pipeline is written with (sets, which
   hash what they hold; persistent ids; extension codes; INST, OBJ and
   NEWOBJ_EX; out-of-band buffers), lengths and memo references the
   unpickler would allocate or fail on, nesting beyond the limit, dictionary
   keys that are not texts, containers filled after they were put inside
   another (so that the depth recorded when a container is put inside another
   is final), and opcodes that make more than the allowance. It rewrites
   REDUCE, BUILD and NEWOBJ into calls of this unpickler's
   ``persistent_load``, so that none reaches an object unseen.
2. The interpreter's own unpickler runs the rewritten stream; ``find_class``
   hands out the admitted globals only, and ``persistent_load`` checks each
   call, state and new object (``admitted_objects``) and charges what it
   makes to what is left of the allowance (``charge``).

A fault that names an object's type (a GaussianNB filled after it was put
inside another container, a tuple used as a key) is found by the scan and
raised here, with the object at hand, where the stream was cut short.
"""

import io
import pickle
import sys

import numpy as np

from korvane._kernels import PICKLE_OVER_ALLOWANCE, PickleCall, PickleScanOutcome, scan_pickle
from korvane.rarAV._tradegate.admitted_objects import (
    Refused,
    array_state_bytes,
    called,
    check_data_type_state,
    check_estimator_state,
    excerpt,
    kind_name,
)

# What a load may make live, as the loader estimates it: this many bytes for
# each byte the unpickler reads, with a floor for small files. Pipelines of
# every model kind are estimated at 30 to 40 bytes a byte (they hold many
# small objects: a fitted member takes some 400 bytes of file), and use about
# half that.
BUILT_BYTES_PER_FILE_BYTE = 96
BUILT_BYTES_FLOOR = 8 * 1024 * 1024

# Pipelines nest about ten containers deep.
MAX_NESTING = 100

# Python's own default limit on the digits of a number read from text.
MAX_DIGITS = 4300

# What a new estimator's attribute takes, about twice its memory.
_DICT_ENTRY = 128

# What the objects awaiting their state answer for one that does not.
_NOT_AWAITING = object()


class PipelineUnpickler(pickle.Unpickler):
    """The interpreter's unpickler over a scanned stream: admitted globals only, every call and state checked first."""

    def __init__(self, stream, admitted, left):
        super().__init__(io.BytesIO(stream))
        self._admitted = admitted
        self._left = left
        # id -> the arrays, data types and estimators made and not yet given their state (kept alive, so no id
        # is reused). Pickle writes one state for each, once made: a second one is refused.
        self._awaiting_state = {}

    def charge(self, amount):
        """Take ``amount`` bytes from what the load may still make live."""
        self._left -= amount
        if self._left < 0:
            raise Refused(PICKLE_OVER_ALLOWANCE)

    def find_class(self, module, name):
        try:
            return self._admitted.globals[(module, name)]
        except (KeyError, TypeError):
            raise Refused(
                f"it refers to {excerpt(str(module))}.{excerpt(str(name))}, which a saved pipeline may not load"
            ) from None

    def persistent_load(self, pid):
        # Every pid is one the scan wrote: (first, second, tag).
        first, second, tag = pid
        return _HOOKS[tag](self, first, second)

    # ---------------------------------------------------------------- the rewritten opcodes

    def _call(self, func, args):
        rebuild = self._admitted.rebuilds.get(id(func))
        if rebuild is None or rebuild is not func:
            raise Refused(f"it calls {called(func)}")
        # The count before the call: nothing copies a long argument tuple.
        fewest, most = func.arguments
        if type(args) is not tuple or not fewest <= len(args) <= most:
            raise Refused(func.refusal)
        # What the call reads, before it reads it: one buffer from the memo may be handed to every call.
        if func.reads is not None:
            self.charge(func.reads(*args))
        made = func(*args)
        self.charge(sys.getsizeof(made))
        if func.awaits_state:
            self._awaiting_state[id(made)] = made
        return made

    def _new_object(self, cls, args):
        if not self._admitted.is_estimator_class(cls) or type(args) is not tuple or len(args):
            raise Refused(f"it makes a {called(cls)}")
        made = cls.__new__(cls)
        self._awaiting_state[id(made)] = made
        return made

    def _build(self, inst, state):
        kind = type(inst)
        # Not None as the default: None itself may be given a state.
        if self._awaiting_state.pop(id(inst), _NOT_AWAITING) is not inst:
            raise Refused(f"it sets the state of {_stateful_name(inst, self._admitted)}")
        if kind is np.ndarray:
            self.charge(array_state_bytes(state, self._awaiting_state))
        elif isinstance(inst, np.dtype):
            check_data_type_state(inst, state)
        else:  # an estimator: nothing else awaits a state
            if type(state) is dict:
                self.charge(_DICT_ENTRY * len(state))
            check_estimator_state(kind, state, self._admitted.methods[kind])
        inst.__setstate__(state)
        return inst

    def _filled_inside(self, container, _):
        raise Refused(f"it fills a {kind_name(container)} after putting it inside another container")

    def _adds_items(self, target, _):
        raise Refused(f"it adds items to a {kind_name(target)}")

    def _key_not_text(self, key, _):
        raise Refused(f"it uses a {kind_name(key)} as a dictionary key")


def _stateful_name(obj, admitted):
    """What a message calls an object given a state: one that has its state already, or one that never takes one."""
    if type(obj) is np.ndarray:
        return "an array twice"
    if isinstance(obj, np.dtype):
        return f"the numpy data type {excerpt(str(obj))} twice"
    if type(obj) in admitted.estimators:
        return f"a {type(obj).__name__} twice"
    # A global the file names is a class (named by its metaclass) or a function.
    if isinstance(obj, type) or not callable(obj):
        return f"a {kind_name(obj)}, which takes no state"
    return "a function, which takes no state"


# By the scan's tags (the pid holds the tag's number); functions, not methods bound to a load,
# which would keep it alive in a cycle.
_HOOKS = {
    PickleCall.REDUCE: PipelineUnpickler._call,
    PickleCall.BUILD: PipelineUnpickler._build,
    PickleCall.NEW_OBJECT: PipelineUnpickler._new_object,
    PickleCall.FILLED_INSIDE: PipelineUnpickler._filled_inside,
    PickleCall.NOT_A_LIST: PipelineUnpickler._adds_items,
    PickleCall.NOT_A_DICT: PipelineUnpickler._adds_items,
    PickleCall.KEY_NOT_TEXT: PipelineUnpickler._key_not_text,
}


def load_bounded(data, admitted):
    """The object pickled in ``data``, loaded under the checks and bounds above; ``Refused`` says why not.

    The caller passes the only reference to ``data``: it is dropped once scanned.
    """
    outcome, message, stream, left, _ = scan_pickle(
        data, BUILT_BYTES_PER_FILE_BYTE, BUILT_BYTES_FLOOR, MAX_NESTING, MAX_DIGITS
    )
    del data
    if outcome == PickleScanOutcome.REFUSED:
        raise Refused(message)
    if outcome != PickleScanOutcome.LOADS:
        raise pickle.UnpicklingError(message)
    return PipelineUnpickler(stream, admitted, left).load()
