"""The native scan of a saved pipeline's stream against what the interpreter's unpickler makes of it.

Random streams of the opcodes that push, nest, fill and memoise are loaded
with plain ``pickle.loads`` and through the scan: whatever the scan lets
through loads to the same value, and nests no deeper than the scan's limit,
however its containers were filled, shared or put inside one another.
"""

import pickle
import random

import pytest

from korvane._kernels import PickleCall, PickleScanOutcome, scan_pickle
from korvane.rarAV._tradegate import bounded_unpickler
from korvane.rarAV._tradegate.admitted_objects import Refused, admitted_pieces

NESTING = 4


def depth(value):
    """Containers nested in ``value``, itself included (texts and numbers: 0)."""
    if type(value) not in (list, tuple, dict):
        return 0
    inner = value.values() if type(value) is dict else value
    return 1 + max((depth(item) for item in inner), default=0)


def random_stream(rng, length):
    """A protocol 4 stream of about ``length`` structural opcodes, most with the stack items they need, and STOP.

    ``above`` counts the items above the innermost mark, ``marks`` those below each mark.
    """
    above, marks, memo, ops = 0, [], set(), []
    for _ in range(length):
        choices = [b"N", b"K\x07", b"\x8c\x01k", b"\x8c\x01v", b")", b"]", b"}", b"("]
        if memo:
            choices.append(b"h" + bytes([rng.choice(sorted(memo))]))
        if above:
            choices += [b"0", b"2", b"\x85", b"q" + bytes([rng.randrange(4)])]
        if above >= 2:
            choices += [b"a", b"\x86"]
        if above >= 3:
            choices += [b"s", b"\x87"]
        if marks:
            choices += [b"t", b"l", b"1"] + ([b"d"] if above % 2 == 0 else [])
            if marks[-1]:
                choices += [b"e"] + ([b"u"] if above % 2 == 0 else [])
        op = rng.choice(choices)
        ops.append(op)
        if op == b"(":
            marks.append(above)
            above = 0
        elif op in (b"t", b"l", b"d"):
            above = marks.pop() + 1
        elif op in (b"e", b"u"):
            above = marks.pop()
        elif op == b"1":
            above = marks.pop()
        elif op in (b"0", b"a"):
            above -= 1
        elif op in (b"s", b"\x86"):
            above -= 2 if op == b"s" else 1
        elif op == b"\x87":
            above -= 2
        elif op[:1] == b"q":
            memo.add(op[1])
        elif op not in (b"\x85",):
            above += 1
    return b"\x80\x04" + b"".join(ops) + (b"N" if not above else b"") + b"."


def scanned_load(data):
    return bounded_unpickler.PipelineUnpickler(*_scan(data), admitted_pieces(), 10**9).load()


def _scan(data):
    outcome, message, stream, _, _ = scan_pickle(data, 96, 8 << 20, NESTING, 4300)
    if outcome != PickleScanOutcome.LOADS:
        raise Refused(message)
    return (stream,)


def test_what_the_scan_lets_through_loads_as_plain_pickle_does_and_nests_within_its_limit():
    rng = random.Random(7)
    counts = {"same": 0, "refused": 0}
    for _ in range(20_000):
        data = random_stream(rng, rng.randrange(1, 40))
        try:
            plain = pickle.loads(data)
        except Exception:
            plain = None
            failed = True
        else:
            failed = False
        try:
            ours = scanned_load(data)
        except (pickle.UnpicklingError, Refused):
            counts["refused"] += 1
            continue
        except Exception:
            assert failed, data  # the interpreter's own errors only where plain pickle fails too
            continue
        assert not failed and ours == plain and depth(ours) <= NESTING, data
        counts["same"] += 1
    # Both kinds are met often enough to mean something.
    assert counts["same"] > 1000 and counts["refused"] > 1000, counts


