"""A Ctrl-C at every ``with`` and every clean-up line that a fit or a read of its study runs.

A sweeping child runs the work once under a recording trace function, which
finds the places: each line of korvane holding a ``with`` (the block's entry
and its exits, normal or by an error, are line events there) and each line
run inside a clean-up. Then, for each place and each of its first hits and
its last, a grandchild (forked, so each starts from the same state, on a
copy of the study folder) runs the work again with one Ctrl-C sent at that
hit, keeps the stop as a notebook keeps it, and reports what stays held:
locks on the study's files and folder (from /proc/locks), korvane's module
locks, the factor's call lock (a call from another thread must end), a fit of
another study in the folder (it must return), the traceback printed, and how
the stop surfaced (as ``KeyboardInterrupt``). Where the interpreter has
``sys.monitoring`` (3.12 on), pairs of stops follow: one at each place's
first hit, a second a few lines later, wherever that is.
"""

import ast
import collections
import contextlib
import os
import pathlib
import shutil
import signal
import sys
import threading

import pytest

import korvane
from child_groups import fork_group
from factor.daily_factor import daily_factor
from factor.optimisation.test_stops_in_cleanups import held_locks
from factor.optimisation.test_study_faults import FORK
from korvane._common import stops, study_settings
from korvane._common.synthetic_universe import universe_table

pytestmark = pytest.mark.usefixtures("in_tmp_dir")

KORVANE = os.path.dirname(os.path.abspath(korvane.__file__)) + os.sep
NAME = "sweep"
STUDY_FILE = NAME + "_1440_annual_sharpe_ratio_0.9_PairsTradingSerialCointegrationFactor.db"
GRANDCHILD_SECONDS = 90
PAIR_GAPS = (1, 3)  # line events from the first stop to the second


def with_lines():
    """(file, line) of every ``with`` statement in korvane's code: its entry and its exits are line events there."""
    lines = set()
    for path in pathlib.Path(KORVANE).rglob("*.py"):
        for node in ast.walk(ast.parse(path.read_text(), str(path))):
            if isinstance(node, ast.With):
                lines.add((str(path), node.lineno))
    return lines


def ours(frame):
    return frame.f_code.co_filename.startswith(KORVANE)


class Recorder:
    """Counts the hits of each line of korvane's code; notes the lines run inside a clean-up."""

    def __init__(self):
        self.hits = collections.Counter()
        self.in_cleanups = set()

    def __call__(self, frame, event, arg):
        return self.local if ours(frame) else None

    def local(self, frame, event, arg):
        if event == "line":
            place = (frame.f_code.co_filename, frame.f_lineno)
            self.hits[place] += 1
            if stops.cleanup_running(frame):
                self.in_cleanups.add(place)
        return self.local


class StopAt:
    """A trace function sending Ctrl-C at the ``hit``-th line event of ``place``."""

    def __init__(self, place, hit):
        self.place, self.hit, self.count, self.sent = place, hit, 0, 0

    def __call__(self, frame, event, arg):
        return self.local if ours(frame) else None

    def local(self, frame, event, arg):
        if event == "line" and (frame.f_code.co_filename, frame.f_lineno) == self.place:
            self.count += 1
            if self.count == self.hit:
                self.sent += 1
                signal.raise_signal(signal.SIGINT)
        return self.local

    @contextlib.contextmanager
    def sending(self):
        sys.settrace(self)
        try:
            yield
        finally:
            sys.settrace(None)


