"""Value clean-up, the correlation filter and the purged cross-validated score of one trial.

A trial refits the whole pipeline on each of 120 folds, so the plumbing
between the scikit-learn pieces works on one float64 matrix taken from the
training table once per trial: the clean-up is element-wise, so cleaning the
whole table and then taking a fold's rows gives the fold's cleaned rows, and
columns are selected and dropped by position. Every piece gets the numbers the
table-based road would give it, so every fold scores what the pieces give.
"""

import contextlib
import datetime

import numpy as np
import pandas as pd

from korvane.rarAV._tradegate.globals import tm
from korvane.rarAV._tradegate.search_space import build_imputer, unassigned

# Magnitudes above this are treated as overflowed values, hence missing.
LARGE_MAGNITUDE = 1e15
# Magnitudes up to this (numpy's isclose tolerance against 0) become exactly 0.
ZERO_TOLERANCE = 1e-8
CORRELATION_THRESHOLD = 0.95
# Pairs whose fast correlation lies this close to the threshold are decided
# again with the table library's own Pearson correlation.
_CORRELATION_RECHECK_BAND = 1e-9


def cleaned_values(values):
    """A cleaned float64 copy: magnitudes above 1e15 (and infinities) missing, up to 1e-8 exactly 0."""
    cleaned = np.array(values, dtype=np.float64, copy=True)
    magnitude = np.abs(cleaned)
    with np.errstate(invalid="ignore"):
        cleaned[magnitude > LARGE_MAGNITUDE] = np.nan
        cleaned[magnitude <= ZERO_TOLERANCE] = 0.0
    return cleaned


def cleaned_frame(frame):
    """``frame`` cleaned as ``cleaned_values``, as a new table with the same labels."""
    return pd.DataFrame(cleaned_values(frame.to_numpy(dtype=np.float64)), index=frame.index, columns=frame.columns)


def _pandas_correlation_drops(frame):
    corr = frame.replace([np.inf, -np.inf], np.nan).fillna(0).corr().abs()
    upper = corr.where(np.triu(np.ones(corr.shape), k=1).astype(bool))
    return [position for position, column in enumerate(upper.columns) if (upper[column] > CORRELATION_THRESHOLD).any()]


def correlated_column_positions(matrix):
    """Positions of the columns whose |Pearson correlation| with an earlier column exceeds 0.95.

    Infinities and missing values count as 0. A column with no variation has
    no defined correlation and is never dropped; chains are not pruned (a
    column is tested against every earlier column, dropped or not).
    """
    matrix = np.asarray(matrix, dtype=np.float64)
    rows, columns = matrix.shape
    if columns < 2 or rows < 2:
        return []
    finite = np.where(np.isfinite(matrix), matrix, 0.0)
    centred = finite - finite.mean(axis=0)
    squares = np.einsum("ij,ij->j", centred, centred)
    with np.errstate(all="ignore"):
        corr = np.abs((centred.T @ centred) / np.sqrt(np.outer(squares, squares)))
    # A column that does not vary has no correlation, however its mean rounds.
    spread = np.ptp(finite, axis=0) == 0
    corr[spread, :] = np.nan
    corr[:, spread] = np.nan
    upper = np.triu(corr, k=1)
    upper[np.tril_indices(columns)] = np.nan
    with np.errstate(invalid="ignore"):
        if np.any(np.abs(upper - CORRELATION_THRESHOLD) < _CORRELATION_RECHECK_BAND):
            return _pandas_correlation_drops(pd.DataFrame(finite))
        return np.flatnonzero(np.any(upper > CORRELATION_THRESHOLD, axis=0)).tolist()


def features_without_high_correlation(features_df):
    """(``features_df`` without its highly correlated columns, the list of their labels)."""
    drops = correlated_column_positions(features_df.to_numpy(dtype=np.float64))
    labels = [features_df.columns[position] for position in drops]
    return features_df.drop(labels, axis=1), labels


@contextlib.contextmanager
def _fold_loop_settings():
    """Settings of the fold loop that change its speed, never its numbers.

    Each fold multiplies matrices of about a hundred columns, for which extra
    BLAS threads only cost hand-overs (several times the work on a busy
    machine, and trials may already run one per core). The pieces' own input
    checks are skipped: every value reaching them is finite after the
    clean-up and the imputer (missing values are what the imputer accepts),
    and every drawn setting lies in its valid range.
    """
    import sklearn
    from threadpoolctl import threadpool_limits

    with threadpool_limits(limits=1, user_api="blas"):
        with sklearn.config_context(assume_finite=True, skip_parameter_validation=True):
            yield


class _Unusable:
    """Stands for a training input that could not be read as numbers; using it re-raises."""

    def __init__(self, error):
        self.error = error

    def __getitem__(self, item):
        raise self.error


def _as_array(read):
    try:
        return read()
    except Exception as error:  # reported by every fold that uses it, as that fold's failure
        return _Unusable(error)


def _is_zone_aware_instants(values):
    """Whether ``values`` (an object array) holds only zone-aware datetimes, in one zone or several."""
    return len(values) > 0 and all(
        isinstance(value, datetime.datetime) and value.tzinfo is not None for value in values
    )


