"""The classifier's search space and the pipeline pieces a parameter set describes.

A trial draws nineteen parameters, always all of them, whatever imputer and
model it ends up with; the stored keys are what the final fit reads back, so
their texts are part of every study file. The same piece builders serve the
trial and the final fit, so a trial scores exactly the pipeline that the final
fit would save.
"""

import functools

from korvane.rarAV._tradegate.globals import tm

MODEL_NAMES = (
    "AdaBoostClassifierLogisticRegression",
    "AdaBoostClassifierComplementNB",
    "AdaBoostClassifierGaussianNB",
    "BaggingClassifierLogisticRegression",
    "BaggingClassifierComplementNB",
    "BaggingClassifierGaussianNB",
)

# Draws before the pieces are built: (key, kind, choices or (low, high), log scale).
MODEL_DRAWS = (
    ("score_func_to_use", "categorical", ("f_classif", "mutual_info_classif"), False),
    ("select_top_k_features_percentile", "int", (20, 100), False),
    ("classifier_model_to_use", "categorical", MODEL_NAMES, False),
    ("AdaBoostClassifier_n_estimators", "int", (1, 10000), True),
    ("AdaBoostClassifier_learning_rate", "float", (1e-5, 100.0), True),
    ("lr_penalty", "categorical", ("l2", "l1", "elasticnet"), False),
    ("lr_c", "float", (1e-5, 100.0), True),
    ("lr_class_weight", "categorical", ("None", "balanced"), False),
    ("lr_max_iter", "int", (1000, 10000), False),
    ("lr_l1_ratio", "float", (1e-5, 1.0), True),
    ("cnb_alpha", "float", (1e-5, 100.0), True),
    ("gnb_var_smoothing", "float", (1e-12, 100.0), True),
    ("BaggingClassifier_n_estimators", "int", (1, 10000), True),
    ("BaggingClassifier_max_samples", "float", (0.1, 1.0), True),
    ("BaggingClassifier_max_features", "float", (0.1, 1.0), True),
)
# Draws after the pieces are built: the imputer choice and all its settings.
IMPUTER_DRAWS = (
    ("imputer_to_use", "categorical", ("KNNImputer", "SimpleImputer"), False),
    ("KNNImputer_n_neighbors", "int", (1, 5), False),
    ("KNNImputer_weights", "categorical", ("uniform", "distance"), False),
    # The key says "weights" but holds the simple imputer's strategy.
    ("SimpleImputer_weights", "categorical", ("mean", "median", "most_frequent", "constant"), False),
)

# The order in which a stored parameter set is read back; a set missing a key
# fails on the first missing one in this order, before anything is built.
ASSEMBLY_KEYS = (
    "score_func_to_use",
    "select_top_k_features_percentile",
    "imputer_to_use",
    "KNNImputer_n_neighbors",
    "KNNImputer_weights",
    "SimpleImputer_weights",
    "classifier_model_to_use",
    "AdaBoostClassifier_n_estimators",
    "AdaBoostClassifier_learning_rate",
    "lr_penalty",
    "lr_c",
    "lr_class_weight",
    "lr_max_iter",
    "lr_l1_ratio",
    "cnb_alpha",
    "gnb_var_smoothing",
    "BaggingClassifier_n_estimators",
    "BaggingClassifier_max_samples",
    "BaggingClassifier_max_features",
)

VARIANCE_THRESHOLD = 0.05



@functools.cache
def _penalty_as_l1_ratio():
    """Whether the installed scikit-learn takes a logistic regression's penalty as its l1 ratio alone.

    From 1.8 on the penalty argument is deprecated.
    """
    import sklearn

    return tuple(int(part) for part in sklearn.__version__.split(".")[:2]) >= (1, 8)

_L1_RATIO_OF_PENALTY = {"l2": 0.0, "l1": 1.0}


def _draw(trial, draws, params):
    for key, kind, bounds, log in draws:
        if kind == "categorical":
            params[key] = trial.suggest_categorical(key, list(bounds))
        elif kind == "int":
            params[key] = trial.suggest_int(key, *bounds, log=True) if log else trial.suggest_int(key, *bounds)
        else:
            params[key] = trial.suggest_float(key, *bounds, log=True) if log else trial.suggest_float(key, *bounds)


