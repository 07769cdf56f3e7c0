"""Metadata through write and read_info, and what read makes of it: labels,
user-missing values, the info object in df.attrs."""

import json
import os
import subprocess

import numpy as np
import pandas as pd
import pytest

import vesk

META = {
    "label": "Household survey",
    "attributes": {"Source": ["panel", "wave 3"], "Note": "one value"},
    "variables": {
        "sex": {"label": "Sex", "value_labels": {"1": "male", "2": "female", "9": "no answer"}, "missing": [9],
                "measure": "nominal"},
        "income": {"label": "Income", "missing": {"values": [-1], "range": [900000, 999999]}, "measure": 3,
                   "print": [5, 10, 2], "attributes": {"Unit": ["EUR"]}},
        "region": {"value_labels": {"N": "North", "S": "South"}, "missing": {"values": ["X"]}, "alignment": "left"},
    },
}


@pytest.fixture
def labelled(tmp_path):
    df = pd.DataFrame({
        "sex": [1.0, 2.0, 9.0, 3.0, np.nan, 1.0],
        "income": [100.5, -1.0, 950000.0, 2000.0, 0.0, np.nan],
        "region": ["N", "S", "X", "W", "N", ""],
    })
    path = tmp_path / "labelled.sys"
    vesk.write(df, path, metadata=META)
    return path


def test_metadata_is_written(labelled):
    info = vesk.read_info(labelled)
    assert info["label"] == "Household survey"
    assert info["attributes"] == {"Source": ["panel", "wave 3"], "Note": ["one value"]}
    sex, income, region = info["variables"]
    assert sex["label"] == "Sex" and sex["measure"] == 1
    assert sex["value_labels"] == [[1, "male"], [2, "female"], [9, "no answer"]]
    assert sex["missing"] == {"rule": 1, "values": [9]}
    assert income["missing"] == {"rule": -3, "values": [900000, 999999, -1]}
    assert income["print"] == [5, 10, 2] and income["measure"] == 3 and income["attributes"] == {"Unit": ["EUR"]}
    assert region["type"] == 1 and region["alignment"] == 0
    assert region["value_labels"] == [["N", "North"], ["S", "South"]]
    assert region["missing"] == {"rule": 1, "values": ["X"]}


def test_info_round_trips_through_write(labelled, tmp_path):
    """The info object itself (variables as a list) is accepted as metadata."""
    info = vesk.read_info(labelled)
    copy = tmp_path / "copy.sys"
    vesk.write(vesk.read(labelled, user_missing=True, dates=False), copy, metadata=info)
    again = vesk.read_info(copy)
    for key in ("label", "attributes", "variables"):
        assert again[key] == info[key], key


@pytest.mark.skipif(not os.environ.get("VESK_TOOL"), reason="the vesk tool is not built")
def test_read_info_equals_the_tool(labelled):
    printed = subprocess.run([os.environ["VESK_TOOL"], "info", "--json", str(labelled)], check=True,
                             capture_output=True, text=True).stdout
    assert vesk.read_info(labelled) == json.loads(printed)
    assert vesk.read(labelled).attrs["vesk"] == json.loads(printed)


def test_user_missing_values_are_nan_unless_asked_for(labelled):
    df = vesk.read(labelled)
    np.testing.assert_array_equal(df["sex"], [1, 2, np.nan, 3, np.nan, 1])
    np.testing.assert_array_equal(df["income"], [100.5, np.nan, np.nan, 2000, 0, np.nan])
    assert df["region"].tolist() == ["N", "S", "X", "W", "N", ""], "texts stay as they are"
    kept = vesk.read(labelled, user_missing=True)
    np.testing.assert_array_equal(kept["sex"], [1, 2, 9, 3, np.nan, 1])
    np.testing.assert_array_equal(kept["income"], [100.5, -1, 950000, 2000, 0, np.nan])


def test_labels_make_categoricals(labelled):
    df = vesk.read(labelled, labels=True, user_missing=True)
    assert df["sex"].dtype == "category"
    assert list(df["sex"].cat.categories) == ["male", "female", "no answer", "3"], "unlabelled values as text"
    assert df["sex"].tolist()[:4] == ["male", "female", "no answer", "3"] and pd.isna(df["sex"][4])
    assert df["income"].dtype == np.float64, "no value labels, no categorical"
    assert df["region"].tolist() == ["North", "South", "X", "W", "North", ""]
    assert list(df["region"].cat.categories)[:2] == ["North", "South"]
    assert pd.isna(vesk.read(labelled, labels=True)["sex"][2]), "user-missing is missing by default"


def test_labels_shared_by_values_make_one_category(tmp_path):
    path = tmp_path / "shared.sys"
    df = pd.DataFrame({"q": [1.0, 2.0, 3.0, 2.5]})
    vesk.write(df, path, metadata={"variables": [{"name": "Q", "value_labels": [[1, "low"], [2, "low"], [3, "high"]]}]})
    q = vesk.read(path, labels=True)["q"]
    assert list(q.cat.categories) == ["low", "high", "2.5"]
    assert q.tolist() == ["low", "low", "high", "2.5"]


def test_bad_metadata_is_refused_before_writing(tmp_path):
    path = tmp_path / "kept.sys"
    path.write_bytes(b"old contents")
    df = pd.DataFrame({"x": [1.0]})
    with pytest.raises(vesk.Error) as info:
        vesk.write(df, path, metadata={"variables": {"nosuch": {"label": "?"}}})
    assert info.value.code == 1244
    with pytest.raises(ValueError):
        vesk.write(df, path, metadata={"variables": {"x": {"measure": "loud"}}})
    with pytest.raises(vesk.Error) as info:
        vesk.write(df, path, metadata={"variables": {"x": {"value_labels": {"a": "text key"}}}})
    assert info.value.code == 1242
    with pytest.raises(vesk.Error) as info:
        vesk.write(df, path, metadata={"variables": {"x": {"missing": [1, 2, 3, 4]}}})
    assert info.value.code == 1243
    assert path.read_bytes() == b"old contents"
    assert os.listdir(tmp_path) == ["kept.sys"]
