"""Security-name inference for universe tables."""

from korvane._common.close_columns import securities_of_close_columns


class Inference:
    """Infers which securities a universe table holds."""

    def infer_securities_from_OHCLV_df(self, OHCLV_df):
        """Return the security names in the order of the table's "_close" columns."""
        return securities_of_close_columns(OHCLV_df.columns)
