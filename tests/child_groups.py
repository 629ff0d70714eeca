"""Children of a test, each leading a process group of its own, killed with all they started when the test ends.

A child that a failed assertion leaves running (or its pool's workers) would
otherwise outlive the test, and a forked child that is still running holds
up the end of the whole session, which waits for it.

Each child starts with the stops (Ctrl-C, SIGTERM, SIGHUP) as a program
started from a terminal has them, whatever this process inherited: a run
under ``nohup`` ignores SIGHUP, a background job of a script ignores Ctrl-C,
a child keeps what its parent ignores, and a fit leaves an ignored stop
ignored, so the stops that the tests send would never arrive.
"""

import contextlib
import gc
import multiprocessing
import os
import signal
import subprocess

FORK = multiprocessing.get_context("fork")

_STARTED = []

# Ctrl-C, then the stops that end a process by default.
STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def stops_as_by_default():
    """Ctrl-C raising KeyboardInterrupt, SIGTERM and SIGHUP ending the process: as Python starts from a terminal."""
    signal.signal(signal.SIGINT, signal.default_int_handler)
    for signum in STOPS[1:]:
        signal.signal(signum, signal.SIG_DFL)


def _stops_at_their_defaults_across_exec():
    """In a child about to run a new program: stops at their defaults, so a new interpreter sets its Ctrl-C handler."""
    for signum in STOPS:
        signal.signal(signum, signal.SIG_DFL)


def _as_group_leader(target, args, mask):
    os.setpgid(0, 0)
    stops_as_by_default()
    signal.pthread_sigmask(signal.SIG_SETMASK, mask)  # a stop that came meanwhile arrives now
    target(*args)


def fork_group(target, *args):
    """Start ``target(*args)`` in a forked child whose process group is its own (its pid)."""
    # SQLite's connections must not cross a fork: a child whose parent held
    # the study file open reads stale trial states. Those the tests dropped
    # are closed first (the collector alone would close them, at any time).
    gc.collect()
    # Born with the stops blocked, the child sets them before any reaches it:
    # a stop sent at once still meets the dispositions above, not this process's.
    mask = signal.pthread_sigmask(signal.SIG_BLOCK, STOPS)
    try:
        child = FORK.Process(target=_as_group_leader, args=(target, args, mask))
        child.start()
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, mask)
    with contextlib.suppress(OSError):  # set from both sides: the group exists before either goes on
        os.setpgid(child.pid, child.pid)
    _STARTED.append(child)
    return child


def popen_group(*args, **kwargs):
    """``subprocess.Popen`` in a session (and process group) of its own, its stops at their defaults."""
    process = subprocess.Popen(
        *args, start_new_session=True, preexec_fn=_stops_at_their_defaults_across_exec, **kwargs
    )
    _STARTED.append(process)
    return process


def group_members(pgid):
    """Live processes of the process group ``pgid``, read from /proc."""
    members = []
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            with open(os.path.join(entry.path, "stat")) as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[2]) == pgid and fields[0] != "Z":
            members.append(int(entry.name))
    return members


def end_groups():
    """Kill every group started by this test and reap its leader."""
    while _STARTED:
        child = _STARTED.pop()
        with contextlib.suppress(OSError):
            os.killpg(child.pid, signal.SIGKILL)
        if isinstance(child, subprocess.Popen):
            child.wait()
        else:
            child.join()
