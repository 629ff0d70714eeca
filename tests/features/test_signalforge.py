import inspect
import logging
import pickle
import re

import numpy as np
import pytest
import talib
import talib.abstract

from korvane.rarAV import signalforge as module
from korvane.rarAV.signalforge import Signalforge
from features.window_factory import make_window

SECURITIES = ["AAA", "BBB", "CCC", "DDD", "EEE"]
PAIR = ("BBB", "DDD")

# TA-Lib function of each feature line, with its number of horizons.
FEATURE_LINES = [
    ("BOP", 1), ("ADX", 2), ("ADXR", 1), ("AROONOSC", 3), ("CCI", 3), ("CMO", 3), ("DX", 3), ("MFI", 3),
    ("MINUS_DI", 3), ("MOM", 3), ("PLUS_DI", 3), ("PLUS_DM", 3), ("ROC", 3), ("ROCP", 3), ("ROCR", 3),
    ("RSI", 3), ("TRIX", 1), ("WILLR", 2), ("APO", 2), ("PPO", 2), ("ULTOSC", 1), ("AD", 1), ("ADOSC", 1),
    ("OBV", 1), ("TRANGE", 1), ("ATR", 3), ("NATR", 3), ("HT_DCPERIOD", 1), ("HT_DCPHASE", 1),
]
KEY_PATTERN = re.compile(r"^float64_([a-z_]+?)_(spread|all_others)(?:_(short|medium|long|medium_short|long_short))?$")


def features(window_rows=40, securities=SECURITIES, pair=PAIR, ratios=(1.0, -0.8), seed=0):
    names, window = make_window(securities, window_rows, seed)
    return Signalforge().generate_features_for_pair_spreads(pair, ratios, names, window), names, window


def oracle_series(names, window, pair, ratios):
    """The spread and basket OHLCV written out field by field, security by security."""
    names = list(names)

    def column(security, field, log=True):
        values = window[:, names.index(security + "_" + field)]
        return np.log(values) if log else values

    spread = [column(pair[0], f) * ratios[0] + column(pair[1], f) * ratios[1] for f in ("open", "high", "low", "close")]
    traded = column(pair[0], "volume", False) * np.exp(column(pair[0], "close")) + column(
        pair[1], "volume", False
    ) * np.exp(column(pair[1], "close"))
    spread.append(traded / np.abs(spread[3]))

    others = [n[: -len("_close")] for n in names if n.endswith("_close") and n[: -len("_close")] not in pair]
    closes = np.column_stack([column(s, "close") for s in others])
    values, vectors = np.linalg.eigh(np.cov(closes.T))
    order = values.argsort()[::-1]
    loadings = np.zeros(len(others))
    loadings[-1] = 1.0
    weights = np.dot(vectors[:, order], ((loadings / values[order]) ** 0.5).reshape(-1, 1)).flatten()
    basket = [np.zeros(len(window)) for _ in range(5)]
    for i, security in enumerate(others):
        for f, field in enumerate(("open", "high", "low", "close")):
            basket[f] = basket[f] + column(security, field) * weights[i]
        basket[4] = basket[4] + column(security, "volume", False) * np.exp(column(security, "close"))
    basket[4] = basket[4] / np.exp(basket[3])
    fields = ("open", "high", "low", "close", "volume")
    return dict(zip(fields, spread)), dict(zip(fields, basket)), weights


@pytest.mark.parametrize(
    "rows, securities",
    [(31, SECURITIES), (100, SECURITIES), (1000, SECURITIES), (60, [f"S{k}" for k in range(14)])],
)
def test_every_key_matches_talib(rows, securities):
    # Twelve other securities: the basket sums must still run security by security.
    row, names, window = features(window_rows=rows, securities=securities, pair=tuple(securities[1:4:2]))
    pair = tuple(securities[1:4:2])
    spread, basket, _ = oracle_series(names, window, pair, (1.0, -0.8))
    short, medium, long = rows // 5, rows // 2, 4 * rows // 5
    horizon_keywords = {
        None: {},
        "short": {"timeperiod": short},
        "medium": {"timeperiod": medium},
        "long": {"timeperiod": long},
        # TA-Lib's defaults for the slow period and moving average.
        "medium_short": {"fastperiod": medium},
        "long_short": {"fastperiod": long},
    }
    # The 0.8 wheel's APO and PPO defaults: slow period 26 over an EMA.
    assert tuple(talib.abstract.APO.parameters.values())[1:] == (26, 1)
    expected_names = [name for name, count in FEATURE_LINES for _ in range(2 * count)]
    assert len(row) == 126 and len(expected_names) == 126
    for position, (key, value) in enumerate(row.items()):
        function, side, horizon = KEY_PATTERN.match(key).groups()
        assert function.upper() == expected_names[position], key
        keywords = horizon_keywords[horizon]
        if function == "ultosc":
            keywords = {"timeperiod1": short, "timeperiod2": medium, "timeperiod3": long}
        inputs = spread if side == "spread" else basket
        expected = talib.abstract.Function(function.upper())(inputs, **keywords)[-1]
        assert isinstance(value, np.float64)
        np.testing.assert_array_equal(value, expected, err_msg=key)


