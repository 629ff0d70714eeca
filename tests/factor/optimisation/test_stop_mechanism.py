"""The parts of the stop handling that need no fit: exit recognition, the house rule, locks, filters, contexts."""

import ast
import collections
import contextlib
import dis
import importlib
import logging
import pathlib
import signal
import sqlite3
import sys
import threading
import types

import pytest

import korvane
from korvane import _kernels
from korvane._common import stops

KORVANE = pathlib.Path(korvane.__file__).parent


def korvane_modules():
    for path in sorted(KORVANE.rglob("*.py")):
        name = ".".join(path.relative_to(KORVANE.parent).with_suffix("").parts)
        yield path, importlib.import_module(name.removesuffix(".__init__"))


def codes_within(code):
    yield code
    for constant in code.co_consts:
        if isinstance(constant, types.CodeType):
            yield from codes_within(constant)


def with_items_by_function(tree):
    """(first line, name) of each function -> the count of ``with`` items directly in its body."""
    counts = collections.Counter()

    def walk(node, function):
        for child in ast.iter_child_nodes(node):
            if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef)):
                first = min([child.lineno] + [each.lineno for each in child.decorator_list])
                walk(child, (first, child.name))
            else:
                if isinstance(child, ast.With) and function is not None:
                    counts[function] += len(child.items)
                walk(child, function)

    walk(tree, None)
    return counts


def test_every_with_of_korvane_has_its_exits_recognised():
    """A Python compiling ``with`` otherwise fails here, instead of leaving the protection off unnoticed."""
    checked = 0
    for path, module in korvane_modules():
        expected = with_items_by_function(ast.parse(path.read_text()))
        source = compile(path.read_text(), module.__file__, "exec")
        for code in codes_within(source):
            items = expected.get((code.co_firstlineno, code.co_name), 0)
            if not items:
                continue
            names = {each.opname for each in dis.get_instructions(code)}
            offsets = stops._with_exit_offsets(code)
            by_error = [each for each in dis.get_instructions(code) if each.opname == "WITH_EXCEPT_START"]
            assert len(by_error) == items and all(each.offset in offsets for each in by_error), (path, code.co_name)
            normal = offsets - {each.offset for each in dis.get_instructions(code)
                                if each.opname in ("WITH_EXCEPT_START", "PUSH_EXC_INFO")}
            assert normal, f"no normal end of a with found in {path}:{code.co_name} ({sorted(names)})"
            checked += 1
    assert checked > 20


Instruction = collections.namedtuple("Instruction", "opname arg argval offset")


def written(*names):
    """Instructions at offsets 0, 2, 4, ...: a name alone, or (name, arg) with argval None."""
    made = []
    for offset, name in enumerate(names):
        opname, arg = (name, None) if isinstance(name, str) else name
        made.append(Instruction(opname, arg, None if opname == "LOAD_CONST" else arg, 2 * offset))
    return made


@pytest.mark.parametrize(
    "instructions, count, exits",
    [
        # 3.11: a return value put aside, the Nones, PRECALL and CALL 2; the handler.
        (written(("CALL", 1), ("SWAP", 2), "LOAD_CONST", "LOAD_CONST", "LOAD_CONST", ("PRECALL", 2), ("CALL", 2),
                 "POP_TOP", "RETURN_VALUE", "PUSH_EXC_INFO", "WITH_EXCEPT_START", "POP_JUMP_FORWARD_IF_TRUE"),
         2, {1, 2, 3, 4, 5, 6, 9, 10}),
        # 3.14: the exit is called with three arguments, the manager as self.
        (written("NOP", "LOAD_CONST", "LOAD_CONST", "LOAD_CONST", ("CALL", 3), "POP_TOP",
                 "PUSH_EXC_INFO", "WITH_EXCEPT_START", "TO_BOOL"),
         3, {0, 1, 2, 3, 4, 6, 7}),
        # Before 3.14, f(None, None, None) is no exit.
        (written("PUSH_NULL", "LOAD_CONST", "LOAD_CONST", "LOAD_CONST", ("CALL", 3), "POP_TOP"), 2, set()),
    ],
    ids=["3.11 return in a block", "3.14 end and error", "a call of three Nones"],
)
def test_exit_recognition_knows_each_compilers_form(instructions, count, exits):
    assert stops._exit_offsets(instructions, count) == {2 * index for index in exits}


