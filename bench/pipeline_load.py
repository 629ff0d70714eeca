"""Loading a saved entry-classifier pipeline: the restricted loader against plain ``pickle.loads``.

The pipeline file is read at every classifier construction, every
``get_full_backtest_results`` and every gated backtest run, so its load must
stay close to what an unrestricted unpickler costs. Two bagged GaussianNB
pipelines are saved as the final fit saves them: 2,000 members (the size the
search commonly draws) and 10,000 (the largest it can draw). Each is loaded
with ``load_pipeline`` and with ``pickle.loads`` of the same bytes, the best of
several runs, and the peak memory of one load of each is traced.

Target: ``load_pipeline`` at most 4x ``pickle.loads`` on both files, with
every bound of the loader held; the last line prints the ratio for the
10,000-member pipeline.
"""

import gc
import os
import pathlib
import pickle
import sys
import tempfile
import time
import tracemalloc

import numpy as np
import pandas as pd

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

from classifier.classifier_helpers import CHEAP_PARAMS, tiny_trades  # noqa: E402
from korvane.rarAV import tradegate  # noqa: E402, F401  (the pieces look their classes up on it)
from korvane.rarAV._tradegate import fold_scoring, saved_pipeline, search_space  # noqa: E402

MEMBERS = (2_000, 10_000)
TARGET_RATIO = 4.0


def bagged_pipeline(members):
    """The six pieces the final fit saves, with a Bagging of ``members`` GaussianNB models."""
    params = dict(CHEAP_PARAMS, BaggingClassifier_n_estimators=members)
    X, y = tiny_trades(n=200, k=8)[:2]
    _, vt, scaler, selector = search_space.build_selection_pieces(params)
    imputer = search_space.build_imputer(params)
    imputed = pd.DataFrame(imputer.fit_transform(X), columns=X.columns)
    positions = vt.fit(imputed).get_support(indices=True)
    kept, drops = fold_scoring.features_without_high_correlation(imputed.iloc[:, positions])
    model = search_space.build_classifier_model(params)
    np.random.seed(0)
    model.fit(selector.fit_transform(scaler.fit_transform(kept), y.values), y.values)
    return {"imputer": imputer, "no_variance_cols": positions, "features_to_drop_from_multicollinearity": drops,
            "scaler": scaler, "select_top_k_features": selector, "classifier_model": model}


def best_seconds(runs, repeats):
    """The least seconds each of ``runs`` took over ``repeats`` rounds, taken in turn so that both meet the same load."""
    best = [float("inf")] * len(runs)
    for _ in range(repeats):
        for index, run in enumerate(runs):
            gc.collect()
            start = time.perf_counter()
            run()
            best[index] = min(best[index], time.perf_counter() - start)
    return best


def peak_bytes(run):
    gc.collect()
    tracemalloc.start()
    try:
        run()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def measure(load, path, repeats=5):
    """(loader seconds, pickle.loads seconds, loader peak bytes, pickle.loads peak bytes) for the file at ``path``."""
    data = pathlib.Path(path).read_bytes()

    def plain():
        return pickle.loads(data)

    def restricted():
        return load(path)

    assert len(restricted()["classifier_model"].estimators_) == len(plain()["classifier_model"].estimators_)
    ours, reference = best_seconds((restricted, plain), repeats)
    return ours, reference, peak_bytes(restricted), peak_bytes(plain)


def main(load=saved_pipeline.load_pipeline):
    ratio = None
    with tempfile.TemporaryDirectory() as folder:
        for members in MEMBERS:
            path = os.path.join(folder, f"bagging_{members}.pkl")
            saved_pipeline.save_pipeline(path, bagged_pipeline(members))
            ours, plain, our_peak, plain_peak = measure(load, path, repeats=9 if members < 10_000 else 5)
            ratio = ours / plain
            print(f"Bagging of {members:,} GaussianNB, {os.path.getsize(path) / 1024:,.0f} KB file:")
            print(f"  load_pipeline: {ours * 1e3:8.1f} ms, peak {our_peak / 2**20:6.1f} MiB")
            print(f"  pickle.loads : {plain * 1e3:8.1f} ms, peak {plain_peak / 2**20:6.1f} MiB")
            print(f"  ratio load_pipeline / pickle.loads ({members:,} members): {ratio:.2f}x "
                  f"(target <= {TARGET_RATIO:.0f}x)")
    print(f"ratio load_pipeline / pickle.loads: {ratio:.2f}x")


if __name__ == "__main__":
    main()
