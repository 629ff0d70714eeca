"""Argument binding and conversions of the public classes, in the interpreter's wording.

The factor and the results object bind their arguments by hand so that a
wrong count, an unknown keyword or a value of the wrong kind is reported the
way a native method reports it. This is the one place that does it.
"""

import inspect
import operator

import numpy

# Marks an optional argument that the caller did not give.
UNSET = object()

_INT64_MIN, _INT64_MAX = -(2**63), 2**63 - 1


def positional_count_message(function_name, minimum, maximum, given):
    """The interpreter's wording for a wrong number of positional arguments."""
    if minimum == maximum:
        qualifier, expected = "exactly", minimum
    elif given < minimum:
        qualifier, expected = "at least", minimum
    else:
        qualifier, expected = "at most", maximum
    plural = "" if expected == 1 else "s"
    return f"{function_name}() takes {qualifier} {expected} positional argument{plural} ({given} given)"


def bind_arguments(function_name, names, n_required, args, kwargs):
    """Bind positional and keyword arguments to `names` like a native method.

    Returns a list with one value per name (``UNSET`` where an optional
    argument was not given). A missing required argument reports how many
    arguments were bound before the gap; keywords are checked in the order
    they were passed.
    """
    n_names = len(names)
    n_given = len(args)
    if n_given > n_names:
        raise TypeError(positional_count_message(function_name, n_required, n_names, n_given))
    values = list(args) + [UNSET] * (n_names - n_given)
    if not kwargs:
        if n_given < n_required:
            raise TypeError(positional_count_message(function_name, n_required, n_names, n_given))
        return values
    remaining = dict(kwargs)
    for position in range(n_given, n_names):
        name = names[position]
        if name in remaining:
            values[position] = remaining.pop(name)
        elif position < n_required:
            raise TypeError(positional_count_message(function_name, n_required, n_names, position))
    for key in remaining:
        if not isinstance(key, str):
            raise TypeError(f"{function_name}() keywords must be strings")
        if key in names:
            raise TypeError(f"{function_name}() got multiple values for keyword argument '{key}'")
        raise TypeError(f"{function_name}() got an unexpected keyword argument '{key}'")
    return values


def check_no_arguments(function_name, args, kwargs):
    """Refuse any argument to a method that takes none, in the interpreter's wording."""
    if args:
        raise TypeError(f"{function_name}() takes no arguments ({len(args)} given)")
    if kwargs:
        raise TypeError(f"{function_name}() takes no keyword arguments")


def bind_with_defaults(function_name, arguments, args, kwargs):
    """Bind optional (name, default) `arguments` like a native method, defaults filled in."""
    names = tuple(name for name, _ in arguments)
    values = bind_arguments(function_name, names, 0, args, kwargs)
    return [default if value is UNSET else value for value, (_, default) in zip(values, arguments)]


def method_signature(arguments):
    """The signature of a method bound through ``bind_with_defaults``."""
    return signature([name for name, _ in arguments], dict(arguments), first="self")


def signature(names, defaults=None, first=None):
    """The signature that help() and editors show for a callable that binds its own arguments.

    `first` names the leading ``self`` or ``cls`` parameter, if any; names
    missing from `defaults` are required.
    """
    defaults = defaults or {}
    leading = [first] if first is not None else []
    return inspect.Signature(
        [inspect.Parameter(name, inspect.Parameter.POSITIONAL_OR_KEYWORD) for name in leading]
        + [
            inspect.Parameter(
                name, inspect.Parameter.POSITIONAL_OR_KEYWORD, default=defaults.get(name, inspect.Parameter.empty)
            )
            for name in names
        ]
    )


def as_int64(value):
    """Integer conversion of a native int64 argument (a float is truncated)."""
    if isinstance(value, int):
        result = int(value)
    else:
        convert = getattr(type(value), "__int__", None)
        if convert is None:
            raise TypeError("an integer is required")
        result = convert(value)
        if not isinstance(result, int):
            raise TypeError(f"__int__ returned non-int (type {type(result).__name__})")
        result = int(result)
    if not _INT64_MIN <= result <= _INT64_MAX:
        raise OverflowError("Python int too large to convert to C long")
    return result


