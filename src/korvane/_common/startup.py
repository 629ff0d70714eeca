"""Process-wide settings every korvane module applies when it is imported."""

import logging

SHARED_LOGGER_NAME = " "


def configure_shared_logger():
    """Apply the default logging configuration and return the shared logger.

    Every module of the package logs through the one logger named by a single
    blank, at INFO. The black-formatter grammar logger is noisy at INFO, so it
    is lowered to WARNING.
    """
    logging.basicConfig()
    logger = logging.getLogger(SHARED_LOGGER_NAME)
    logger.setLevel(logging.INFO)
    logging.getLogger("blib2to3.pgen2.driver").setLevel(logging.WARNING)
    return logger
