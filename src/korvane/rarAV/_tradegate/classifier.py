"""``OptimalEntryClassifier``: learns from the factor's recorded trades which signalled entries to take.

``fit`` runs a study of its own (beside the factor's study file) over
imputers, filters, feature selection and ensembles, each trial scored by
combinatorial purged cross-validation with uniqueness-weighted trades; the best
pipeline is then fitted on all trades and saved. The factor loads that file
and asks ``predict`` at every signalled entry.

Eleven fields travel with a pickled copy (the study names, the cross-validation
settings and the training data): that is how the parallel trials' workers get
their data. While a parallel search runs, a copy also carries the search's
mark (see ``__reduce__``). The six fitted pieces are filled only by the loader.
"""

import contextlib
import os
import uuid
import warnings
from urllib.parse import quote, unquote

import numpy as np

from korvane._common.binding import UNSET, bind_arguments, signature
from korvane._common.fit_jobs import (
    fit_storage_class,
    objective_of_this_thread,
    run_as_job,
    settle_trials_of_fit,
    stopping_workers_to_the_end,
)
from korvane._common.study_files import (
    check_study_file_name,
    closed_on_failure,
    connections_closed_after,
    fit_file_identity,
    fit_file_identity_kept,
    remember_study_schema,
    sqlite_study_engine_kwargs,
    study_schema_known,
)
from korvane._common.study_lock import study_held_by_fit
from korvane._common.study_settings import SAMPLER_SEED, tpe_sampler_kwargs
from korvane._common.stops import cleanup_context, ending_cleanly_on_stop
from korvane._common.study_trials import failing_trial_left_running, study_storage_class
from korvane.rarAV._tradegate import fold_scoring, saved_pipeline, search_space
from korvane.rarAV._tradegate.globals import tm

STUDY_SUFFIX = "_OptimalEntryClassifier"
BANNER_DASHES = "-" * 29
LOG_SUFFIX = " | OPTIMAL ENTRY CLASSIFIER RARAV"
# The start of optuna's notice about the sampler's ``group`` argument.
GROUP_ARGUMENT_NOTICE = r"Argument ``group`` is an experimental feature"

# The trades a fit trains on, and the bar times that order them.
TRAINING_DATA_FIELDS = (
    "X_train_df",
    "y_train_series",
    "complete_datetime_index_series",
    "train_time_of_entry_series",
    "train_time_of_exit_series",
    "impact_series",
)
CARRIED_FIELDS = ("study_name", "storage_name", "n_splits", "n_test_splits", "embargo_td") + TRAINING_DATA_FIELDS
PIPELINE_FIELDS = saved_pipeline.PIPELINE_KEYS

FIT_ARGUMENTS = TRAINING_DATA_FIELDS + (
    "n_splits",
    "n_test_splits",
    "embargo_td",
    "factor_name",
    "storage_name",
    "n_trials_to_estimate_params",
    "n_jobs",
)
OBJECTIVE_ARGUMENTS = (
    "X_train_df",
    "y_train_series",
    "cv_indices_generator",
    "complete_datetime_index_series",
    "train_time_of_entry_series",
    "train_time_of_exit_series",
    "impact_series",
    "trial",
)


def banner(text):
    return BANNER_DASHES + text + BANNER_DASHES


def _sampler(seed):
    module = tm()
    with warnings.catch_warnings():
        # The grouped multivariate sampler is still marked experimental: the
        # notice would print at every study opened, in every worker.
        warnings.filterwarnings(
            "ignore", message=GROUP_ARGUMENT_NOTICE, category=module.optuna.exceptions.ExperimentalWarning
        )
        return module.TPESampler(**tpe_sampler_kwargs(seed, module.optuna.__version__))


def check_training_trades(X_train_df, n_splits):
    """Refuse, before any trial, fewer trades than the purged splits need.

    Every purged split needs at least one trade; with fewer trades every trial
    fails. Trades of one outcome only are accepted: the trials score them, and
    a naive-Bayes ensemble learns from them.
    """
    n_trades = X_train_df.shape[0]
    if n_trades < n_splits:
        raise ValueError(
            f"The entry classifier has {n_trades} training trades; "
            f"its {n_splits} cross-validation splits need at least {n_splits}."
        )


