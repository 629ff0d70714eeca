"""Write the seed corpus of the pickle scan's fuzz target: cpp/fuzz/corpus/.

    .venv/bin/python scripts/make_pickle_corpus.py [folder]

The seeds are:

- genuine pipelines, as the final fit saves them, of every model kind at
  every protocol from 0 to 5, from the interpreter's pickler and from the
  Python one (where they differ);
- the hostile rows of the loader's and the scan's tests, read from the test
  tables themselves; rows larger than ``LARGEST`` are written again at a
  smaller scale, by the same helpers where the tests have them;
- streams with every integer field at its edges: memo indices in text and
  binary forms, lengths of 1, 4 and 8 bytes, frame lengths, protocols,
  numbers written as text at the digit limit;
- random streams of the structural opcodes, as the scan's own test makes.

The folder is emptied first; the output is the same at every run, so a
change in the committed corpus is a change in what it holds.
"""

import hashlib
import pathlib
import pickle
import random
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The test folder is on the path the way the suite puts it, so its tables import as they do there.
sys.path.insert(0, str(ROOT / "tests"))

import numpy as np  # noqa: E402
from sklearn.naive_bayes import GaussianNB  # noqa: E402

from classifier import test_pipeline_scan as scan_tests  # noqa: E402
from classifier import test_saved_pipeline_files as loader_tests  # noqa: E402
from classifier import test_saved_pipeline_values as value_tests  # noqa: E402

LARGEST = 16 * 1024  # the fuzz target's -max_len
HEADER = pickle.PROTO + b"\x04"


def parametrized_rows(test):
    """The rows of a test's parametrize mark."""
    (mark,) = [mark for mark in test.pytestmark if mark.name == "parametrize"]
    return mark.args[1]


def genuine_pipelines():
    for params in parametrized_rows(loader_tests.test_every_pickle_protocol_round_trips):
        # Members without a random state of their own draw theirs from numpy's global one.
        np.random.seed(40)
        pipeline = loader_tests.fitted_pipeline(**params)
        name = params["classifier_model_to_use"]
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            written = pickle.dumps(pipeline, protocol=protocol)
            yield f"pipeline-{name}-p{protocol}", written
            by_python = pickle._dumps(pipeline, protocol=protocol)
            if by_python != written:
                yield f"pipeline-{name}-p{protocol}-python", by_python


def hostile_rows():
    """Every row of the loader's and the scan's hostile tables that is a file's content."""
    rows = [(f"hostile-{name}", make) for name, (make, _) in loader_tests.COSTLY_FILES.items()]
    rows += [(f"unadmitted-{name}", make) for name, (make, _) in loader_tests.UNADMITTED_WAYS.items()]
    first = parametrized_rows(loader_tests.test_hostile_files_are_refused_before_any_pipeline_field_changes)
    rows += [(f"refused-{index}", make) for index, (make, _) in enumerate(first) if callable(make)]
    rows += [(f"value-{name}", lambda row=row: value_tests.content_of(row))
             for name, (row, _) in value_tests.VALUE_CHECKS.items()]
    rows += [(f"genuine-value-{name}", lambda value=value: pickle.dumps(value, protocol=4))
             for name, value in value_tests.GENUINE_VALUES.items()]
    edges = parametrized_rows(scan_tests.test_integers_at_the_edges_of_their_fields_are_refused_before_any_arithmetic)
    rows += [(f"scan-edge-{index}", data) for index, (data, _, _) in enumerate(edges)]
    for name, make in rows:
        if make is loader_tests.fifo:
            continue
        data = make() if callable(make) else make
        if len(data) <= LARGEST:
            yield name, data


def smaller_hostile_rows():
    """The large hostile rows at a scale the fuzzer runs fast: the same shape, with fewer repeats."""
    t = loader_tests
    tuple1, empty = pickle.TUPLE1, pickle.EMPTY_TUPLE
    np.random.seed(40)
    deep_member = t.fitted_pipeline()
    deep_member["classifier_model"].estimators_ *= 50
    yield "small-deep-key", HEADER + pickle.EMPTY_DICT + empty + tuple1 * 200 + pickle.NONE + pickle.SETITEM + b"."
    yield "small-deep-class", HEADER + empty + tuple1 * 200 + empty + pickle.NEWOBJ + b"."
    yield "small-deep-list", HEADER + pickle.MARK * 200 + pickle.LIST * 200 + b"."
    shape = (1 << 1000,) * 20
    yield "small-huge-shape", pickle.dumps(t.Calls(*t.SHELL.reduced, (1, shape, np.dtype("f8"), False, b"")))
    yield "small-long-version", pickle.dumps([t.Makes(GaussianNB, {"_sklearn_version": "1" * 2000})] * 2)
    yield "small-empty-sets", HEADER + pickle.EMPTY_SET * 1000 + b"."
    yield "small-empty-lists", HEADER + pickle.EMPTY_LIST * 1000 + b"."
    yield "small-bytes-after-stop", HEADER + pickle.EMPTY_LIST * 500 + b"." + bytes(2000)
    yield "small-flexible-scalars", t.flexible_scalars(30, size=2**10)
    yield "small-shell-arguments", t.shells_of_long_arguments(3, length=1000)
    yield "small-lists-filled-inside", t.filled_inside(1000, b"]", b"]q\x01a")
    yield "small-dicts-filled-inside", t.filled_inside(1000, b"}", b"\x8c\x01k}q\x01s")
    yield "small-arrays-filled-inside", t.array_runs(3, per_run=5)
    yield "small-repeated-member", pickle.dumps(deep_member)
    yield "small-long-module", HEADER + b"c" + b"m" * 5000 + b"\nx\n."
    yield "small-long-number", HEADER + b"F" + b"1" * 5000 + b"x\n."
    yield "small-long-n_jobs", t.parallel_bagging("j" * 2000)
    yield "small-long-qualname", HEADER + t.GNB + b"}\x8c\x0c__qualname__" + t.long_text("q" * 5000) + b"sb)R."


