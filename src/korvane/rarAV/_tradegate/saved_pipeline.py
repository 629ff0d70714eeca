"""The saved pipeline file: written whole or not at all, read back with a restricted unpickler.

The file sits at a path relative to the working directory and is read at every
factor construction, so loading must not run whatever the file holds. Only the
globals that the six fitted pieces need to rebuild are admitted, each named
exactly (not whole modules: numpy.memmap writes files, and library functions
can serve as gadgets), with the classes of plain data.
"""

import builtins
import io
import os
import pickle
import tempfile

SAVED_MODELS_DIRECTORY = "../rarAV/saved_models/"

PIPELINE_KEYS = (
    "imputer",
    "no_variance_cols",
    "features_to_drop_from_multicollinearity",
    "scaler",
    "select_top_k_features",
    "classifier_model",
)

_SAFE_BUILTINS = (
    "bool", "bytearray", "bytes", "complex", "dict", "float", "frozenset",
    "int", "list", "range", "set", "slice", "str", "tuple",
)


def pipeline_path(study_name):
    return SAVED_MODELS_DIRECTORY + str(study_name) + ".pkl"


def _allowed_globals():
    import numpy as np
    from numpy._core import multiarray
    from sklearn.ensemble import AdaBoostClassifier, BaggingClassifier
    from sklearn.feature_selection import SelectPercentile, f_classif, mutual_info_classif
    from sklearn.impute import KNNImputer, SimpleImputer
    from sklearn.linear_model import LogisticRegression
    from sklearn.naive_bayes import ComplementNB, GaussianNB
    from sklearn.preprocessing import MinMaxScaler

    objects = (
        SimpleImputer, KNNImputer, MinMaxScaler, SelectPercentile, f_classif, mutual_info_classif,
        AdaBoostClassifier, BaggingClassifier, LogisticRegression, ComplementNB, GaussianNB,
        np.ndarray, np.dtype, multiarray._reconstruct, multiarray.scalar,
    )
    # Named where the running libraries define them, so files written by this
    # installation always load.
    allowed = {(obj.__module__, obj.__qualname__): obj for obj in objects}
    allowed[("numpy", "ndarray")] = np.ndarray
    allowed[("numpy", "dtype")] = np.dtype
    # Arrays pickled by numpy 1.x name its former core package; protocol 2
    # stores raw bytes through the codec function.
    allowed[("numpy.core.multiarray", "_reconstruct")] = multiarray._reconstruct
    allowed[("numpy.core.multiarray", "scalar")] = multiarray.scalar
    import _codecs

    allowed[("_codecs", "encode")] = _codecs.encode
    for name in _SAFE_BUILTINS:
        allowed[("builtins", name)] = getattr(builtins, name)
    return allowed


class _RefusedGlobal(pickle.UnpicklingError):
    pass


class _PipelineUnpickler(pickle.Unpickler):
    def __init__(self, handle, path, allowed):
        super().__init__(handle)
        self._path = path
        self._allowed = allowed

    def find_class(self, module, name):
        try:
            return self._allowed[(module, name)]
        except KeyError:
            raise _RefusedGlobal(
                f"The saved entry classifier pipeline {self._path} refers to {module}.{name}, "
                "which a saved pipeline may not load"
            ) from None


def load_pipeline(path):
    """The pipeline dictionary saved at ``path``; ``pickle.UnpicklingError`` for anything else."""
    with open(path, "rb") as handle:
        data = handle.read()
    try:
        loaded = _PipelineUnpickler(io.BytesIO(data), path, _allowed_globals()).load()
    except _RefusedGlobal:
        raise
    except Exception as error:
        raise pickle.UnpicklingError(
            f"The saved entry classifier pipeline {path} cannot be read ({type(error).__name__}: {error}); "
            "it may be truncated or not a saved pipeline, please fit the classifier again"
        ) from error
    if not isinstance(loaded, dict):
        raise pickle.UnpicklingError(
            f"The saved entry classifier pipeline {path} holds a {type(loaded).__name__}, not a pipeline dictionary"
        )
    missing = [key for key in PIPELINE_KEYS if key not in loaded]
    if missing:
        raise KeyError(missing[0])
    return loaded


def save_pipeline(path, pipeline):
    """Write ``pipeline`` to ``path`` through a temporary file, so the path holds a whole file always.

    The directory is created when missing; a failed write leaves the previous
    file in place.
    """
    directory = os.path.dirname(path) or "."
    os.makedirs(directory, exist_ok=True)
    descriptor, temporary = tempfile.mkstemp(dir=directory, prefix=".", suffix=".pkl.partial")
    try:
        with os.fdopen(descriptor, "wb") as handle:
            pickle.dump(pipeline, handle)
            handle.flush()
            os.fsync(handle.fileno())
        os.replace(temporary, path)
    except BaseException:
        try:
            os.remove(temporary)
        except FileNotFoundError:
            pass
        raise