class StopPairAt:
    """Ctrl-C at the ``hit``-th line event of ``place``, and again ``gap`` line events of korvane later.

    Through ``sys.monitoring``, whose callbacks stay on after one of them
    raised (a trace function that raises is taken off).
    """

    TOOL = 4

    def __init__(self, place, hit, gap):
        self.place, self.hit, self.gap, self.count, self.sent, self.after = place, hit, gap, 0, 0, None

    def line(self, code, number):
        if not code.co_filename.startswith(KORVANE):
            return sys.monitoring.DISABLE
        if self.after is not None:
            self.after -= 1
            if self.after == 0:
                self.after = None
                self.sent += 1
                signal.raise_signal(signal.SIGINT)
        elif self.sent == 0 and (code.co_filename, number) == self.place:
            self.count += 1
            if self.count == self.hit:
                self.after = self.gap
                self.sent += 1
                signal.raise_signal(signal.SIGINT)
        return None

    @contextlib.contextmanager
    def sending(self):
        monitoring = sys.monitoring
        monitoring.use_tool_id(self.TOOL, "stop sweep")
        monitoring.register_callback(self.TOOL, monitoring.events.LINE, self.line)
        monitoring.set_events(self.TOOL, monitoring.events.LINE)
        try:
            yield
        finally:
            monitoring.set_events(self.TOOL, 0)
            monitoring.register_callback(self.TOOL, monitoring.events.LINE, None)
            monitoring.free_tool_id(self.TOOL)


# ---------------------------------------------------------------- the work swept


def fitted_factor():
    factor = daily_factor(NAME, universe_table(n_securities=3, n_bars=400))
    factor.fit(1)
    return factor


def prepare_fit(folder):
    return fitted_factor(), lambda factor: factor.fit(1)


def prepare_no_study(folder):
    factor = fitted_factor()
    with open(STUDY_FILE, "wb") as study:
        study.write(b"not a study, written over the path of one\n" * 64)
    return factor, lambda factor: factor.fit(1)


def prepare_results(folder):
    return fitted_factor(), lambda factor: factor.get_full_backtest_results()


RUNS = {"one-job fit": prepare_fit, "fit of a path holding no study": prepare_no_study,
        "backtest results": prepare_results}


def module_locks_held():
    """korvane's module-level locks that are held now, by name."""
    lock_types = (type(threading.Lock()), type(threading.RLock()))
    held = []
    for name, module in list(sys.modules.items()):
        if not name.startswith("korvane"):
            continue
        for attribute, value in list(vars(module).items()):
            if isinstance(value, lock_types):
                free = []
                # From another thread, where a re-entrant lock held by this one is seen as held.
                probe = threading.Thread(target=lambda: free.append(value.acquire(timeout=0) and not value.release()))
                probe.start()
                probe.join()
                if free != [True]:
                    held.append(f"{name}.{attribute}")
    return held


def ends_in_a_thread(call, seconds=30):
    def run():
        with contextlib.suppress(Exception):
            call()

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(seconds)
    return not thread.is_alive()


def another_study_fits(other):
    """Whether a fit of another study in the folder returned (a lock left behind fails it in 5 s)."""
    returned = []
    ends_in_a_thread(lambda: returned.append(other.fit(1)), 60)
    return returned == [None]