def check_both_outcomes_for_logistic_regression(classifier_model, labels, model_name):
    """Refuse to fit an ensemble of logistic regressions on trades of one outcome only.

    A logistic regression has nothing to separate with a single outcome and
    its solver fails; the message names what the trades lack instead.
    """
    if not isinstance(getattr(classifier_model, "estimator", None), tm().LogisticRegression):
        return
    outcomes = np.unique(labels)
    if outcomes.size < 2:
        raise ValueError(
            "The entry classifier needs both outcomes (labels 0 and 1) among its training trades to fit "
            f"the best trial's {model_name}, a logistic regression ensemble; its {len(labels)} trades hold "
            f"only {outcomes.tolist()}."
        )


def storage_url(stem):
    """The study's storage URL, on the absolute path of ``stem`` + ".db" in the working directory.

    Worker processes may run in another directory, so the path is fixed in the
    fitting process; it is percent-encoded so that a directory holding "?",
    "#" or "%" still names this very file.
    """
    return "sqlite:///" + quote(os.path.abspath(stem + ".db"), safe="/")


def _study_file_path(url):
    """The file of an SQLite storage ``url``; None for any other storage."""
    if not (isinstance(url, str) and url.startswith("sqlite:///")):
        return None
    return unquote(url[len("sqlite:///"):])


def _storage(url, schema_known=False):
    """The optimiser storage of ``url``: SQLite files wait for a busy writer instead of failing.

    A study file's schema is checked once per process (checking it costs
    about as much as a cheap trial), and not at all by a job of a search
    whose fitting process holds the file, nor for a file about to be made.
    """
    path = _study_file_path(url)
    if path is None:
        return url
    # A trial of a pool's job is born marked with the job (see ``fit_storage_class``).
    storage_class = fit_storage_class(study_storage_class(tm().optuna.storages.RDBStorage))
    known = schema_known or not os.path.exists(path) or study_schema_known(path)
    storage = storage_class(url, engine_kwargs=sqlite_study_engine_kwargs(path), skip_compatibility_check=known)
    remember_study_schema(path)
    return storage


def _in_a_joblib_task():
    """Whether this thread runs a task that a joblib ``Parallel`` handed out, rather than its caller's own work."""
    from joblib.parallel import get_active_backend

    return (get_active_backend()[0].nesting_level or 0) > 0


# The mark of a parallel search, (fit token, identity of the study file the
# fit holds): the fitting object holds it while the search's pool runs, and
# the copies pickled for the pool meanwhile receive it.
MARK_SLOTS = ("_search_mark", "_received_mark")