def test_every_finally_of_korvane_is_inside_a_marked_cleanup():
    """Anywhere else a stop at its first line would skip it (the rule in the stops module's text)."""
    marks = {"runs_to_its_end", "cleanup_context"}
    outside = []
    for path in sorted(KORVANE.rglob("*.py")):
        if path.name == "stops.py":  # the mechanism itself, marked by its code
            continue

        def walk(node, decorators):
            for child in ast.iter_child_nodes(node):
                if isinstance(child, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    names = {ast.unparse(each).split(".")[-1].split("(")[0] for each in child.decorator_list}
                    walk(child, names)
                    continue
                if isinstance(child, ast.Try) and child.finalbody and not decorators & marks:
                    outside.append(f"{path.relative_to(KORVANE)}:{child.finalbody[0].lineno}")
                walk(child, decorators)

        walk(ast.parse(path.read_text()), set())
    assert outside == []


# ---------------------------------------------------------------- locks held around a call


class Held(Exception):
    pass


@pytest.mark.parametrize("lock_type", [threading.Lock, threading.RLock])
@pytest.mark.parametrize("ending", ["returns", "raises", "stopped"])
def test_call_holding_releases_the_lock_however_the_call_ends(lock_type, ending):
    lock = lock_type()
    seen = []

    def call(value, *, key):
        seen.append((value, key, lock.locked() if hasattr(lock, "locked") else lock._is_owned()))
        if ending == "raises":
            raise Held()
        if ending == "stopped":
            raise KeyboardInterrupt()
        return value

    if ending == "returns":
        assert stops.call_holding(lock, call, 7, key="k") == 7
    else:
        with pytest.raises(Held if ending == "raises" else KeyboardInterrupt):
            stops.call_holding(lock, call, 7, key="k")
    assert seen == [(7, "k", True)]
    assert lock.acquire(blocking=False)  # free again
    lock.release()


@pytest.mark.parametrize(
    "lock, function, args, kwargs, message",
    [
        (object(), print, (), {}, "takes a threading.Lock"),
        (contextlib.nullcontext(), print, (), {}, "takes a threading.Lock"),
        (threading.Lock(), 3, (), {}, "takes a callable"),
        (threading.Lock(), print, [], {}, "incompatible function arguments"),
        (threading.Lock(), print, (), [], "incompatible function arguments"),
    ],
    ids=["object", "python context", "not callable", "list of arguments", "list of keywords"],
)
def test_call_holding_refuses_what_is_no_lock_or_call_before_taking_anything(lock, function, args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        _kernels.call_holding(lock, function, args, kwargs)
    if isinstance(lock, type(threading.Lock())):
        assert not lock.locked()


def test_the_umask_read_natively_is_left_as_it_was():
    import os

    before = os.umask(0o027)
    try:
        assert _kernels.process_umask() == 0o027
        assert os.umask(0o027) == 0o027
    finally:
        os.umask(before)


# ---------------------------------------------------------------- log filters


def record_of(error):
    return logging.LogRecord("sqlalchemy.pool.impl.QueuePool", logging.ERROR, __file__, 1, "failed", None,
                             (type(error), error, error.__traceback__))


def errors_in_a_fit(caller_stopped):
    """The filters' verdicts on a fit's errors, the fit run in a script's ``except KeyboardInterrupt:`` or not."""
    if not caller_stopped:
        return errors_in_a_fit_inside({})
    try:
        raise KeyboardInterrupt()
    except KeyboardInterrupt:
        return errors_in_a_fit_inside({})


def errors_in_a_fit_inside(made):
    """Within a fit's stop handling: a real error, the fit's own stop, and an error raised handling it."""
    # A stop received in the block ends it, as KeyboardInterrupt again.
    with pytest.raises(KeyboardInterrupt), stops.ending_cleanly_on_stop():
        try:
            sqlite3.connect(":memory:").execute("no such statement")
        except sqlite3.Error as error:
            made["a real error"] = error
        try:
            signal.raise_signal(signal.SIGINT)
        except KeyboardInterrupt as stop:
            made["the fit's stop"] = stop
            try:
                raise sqlite3.ProgrammingError("Cannot operate on a closed cursor.")
            except sqlite3.Error as error:
                made["an error handling the stop"] = error
        kept = {name: stops._StopRecordsLeftOut().filter(record_of(error)) for name, error in made.items()}
        tracebacks = {}
        for name, error in made.items():
            record = record_of(error)
            stops._StopTracebacksLeftOut().filter(record)
            tracebacks[name] = record.exc_info is not None
    return kept, tracebacks


@pytest.mark.usefixtures("stops_as_by_default")
@pytest.mark.parametrize("caller_stopped", [False, True], ids=["plain", "inside the caller's except KeyboardInterrupt"])
def test_log_filters_leave_out_only_the_fits_own_stops(caller_stopped):
    kept, tracebacks = errors_in_a_fit(caller_stopped)
    expected = {"a real error": True, "the fit's stop": False, "an error handling the stop": False}
    assert kept == expected
    assert tracebacks == expected


# ---------------------------------------------------------------- clean-up contexts as contextlib's


def plain():
    yield "value"


def releasing():
    try:
        yield "value"
    finally:
        pass


def suppressing():
    try:
        yield "value"
    except ValueError:
        pass


def replacing():
    try:
        yield "value"
    except Exception as error:
        raise LookupError("replaced") from error


def outcome(make, error):
    """What leaves ``with make(generator)():`` when the block raises ``error`` (None: nothing raised)."""
    try:
        with make:
            if error is not None:
                raise error
    except BaseException as raised:
        return type(raised).__name__, raised is error
    return None


@pytest.mark.parametrize("generator", [plain, releasing, suppressing, replacing])
@pytest.mark.parametrize("error", [None, StopIteration, StopIteration("given"), RuntimeError, ValueError,
                                   KeyboardInterrupt, GeneratorExit])
def test_a_cleanup_context_ends_as_contextlibs_does(generator, error):
    def made():
        return error() if isinstance(error, type) else error

    ours = outcome(stops.cleanup_context(generator)(), made())
    theirs = outcome(contextlib.contextmanager(generator)(), made())
    assert ours == theirs
