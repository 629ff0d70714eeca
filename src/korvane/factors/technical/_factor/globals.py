"""Call-time access to the factor module's globals.

The factor's code looks libraries up on the ``pairtrader`` module each time it
uses them (``pm().coint_johansen``, ``pm().optuna``, ``pm().logger``), so that
replacing a global on that module changes later calls.
"""

import sys


def pm():
    """The ``korvane.factors.technical.pairtrader`` module object."""
    return sys.modules["korvane.factors.technical.pairtrader"]
