"""Look-ahead-free universe filter: keep the most traded securities of a universe table.

Securities are ranked by traded value (close times volume, summed) over the
oldest rows only, so choosing the universe uses nothing of the later rows a
backtest will run on. Module globals (``np``, ``pd``, ``Inference``) are looked
up at call time, so replacing one on this module changes later calls.
"""

from operator import itemgetter

from korvane._common.binding import (
    CONVERSION_TYPE_WORDING,
    UNSET,
    as_double,
    as_int64,
    bind_arguments,
    check_type,
    signature,
)

_PICKLING_REFUSAL = "no default __reduce__ due to non-trivial __cinit__"
_FILTER_NAME = "filter_without_lookahead"
_FILTER_ARGUMENTS = ("clean_OHCLV_dataframe", "securities", "pct_of_filtration", "number_of_securities_to_keep")
_SORT_NAME = "__sort_dictionary"
_SORT_ARGUMENTS = ("dict_to_sort", "reverse")

# Tried in this order; the first suffix whose split leaves a kept id selects the column.
_FIELD_SUFFIXES = ("_open", "_close", "_high", "_low", "_volume")

# Kept verbatim (eight-blank indentation included) rather than as a literal
# docstring, which newer interpreters would dedent.
_FILTER_DOC = (
    "Takes in a dataframe with OHCLV and filters the top x cryptocurrencies\n"
    "        By looking at a percentage of data at the start of the dataframe\n"
    "        This ensures we minimize any form of lookahead/survivorship bias\n"
    "\n"
    "        Args:\n"
    "            List securities: List of securities that we would like to filter from\n"
    "            pd.DataFrame clean_OHCLV_dataframe: A dataframe containing the OHCLV of the securities"
    " we would like to filter from\n"
    "            float pct_of_filtration: The amount of data we would like to look at from the start of"
    " the dataframe to determine the top X market cap\n"
    "            int number_of_securities_to_keep: Number of securities to keep\n"
    "\n"
    "        Returns:\n"
    "            pd.DataFrame filtered_clean_OHCLV_dataframe: OHCLV containing the top"
    " number_of_securities_to_keep by market cap\n"
    "        "
)


class IncompleteSecurityError(KeyError, ValueError):
    """A security of the table has its close column but not its volume column, or the reverse.

    A KeyError, as any other missing column is, so ``args[0]`` is the missing
    label; and a ValueError, since the table itself is malformed. Its text
    names the security and both columns.
    """

    def __init__(self, security, close_label, volume_label, has_close):
        present, missing = (close_label, volume_label) if has_close else (volume_label, close_label)
        super().__init__(missing)
        self._reasons = (security, close_label, volume_label, has_close)
        self._message = (
            f"security {security!r} has the column {present!r} but no {missing!r}: "
            "ranking needs both its close and its volume"
        )

    def __str__(self):
        return self._message

    def __reduce__(self):
        return type(self), self._reasons


# No state: objects carry nothing, so any two filters give equal results.
class Tickersieve:
    __slots__ = ()

    def __new__(cls, *args, **kwargs):
        # Constructor arguments are accepted and ignored.
        return super().__new__(cls)

    def filter_without_lookahead(self, *args, **kwargs):
        table, securities, pct_of_filtration, number_to_keep = bind_arguments(
            _FILTER_NAME, _FILTER_ARGUMENTS, 1, args, kwargs
        )
        pct_of_filtration = 0.1 if pct_of_filtration is UNSET else as_double(pct_of_filtration)
        number_to_keep = 10 if number_to_keep is UNSET else as_int64(number_to_keep)
        if securities is UNSET:
            securities = _DEFAULT_SECURITIES
        check_type(securities, list, name="securities", exact=True)

        if securities is None or len(securities) == 0:
            securities = Inference().infer_securities_from_OHCLV_df(table)
            check_type(securities, list, CONVERSION_TYPE_WORDING, exact=True)
        if number_to_keep >= len(securities):
            return table

        # Truncated, not rounded: 100 rows at 0.29 give 28 rows (the product is 28.999...).
        window_length = int(float(len(table)) * pct_of_filtration)
        scores = _traded_values(table, securities, window_length)

        ranked = {}
        for pair in getattr(self, _SORT_NAME)(dict_to_sort=scores, reverse=True):
            security, score = _unpack_pair(pair)
            ranked[security] = score
        kept = list(ranked)[:number_to_keep]
        return table[_columns_of(table.columns, kept)]

    def __reduce__(self):
        raise TypeError(_PICKLING_REFUSAL)

    def __setstate__(self, state):
        raise TypeError(_PICKLING_REFUSAL)


def _sort_dictionary(self, *args, **kwargs):
    """Pairs of `dict_to_sort` by value, highest first unless `reverse` is false; ties keep their order."""
    dict_to_sort, reverse = bind_arguments(_SORT_NAME, _SORT_ARGUMENTS, 1, args, kwargs)
    if reverse is UNSET:
        reverse = True
    return sorted(dict_to_sort.items(), key=itemgetter(1), reverse=reverse)


