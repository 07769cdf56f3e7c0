"""vesk.dask.read: one partition per row range, each task starting at its
own rows, on worker processes."""

import os
import shutil

import numpy as np
import pandas as pd
import pytest

import vesk
import vesk.dask as vdask

ROWS = 30000


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    directory = tmp_path_factory.mktemp("dask")
    rng = np.random.default_rng(11)
    df = pd.DataFrame({
        "a": rng.normal(size=ROWS),            # raw cells: rows of varying length
        "b": rng.integers(0, 50, ROWS).astype(float),
        "s": rng.choice(["x", "yy", "zzz"], ROWS),
    })
    paths = {}
    for compression in ("none", "bytecode", "zlib"):
        paths[compression] = directory / f"{compression}.sys"
        vesk.write(df, paths[compression], compression=compression)
    return paths, df


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


@pytest.mark.parametrize("compression", ["none", "bytecode", "zlib"])
def test_dask_on_worker_processes_equals_pandas(files, client, compression):
    paths, df = files
    ddf = vdask.read(paths[compression], npartitions=7)
    assert ddf.npartitions == 7
    assert ddf.divisions[0] == 0 and ddf.divisions[-1] == ROWS - 1
    assert len(ddf) == ROWS
    total = ddf[["a", "b"]].sum().compute()
    expected = vesk.read(paths[compression])[["a", "b"]].sum()
    np.testing.assert_allclose(total.to_numpy(), expected.to_numpy(), rtol=1e-12)
    parts = client.compute(ddf.to_delayed(), sync=True)
    for k, part in enumerate(parts):
        assert part.index[0] == ddf.divisions[k], "the partition starts at its division"
        pd.testing.assert_frame_equal(part, vesk.read(paths[compression], rows=(part.index[0], part.index[-1] + 1)))


def test_options_and_subsets_reach_the_tasks(files, client):
    paths, df = files
    ddf = vdask.read(paths["bytecode"], npartitions=3, columns=["s", "b"], rows=(100, 1100), labels=True)
    got = ddf.compute()
    assert list(got.columns) == ["s", "b"] and got.index[0] == 100 and len(got) == 1000
    assert got["s"].tolist() == df["s"][100:1100].tolist()


def test_each_task_starts_at_its_mark_not_at_the_first_row(files, tmp_path):
    """The data before a partition's mark is overwritten with end-of-data
    codes, which move the rows after them up for a reader that starts at the
    first row: the partition still reads right, so it never decoded them."""
    paths, df = files
    _, parts, divisions = vdask._plan(str(paths["bytecode"]), 4, None, None, {})
    spec = parts[2]
    assert spec.first == divisions[2] and spec.mark[0] <= spec.first
    damaged = tmp_path / "damaged.sys"
    shutil.copy(paths["bytecode"], damaged)
    start = vesk._vesk.File(str(damaged)).data_offset()
    with open(damaged, "r+b") as f:
        f.seek(start)
        f.write(bytes([252]) * (spec.mark[1] & ~7))
    fresh = vesk.read(damaged, rows=(spec.first, spec.first + 10))
    assert not np.array_equal(fresh["a"], df["a"][spec.first:spec.first + 10]), "read from the start, rows moved"
    spec.path, spec.stamp = str(damaged), vdask._stamp(damaged)
    got = vdask._read_part(spec)
    assert got.index[0] == spec.first and len(got) == spec.stop - spec.first
    np.testing.assert_array_equal(got["a"], df["a"][spec.first:spec.stop])
