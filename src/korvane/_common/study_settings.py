"""Optimiser settings shared by the factor's and the entry classifier's studies: seeds, waits, file names."""

# Every fit starts its sampler from this seed; job k of the parallel way uses
# SAMPLER_SEED + k, so the in-process first trial and job 0 share a seed.
SAMPLER_SEED = 69
N_STARTUP_TRIALS = 30

# Concurrent trials write to one SQLite file; a writer that finds the file
# locked waits up to this long instead of failing its trial.
SQLITE_BUSY_TIMEOUT_SECONDS = 300.0

# Sidecar files SQLite keeps beside a study file in write-ahead-log mode.
SQLITE_SIDECAR_SUFFIXES = ("-wal", "-shm")

# The lock file beside a study file: "<study file>.lock".
STUDY_LOCK_SUFFIX = ".lock"

# Every name a study file brings beside it: SQLite's rollback journal, its
# write-ahead log and the log's index, and the lock file.
STUDY_COMPANION_SUFFIXES = ("-journal",) + SQLITE_SIDECAR_SUFFIXES + (STUDY_LOCK_SUFFIX,)


def tpe_sampler_kwargs(seed, optuna_version):
    """Keyword arguments of the TPE sampler of a study, for the installed optuna ``optuna_version``."""
    kwargs = dict(
        n_startup_trials=N_STARTUP_TRIALS,
        multivariate=True,
        group=True,
        constant_liar=True,
        seed=seed,
    )
    # The flag only silenced a warning; newer optuna deprecates it and warns
    # about the flag itself, so it is passed only where it is still quiet.
    if _version_tuple(optuna_version) < (4, 9):
        kwargs["warn_independent_sampling"] = False
    return kwargs


def _version_tuple(text):
    parts = []
    for piece in text.split(".")[:2]:
        digits = "".join(ch for ch in piece if ch.isdigit())
        parts.append(int(digits) if digits else 0)
    return tuple(parts)
