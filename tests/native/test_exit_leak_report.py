"""nanobind's report of our instances still alive at exit: on in this build, and silent after the main job.

A reference-counting fault in a binding leaves an instance that outlives the
interpreter, and nanobind's exit report names it. Builds with the test hooks
keep the report on (release builds turn it off: a program may hold one of
our objects to the end, as a daemon thread's frame does, and that is no
fault of the program's). Each row runs a child interpreter and reads the
report from its stderr: the main job with every native module, pool workers
included, leaves nothing to report; an instance given a reference that
nobody gives back is named, and so is an engine a daemon thread holds, so
the first row cannot pass for a report that is off.

The modules keep their types and that setting in a nanobind domain of their
own, which no other package's nanobind modules join.
"""

import pathlib
import re
import subprocess
import sys

import pytest

from korvane.factors.technical import _pairtrader

MAIN_JOB = pathlib.Path(__file__).with_name("main_job_to_exit.py")

ONE_REFERENCE_NEVER_GIVEN_BACK = """
import ctypes
from korvane import _kernels

intervals = _kernels.Intervals(max_zscore_window=5, min_zscore_window=2)
ctypes.pythonapi.Py_IncRef(ctypes.py_object(intervals))
print("ok")
"""

# The interpreter never frees what a daemon thread's frame holds at exit.
ENGINE_HELD_BY_A_DAEMON_THREAD = """
import threading, time
import numpy as np
from korvane.factors.technical import _pairtrader

engine = _pairtrader.PairEngine(np.array([0]), np.array([1]))
threading.Thread(target=lambda held: time.sleep(600), args=(engine,), daemon=True).start()
print("ok")
"""


def instances_reported(stderr):
    return re.findall(r'leaked instance 0x[0-9a-f]+ of type "([^"]+)"', stderr)


@pytest.mark.skipif(
    not hasattr(_pairtrader, "settle_after_costs"),
    reason="built without KORVANE_TEST_HOOKS: a release build leaves the exit report off",
)
@pytest.mark.parametrize(
    "script, named",
    [
        (MAIN_JOB, []),
        (ONE_REFERENCE_NEVER_GIVEN_BACK, ["korvane._kernels.Intervals"]),
        (ENGINE_HELD_BY_A_DAEMON_THREAD, ["korvane.factors.technical._pairtrader.PairEngine"]),
    ],
    ids=["main job", "reference never given back", "engine held by a daemon thread"],
)
def test_the_exit_report_names_exactly_the_instances_left_alive(tmp_path, script, named):
    command = [sys.executable, str(script)] if isinstance(script, pathlib.Path) else [sys.executable, "-c", script]
    work = tmp_path / "work"
    work.mkdir()
    result = subprocess.run(command, capture_output=True, text=True, timeout=900, cwd=work)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1:] == ["ok"], result.stdout[-2000:]
    assert instances_reported(result.stderr) == named, result.stderr
    if not named:
        assert "leaked" not in result.stderr


DOMAINS_PROBE = """
import builtins, ctypes
import korvane._kernels, korvane.factors.technical._pairtrader, korvane.utils.results._scorebook
import korvane.rarAV._signalforge, korvane.connections.binance._coinlink

api = ctypes.pythonapi
api.PyInterpreterState_Get.restype = ctypes.c_void_p
api.PyInterpreterState_GetDict.argtypes = [ctypes.c_void_p]
api.PyInterpreterState_GetDict.restype = ctypes.py_object
keys = [*api.PyInterpreterState_GetDict(api.PyInterpreterState_Get()), *vars(builtins)]
registries = [key for key in keys if isinstance(key, str) and key.startswith("__nb_internals")]
assert len(registries) == 1 and registries[0].endswith("_korvane__"), registries
print("ok")
"""


def test_the_modules_share_one_nanobind_domain_of_their_own(fresh_interpreter):
    fresh_interpreter(DOMAINS_PROBE)
