import importlib

import pytest


@pytest.mark.parametrize(
    "module",
    [
        "korvane._kernels",
        "korvane.factors.technical._pairtrader",
        "korvane.utils.results._scorebook",
        "korvane.factors.technical.pairtrader",
        "korvane.utils.results.scorebook",
        "korvane.rarAV._signalforge",
        "korvane.rarAV.signalforge",
        "korvane.rarAV.tradegate",
        "korvane.utils.filters.tickersieve",
    ],
)
def test_modules_import(module):
    assert importlib.import_module(module) is not None
