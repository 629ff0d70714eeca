"""Placeholder: filled in by its own change."""


class OptimisationMixin:
    __slots__ = ()
