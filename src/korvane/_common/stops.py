"""Stops (Ctrl-C, SIGTERM, SIGHUP) during korvane's work, and the clean-ups that no stop cuts short.

A clean-up that releases what other calls or processes wait on (a study's
lock and its connections, the folder lock of a study's creation, a fit's
workers and temporary files, the signal handlers a fit installed) must run
to its end: a stop landing half-way leaves a lock held for the rest of the
process, and a notebook keeping the stop's traceback keeps whatever the
clean-up's frames still held. Another try/finally around each step is no
help (a second stop lands in that finally), nor is a flag that the clean-up
sets first: a stop can land at the entry of a finally or an ``__exit__``,
before its first line has run.

So the handlers that a fit installs (:func:`ending_cleanly_on_stop`) decide
from the frames a stop interrupts. Functions marked :func:`runs_to_its_end`
are clean-ups; functions marked :func:`stoppable` are the waits and the long
work that a clean-up's setup calls, which a stop may end. The innermost
marked frame decides: in a clean-up, the stop is recorded, and acted on as
soon as the outermost clean-up around it has ended (or as a stoppable call
inside it begins); anywhere else it is acted on at once. Where the program
set a handler of its own, that handler runs as it would.

The rules that korvane's code keeps, so that every release is one of these:

- Every clean-up of a context manager is written with
  :func:`cleanup_context`, whose entering and leaving are both clean-ups. A
  frame that has left the block of such a ``with`` (at its end, or by an
  error) and has not yet called its exit counts as a clean-up too.
- A ``finally`` (or an ``except`` that releases and raises again) is written
  only inside a marked clean-up: in a function marked
  :func:`runs_to_its_end`, or in the generator of a :func:`cleanup_context`.
  Anywhere else, a stop landing at its first line would skip it; what it
  would release is made the clean-up of a :func:`cleanup_context` instead.
- A lock held around a call is taken and released by :func:`call_holding`,
  never by ``with lock:``, whose release a stop between the block's last
  line and the lock's exit would skip, with or without a fit's handlers.
  Caches take no lock: one dictionary or set operation at a time is atomic.
"""

import dis
import functools
import logging
import os
import signal
import sys
import threading

from korvane import _kernels

# Code objects of the marked frames: True for a clean-up, False for stoppable work inside one.
_MARKS = {}

# The exceptions of the stops that arrived while a clean-up ran, to raise once it has ended.
_deferred = []


def _innermost_mark(frame, exits_count=False):
    """The mark of the innermost marked frame from ``frame`` out (None if none is).

    With ``exits_count``, a frame about to leave a ``with`` block of a clean-up
    context counts as a clean-up (see :func:`cleanup_running`).
    """
    while frame is not None:
        mark = _MARKS.get(frame.f_code)
        if mark is not None:
            return mark
        if exits_count and frame.f_code in _HOLDING_CODES and _at_with_exit(frame):
            return True
        frame = frame.f_back
    return None


def cleanup_running(frame):
    """Whether ``frame``, where a stop has just landed, is inside a clean-up that must run to its end.

    So is a frame about to leave a ``with`` block of a clean-up context: the
    stop lands between the block's end and its exit, which has not begun yet,
    and would otherwise skip it.
    """
    return _innermost_mark(frame, exits_count=True) is True


# The code of the functions that entered a clean-up context in a ``with`` of theirs.
_HOLDING_CODES = set()

# Code -> the offsets where one of its ``with`` blocks ends, its exit not called yet.
_WITH_EXITS = {}


def _at_with_exit(frame):
    exits = _WITH_EXITS.get(frame.f_code)
    if exits is None:
        exits = _WITH_EXITS[frame.f_code] = _with_exit_offsets(frame.f_code)
    return frame.f_lasti in exits


# How the interpreter calls a with block's exit at the block's normal end:
# three Nones for the exception, then the call, whose count of arguments
# takes in the manager as ``self`` from CPython 3.14 on.
_EXIT_CALL_ARGUMENT_COUNT = 3 if sys.version_info >= (3, 14) else 2


def _with_exit_offsets(code):
    """Offsets in ``code`` where a ``with`` block has been left and its exit is not called yet.

    A block is left two ways, and CPython (3.11 to 3.14) writes each the
    same way wherever it occurs:

    - at its normal end, the exit is called with three Nones after the
      block's last line; what comes first (a return value put aside, a
      no-op) is part of it;
    - when an error leaves it, the handler saves the error
      (``PUSH_EXC_INFO``) and calls the exit with it (``WITH_EXCEPT_START``).
    """
    return _exit_offsets(list(dis.get_instructions(code)), _EXIT_CALL_ARGUMENT_COUNT)