# Reached by its literal double-underscore name (no private-name mangling), so a
# subclass that redefines it changes the ranking.
_sort_dictionary.__name__ = _SORT_NAME
_sort_dictionary.__qualname__ = f"Tickersieve.{_SORT_NAME}"
_sort_dictionary.__signature__ = signature(_SORT_ARGUMENTS, {"reverse": True}, first="self")
setattr(Tickersieve, _SORT_NAME, _sort_dictionary)
del _sort_dictionary

Tickersieve.filter_without_lookahead.__doc__ = _FILTER_DOC


def _unpack_pair(pair):
    """Split one ranked entry into (id, score), refusing entries of another length."""
    values = []
    for value in pair:
        if len(values) == 2:
            raise ValueError("too many values to unpack (expected 2)")
        values.append(value)
    if len(values) < 2:
        count = len(values)
        raise ValueError(f"need more than {count} value{'' if count == 1 else 's'} to unpack")
    return values


def _traded_values(table, securities, window_length):
    """Summed close times volume of each id over the window's rows, missing products left out.

    Keys follow the first appearance of each id in `securities`.
    """
    if isinstance(table, pd.DataFrame) and not isinstance(table.columns, pd.MultiIndex):
        if not table.columns.is_unique:
            duplicated = list(dict.fromkeys(table.columns[table.columns.duplicated()]))
            raise ValueError(f"clean_OHCLV_dataframe has duplicate column labels: {duplicated}")
        scores = _traded_values_in_one_pass(table, securities, window_length)
        if scores is not None:
            return scores
    # Any other table (duck-typed, extension or object dtypes): the rule one
    # column pair at a time, with the table's own arithmetic.
    iloc = table.iloc
    if not hasattr(type(iloc), "__getitem__"):
        raise TypeError(f"'{type(iloc).__name__}' object is unsliceable")
    window = iloc[:window_length]
    scores = {}
    for security in securities:
        scores[security] = np.sum(window[f"{security}_close"] * window[f"{security}_volume"])
    return scores


def _traded_values_in_one_pass(table, securities, window_length):
    """The scores from one numpy pass over the window; None when the columns' dtypes need the table's arithmetic.

    The sums are bit-identical to pandas' skipna sums: NaN products become 0
    and each security's products are summed as one contiguous row.
    """
    close_labels = [f"{security}_close" for security in securities]
    volume_labels = [f"{security}_volume" for security in securities]
    n = len(securities)
    positions = table.columns.get_indexer(close_labels + volume_labels)
    scores = {}
    # Missing labels are reported in the order the rule reads them.
    for k, security in enumerate(securities):
        has_close, has_volume = positions[k] >= 0, positions[n + k] >= 0
        if has_close != has_volume:
            raise IncompleteSecurityError(security, close_labels[k], volume_labels[k], has_close)
        if not has_close:
            raise KeyError(close_labels[k])
        scores[security] = None
    dtypes = table.dtypes.iloc[positions]
    for close_dtype, volume_dtype in set(zip(dtypes.iloc[:n], dtypes.iloc[n:])):
        if not _multiplies_in_float64(close_dtype, volume_dtype):
            return None

    values = table.iloc[:window_length].iloc[:, positions].to_numpy(dtype=np.float64)
    products = (values[:, :n] * values[:, n:]).T
    products = np.ascontiguousarray(products)
    np.putmask(products, np.isnan(products), 0.0)
    sums = products.sum(axis=1)
    for security, score in zip(securities, sums):
        scores[security] = score
    return scores


def _multiplies_in_float64(first, second):
    """Whether numpy multiplies these two column dtypes in float64 (so converting first changes nothing)."""
    if not (isinstance(first, np.dtype) and isinstance(second, np.dtype)):
        return False
    if first.kind not in "fiub" or second.kind not in "fiub":
        return False
    return np.result_type(first, second) == np.float64


def _columns_of(columns, kept):
    """Labels of `columns`, in table order, that belong to a kept id.

    A label belongs to an id when splitting it at a field suffix leaves the id.
    An id that itself contains a suffix (``AB_lowcap`` in ``AB_lowcap_low``) is
    split inside the id, so a label that is exactly a kept id plus a suffix
    belongs to it as well.
    """
    kept_set = set(kept)
    prefixes = tuple(security + suffix for security in kept if isinstance(security, str) for suffix in _FIELD_SUFFIXES)
    exact_labels = set(prefixes)
    selected = []
    # A plain list: iterating a pandas Index boxes each label one call at a time.
    for col in list(columns):
        # Only a label that is a kept id, or starts with one and a suffix, can
        # split into a kept id; this skips the other securities' columns cheaply.
        if isinstance(col, str) and not (col in kept_set or col.startswith(prefixes)):
            continue
        if col in exact_labels or any(col.split(suffix)[0] in kept_set for suffix in _FIELD_SUFFIXES):
            selected.append(col)
    return selected


# Imported after the class exists; a failed import fails the whole module.
try:
    import numpy as np
except ImportError as error:
    raise ImportError("numpy.core.multiarray failed to import") from error
import pandas as pd  # noqa: E402

from korvane.utils.inference.inference import Inference  # noqa: E402

# The default of `securities`: made once, never modified.
_DEFAULT_SECURITIES = []

Tickersieve.filter_without_lookahead.__signature__ = signature(
    _FILTER_ARGUMENTS,
    {"securities": _DEFAULT_SECURITIES, "pct_of_filtration": 0.1, "number_of_securities_to_keep": 10},
    first="self",
)