@pytest.mark.parametrize("cut", [1, 2, 5, 9, 13])
def test_a_stream_cut_anywhere_is_found_cut(cut):
    data = pickle.dumps({"a": [1, (2, "x" * 300)], "b": b"y" * 70_000}, protocol=4)
    outcome, message, *_ = scan_pickle(data[: len(data) * cut // 14], 96, 8 << 20, NESTING, 4300)
    assert (outcome, message) == (PickleScanOutcome.MALFORMED, "pickle data was truncated")


def test_the_stream_is_the_file_unframed_with_its_calls_rewritten():
    data = pickle.dumps([{"k": (1.5, None)}] * 3 + [b"z" * 70_000], protocol=5)
    outcome, _, stream, left, read = scan_pickle(data, 96, 8 << 20, NESTING, 4300)
    built = (8 << 20) + 96 * read - left
    assert outcome == PickleScanOutcome.LOADS and read == len(data) and 0 < built < 96 * len(data)
    assert pickle.loads(stream) == pickle.loads(data)


def test_every_call_the_scan_writes_has_a_hook():
    assert set(bounded_unpickler._HOOKS) == set(PickleCall)


FAR = "far more than a pipeline of its size"
REFUSED, MALFORMED = PickleScanOutcome.REFUSED, PickleScanOutcome.MALFORMED


@pytest.mark.parametrize("data, outcome, message", [
    # The unpickler's memo grows to twice the largest index: 16 bytes an index overflowed at 2**59,
    # the running total below it.
    (b"Np576460752303423488\n.", REFUSED, FAR),
    (b"Np576460752303423487\n.", REFUSED, FAR),
    (b"Np999999999999999999\n.", REFUSED, FAR),
    (b"Np1000000000000000000\n.", MALFORMED, "no memo index"),
    (b"\x80\x04Nr\xff\xff\xff\xff.", REFUSED, FAR),
    (b"Ng999999999999999999\n.", MALFORMED, "Memo value not found at index 999999999999999999"),
    (b"\x80\x04Nj\xff\xff\xff\xff.", MALFORMED, "Memo value not found at index 4294967295"),
    # Lengths of 1, 4 and 8 bytes, and frames, that claim past the end of the file.
    (b"\x80\x04\x8a\xff.", MALFORMED, "truncated"),
    (b"\x80\x04\x8b\xff\xff\xff\x7f.", MALFORMED, "truncated"),
    (b"\x80\x04T\xff\xff\xff\xff.", MALFORMED, "negative byte count"),
    (b"\x80\x04\x8d" + b"\xff" * 8 + b".", MALFORMED, "truncated"),
    (b"\x80\x04\x95" + b"\xff" * 8 + b"N.", MALFORMED, "truncated"),
])
def test_integers_at_the_edges_of_their_fields_are_refused_before_any_arithmetic(data, outcome, message):
    found, text, *_ = scan_pickle(data, 96, 8 << 20, NESTING, 4300)
    assert found == outcome and message in text, text


def test_a_memo_the_scan_cannot_hold_is_refused_saying_so():
    # The largest allowance: 2**44 bytes for a 16 MiB file, whose memo of 2**40 places no process holds.
    data = b"Np1099511627776\n." + bytes(2**24)
    outcome, message, *_ = scan_pickle(data, 1 << 20, 1 << 40, NESTING, 4300)
    assert (outcome, message) == (REFUSED, "it builds more than this process can hold (a memo of 1099511627777 places)")


# A damaged version text makes scikit-learn warn of the version the estimator came from.
@pytest.mark.filterwarnings("ignore")
@pytest.mark.parametrize("protocol", [0, 2, 5])
def test_a_damaged_pipeline_is_refused_or_loads_and_never_takes_the_interpreter_down(protocol):
    from sklearn.naive_bayes import GaussianNB

    rng = random.Random(protocol)
    model = GaussianNB().fit([[0.0, 1.0], [1.0, 0.0], [2.0, 2.0]], [0, 1, 1])
    data = pickle.dumps({"model": model, "columns": ["a", "b"], "kept": (1, 2.5, None)}, protocol=protocol)
    for _ in range(600):
        damaged = bytearray(data)
        for _ in range(rng.choice((1, 2, 4))):
            at = rng.randrange(len(damaged))
            change = rng.randrange(3)
            if change == 0:
                damaged[at] = rng.randrange(256)
            elif change == 1:
                damaged.insert(at, rng.randrange(256))
            else:
                del damaged[at]
        try:
            bounded_unpickler.load_bounded(bytes(damaged), admitted_pieces())
        except (pickle.UnpicklingError, ValueError, TypeError, KeyError, IndexError, AttributeError,
                OverflowError, EOFError, UnicodeDecodeError):
            pass
