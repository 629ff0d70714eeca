"""Placeholder: filled in by its own change."""


class LiveMixin:
    __slots__ = ()
