"""Native daily returns and bootstrap of the results object"""

from typing import Annotated

import numpy
from numpy.typing import NDArray


def bootstrap_ending_values(returns: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], rounds: int) -> NDArray[numpy.float64]:
    """
    Ending growth of each bootstrap round k (seeded k) of the daily returns.
    """

def bootstrap_round(returns: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], round: int) -> tuple:
    """Resampled returns and growth path of one bootstrap round."""
