"""Where each security's close column sits in a universe table.

A universe table holds five columns per security, named by the security
followed by a field suffix. The close matrix that the engine reads has one
column per security, in the order of the securities list, whatever the
table's column order; the securities themselves, when not given, are read
from the close columns in the table's order.
"""

CLOSE_SUFFIX = "_close"


def securities_of_close_columns(column_labels):
    """The security names in the order of the table's close columns."""
    return [str(label)[: -len(CLOSE_SUFFIX)] for label in column_labels if str(label).endswith(CLOSE_SUFFIX)]


def close_column_positions(column_labels, securities_names_list):
    """Position among `column_labels` of each security's close column, in the securities' order."""
    column_position = {label: position for position, label in enumerate(column_labels)}
    close_columns = [name + CLOSE_SUFFIX for name in securities_names_list]
    missing = [column for column in close_columns if column not in column_position]
    if missing:
        raise KeyError(f"Close columns {missing!r} of securities_names_list are not in the pd.DataFrame")
    return [column_position[column] for column in close_columns]