# The edges of a field of each width, and their neighbours.
EDGES = {
    1: (0, 1, 0x7F, 0x80, 0xFE, 0xFF),
    2: (0, 1, 0x7FFF, 0x8000, 0xFFFF),
    4: (0, 1, 0x7FFF_FFFF, 0x8000_0000, 0xFFFF_FFFE, 0xFFFF_FFFF),
    8: (0, 1, 2**31, 2**32, 2**59 - 1, 2**59, 2**63 - 1, 2**63, 2**64 - 1),
}
TEXT_INDICES = (0, 31, 32, 2**31, 2**32, 2**59 - 1, 2**59, 10**17, 10**18 - 1, 10**18, 2**63, 2**64)


def counted(op, width, length, payload):
    return op + length.to_bytes(width, "little") + payload


def integer_edges():
    """Streams whose integer fields sit at the edges of what their width holds."""
    # Memo indices: text (PUT, GET), one byte and four bytes (BINPUT, LONG_BINPUT, and their GETs).
    for index in TEXT_INDICES:
        text = str(index).encode()
        yield f"edge-put-text-{index}", b"Np" + text + b"\n."
        yield f"edge-put-get-text-{index}", b"Np" + text + b"\n0g" + text + b"\n."
        yield f"edge-get-text-{index}", b"N0g" + text + b"\n."
    for text in (b"", b"-1", b"+1", b" 1", b"1 ", b"0x10", b"1_0", b"9" * 40):
        yield f"edge-put-text-odd-{text.hex()}", b"Np" + text + b"\n."
    for width, put, get in ((1, b"q", b"h"), (4, b"r", b"j")):
        for index in EDGES[width]:
            field = index.to_bytes(width, "little")
            yield f"edge-put-{width}-{index}", HEADER + b"N" + put + field + b"."
            yield f"edge-put-get-{width}-{index}", HEADER + b"N" + put + field + b"0" + get + field + b"."
    yield "edge-memoize-many", HEADER + b"N\x94" * 300 + b"h\x00j\x2b\x01\x00\x00."
    # Lengths of 1, 4 and 8 bytes, each at its edges: met by the data that follows when small.
    for op, width in ((b"U", 1), (b"C", 1), (b"\x8c", 1), (b"\x8a", 1), (b"T", 4), (b"X", 4), (b"B", 4),
                      (b"\x8b", 4), (b"\x8d", 8), (b"\x8e", 8), (b"\x96", 8)):
        for length in EDGES[width]:
            payload = b"a" * length if length <= 256 else b"a" * 16
            yield f"edge-length-{op.hex()}-{width}-{length}", HEADER + counted(op, width, length, payload) + b"."
    # Frames: empty, exact, short, long, and claims past the file's end.
    for length in EDGES[8] + (2, 3):
        yield f"edge-frame-{length}", HEADER + counted(b"\x95", 8, length, b"N.") + b"N."
    yield "edge-frames-nested", HEADER + counted(b"\x95", 8, 11, counted(b"\x95", 8, 2, b"N.")) + b"N."
    # Binary integers of 1, 2 and 4 bytes, and the protocol byte.
    for op, width in ((b"K", 1), (b"M", 2), (b"J", 4)):
        for value in EDGES[width]:
            yield f"edge-int-{op.hex()}-{value}", HEADER + op + value.to_bytes(width, "little") + b"."
    for protocol in (0, 2, 5, 6, 0x7F, 0xFF):
        yield f"edge-proto-{protocol}", b"\x80" + bytes([protocol]) + b"N."
    # Numbers written as text: at the digit limit, one past it, and floats of every shape.
    for digits in (4300, 4301, 4302, 4303):
        yield f"edge-int-digits-{digits}", b"I" + b"1" * digits + b"\n."
        yield f"edge-long-digits-{digits}", b"L" + b"1" * digits + b"L\n."
    for text in (b"1.5", b"-1e308", b"1e309", b"inf", b"-Infinity", b"nan", b".5", b"5.", b"e5", b"1e", b"+", b""):
        yield f"edge-float-{text.hex() or 'empty'}", b"F" + text + b"\n."
    # Counts of items: odd dictionaries, marks with nothing above, deep stacks of marks.
    yield "edge-dict-odd", b"(NNNd."
    yield "edge-setitems-odd", HEADER + b"}(\x8c\x01kNNu."
    yield "edge-appends-empty", HEADER + b"](e."
    yield "edge-marks-deep", HEADER + b"(" * 5000 + b"1" * 4999 + b"."
    yield "edge-pop-mark-top", HEADER + b"N(0."


def random_streams():
    rng = random.Random(40)
    for index in range(60):
        yield f"random-{index}", scan_tests.random_stream(rng, rng.randrange(1, 60))


def main(folder):
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.iterdir():
        old.unlink()
    seen = {}
    for source in (genuine_pipelines, hostile_rows, smaller_hostile_rows, integer_edges, random_streams):
        for name, data in source():
            digest = hashlib.sha1(data).hexdigest()
            if digest in seen:
                continue
            seen[digest] = name
            (folder / name).write_bytes(data)
    total = sum(len(data.read_bytes()) for data in folder.iterdir())
    print(f"{len(seen)} seeds, {total} bytes, in {folder}")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "cpp" / "fuzz" / "corpus")