def _exit_offsets(every, exit_call_argument_count):
    """The offsets of :func:`_with_exit_offsets` among the instructions ``every`` of one code object."""
    instructions = [each for each in every if each.opname != "PRECALL"]  # 3.11 writes one before each call
    offsets = set()
    for index, instruction in enumerate(instructions):
        if instruction.opname == "WITH_EXCEPT_START":
            exit_ = [instruction]
            before = index - 1
            while before >= 0 and instructions[before].opname in ("PUSH_EXC_INFO", "NOP"):
                exit_.append(instructions[before])
                before -= 1
        elif (
            all(each.opname == "LOAD_CONST" and each.argval is None for each in instructions[index : index + 3])
            and index + 3 < len(instructions)
            and instructions[index + 3].opname == "CALL"
            and instructions[index + 3].arg == exit_call_argument_count
        ):
            exit_ = instructions[index : index + 4]
            before = index - 1
            while before >= 0 and instructions[before].opname in ("NOP", "SWAP"):
                exit_.append(instructions[before])
                before -= 1
        else:
            continue
        offsets.update(each.offset for each in exit_)
    offsets.update(
        each.offset for each, following in zip(every, every[1:]) if each.opname == "PRECALL" and following.offset in offsets
    )
    return frozenset(offsets)


def _in_main_thread():
    return threading.current_thread() is threading.main_thread()


# The stops that the handlers of this process's fits have raised, kept while
# a fit handles its stops: the log filters leave out the records of these and
# of errors raised while one was handled, and of nothing else.
_RAISED = []


def _new_stop(kind):
    stop = kind()
    _RAISED.append(stop)
    return stop


def _take_deferred():
    """The exception of the first stop deferred, the others dropped: one stop ends the work."""
    stop = _deferred[0]
    _deferred.clear()
    return _new_stop(stop)


def _stop_due(caller):
    """Whether the stops deferred so far are to be raised in ``caller``, a frame that a clean-up returns to."""
    return bool(_deferred) and _in_main_thread() and _innermost_mark(caller) is not True


def runs_to_its_end(function):
    """Mark ``function`` a clean-up: a stop arriving while it runs is acted on once it has returned."""

    @functools.wraps(function)
    def cleanup(*args, **kwargs):
        try:
            return function(*args, **kwargs)
        finally:
            if _deferred and _stop_due(sys._getframe(1)):
                raise _take_deferred()

    return cleanup


def stoppable(function):
    """Mark ``function`` work that a stop may end, even where a clean-up calls it (a wait, say)."""

    @functools.wraps(function)
    def stoppable_call(*args, **kwargs):
        if _deferred and _in_main_thread():
            raise _take_deferred()
        return function(*args, **kwargs)

    return stoppable_call


def call_holding(lock, function, *args, **kwargs):
    """``function(*args, **kwargs)`` with ``lock`` (a ``threading.Lock`` or ``RLock``) held, however the call ends.

    The lock is taken, the call made and the lock released in one native
    call, where no stop lands between the call's end and the release.
    Waiting for the lock is stoppable: nothing is held until it is taken.
    """
    return _kernels.call_holding(lock, function, args, kwargs)


def mark_as_cleanup(function):
    """Mark a function of another library a clean-up (by its code); its stops wait for korvane's next clean-up to end."""
    code = getattr(function, "__code__", None)
    if code is not None:
        _MARKS.setdefault(code, True)


_MARKS[runs_to_its_end(None).__code__] = True
_MARKS[stoppable(None).__code__] = False


class _CleanupContext:
    """The context manager of :func:`cleanup_context`: as ``contextlib.contextmanager``'s, with no stop cutting it.

    Its entering and leaving are clean-ups themselves (marked by their code),
    with no code of theirs after the last look at the stops deferred.
    """

    __slots__ = ("_generator",)

    def __init__(self, generator):
        self._generator = generator

    def __enter__(self):
        caller = sys._getframe(1)
        _HOLDING_CODES.add(caller.f_code)
        try:
            value = next(self._generator)
        except StopIteration:
            raise RuntimeError("generator didn't yield") from None
        if _stop_due(caller):
            # A stop that arrived while the setup held what the generator
            # releases: it is thrown in at the yield, so the release runs,
            # and then raised here, so the block does not run.
            kind, stop, traceback = _thrown(_take_deferred())
            self._leave(kind, stop, traceback)
            raise stop
        return value

    def __exit__(self, kind, error, traceback):
        try:
            return self._leave(kind, error, traceback)
        finally:
            if _stop_due(sys._getframe(1)):
                raise _take_deferred()

    def _leave(self, kind, error, traceback):
        if kind is None:
            try:
                next(self._generator)
            except StopIteration:
                return False
            try:
                raise RuntimeError("generator didn't stop")
            finally:
                self._generator.close()
        if error is None:
            error = kind()
        try:
            self._generator.throw(error)
        except StopIteration as stopped:
            return stopped is not error
        except RuntimeError as raised:
            if raised is error:
                raised.__traceback__ = traceback
                return False
            # A StopIteration of the block that reached the generator's frame
            # comes back turned into a RuntimeError: the block's own error goes on.
            if isinstance(error, StopIteration) and raised.__cause__ is error:
                error.__traceback__ = traceback
                return False
            raise
        except BaseException as raised:
            if raised is not error:
                raise
            raised.__traceback__ = traceback
            return False
        try:
            raise RuntimeError("generator didn't stop after throw()")
        finally:
            self._generator.close()