def as_signed_size(value):
    """Integer-index conversion into a signed 64-bit count (floats are refused)."""
    number = operator.index(value)
    if not _INT64_MIN <= number <= _INT64_MAX:
        raise OverflowError("Python int too large to convert to C ssize_t")
    return number


def as_double(value):
    """Float conversion of a native float64 argument (no text parsing)."""
    if isinstance(value, float):
        return float(value)
    value_type = type(value)
    convert = getattr(value_type, "__float__", None)
    if convert is not None:
        result = convert(value)
        if not isinstance(result, float):
            raise TypeError(f"{value_type.__name__}.__float__ returned non-float (type {type(result).__name__})")
        return float(result)
    if getattr(value_type, "__index__", None) is not None:
        return float(operator.index(value))
    raise TypeError(f"must be real number, not {value_type.__name__}")


def as_truth_value(value):
    """True, False and None are taken directly (None is False); others by truth value."""
    if value is True or value is False or value is None:
        return value is True
    return bool(value)


# How a refused type is worded. Each caller keeps the wording of the call it
# stands in for: a native argument check, a conversion of a returned value,
# or a check of a class setting.
ARGUMENT_TYPE_WORDING = "Argument '{name}' has incorrect type (expected {expected}, got {got})"
CONVERSION_TYPE_WORDING = "Expected {expected}, got {got}"
SETTING_TYPE_WORDING = "{name} must be a {expected}, not {got}"


def check_type(
    value, expected_type, wording=ARGUMENT_TYPE_WORDING, name=None, expected_name=None, exact=False, allow_none=True
):
    """Refuse `value` with a ``TypeError`` unless it is an instance of `expected_type`.

    With `exact` a subclass is refused too; None passes unless `allow_none`
    is false. The message is `wording` with the argument's `name`, the
    expected type's name (`expected_name`, or the type's own) and the name of
    the type that came.
    """
    if value is None and allow_none:
        return
    if (type(value) is expected_type) if exact else isinstance(value, expected_type):
        return
    raise TypeError(
        wording.format(name=name, expected=expected_name or expected_type.__name__, got=type(value).__name__)
    )


# C names of numpy's element types, as buffer-format errors spell them.
_C_TYPE_NAMES = {
    "?": "bool",
    "b": "signed char",
    "B": "unsigned char",
    "h": "short",
    "H": "unsigned short",
    "i": "int",
    "I": "unsigned int",
    "l": "long",
    "L": "unsigned long",
    "q": "long long",
    "Q": "unsigned long long",
    "e": "half",
    "f": "float",
    "d": "double",
    "g": "long double",
    "F": "complex float",
    "D": "complex double",
    "G": "complex long double",
    "O": "Python object",
}


def check_float64_buffer(value, ndim):
    """Refuse an array whose element type is not float64 or whose rank differs."""
    if value is None:
        return
    array = value if isinstance(value, numpy.ndarray) else numpy.asarray(value)
    if array.ndim != ndim:
        raise ValueError(
            f"Buffer has wrong number of dimensions (expected {ndim}, got {array.ndim})"
        )
    if array.dtype != numpy.float64 or not array.dtype.isnative:
        got = _C_TYPE_NAMES.get(array.dtype.char, str(array.dtype))
        raise ValueError(f"Buffer dtype mismatch, expected 'float64_t' but got '{got}'")


PICKLING_REFUSAL = "no default __reduce__ due to non-trivial __cinit__"


class RefusesPickling:
    """Base of the classes whose objects hold one run's data and never travel to another process."""

    __slots__ = ()

    def __reduce__(self):
        raise TypeError(PICKLING_REFUSAL)

    def __reduce_ex__(self, protocol):
        raise TypeError(PICKLING_REFUSAL)

    def __setstate__(self, state):
        raise TypeError(PICKLING_REFUSAL)
