"""Call-time access to the classifier module's globals.

Libraries are looked up on ``korvane.rarAV.tradegate`` each time they are
used (``tm().optuna``, ``tm().SampleWeights``, ``tm().logger``), so that
replacing a global on that module changes later calls.
"""

import sys


def tm():
    """The ``korvane.rarAV.tradegate`` module object."""
    return sys.modules["korvane.rarAV.tradegate"]