def stopped_once(factor, other, work, stop, folder):
    """In a grandchild: the work with the stop sent, then what stays held."""
    err = os.open("stderr", os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    os.dup2(err, 2)
    try:
        with stop.sending():
            work(factor)
        kept = None
    except BaseException as error:
        kept = error  # referenced, as a notebook keeps the last exception
    if not stop.sent:
        return None
    path = os.path.join(folder, STUDY_FILE)
    locks = held_locks([folder] + [path + suffix for suffix in ("", "-wal", "-shm", ".lock")])
    report = {
        "surfaced as": type(kept).__name__,
        "locks on the study": locks,
        "module locks held": module_locks_held(),
        "call from another thread ended": ends_in_a_thread(factor.get_clean_dataframe),
        "another study fitted": another_study_fits(other),
    }
    with open("stderr") as printed:
        report["traceback printed"] = "Traceback" in printed.read()
    return report


EXPECTED = {
    "surfaced as": "KeyboardInterrupt",
    "locks on the study": [],
    "module locks held": [],
    "call from another thread ended": True,
    "another study fitted": True,
    "traceback printed": False,
}


def in_grandchild(base, number, job):
    """``job(folder)`` in a forked grandchild, on its own copy of ``base``; its result, or why there is none."""
    folder = os.path.join(os.path.dirname(base), f"stop-{number}")
    shutil.copytree(base, folder)
    reading, writing = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.close(reading)
            os.chdir(folder)
            result = job(folder)
            with os.fdopen(writing, "w") as out:
                out.write(repr(result))
            code = 0
        finally:
            os._exit(code)
    os.close(writing)
    ended = threading.Event()
    killer = threading.Timer(GRANDCHILD_SECONDS, lambda: ended.is_set() or os.kill(pid, signal.SIGKILL))
    killer.start()
    with os.fdopen(reading) as answer:
        text = answer.read()
    _, status = os.waitpid(pid, 0)
    ended.set()
    killer.cancel()
    shutil.rmtree(folder, ignore_errors=True)
    if not text:
        return {"grandchild": f"no report (wait status {status})"}
    return eval(text)  # a dict of plain values, or None


def chosen_hits(count, with_line):
    firsts = (1, 2, 3) if with_line else (1, 2)
    return sorted({hit for hit in firsts if hit <= count} | {count})


def sweep(run, every_line, pairs, sending):
    """The sweeping child: the places, then one grandchild a stop; sends the faults found and the count."""
    study_settings.SQLITE_BUSY_TIMEOUT_SECONDS = 5.0  # a lock left behind fails quickly
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, signal.SIG_DFL)
    signal.signal(signal.SIGINT, signal.default_int_handler)
    base = os.path.abspath("base")
    os.mkdir(base)
    os.chdir(base)
    other = daily_factor("other", universe_table(n_securities=3, n_bars=400))
    other.fit(1)  # its study made: a later fit of it only adds a trial
    factor, work = RUNS[run](base)
    recorder = Recorder()
    sys.settrace(recorder)
    try:
        work(factor)
    except Exception:
        pass
    finally:
        sys.settrace(None)
    os.chdir("..")
    withs = with_lines()
    stops_to_send = []
    for place, count in sorted(recorder.hits.items()):
        if every_line:
            stops_to_send.append(StopAt(place, 1))
        elif pairs:
            if place in withs or place in recorder.in_cleanups:
                stops_to_send.extend(StopPairAt(place, 1, gap) for gap in PAIR_GAPS)
        elif place in withs or place in recorder.in_cleanups:
            stops_to_send.extend(StopAt(place, hit) for hit in chosen_hits(count, place in withs))
    faults = []
    sent = 0
    for number, stop in enumerate(stops_to_send):
        report = in_grandchild(base, number, lambda folder: stopped_once(factor, other, work, stop, folder))
        if report is None:
            continue
        sent += 1
        wrong = {key: value for key, value in report.items() if EXPECTED.get(key) != value}
        if wrong:
            where = f"{os.path.relpath(stop.place[0], KORVANE)}:{stop.place[1]} hit {stop.hit}"
            faults.append(where + (f" +{stop.gap} lines" if pairs else "") + f": {wrong}")
    sending.send((len(recorder.hits), len(stops_to_send), sent, faults))


def swept(run, every_line=False, pairs=False):
    receiving, sending = FORK.Pipe(duplex=False)
    child = fork_group(sweep, run, every_line, pairs, sending)
    child.join(1500)
    assert receiving.poll(5), f"the sweep did not report (exit code {child.exitcode})"
    return receiving.recv()


@pytest.mark.parametrize("run", list(RUNS))
def test_a_stop_at_any_with_or_cleanup_line_leaves_nothing_held(run):
    lines, places, sent, faults = swept(run)
    assert places > 20 and sent > 0.9 * places, (lines, places, sent)
    assert faults == [], "\n".join(faults)


@pytest.mark.skipif(sys.version_info < (3, 12), reason="pairs of stops need sys.monitoring")
@pytest.mark.parametrize("run", list(RUNS))
def test_two_stops_a_few_lines_apart_leave_nothing_held(run):
    lines, places, sent, faults = swept(run, pairs=True)
    assert sent > 0.9 * places, (lines, places, sent)
    assert faults == [], "\n".join(faults)


def test_a_stop_at_any_line_of_a_short_fit_leaves_nothing_held():
    lines, places, sent, faults = swept("one-job fit", every_line=True)
    assert places == lines and sent > 0.9 * places, (lines, places, sent)
    assert faults == [], "\n".join(faults)