def _plain_array(series):
    """The numpy array of a Series; timezone-aware times become datetime64 in UTC.

    ``to_numpy`` would give aware times as an array of Timestamp objects,
    which ``SampleWeights`` refuses. Aware times of several zones stay
    objects in a Series, yet each is an exact instant: they are read in UTC
    as well.
    """
    if series.dtype == object and _is_zone_aware_instants(series.values):
        series = pd.to_datetime(series, utc=True)
    if isinstance(series.dtype, pd.DatetimeTZDtype):
        return series.array.tz_convert(None).to_numpy()
    return series.values


def span_arrays(complete_times, entry_times, exit_times, impacts):
    """The sample-weight inputs (bar times, entries, exits, impacts) as the arrays ``SampleWeights`` reads.

    The folds and the final fit read them alike, so naive and aware times
    weigh the trades alike.
    """
    return tuple(_plain_array(series) for series in (complete_times, entry_times, exit_times, impacts))


def fold_positions(indices, n_rows):
    """A fold's rows as an integer array of positions among ``n_rows`` trades.

    Rows are selected as a positional selection reads them: integers are
    positions, and a boolean array of one entry per trade is a mask. An empty
    list gives no rows. Positions of any other kind (floats, say) are refused
    with an IndexError rather than truncated to integers.
    """
    positions = np.asarray(indices)
    if positions.size == 0:
        return np.empty(0, dtype=np.intp)
    if positions.dtype.kind == "b":
        if positions.shape != (n_rows,):
            raise IndexError(
                f"A fold's boolean mask must hold one entry per training trade ({n_rows}); "
                f"it has shape {positions.shape}."
            )
        return np.flatnonzero(positions)
    if positions.dtype.kind not in "iu":
        raise IndexError(
            "A fold's rows must be integer positions or a boolean mask; "
            f"got dtype {positions.dtype}, starting {positions.ravel()[:3].tolist()}."
        )
    return positions


def cross_validated_f1(
    pieces,
    params,
    X_train_df,
    y_train_series,
    cv_indices_generator,
    complete_datetime_index_series,
    train_time_of_entry_series,
    train_time_of_exit_series,
    impact_series,
):
    """The f1 score of every fold that has training rows, in fold order.

    A fold whose fitting or scoring raises scores 0; a fold whose training
    rows, columns or labels are empty adds no score.
    """
    module = tm()
    sample_weights_model, vt, scaler, select_top_k_features, classifier_model = pieces
    n_rows = X_train_df.shape[0]
    n_columns = X_train_df.shape[1]
    values = _as_array(lambda: cleaned_values(X_train_df.to_numpy(dtype=np.float64)))
    labels = y_train_series.to_numpy()
    labels_int8 = _as_array(lambda: np.asarray(y_train_series, dtype=np.int8).ravel())
    complete_times, entry_times, exit_times, impacts = span_arrays(
        complete_datetime_index_series, train_time_of_entry_series, train_time_of_exit_series, impact_series
    )

    cv_scores = []
    with _fold_loop_settings():
        for train_indices, validation_indices in cv_indices_generator:
            train_rows = fold_positions(train_indices, n_rows)
            y_train = labels[train_rows]
            if len(train_rows) == 0 or n_columns == 0 or len(y_train) == 0:
                continue
            try:
                imputer = build_imputer(params)
                if imputer is None:
                    raise unassigned("imputer")
                imputed = imputer.fit_transform(values[train_rows])
                if imputed.shape[1] != n_columns:
                    raise ValueError(
                        f"Shape of passed values is {imputed.shape}, indices imply {(imputed.shape[0], n_columns)}"
                    )
                vt.fit(imputed)
                kept = vt.get_support(indices=True)
                no_variance = imputed[:, kept]
                dropped = correlated_column_positions(no_variance)
                kept_after_correlation = np.delete(kept, dropped)
                X_train_final = select_top_k_features.fit_transform(
                    scaler.fit_transform(np.delete(no_variance, dropped, axis=1)), labels_int8[train_rows]
                )
                sample_weights_train = sample_weights_model.fit_transform(
                    complete_times, entry_times[train_rows], exit_times[train_rows], impacts[train_rows]
                )
                if X_train_final.shape[0] == 0 or X_train_final.shape[1] == 0:
                    cv_score = 0
                else:
                    if classifier_model is None:
                        raise unassigned("classifier_model")
                    classifier_model.fit(X_train_final, y_train.ravel(), sample_weight=sample_weights_train)
                    validation_rows = fold_positions(validation_indices, n_rows)
                    X_val = imputer.transform(values[validation_rows])[:, kept_after_correlation]
                    X_val_final = select_top_k_features.transform(scaler.transform(X_val))
                    cv_score = module.f1_score(labels[validation_rows].ravel(), classifier_model.predict(X_val_final))
            except Exception:
                cv_score = 0
            cv_scores.append(cv_score)
    return cv_scores


def nan_mean(scores):
    """Mean of the scores ignoring NaN; NaN (without a warning) when none is a number."""
    array = np.asarray(scores, dtype=np.float64)
    if array.size == 0 or np.isnan(array).all():
        return np.float64(np.nan)
    return np.nanmean(array)
