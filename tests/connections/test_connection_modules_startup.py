"""What importing the two connection modules sets up, checked in a fresh interpreter."""

import textwrap

PROBE = textwrap.dedent(
    """
    import datetime, functools, logging, multiprocessing, sys, threading

    logging.getLogger(" ").setLevel(logging.ERROR)
    before = datetime.datetime.now()
    import korvane.connections.binance.coinlink as cl
    import korvane.connections.yahoo_finance.equitylink as el
    after = datetime.datetime.now()

    assert logging.getLogger().handlers
    assert cl.logger is el.logger is logging.getLogger(" ") and cl.logger.level == logging.INFO
    assert logging.getLogger("blib2to3.pgen2.driver").level == logging.WARNING

    import bs4, binance.client, joblib, pandas, requests, yfinance
    expected = dict(
        requests=requests, bs=bs4, datetime=datetime, pd=pandas, reduce=functools.reduce,
        Client=binance.client.Client, Parallel=joblib.Parallel, delayed=joblib.delayed,
        Manager=multiprocessing.Manager,
    )
    for name, value in expected.items():
        assert getattr(cl, name) is value, name
    for name, value in dict(logging=logging, bs=bs4, requests=requests, yf=yfinance, datetime=datetime).items():
        assert getattr(el, name) is value, name

    # Defaults are made once, at import; each operation has its own objects.
    daily, minute = cl.DAILY_DOWNLOAD_ARGUMENTS, cl.MINUTE_DOWNLOAD_ARGUMENTS
    assert daily[0][1] == [] and daily[0][1] is not minute[0][1]
    ends = [dict(daily)["end"], dict(minute)["end"]] + [dict(a)["end"] for a in el.DOWNLOAD_ARGUMENTS.values()]
    assert all(before <= end <= after for end in ends) and len(ends) == 6
    assert el.Equitylink.__doc__.startswith("Establishes a connection to yahoo finance\\n    Yahoo finance")

    # Nothing starts at import; the rebuild functions load only when pickling.
    assert multiprocessing.active_children() == [] and threading.active_count() == 1
    assert "korvane.utils.pickling.rebuilds" not in sys.modules
    print("ok")
    """
)


def test_import_sets_up_logging_names_and_defaults(fresh_interpreter):
    fresh_interpreter(PROBE)
