"""The pairs-trading factor, split by concern.

Each module holds one mixin with ``__slots__ = ()``; the concrete class in
``korvane.factors.technical.pairtrader`` combines them and declares the
instance fields listed in ``fields.py``. Helpers shared between mixins use a
single leading underscore, since double-underscore names are mangled per
class.
"""
