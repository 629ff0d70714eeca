"""Children of a test, each leading a process group of its own, killed with all they started when the test ends.

A child that a failed assertion leaves running (or its pool's workers) would
otherwise outlive the test, and a forked child that is still running holds
up the end of the whole session, which waits for it.
"""

import contextlib
import multiprocessing
import os
import signal
import subprocess

FORK = multiprocessing.get_context("fork")

_STARTED = []


def _as_group_leader(target, args):
    os.setpgid(0, 0)
    target(*args)


def fork_group(target, *args):
    """Start ``target(*args)`` in a forked child whose process group is its own (its pid)."""
    child = FORK.Process(target=_as_group_leader, args=(target, args))
    child.start()
    with contextlib.suppress(OSError):  # set from both sides: the group exists before either goes on
        os.setpgid(child.pid, child.pid)
    _STARTED.append(child)
    return child


def popen_group(*args, **kwargs):
    """``subprocess.Popen`` in a session (and process group) of its own."""
    process = subprocess.Popen(*args, start_new_session=True, **kwargs)
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