def test_key_order_and_short_windows():
    row, _, _ = features(window_rows=31)
    keys = list(row)
    assert keys[:6] == [
        "float64_bop_spread", "float64_bop_all_others", "float64_adx_spread_short",
        "float64_adx_spread_medium", "float64_adx_all_others_short", "float64_adx_all_others_medium",
    ]
    assert keys[92:96] == [
        "float64_apo_spread_medium_short", "float64_apo_spread_long_short",
        "float64_apo_all_others_medium_short", "float64_apo_all_others_long_short",
    ]
    assert keys[100:102] == ["float64_ultosc_spread", "float64_ultosc_all_others"]
    # The Hilbert-transform cycle needs more than 31 rows; nothing else does.
    assert np.isnan(row["float64_ht_dcperiod_spread"]) and np.isnan(row["float64_ht_dcphase_all_others"])
    assert not np.isnan(row["float64_trix_spread_short"]) and not np.isnan(row["float64_rsi_spread_short"])


def test_replaced_indicator_on_the_module_is_called_with_the_input_dictionary(monkeypatch):
    calls = []

    def fake_rsi(inputs, **keywords):
        calls.append((list(inputs), keywords))
        return np.full(len(inputs["close"]), 7.0)

    monkeypatch.setattr(module, "RSI", fake_rsi)
    row, _, _ = features(window_rows=100)
    assert row["float64_rsi_spread_long"] == 7.0 and row["float64_rsi_all_others_short"] == 7.0
    assert calls[0] == (["open", "high", "low", "close", "volume"], {"timeperiod": 20})
    assert len(calls) == 6 and not np.isnan(row["float64_cmo_spread_short"])


def test_spread_series_by_hand():
    names = np.array(["X_open", "X_high", "X_low", "X_close", "X_volume"] * 1 + ["Y_open", "Y_high", "Y_low", "Y_close", "Y_volume"])
    window = np.array([[2.0, 4.0, 1.0, np.e, 10.0, 1.0, 1.0, 1.0, np.e**2, 5.0]])
    columns = module._ColumnIndex(names)
    o, h, low, c, v = module._spread_ohlcv(("X", "Y"), (1, 0), columns, window)
    np.testing.assert_allclose([o[0], h[0], low[0], c[0]], np.log([2.0, 4.0, 1.0, np.e]))
    # Traded value of both legs over |spread close| (log units, no exponential).
    np.testing.assert_allclose(v, [(10.0 * np.e + 5.0 * np.e**2) / 1.0])
    doubled = module._spread_ohlcv(("X", "Y"), (2.0, 0.0), columns, window)
    np.testing.assert_allclose(doubled[4], v / 2) and np.testing.assert_allclose(doubled[3], 2 * c)
    # A negative hedge ratio can put the spread's high under its low.
    _, h, low, _, _ = module._spread_ohlcv(("X", "Y"), (-1.0, 0.0), columns, window)
    assert h[0] < low[0]


def test_basket_weights_put_unit_variance_on_the_smallest_component():
    names, window = make_window(["P", "Q", "R", "S"], 60, seed=4)
    columns = module._ColumnIndex(names)
    o, h, low, c, v = module._basket_ohlcv(["R", "S"], columns, window)
    _, basket, weights = oracle_series(names, window, ("P", "Q"), (1.0, 1.0))
    assert np.var(c, ddof=1) == pytest.approx(1.0, rel=1e-9)
    # The weights are the smallest eigenvector over the root of its eigenvalue.
    values, vectors = np.linalg.eigh(np.cov(np.log(window[:, [13, 18]]).T))
    np.testing.assert_allclose(weights, vectors[:, 0] / np.sqrt(values[0]), rtol=1e-12)
    # Sums run security by security from zero: the same bits as the loop.
    for series, field in zip((o, h, low, c, v), ("open", "high", "low", "close", "volume")):
        np.testing.assert_array_equal(series, basket[field])
    # Volume is the unweighted traded value: doubling volumes doubles it only.
    doubled = window.copy()
    doubled[:, [14, 19]] *= 2.0
    again = module._basket_ohlcv(["R", "S"], columns, doubled)
    np.testing.assert_allclose(again[4], 2.0 * v) and np.testing.assert_array_equal(again[3], c)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_singular_basket_covariance_is_not_an_error():
    # 38 other securities over 31 rows: the smallest eigenvalue is zero up to rounding.
    row, _, _ = features(window_rows=31, securities=[f"S{k}" for k in range(40)], pair=("S0", "S1"))
    assert len(row) == 126 and not np.isnan(row["float64_rsi_spread_short"])


