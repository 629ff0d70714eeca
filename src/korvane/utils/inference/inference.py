"""Security-name inference for universe tables."""

_CLOSE_SUFFIX = "_close"


class Inference:
    """Infers which securities a universe table holds."""

    def infer_securities_from_OHCLV_df(self, OHCLV_df):
        """Return the security names in the order of the table's "_close" columns."""
        return [
            str(column)[: -len(_CLOSE_SUFFIX)]
            for column in OHCLV_df.columns
            if str(column).endswith(_CLOSE_SUFFIX)
        ]
