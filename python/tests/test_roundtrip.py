"""Frames written by vesk.write read back by vesk.read: every column kind,
every compression, subsets of rows and columns, batches."""

import numpy as np
import pandas as pd
import pytest

import vesk


@pytest.mark.parametrize("compression", ["none", "bytecode", "zlib"])
def test_every_column_kind_round_trips(tmp_path, survey, compression):
    path = tmp_path / "survey.sys"
    vesk.write(survey, path, compression=compression)
    back = vesk.read(path, labels=True)
    assert list(back.columns) == list(survey.columns)
    assert back["id"].dtype == np.float64 and back["ok"].dtype == np.float64
    np.testing.assert_array_equal(back["id"], survey["id"].astype(float))
    np.testing.assert_array_equal(back["ok"], survey["ok"].astype(float))
    np.testing.assert_array_equal(back["score"], survey["score"])
    assert back["name"].tolist() == ["Ann", "Bjørk", "", "", "  lead", "東京"]
    pd.testing.assert_series_equal(back["born"], survey["born"])
    pd.testing.assert_series_equal(back["seen"], survey["seen"])
    pd.testing.assert_series_equal(back["wait"], survey["wait"])
    pd.testing.assert_series_equal(back["size"], survey["size"])
    assert back.attrs["vesk"]["compression"] == ["none", "bytecode", "zlib"].index(compression)


def test_kinds_become_the_right_variables(tmp_path, survey):
    path = tmp_path / "survey.sys"
    vesk.write(survey, path)
    variables = {v["name"]: v for v in vesk.read_info(path)["variables"]}
    assert variables["name"]["type"] == len("東京".encode()) == 6
    assert variables["born"]["print"][0] == 38, "dates at midnight are dates"
    assert variables["seen"]["print"][:1] == [22] and variables["seen"]["print"][2] == 3
    assert variables["wait"]["print"][0] == 21
    assert variables["size"]["value_labels"] == [[1, "S"], [2, "M"], [3, "L"]]
    codes = vesk.read(path)["size"]
    assert codes[:2].tolist() == [1.0, 3.0] and np.isnan(codes[2])


def test_dates_off_gives_the_stored_seconds(tmp_path, survey):
    path = tmp_path / "survey.sys"
    vesk.write(survey, path)
    raw = vesk.read(path, dates=False)
    assert raw["born"].dtype == np.float64
    assert raw["born"][0] == vesk._vesk.UNIX_EPOCH_SECONDS
    assert raw["wait"][0] == 3600.0


def test_dates_beyond_nanoseconds_become_nat_with_a_warning(tmp_path):
    path = tmp_path / "old.sys"
    vesk.write(pd.DataFrame({"d": [0.0, 86400.0 * 365]}), path, metadata={"variables": {"d": {"print": [38, 10, 0]}}})
    with pytest.warns(UserWarning, match="2 date or time values"):
        assert vesk.read(path)["d"].isna().all()


def test_password_protects_the_file(tmp_path, survey):
    path = tmp_path / "secret.sys"
    vesk.write(survey, path, password="s3cret")
    with pytest.raises(vesk.Error) as info:
        vesk.read(path)
    assert info.value.code == 1214
    pd.testing.assert_frame_equal(vesk.read(path, password="s3cret"), vesk.read(path, password="s3cret"))
    assert vesk.read(path, password="s3cret")["name"][1] == "Bjørk"


@pytest.fixture
def numbers(tmp_path):
    n = 1000
    df = pd.DataFrame({"a": np.arange(n) * 1.5, "b": np.arange(n) % 7, "c": [f"r{i}" for i in range(n)]})
    path = tmp_path / "numbers.sys"
    vesk.write(df, path)
    return path, df


@pytest.mark.parametrize("rows", [(10, 20), (0, 0), (-5, None), (None, 3), (990, 5000), (500, 100)])
def test_row_ranges_follow_slice_semantics(numbers, rows):
    path, df = numbers
    back = vesk.read(path, rows=rows)
    expected = df.iloc[slice(*rows)]
    assert back.index.tolist() == expected.index.tolist(), "the index holds row numbers"
    np.testing.assert_array_equal(back["a"], expected["a"])
    assert back["c"].tolist() == expected["c"].tolist()


def test_column_subsets_keep_the_order_asked(numbers):
    path, df = numbers
    back = vesk.read(path, columns=["C", "a"], rows=(3, 6))
    assert list(back.columns) == ["c", "a"]
    assert back["c"].tolist() == ["r3", "r4", "r5"]
    assert list(vesk.read(path, columns=[1]).columns) == ["b"]
    assert vesk.read(path, columns=[]).shape == (1000, 0)


def test_batches_cover_the_rows_in_order(numbers):
    path, df = numbers
    batches = list(vesk.iter_batches(path, batch_rows=300, columns=["a", "c"]))
    assert [len(b) for b in batches] == [300, 300, 300, 100]
    whole = pd.concat(batches)
    pd.testing.assert_frame_equal(whole, vesk.read(path, columns=["a", "c"]))
    assert [len(b) for b in vesk.iter_batches(path, batch_rows=64, rows=(100, 200))] == [64, 36]
    assert batches[1].index[0] == 300


def test_numbers_are_read_into_the_frame_without_a_copy(numbers):
    path, _ = numbers
    df = vesk.read(path)
    assert df._mgr.nblocks == 2, "one float64 block and one object block"
    assert df["a"].values.base is not None and df["a"].values.base.shape == (2, 1000)


def test_empty_frames(tmp_path):
    path = tmp_path / "empty.sys"
    vesk.write(pd.DataFrame({"x": np.array([], dtype=float), "s": np.array([], dtype=object)}), path)
    back = vesk.read(path)
    assert back.shape == (0, 2) and list(back.columns) == ["x", "s"]
    assert list(vesk.iter_batches(path)) == []


def test_nullable_and_string_dtypes(tmp_path):
    df = pd.DataFrame({
        "n": pd.array([1, None, 3], dtype="Int64"),
        "b": pd.array([True, None, False], dtype="boolean"),
        "s": pd.array(["a", None, "ccc"], dtype="string"),
        "z": pd.to_datetime(["2024-05-01 12:00", None, "2024-05-02"]).tz_localize("Europe/Berlin"),
    })
    path = tmp_path / "nullable.sys"
    vesk.write(df, path)
    back = vesk.read(path)
    np.testing.assert_array_equal(back["n"], [1, np.nan, 3])
    np.testing.assert_array_equal(back["b"], [1, np.nan, 0])
    assert back["s"].tolist() == ["a", "", "ccc"]
    assert back["z"][0] == pd.Timestamp("2024-05-01 12:00"), "wall time, zone dropped"


def test_the_extension_fills_only_numpy_arrays(numbers):
    path, _ = numbers
    f = vesk._vesk.File(str(path))
    with pytest.raises(ValueError):
        f.read([(0, [0.0] * 10)], 0, 10, False)
    with pytest.raises(ValueError):
        f.read([(0, np.empty(5))], 0, 10, False)
    with pytest.raises(ValueError):
        f.read([(2, np.empty(10))], 0, 10, False)
