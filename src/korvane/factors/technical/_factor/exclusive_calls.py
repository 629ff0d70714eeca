"""One call at a time per factor.

A factor's methods replace and read many fields in turn (the bar matrices,
the pair engine, the trade store, the best parameters). A second thread whose
calls interleave with them would run on fields half replaced by another call:
a replay reading the bars that an update is extending, or a prediction
stepping the engine that a replay has just reset. Each public method holds
the factor's re-entrant lock for its whole call, so calls from other threads
wait their turn and calls made from inside one (``predict`` replaying the
backtest, the optimiser running a trial inside ``fit``) go straight through.
The lock is released however the call ends, a stop included (see
:func:`korvane._common.stops.call_holding`): a lock kept by a stop would
leave every later call from another thread waiting for ever.
"""

import functools
import threading

from korvane._common.stops import call_holding


def new_call_lock():
    return threading.RLock()


def one_call_at_a_time(method):
    @functools.wraps(method)
    def exclusive(self, *args, **kwargs):
        # An instance allocated without its constructor has no lock yet.
        lock = getattr(self, "_call_lock", None)
        if lock is None:
            return method(self, *args, **kwargs)
        return call_holding(lock, method, self, *args, **kwargs)

    return exclusive


def make_calls_exclusive(cls, names):
    for name in names:
        setattr(cls, name, one_call_at_a_time(getattr(cls, name)))
