"""Placeholder: filled in by its own change."""


class SignalsMixin:
    __slots__ = ()