class OptimalEntryClassifier:
    """Meta-label gate for the pairs factor's entries, trained on its recorded trades."""

    __slots__ = tuple("_" + name for name in CARRIED_FIELDS + PIPELINE_FIELDS) + MARK_SLOTS

    def __init__(self, *args, **kwargs):
        for name in CARRIED_FIELDS + PIPELINE_FIELDS:
            setattr(self, "_" + name, None)
        for slot in MARK_SLOTS:
            setattr(self, slot, None)
        values = bind_arguments("OptimalEntryClassifier", CARRIED_FIELDS, 0, args, kwargs)
        defaults = {name: None for name in CARRIED_FIELDS}
        defaults.update(n_splits=10, n_test_splits=3, embargo_td=tm().DEFAULT_EMBARGO_TD)
        values = [defaults[name] if value is UNSET else value for name, value in zip(CARRIED_FIELDS, values)]
        getattr(self, "restore_mp_variables")(*values)

    def restore_mp_variables(self, *args, **kwargs):
        """Set the carried fields from the values given; a None value leaves its field as it is."""
        values = bind_arguments("restore_mp_variables", CARRIED_FIELDS, len(CARRIED_FIELDS), args, kwargs)
        for name, value in zip(CARRIED_FIELDS, values):
            if value is not None:
                setattr(self, "_" + name, value)
        return None

    def __reduce__(self):
        # Imported at pickling time, never when the module loads.
        from korvane.utils.pickling.rebuilds import rebuild_optimal_entry_classifier

        carried = tuple(getattr(self, "_" + name) for name in CARRIED_FIELDS)
        mark = self._search_mark
        if mark is None:
            return rebuild_optimal_entry_classifier, carried
        # Pickled while this object's parallel search runs (for its pool, as a
        # rule): the copy carries the search's mark to its jobs.
        return rebuild_optimal_entry_classifier, carried, mark

    def __setstate__(self, mark):
        """Receive the mark of the parallel search that pickled this copy; a copy never passes it on."""
        self._received_mark = mark

    def _mark_of_job(self):
        """(fit token, study file identity) of the parallel search whose job this copy runs; else (None, None).

        Only a copy pickled during a search holds a mark, and it counts only
        inside a joblib task: a copy that someone pickled during a search and
        calls directly later neither marks its trials with that search nor
        holds on to the file the search had.
        """
        mark = self._received_mark
        if mark is None or not _in_a_joblib_task():
            return None, None
        return mark

    # ------------------------------------------------------------------ study

    def _open_study(self, seed, schema_known=False):
        """The study, on a storage of its own: whoever opens it closes its connections."""
        with closed_on_failure(_storage(self._storage_name, schema_known)) as storage:
            return tm().optuna.create_study(
                study_name=self._study_name,
                direction="maximize",
                storage=storage,
                load_if_exists=True,
                sampler=_sampler(seed),
            )

    def _held_study(self, seed, schema_known=False):
        """The study opened with the sampler ``seed``, held as the factor's study is held by a fit.

        An unwritable study file, a failed write, trials that dead fits left
        running and a study file removed meanwhile are handled as in the
        factor's fit (see ``study_held_by_fit``), and its connections are
        closed when the hold ends.
        """
        return study_held_by_fit(
            _study_file_path(self._storage_name), lambda: self._open_study(seed, schema_known)
        )

    def fit(self, *args, **kwargs):
        """Search the entry pipeline in the classifier's own study, then fit and save the best one.

        Runs ``n_trials_to_estimate_params`` trials (in joblib workers when
        ``n_jobs`` is not 1; with more than one job an empty study first gets
        one trial in this process), logs the best trial, and saves the best
        pipeline fitted on all rows to "../rarAV/saved_models/".
        """
        values = bind_arguments("fit", FIT_ARGUMENTS, 6, args, kwargs)
        defaults = dict(
            n_splits=10,
            n_test_splits=3,
            embargo_td=tm().DEFAULT_FIT_EMBARGO_TD,
            factor_name="",
            storage_name="",
            n_trials_to_estimate_params=1,
            n_jobs=1,
        )
        bound = {
            name: (defaults[name] if value is UNSET else value) for name, value in zip(FIT_ARGUMENTS, values)
        }
        training = [bound[name] for name in FIT_ARGUMENTS[:6]]
        check_training_trades(bound["X_train_df"], bound["n_splits"])

        # The object that fits runs no other search's jobs, whatever copy it was made as.
        self._received_mark = None
        self._study_name = bound["factor_name"] + STUDY_SUFFIX
        stem = bound["storage_name"] + STUDY_SUFFIX
        check_study_file_name(os.path.basename(os.path.abspath(stem + ".db")), "storage_name", bound["storage_name"])
        self._storage_name = storage_url(stem)
        with ending_cleanly_on_stop(), self._held_study(SAMPLER_SEED) as held:
            self._search_study(held, bound)
        self._fit_optimal_params_and_pickle_rarAV(*training)
        return None

    def _search_study(self, held, bound):
        """Steps of ``fit`` from storing the carried fields to the log of the best trial."""
        module = tm()
        logger = module.logger
        study = held.study
        getattr(self, "restore_mp_variables")(
            None,
            None,
            bound["n_splits"],
            bound["n_test_splits"],
            bound["embargo_td"],
            bound["X_train_df"],
            bound["y_train_series"],
            bound["complete_datetime_index_series"],
            bound["train_time_of_entry_series"],
            bound["train_time_of_exit_series"],
            bound["impact_series"],
        )

        n_trials = bound["n_trials_to_estimate_params"]
        n_jobs = bound["n_jobs"]
        if (n_jobs > 1 or n_jobs == -1) and not study.get_trials(deepcopy=False):
            logger.info(banner("BEGINNING IN-SAMPLE RARAV OPTIMISATION"))
            logger.info(banner("STUDY DB IS EMPTY, INITIALIZING DB WITH SINGLE FIT"))
            logger.info(banner("FITTING SINGLE FIT BEFORE MULTIPROCESSING"))
            getattr(self, "__fit_single_instance")(0)
            n_trials -= 1
        delayed_optuna_optimisations = [
            module.delayed(getattr(self, "__fit_single_instance"))(index) for index in range(n_trials)
        ]
        logger.info(banner("BEGINNING MULTIPROCESSED IN-SAMPLE RARAV OPTIMISATION"))
        parallel_pool = stopping_workers_to_the_end(module.Parallel)(n_jobs=n_jobs)
        # A random token, new for each search, marks the trials that the pool's
        # workers start: study files are copied and shared, so the mark names
        # neither this machine nor this process. Jobs that run on this very
        # object (in this process with one job, or in joblib's threads) mark
        # nothing: threads outlive a stopped pool, and their trials may still finish.
        token = uuid.uuid4().hex
        identity = fit_file_identity(_study_file_path(self._storage_name))
        with _search_marked(self, study, (token, identity)), np.errstate(all="ignore"):
            parallel_pool(delayed_optuna_optimisations)
        logger.info(banner("IN-SAMPLE RARAV OPTIMISATION COMPLETE"))
        held.check_kept()
        logger.info(
            "BEST TRIAL SO FAR: "
            + str(study.best_trial.number)
            + " WITH SCORE: "
            + str(round(study.best_value, 3))
            + " | Optimal Entry Classifier\n"
        )

    def _fit_single_instance(self, index):
        """Run one trial of the classifier's study, its sampler seeded with 69 + ``index``.

        A copy running a job of a parallel search works on the study file that
        the fit holds or on none, marks its trial with the search's token and
        the job's index, and closes its study connections once done.
        """
        module = tm()
        token, identity = self._mark_of_job()
        with fit_file_identity_kept(_study_file_path(self._storage_name), identity):
            with self._held_study(SAMPLER_SEED + index, schema_known=identity is not None) as held:
                run_as_job(token, index, self._run_trial, module, held.study)
        return None

    def _run_trial(self, module, study):
        """Steps of ``__fit_single_instance`` from the splitter to the trial."""
        cpcv = module.CombPurgedKFoldCV(
            n_splits=self._n_splits, n_test_splits=self._n_test_splits, embargo_td=self._embargo_td
        )
        cv_indices_generator = cpcv.split(
            X=self._X_train_df,
            y=self._y_train_series,
            pred_times=self._train_time_of_entry_series,
            eval_times=self._train_time_of_exit_series,
        )
        objective = module.partial(
            getattr(self, "__single_instance_optimal_entry_classifier_chimera_fit"),
            self._X_train_df,
            self._y_train_series,
            cv_indices_generator,
            self._complete_datetime_index_series,
            self._train_time_of_entry_series,
            self._train_time_of_exit_series,
            self._impact_series,
        )
        with np.errstate(all="ignore"), failing_trial_left_running(study):
            # A failing trial is recorded as failed; an interrupt still stops the fit.
            study.optimize(objective_of_this_thread(objective), n_trials=1, catch=(Exception,))

    def _single_instance_optimal_entry_classifier_chimera_fit(self, *args, **kwargs):
        """One trial: draw a pipeline and return the mean f1 score of its purged cross-validation folds."""
        *data, trial = bind_arguments(
            "__single_instance_optimal_entry_classifier_chimera_fit", OBJECTIVE_ARGUMENTS, 8, args, kwargs
        )
        logger = tm().logger
        trial_number = str(trial._trial_id - 1)
        logger.info("RUNNING TRIAL NUM " + trial_number + " TO OPTIMISE PARAMETERS IN-SAMPLE" + LOG_SUFFIX)
        params = search_space.draw_model_parameters(trial)
        pieces = search_space.build_selection_pieces(params) + (search_space.build_classifier_model(params),)
        search_space.draw_imputer_parameters(trial, params)
        cv_scores = fold_scoring.cross_validated_f1(pieces, params, *data)
        train_objective_score = fold_scoring.nan_mean(cv_scores)
        logger.info(
            "FINISHED TRIAL NUM "
            + trial_number
            + " WITH OBJECTIVE SCORE: "
            + str(round(train_objective_score, 3))
            + LOG_SUFFIX
            + "\n"
        )
        return train_objective_score

    # ------------------------------------------------------------------ final fit

    def _fit_optimal_params_and_pickle_rarAV(
        self,
        X_train_df,
        y_train_series,
        complete_datetime_index_series,
        train_time_of_entry_series,
        train_time_of_exit_series,
        impact_series,
    ):
        """Fit the best trial's pipeline on every training row and save its six fitted pieces."""
        module = tm()
        pd = module.pd
        logger = module.logger
        logger.info(banner("BEGINNING FITTING TO TRAINING SET RARAV"))
        study_file = _study_file_path(self._storage_name)
        with ending_cleanly_on_stop(), connections_closed_after(study_file, lambda: self._open_study(SAMPLER_SEED)) as study:
            best_params = study.best_trial.params
        params = search_space.read_stored_parameters(best_params)
        sample_weights, vt, scaler, select_top_k_features = search_space.build_selection_pieces(params)
        classifier_model = search_space.build_classifier_model(params)

        # The caller's table is left as it is; the clean-up works on a copy.
        X_train_replace_infs = fold_scoring.cleaned_frame(X_train_df)
        imputer = search_space.build_imputer(params)
        if imputer is None:
            raise search_space.unassigned("imputer")
        X_train_imputed = pd.DataFrame(
            imputer.fit_transform(X_train_replace_infs), columns=X_train_replace_infs.columns
        )
        vt.fit(X_train_imputed)
        no_variance_cols = vt.get_support(indices=True)
        X_train_no_variance_df = X_train_imputed.iloc[:, no_variance_cols]
        X_train_no_multicollinearity, features_to_drop_from_multicollinearity = (
            fold_scoring.features_without_high_correlation(X_train_no_variance_df)
        )
        X_train_scaled = scaler.fit_transform(X_train_no_multicollinearity)
        X_train_final = select_top_k_features.fit_transform(
            X_train_scaled, np.asarray(y_train_series, dtype=np.int8).ravel()
        )
        sample_weights_train = sample_weights.fit_transform(
            *fold_scoring.span_arrays(
                complete_datetime_index_series, train_time_of_entry_series, train_time_of_exit_series, impact_series
            )
        )
        if classifier_model is None:
            raise search_space.unassigned("classifier_model")
        labels = y_train_series.values.ravel()
        check_both_outcomes_for_logistic_regression(classifier_model, labels, params["classifier_model_to_use"])
        classifier_model.fit(X_train_final, labels, sample_weight=sample_weights_train)
        pickled_optimal_entry_model = {
            "imputer": imputer,
            "no_variance_cols": no_variance_cols,
            "features_to_drop_from_multicollinearity": features_to_drop_from_multicollinearity,
            "scaler": scaler,
            "select_top_k_features": select_top_k_features,
            "classifier_model": classifier_model,
        }
        saved_pipeline.save_pipeline(saved_pipeline.pipeline_path(self._study_name), pickled_optimal_entry_model)
        train_objective_score = classifier_model.score(X_train_final, labels)
        logger.info(
            "FINISHED FITTING RARAV TO TRAINING SET WITH OBJECTIVE SCORE: "
            + str(round(train_objective_score, 3))
            + LOG_SUFFIX
            + "\n"
        )
        return None

    # ------------------------------------------------------------------ saved pipeline

    def _check_and_load_optimal_entry_classifier(self, factor_name=""):
        """Load the saved pipeline of ``factor_name``'s classifier; False when there is no such file.

        The study name is rewritten on every call, whatever the file holds; a
        file that is refused leaves the pipeline fields as they were.
        """
        self._study_name = study_name = factor_name + STUDY_SUFFIX
        path = saved_pipeline.pipeline_path(study_name)
        if not os.path.isfile(path):
            return False
        pipeline = saved_pipeline.load_pipeline(path)
        for name in PIPELINE_FIELDS:
            setattr(self, "_" + name, pipeline[name])
        return True

    def predict(self, X, /):
        """The entry decision (1 take, 0 skip) the loaded pipeline gives for the first row of ``X``.

        The features go through the clean-up that training applied, on a copy.
        """
        pd = tm().pd
        X_replace_infs = fold_scoring.cleaned_frame(X)
        X_imputed = pd.DataFrame(self._imputer.transform(X_replace_infs), columns=X_replace_infs.columns)
        X_no_variance_df = X_imputed.iloc[:, self._no_variance_cols]
        X_no_multicollinearity = X_no_variance_df.drop(self._features_to_drop_from_multicollinearity, axis=1)
        X_scaled = self._scaler.transform(X_no_multicollinearity)
        X_final = self._select_top_k_features.transform(X_scaled)
        prediction = self._classifier_model.predict(X_final)
        return prediction[0]