_MARKS[_CleanupContext.__enter__.__code__] = True
_MARKS[_CleanupContext.__exit__.__code__] = True


def _thrown(error):
    """(kind, error, traceback) of ``error``, raised here so that it carries a traceback."""
    try:
        raise error
    except BaseException as raised:
        return type(raised), raised, raised.__traceback__


def cleanup_context(generator_function):
    """A context manager from a generator, as ``contextlib.contextmanager`` makes, whose setup and clean-up no stop cuts.

    The code before the generator's ``yield`` and after it are clean-ups:
    what the setup takes is owned before a stop can leave it unreleased,
    and the release runs to its end. Waits and long work in the setup are
    made :func:`stoppable`. A stop that arrives during the setup is raised
    at the ``yield``, so the block does not run and the release does.
    """

    @functools.wraps(generator_function)
    def context(*args, **kwargs):
        return _CleanupContext(generator_function(*args, **kwargs))

    return context


# ------------------------------------------------------------------ a fit's stops

# Signals that end a process at once by default: a kill, or a closed terminal
# or dropped session. A fit turns them into an unwinding first.
ENDING_SIGNALS = tuple(getattr(signal, name) for name in ("SIGTERM", "SIGHUP") if hasattr(signal, name))


class Terminated(BaseException):
    """SIGTERM or SIGHUP received while a fit ran."""


# How many fits of this process are in ``ending_cleanly_on_stop`` now.
_STOPS_HANDLED = [0]


def _is_stop(record):
    """Whether the record's error is a stop that a fit's handlers raised, or an error raised while one was handled.

    By identity: a program that fits again inside its ``except
    KeyboardInterrupt:`` block gives every error of that fit the program's
    own stop as context, and those errors are the fit's own to report.
    """
    error = record.exc_info[1] if record.exc_info else None
    seen = set()
    while error is not None and id(error) not in seen:
        if any(error is stop for stop in _RAISED):
            return True
        seen.add(id(error))
        error = error.__context__
    return False


class _StopRecordsLeftOut(logging.Filter):
    """Leaves out the database pool's error records of a stop, while a fit handles its stops.

    A stop landing where the pool closes a connection or rolls one back is
    logged there as an error with its whole traceback, and then raised on:
    the stop itself reaches the program, as KeyboardInterrupt or as the end
    of the process, so the record only repeats it. So is the error of a
    cursor that the layer, handling the stop, closes a second time.
    """

    def filter(self, record):
        return not (_STOPS_HANDLED[0] and _is_stop(record))


class _StopTracebacksLeftOut(logging.Filter):
    """Keeps the optimiser's line on a trial that a stop ended, without the stop's traceback.

    The stop's traceback reaches the program with the stop itself.
    """

    def filter(self, record):
        if _STOPS_HANDLED[0] and _is_stop(record):
            record.exc_info = None
            record.exc_text = None
        return True


# The loggers of the database layer's pools (by pool class), and the optimiser's trial runs.
_POOL_LOGGERS = tuple(
    "sqlalchemy.pool.impl." + name
    for name in ("QueuePool", "NullPool", "SingletonThreadPool", "StaticPool", "AssertionPool", "AsyncAdaptedQueuePool")
) + ("sqlalchemy.pool.base", "sqlalchemy.pool")
_FILTERS = tuple((name, _StopRecordsLeftOut()) for name in _POOL_LOGGERS) + (
    ("optuna.study._optimize", _StopTracebacksLeftOut()),
)


def _leave_out_stop_records():
    for name, kind in _FILTERS:
        logger = logging.getLogger(name)
        if not any(type(each) is type(kind) for each in logger.filters):
            logger.addFilter(kind)


