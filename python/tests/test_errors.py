"""Failures raise vesk.Error with the library's message number; nothing on
disk is lost."""

import pickle

import numpy as np
import pandas as pd
import pytest

import vesk


def code_of(call, *args, **kwargs):
    with pytest.raises(vesk.Error) as info:
        call(*args, **kwargs)
    return info.value.code


@pytest.fixture
def good(tmp_path):
    path = tmp_path / "good.sys"
    vesk.write(pd.DataFrame({"x": np.arange(5000) + 0.5, "s": ["text"] * 5000}), path)
    return path


def test_files_that_cannot_be_read(tmp_path, good):
    assert code_of(vesk.read, tmp_path / "missing.sys") == 1201
    assert code_of(vesk.read_info, tmp_path / "missing.sys") == 1201
    junk = tmp_path / "junk.sys"
    junk.write_bytes(b"this is no system file" * 10)
    assert code_of(vesk.read, junk) == 1204
    cut = tmp_path / "cut.sys"
    data = good.read_bytes()
    cut.write_bytes(data[: len(data) - 1000])
    assert code_of(vesk.read, cut) == 1205
    assert code_of(lambda: list(vesk.iter_batches(cut, batch_rows=100))) == 1205


def test_damaged_data_raises_or_reads_but_never_crashes(tmp_path, good):
    data = bytearray(good.read_bytes())
    rng = np.random.default_rng(3)
    for trial in range(20):
        damaged = bytearray(data)
        for at in rng.integers(len(data) // 2, len(data), size=8):
            damaged[at] = int(rng.integers(0, 256))
        path = tmp_path / f"damaged{trial}.sys"
        path.write_bytes(bytes(damaged))
        try:
            assert len(vesk.read(path)) <= 5000
        except vesk.Error as e:
            assert e.code in (1204, 1205)


def test_wrong_names_and_columns(good, tmp_path):
    assert code_of(vesk.read, good, columns=["x", "nosuch"]) == 1244
    assert code_of(vesk.read, good, columns=[7]) == 1244
    assert code_of(vesk.write, pd.DataFrame({"1abc": [1.0]}), tmp_path / "n.sys") == 1506
    assert code_of(vesk.write, pd.DataFrame([[1.0, 2.0]], columns=["a", "A"]), tmp_path / "n.sys") == 1505
    with pytest.raises(ValueError):
        vesk.write(pd.DataFrame({"x": [1.0]}), tmp_path / "n.sys", compression="lzma")
    with pytest.raises(TypeError):
        vesk.write(pd.DataFrame({"z": [1 + 2j]}), tmp_path / "n.sys")
    assert not (tmp_path / "n.sys").exists()


def test_a_failed_write_keeps_the_target(good, tmp_path):
    before = good.read_bytes()
    assert code_of(vesk.write, pd.DataFrame({"ok": [1.0], "bad name": [2.0]}), good) == 1506
    with pytest.raises(TypeError):
        vesk.write(pd.DataFrame({"x": [1.0], "c": [1j]}), good)
    assert good.read_bytes() == before
    assert sorted(p.name for p in tmp_path.iterdir()) == ["good.sys"], "no temporary file left"


def test_errors_carry_their_code_across_pickling(tmp_path):
    with pytest.raises(vesk.Error) as info:
        vesk.read(tmp_path / "missing.sys")
    error = info.value
    assert isinstance(error, Exception) and "[1201]" in str(error)
    again = pickle.loads(pickle.dumps(error))
    assert type(again) is vesk.Error and again.code == 1201 and str(again) == str(error)
