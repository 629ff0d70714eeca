"""What importing the factor module sets up, checked in a fresh interpreter."""

import textwrap

PROBE = textwrap.dedent(
    """
    import datetime, itertools, logging, warnings, sys

    assert not logging.getLogger().handlers
    import korvane.factors.technical.pairtrader as pt
    import optuna

    # Logging: the default configuration, the shared logger at INFO, the grammar logger quietened.
    assert logging.getLogger().handlers
    assert pt.logger is logging.getLogger(" ") and pt.logger.level == logging.INFO
    assert logging.getLogger("blib2to3.pgen2.driver").level == logging.WARNING
    # The optimiser is quiet and its experimental-feature warning ignored.
    assert optuna.logging.get_verbosity() == optuna.logging.WARNING
    with warnings.catch_warnings(record=True) as shown:
        warnings.warn("experimental", optuna.exceptions.ExperimentalWarning)
    assert shown == []

    # The names the factor's code finds on the module.
    from joblib import Parallel, delayed
    from optuna.samplers import TPESampler
    from sklearn.linear_model import LinearRegression
    from statsmodels.tsa.vector_ar.vecm import coint_johansen
    from korvane.utils.inference.inference import Inference
    from korvane.utils.results.scorebook import Scorebook
    import numpy, os, pandas
    expected = dict(
        os=os, logging=logging, np=numpy, pd=pandas, time=datetime.time, datetime=datetime.datetime,
        date=datetime.date, optuna=optuna, TPESampler=TPESampler, Parallel=Parallel, delayed=delayed,
        warnings=warnings, ExperimentalWarning=optuna.exceptions.ExperimentalWarning,
        combinations=itertools.combinations, coint_johansen=coint_johansen, LinearRegression=LinearRegression,
        Scorebook=Scorebook, Inference=Inference,
    )
    for name, value in expected.items():
        assert getattr(pt, name) is value, name
    assert pt.DEFAULT_SECURITIES_NAMES_LIST == []
    factor_type = pt.PairsTradingSerialCointegrationFactor
    assert factor_type.__module__ == "korvane.factors.technical.pairtrader"
    assert factor_type.__doc__ == "Factor that implements a pairs trading factor based on serial cointegration"
    # The rebuild functions are imported only when a factor is pickled.
    assert "korvane.utils.pickling.rebuilds" not in sys.modules
    print("ok")
    """
)


def test_import_sets_up_logging_warnings_and_module_names(fresh_interpreter):
    fresh_interpreter(PROBE)
