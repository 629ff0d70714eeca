"""Print this Python's version if pyproject.toml admits it; otherwise exit naming the range.

Run by the Makefile before it makes the venv, and by CI to find the oldest
Python on the machine that the project admits. Written for old
interpreters too, so that any python3 gets the one-line answer instead of a
resolver's trace.
"""
import os
import re
import sys

PYPROJECT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "pyproject.toml")

with open(PYPROJECT) as handle:
    spec = re.search(r'^requires-python\s*=\s*"([^"]*)"', handle.read(), re.MULTILINE).group(1)

have = tuple(sys.version_info[:3])
tests = {
    ">=": lambda want: have >= want,
    ">": lambda want: have > want,
    "<=": lambda want: have <= want,
    "<": lambda want: have < want,
}
admitted = all(
    tests[operator](tuple(int(part) for part in version.split(".")))
    for operator, version in re.findall(r"(>=|<=|>|<)\s*([0-9][0-9.]*)", spec)
)
version = ".".join(str(part) for part in have)
if not admitted:
    sys.exit("korvane needs Python %s; %s is Python %s" % (spec, sys.executable, version))
print(version)
