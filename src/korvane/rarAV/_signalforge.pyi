"""Native sample-uniqueness weights of korvane.rarAV.signalforge"""

from typing import Annotated

import numpy
from numpy.typing import NDArray


def sample_uniqueness(index: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], starts: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)], ends: Annotated[NDArray[numpy.int64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> NDArray[numpy.float64]:
    """
    Average uniqueness of each sample's inclusive label span over the ascending bar times.
    """

def normalise_sample_weights(uniqueness: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], impacts: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)] | None = None) -> NDArray[numpy.float64]:
    """
    Uniqueness (or |impact| / uniqueness) scaled to sum to the number of samples.
    """
