"""Placeholder: filled in by its own change."""


class ConstructionMixin:
    __slots__ = ()