@cleanup_context
def ending_cleanly_on_stop():
    """Let a stop (Ctrl-C, SIGTERM, SIGHUP) unwind the block as itself, and lose no stop on the way.

    By default SIGTERM and SIGHUP end the process at once: the trial running
    here stays RUNNING, the temporary files of a fit stay behind and its
    workers run on without their parent. Raised as an exception instead, they
    let the fit mark its trials failed, joblib stop the workers and the fit
    remove what it made, after which the process ends by the same signal, as
    whoever sent it expects, whatever error the unwinding turned it into.

    Ctrl-C leaves the block as ``KeyboardInterrupt``, whatever error the
    unwinding turned it into (the optimiser's bookkeeping, interrupted
    half-way, fails with an error of its own), so that a program catching it
    catches it, and a script left to it ends by SIGINT.

    A stop landing in a clean-up (see the module's text) waits for the
    clean-up to end. A handler the program set itself, before the block or
    during it, is left alone, and so is a fit outside the main thread, where
    no handler can be set.

    The interpreter drops an exception raised inside a finaliser or a weakref
    callback ("Exception ignored in ..."). A stop whose exception is dropped
    there would let the fit run on as if nothing had been asked: the signal
    is sent again while the block runs, and a stop still unanswered when the
    block ends is answered then.
    """
    if not _in_main_thread():
        yield
        return
    ours = [signum for signum in ENDING_SIGNALS if signal.getsignal(signum) is signal.SIG_DFL]
    interrupts = signal.getsignal(signal.SIGINT) is signal.default_int_handler
    received = []
    running = [True]

    def act(stop, frame):
        if cleanup_running(frame):
            _deferred.append(stop)
            return
        _deferred.clear()
        raise _new_stop(stop)

    def raise_terminated(signum, frame):
        for each in ours:  # a second signal must not cut the unwinding short
            if signal.getsignal(each) is installed.get(each):
                installed[each] = signal.SIG_IGN
                signal.signal(each, signal.SIG_IGN)
        received.append(signum)
        act(Terminated, frame)

    def raise_interrupt(signum, frame):
        received.append(signum)
        act(KeyboardInterrupt, frame)

    def signal_again(signum):
        """Send ``signum`` again from another thread a moment later, while the block still runs.

        Sent at once, its handler could run, and its exception be dropped
        again, before the interpreter is back in the fit's own code.
        """

        def send():
            if running[0]:
                os.kill(os.getpid(), signum)

        sender = threading.Timer(0.05, send)
        sender.daemon = True
        sender.start()

    def signal_dropped_stop_again(unraisable):
        stop = unraisable.exc_value
        if _in_main_thread():
            if isinstance(stop, Terminated) and received:
                if signal.getsignal(received[-1]) is installed.get(received[-1]):
                    installed[received[-1]] = raise_terminated
                    signal.signal(received[-1], raise_terminated)
                return signal_again(received[-1])
            if isinstance(stop, KeyboardInterrupt) and callable(signal.getsignal(signal.SIGINT)):
                return signal_again(signal.SIGINT)
        return previous_hook(unraisable)

    # The handler this block installed for each signal; a signal whose handler
    # the program replaced meanwhile is the program's again. Ctrl-C's first:
    # until it is installed, a Ctrl-C leaves before anything was changed.
    installed = {signal.SIGINT: raise_interrupt} if interrupts else {}
    installed.update(dict.fromkeys(ours, raise_terminated))
    previous_hook = sys.unraisablehook
    if not _STOPS_HANDLED[0]:
        _deferred.clear()  # answered already by another stop, with no fit left to end
    _STOPS_HANDLED[0] += 1
    try:
        _leave_out_stop_records()
        for signum, handler in installed.items():
            signal.signal(signum, handler)
        sys.unraisablehook = signal_dropped_stop_again
        try:
            yield
            if received:  # its exception was dropped on the way, too late to send it again
                raise _new_stop(Terminated if received[0] != signal.SIGINT else KeyboardInterrupt)
        except BaseException as error:
            if received and received[0] == signal.SIGINT and not isinstance(error, KeyboardInterrupt):
                raise _new_stop(KeyboardInterrupt) from error
            raise
    finally:
        running[0] = False
        if sys.unraisablehook is signal_dropped_stop_again:
            sys.unraisablehook = previous_hook
        _STOPS_HANDLED[0] -= 1
        if not _STOPS_HANDLED[0]:
            _RAISED.clear()
        for signum, handler in installed.items():
            # Only what this block installed goes back: a handler that the program
            # set during the block (in a trial, a callback) stays. Ctrl-C's last,
            # once nothing is left to do.
            if signum != signal.SIGINT and signal.getsignal(signum) is handler:
                signal.signal(signum, signal.SIG_DFL)
        # Read once the default is back: a later SIGTERM or SIGHUP ends the process by itself.
        ending = [signum for signum in received if signum != signal.SIGINT]
        if ending:
            os.kill(os.getpid(), ending[0])
        if signal.getsignal(signal.SIGINT) is installed.get(signal.SIGINT):
            signal.signal(signal.SIGINT, signal.default_int_handler)
        if _deferred and not _STOPS_HANDLED[0]:
            raise _take_deferred()  # arrived while this very clean-up ran

