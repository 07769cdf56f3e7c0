import numpy as np
import pandas as pd
import pytest


@pytest.fixture
def survey():
    """A small DataFrame with a column of every kind write handles."""
    return pd.DataFrame({
        "id": np.arange(1, 7, dtype=np.int64),
        "score": [1.5, np.nan, -2.25, 1e300, 0.0, 7.0],
        "ok": [True, False, True, True, False, True],
        "name": ["Ann", "Bjørk", None, "", "  lead", "東京"],
        "born": pd.to_datetime(["1970-01-01", "1700-03-01", None, "2262-04-10", "1999-12-31", "2024-02-29"]),
        "seen": pd.to_datetime(["2020-01-01 10:00:01", None, "1900-03-01 00:00:00.5", "2020-01-01", "2001-09-09 01:46:40",
                                "1969-12-31 23:59:59"]),
        "wait": pd.to_timedelta(["1h", "2s", None, "-3m", "100d", "0s"]),
        "size": pd.Categorical(["S", "L", None, "M", "S", "L"], categories=["S", "M", "L"]),
    })