def draw_model_parameters(trial):
    params = {}
    _draw(trial, MODEL_DRAWS, params)
    return params


def draw_imputer_parameters(trial, params):
    _draw(trial, IMPUTER_DRAWS, params)
    return params


def unassigned(name):
    """The error of a choice that names none of the known pieces."""
    return UnboundLocalError(f"local variable '{name}' referenced before assignment")


def build_selection_pieces(params):
    """Unfitted (sample weights, variance filter, scaler, selector) of a parameter set."""
    module = tm()
    sample_weights = module.SampleWeights()
    vt = module.VarianceThreshold(threshold=VARIANCE_THRESHOLD)
    scaler = module.MinMaxScaler()
    name = params["score_func_to_use"]
    if name == "f_classif":
        score_func = module.f_classif
    elif name == "mutual_info_classif":
        score_func = module.mutual_info_classif
    else:
        raise unassigned("score_func")
    selector = module.SelectPercentile(score_func=score_func, percentile=params["select_top_k_features_percentile"])
    return sample_weights, vt, scaler, selector


def _logistic_regression(params):
    penalty = params["lr_penalty"]
    elastic = penalty == "elasticnet"
    # The text "None" is the choice of unweighted classes.
    class_weight = None if params["lr_class_weight"] == "None" else params["lr_class_weight"]
    kwargs = dict(
        C=params["lr_c"],
        class_weight=class_weight,
        max_iter=params["lr_max_iter"],
        solver="saga" if elastic else "liblinear",
    )
    if _penalty_as_l1_ratio() and (elastic or penalty in _L1_RATIO_OF_PENALTY):
        kwargs["l1_ratio"] = params["lr_l1_ratio"] if elastic else _L1_RATIO_OF_PENALTY[penalty]
    else:
        kwargs["penalty"] = penalty
        kwargs["l1_ratio"] = params["lr_l1_ratio"] if elastic else None
    return tm().LogisticRegression(**kwargs)


def build_classifier_model(params):
    """The unfitted ensemble, or None when the name matches no ensemble and inner model.

    Substring tests as the names are built: the AdaBoost tests first, then the
    Bagging ones; each of the six names matches exactly one combination.
    """
    module = tm()
    name = params["classifier_model_to_use"]
    inner_models = (
        ("LogisticRegression", lambda: _logistic_regression(params)),
        ("ComplementNB", lambda: module.ComplementNB(alpha=params["cnb_alpha"])),
        ("GaussianNB", lambda: module.GaussianNB(var_smoothing=params["gnb_var_smoothing"])),
    )
    ensembles = (
        (
            "AdaBoostClassifier",
            lambda inner: module.AdaBoostClassifier(
                estimator=inner(),
                n_estimators=params["AdaBoostClassifier_n_estimators"],
                learning_rate=params["AdaBoostClassifier_learning_rate"],
            ),
        ),
        (
            "BaggingClassifier",
            lambda inner: module.BaggingClassifier(
                estimator=inner(),
                n_estimators=params["BaggingClassifier_n_estimators"],
                max_samples=params["BaggingClassifier_max_samples"],
                max_features=params["BaggingClassifier_max_features"],
                bootstrap_features=True,
            ),
        ),
    )
    model = None
    for ensemble_word, ensemble in ensembles:
        if ensemble_word in name:
            for word, inner in inner_models:
                if word in name:
                    model = ensemble(inner)
    return model


def build_imputer(params):
    """A new imputer of a parameter set, or None when the choice names neither imputer.

    Columns without any observed value are kept (filled with 0): dropping them
    would shift every later column's position and label.
    """
    module = tm()
    name = params["imputer_to_use"]
    if name == "KNNImputer":
        return module.KNNImputer(
            n_neighbors=params["KNNImputer_n_neighbors"],
            weights=params["KNNImputer_weights"],
            keep_empty_features=True,
        )
    if name == "SimpleImputer":
        return module.SimpleImputer(strategy=params["SimpleImputer_weights"], keep_empty_features=True)
    return None


def read_stored_parameters(best_params_dict):
    """The nineteen stored values, read in assembly order (KeyError on the first missing one)."""
    return {key: best_params_dict[key] for key in ASSEMBLY_KEYS}