def set_signatures(embargo_td, fit_embargo_td):
    """The signatures help() shows for the methods that bind their own arguments."""
    cls = OptimalEntryClassifier
    constructor_defaults = dict.fromkeys(CARRIED_FIELDS)
    constructor_defaults.update(n_splits=10, n_test_splits=3, embargo_td=embargo_td)
    cls.__init__.__signature__ = signature(CARRIED_FIELDS, constructor_defaults, first="self")
    cls.restore_mp_variables.__signature__ = signature(CARRIED_FIELDS, first="self")
    cls.fit.__signature__ = signature(
        FIT_ARGUMENTS,
        dict(
            n_splits=10, n_test_splits=3, embargo_td=fit_embargo_td, factor_name="", storage_name="",
            n_trials_to_estimate_params=1, n_jobs=1,
        ),
        first="self",
    )
    cls._single_instance_optimal_entry_classifier_chimera_fit.__signature__ = signature(
        OBJECTIVE_ARGUMENTS, first="self"
    )


# Operations that callers look up by their double-underscore names (the
# factor, the study's tasks), bound here without name mangling. The
# correlation filter and the final fit stay private.
for _public, _impl in (
    ("__fit_single_instance", "_fit_single_instance"),
    ("__single_instance_optimal_entry_classifier_chimera_fit", "_single_instance_optimal_entry_classifier_chimera_fit"),
    ("__check_and_load_optimal_entry_classifier", "_check_and_load_optimal_entry_classifier"),
):
    setattr(OptimalEntryClassifier, _public, getattr(OptimalEntryClassifier, _impl))
del _public, _impl


@cleanup_context
def _search_marked(classifier, study, mark):
    """Within the block, the pool's jobs carry ``mark`` (the search's token, the study file's identity).

    Should the block be stopped (a signal, a failed job), the pool has stopped
    its workers, whose trials would stay running: they are marked failed.
    Pickled after the block, the classifier is as it was before the search.
    """
    classifier._search_mark = mark
    try:
        yield
    except BaseException:
        with contextlib.suppress(Exception):
            settle_trials_of_fit(study, mark[0])
        raise
    finally:
        classifier._search_mark = None