@pytest.mark.parametrize(
    "names, field, expected",
    [
        (["A_close", "B_close", "A_close"], "close", 0),
        (["AB_close", "ABC_close"], "close", 0),
        (["ABC_close", "AB_close"], "close", 1),
    ],
)
def test_column_lookup_is_exact_and_leftmost(names, field, expected):
    columns = module._ColumnIndex(np.array(names, dtype=object))
    assert columns.of(names[expected].split("_")[0], field) == expected


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((["BBB", "DDD"], (1.0, 1.0)), TypeError, r"^Argument 'pair_of_security' has incorrect type \(expected tuple, got list\)$"),
        ((PAIR, np.array([1.0, 1.0])), TypeError, "Argument 'pair_hedge_ratios' has incorrect type"),
        ((("BBB",), (1.0, 1.0)), ValueError, "^need more than 1 value to unpack$"),
        ((("BBB", "DDD", "EEE"), (1.0, 1.0)), ValueError, r"^too many values to unpack \(expected 2\)$"),
        ((("BBB", 3), (1.0, 1.0)), TypeError, "^Expected str, got int$"),
        ((("BBB", "ZZZ"), (1.0, 1.0)), IndexError, "'ZZZ_open'"),
        ((PAIR, (1.0, "x")), TypeError, "real number"),
    ],
)
def test_bad_pairs(args, error, message):
    names, window = make_window(SECURITIES, 40)
    with pytest.raises(error, match=message):
        Signalforge().generate_features_for_pair_spreads(*args, names, window)


@pytest.mark.parametrize(
    "securities, rows, window_change, error, message",
    [
        (["BBB", "DDD", "EEE"], 40, None, ValueError, "at least two securities besides the pair"),
        (["BBB", "DDD"], 40, None, IndexError, "at least two securities besides the pair"),
        (SECURITIES, 40, lambda w: w[:, 0], ValueError, r"^Buffer has wrong number of dimensions \(expected 2, got 1\)$"),
        (SECURITIES, 40, lambda w: w.astype(np.float32), ValueError, "^Buffer dtype mismatch"),
        (SECURITIES, 40, lambda w: w.tolist(), TypeError, "rolling_window_matrix_array"),
        (SECURITIES, 9, None, Exception, "TA_BAD_PARAM"),
        # Leg 1's first column is selected before leg 2 is looked up.
        (["BBB", "AAA", "EEE"], 40, lambda w: None, TypeError, "'NoneType' object is not subscriptable"),
        (SECURITIES, 40, lambda w: w[:, :-5], IndexError, "index 20 is out of bounds for axis 1 with size 20"),
    ],
)
def test_bad_windows(securities, rows, window_change, error, message):
    names, window = make_window(securities, rows)
    window = window_change(window) if window_change else window
    with pytest.raises(error, match=message):
        Signalforge().generate_features_for_pair_spreads(PAIR, (1.0, 1.0), names, window)


@pytest.mark.filterwarnings("ignore:the matrix subclass:PendingDeprecationWarning")
def test_matrix_window_gives_the_plain_array_features():
    # A matrix multiplies matrices with *, which the series arithmetic must not do.
    row, names, window = features()
    from_matrix = Signalforge().generate_features_for_pair_spreads(PAIR, (1.0, -0.8), names, np.asmatrix(window))
    assert list(from_matrix) == list(row)
    np.testing.assert_array_equal(list(from_matrix.values()), list(row.values()))


def test_arguments_by_keyword_count_and_caller_arrays_untouched():
    names, window = make_window(SECURITIES, 40)
    before = window.copy()
    window.flags.writeable = False
    sf = Signalforge(1, 2, stray=3)
    row = sf.generate_features_for_pair_spreads(
        rolling_window_matrix_array=window, data_column_names_array=names, pair_hedge_ratios=(1, -1), pair_of_security=PAIR
    )
    assert len(row) == 126
    np.testing.assert_array_equal(window, before)
    with pytest.raises(TypeError, match=r"takes exactly 4 positional arguments \(3 given\)"):
        sf.generate_features_for_pair_spreads(PAIR, (1.0, 1.0), names)
    with pytest.raises(AttributeError):
        sf.anything = 1


@pytest.mark.parametrize("cls", [Signalforge, module.SampleWeights])
def test_refuses_pickling(cls):
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(cls())
    assert cls.__bases__ == (object,)


def test_signalforge_has_no_docstring():
    assert Signalforge.__doc__ is None


def test_module_start_up():
    assert logging.getLogger(" ").level == logging.INFO and module.logger is logging.getLogger(" ")
    assert logging.getLogger("blib2to3.pgen2.driver").level == logging.WARNING
    assert all(getattr(module, name) is getattr(talib.abstract, name) for name, _ in FEATURE_LINES)
    # The impacts default is one shared empty array, and help() shows that array.
    default = inspect.signature(module.SampleWeights.fit_transform).parameters["training_samples_impact_array"].default
    assert default is module._DEFAULT_IMPACT_ARRAY and default.shape == (0,) and default.dtype == np.float64
