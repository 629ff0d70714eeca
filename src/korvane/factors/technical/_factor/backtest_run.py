"""Placeholder: filled in by its own change."""


class BacktestRunMixin:
    __slots__ = ()
