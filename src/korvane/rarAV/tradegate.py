"""Optimal-entry classifier: the learned gate on the pairs factor's entries.

``OptimalEntryClassifier`` is trained by the factor's ``fit(..., fit_rarAV=True)``
on the factor's own recorded trades, saves its fitted pipeline to
"../rarAV/saved_models/", and is asked at every signalled entry once loaded.

Module globals below (``optuna``, ``CombPurgedKFoldCV``, the scikit-learn
pieces, ``SampleWeights``, ...) are looked up at call time by the classifier's
code, so they can be replaced.
"""

from korvane.rarAV._tradegate.classifier import OptimalEntryClassifier

import os  # noqa: E402
import logging  # noqa: E402

from korvane._common.startup import configure_shared_logger  # noqa: E402

logger = configure_shared_logger()

import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
from functools import partial  # noqa: E402
import pickle  # noqa: E402

import warnings  # noqa: E402

# Model searches fit thousands of small models; their routine warnings
# (non-converged solvers, deprecations) would drown the progress lines.
warnings.simplefilter("ignore", UserWarning)
warnings.simplefilter("ignore", FutureWarning)
from sklearn.exceptions import ConvergenceWarning  # noqa: E402

warnings.simplefilter("ignore", ConvergenceWarning)

import optuna  # noqa: E402
from optuna.samplers import TPESampler  # noqa: E402
from timeseriescv.cross_validation import CombPurgedKFoldCV  # noqa: E402
from sklearn.impute import SimpleImputer, KNNImputer  # noqa: E402
from sklearn.feature_selection import SelectPercentile, VarianceThreshold, f_classif, mutual_info_classif  # noqa: E402
from sklearn.preprocessing import MinMaxScaler  # noqa: E402
from sklearn.ensemble import AdaBoostClassifier, BaggingClassifier  # noqa: E402
from sklearn.linear_model import LogisticRegression  # noqa: E402
from sklearn.naive_bayes import ComplementNB, GaussianNB  # noqa: E402
from sklearn.metrics import f1_score  # noqa: E402
from joblib import Parallel, delayed  # noqa: E402

from korvane.rarAV.signalforge import SampleWeights  # noqa: E402

# Argument defaults made once: every classifier constructed without an
# embargo shares the first, every fit called without one gets the second.
DEFAULT_EMBARGO_TD = pd.Timedelta(days=1)
DEFAULT_FIT_EMBARGO_TD = pd.Timedelta(days=1)

from korvane.rarAV._tradegate.classifier import set_signatures  # noqa: E402

set_signatures(DEFAULT_EMBARGO_TD, DEFAULT_FIT_EMBARGO_TD)
del set_signatures
