"""kelvo.dask: read_cbor and to_cbor on the local scheduler and on a real distributed.LocalCluster
with two worker processes, and the "kelvo" serialisation family."""

import collections
import gzip
import random

import pytest

import kelvo

dask = pytest.importorskip("dask")
pytest.importorskip("dask.bag")
distributed = pytest.importorskip("distributed")
kdask = pytest.importorskip("kelvo.dask")

CLUSTER_TIMEOUT = 120


def records(seed, count):
    rng = random.Random(seed)
    return [{"id": seed * 100_000 + i, "kind": rng.choice(["a", "b", "c"]), "value": rng.randrange(1000),
             "pad": "z" * rng.randrange(200)} for i in range(count)]


@pytest.fixture
def directory(tmp_path):
    """Four sequence files, of different sizes."""
    for n in range(4):
        (tmp_path / f"part-{n}.cbor").write_bytes(kelvo.dumps_seq(records(n, 500 * (n + 1))))
    return tmp_path


def by_kind(items):
    counts = collections.Counter()
    for item in items:
        counts[item["kind"]] += item["value"]
    return dict(counts)


def iterload_all(paths):
    items = []
    for path in sorted(paths):
        with open(path, "rb") as fp:
            items.extend(kelvo.iterload(fp))
    return items


@pytest.fixture(scope="module")
def client():
    cluster = distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None,
                                       timeout=CLUSTER_TIMEOUT)
    client = distributed.Client(cluster, timeout=CLUSTER_TIMEOUT)
    try:
        client.wait_for_workers(2, timeout=CLUSTER_TIMEOUT)
        yield client
    finally:
        client.close(timeout=30)
        cluster.close(timeout=30)


def test_directory_on_a_cluster(client, directory):
    expected = iterload_all(directory.glob("*.cbor"))
    bag = kdask.read_cbor(str(directory / "*.cbor"))
    assert bag.npartitions == 4
    aggregate = bag.foldby(lambda r: r["kind"], lambda total, r: total + r["value"], 0,
                           lambda a, b: a + b, 0).compute(timeout=CLUSTER_TIMEOUT)
    assert dict(aggregate) == by_kind(expected)
    assert bag.count().compute() == len(expected)
    # every worker took part
    assert len(client.run(lambda: 1)) == 2


def test_blocksize_split_loses_and_repeats_nothing(client, tmp_path):
    items = records(7, 4000) + [b"\x00" * 100_000] + records(8, 100)  # one item spans several blocks
    path = tmp_path / "big.cbor"
    path.write_bytes(kelvo.dumps_seq(items))
    bag = kdask.read_cbor(str(path), blocksize="16 KiB", include_path=True)
    assert bag.npartitions == -(-path.stat().st_size // (16 << 10))
    parts = bag.map_partitions(lambda part: [len(part)]).compute(timeout=CLUSTER_TIMEOUT)
    assert sum(parts) == len(items) and parts.count(0) >= 3  # the big item leaves empty partitions
    got = bag.compute(timeout=CLUSTER_TIMEOUT)
    assert [item for item, _ in got] == items
    assert {p for _, p in got} == {str(path)}


def test_round_trip_through_files(client, tmp_path):
    bag = dask.bag.from_sequence(records(3, 3000), npartitions=5)
    paths = kdask.to_cbor(bag, str(tmp_path / "out"))
    assert len(paths) == 5 and all(p.endswith(".cbor") for p in paths)
    back = kdask.read_cbor(str(tmp_path / "out" / "*.cbor"), files_per_partition=2)
    assert back.npartitions == 3
    assert sorted(back.compute(), key=lambda r: r["id"]) == records(3, 3000)


def test_serialization_family(client):
    from distributed.protocol.serialize import deserialize, serialize

    kdask.register_serialization()
    data = {"rows": records(1, 50), "t": 1.5}
    header, frames = serialize(data, serializers=["kelvo", "pickle"], on_error="raise")
    assert header["serializer"] == "kelvo" and frames == [kelvo.dumps(data)]
    assert deserialize(header, frames, deserializers=["kelvo", "pickle"]) == data
    # what kelvo does not take goes to the next family
    header, _ = serialize(object, serializers=["kelvo", "pickle"], on_error="raise")
    assert header["serializer"] == "pickle"
    assert deserialize(*serialize((1, 2), serializers=["kelvo"]), deserializers=["kelvo"]) == (1, 2)
    # and on a cluster: a client whose messages travel as kelvo CBOR
    client.run(kdask.register_serialization)
    with distributed.Client(client.cluster, serializers=["kelvo", "dask", "pickle"],
                            deserializers=["kelvo", "dask", "pickle"], timeout=CLUSTER_TIMEOUT) as own:
        future = own.scatter(data)
        assert own.submit(lambda d: len(d["rows"]), future).result(timeout=CLUSTER_TIMEOUT) == 50
        assert own.gather(future) == data


# ---- the local scheduler: options and failures

@pytest.mark.parametrize("blocksize", [None, 20_000, 100_000])
def test_items_in_order_with_the_local_scheduler(directory, blocksize):
    paths = sorted(directory.glob("*.cbor"))
    bag = kdask.read_cbor([str(p) for p in paths], blocksize=blocksize, decode_options={"immutable": True})
    items = bag.compute(scheduler="sync")
    assert items == [kelvo.frozendict(r) for r in iterload_all(paths)]


def test_compression(tmp_path):
    with gzip.open(tmp_path / "a.cbor.gz", "wb") as fp:
        fp.write(kelvo.dumps_seq(records(5, 100)))
    assert kdask.read_cbor(str(tmp_path / "*.cbor.gz")).compute(scheduler="sync") == records(5, 100)
    with pytest.raises(ValueError, match="compressed"):
        kdask.read_cbor(str(tmp_path / "*.cbor.gz"), blocksize=100)
    bag = dask.bag.from_sequence(records(6, 10), npartitions=2)
    paths = kdask.to_cbor(bag, str(tmp_path / "z" / "*.cbor.gz"), compression="gzip", compute=False)
    assert len(paths) == 2
    dask.compute(*paths, scheduler="sync")
    assert kdask.read_cbor(str(tmp_path / "z" / "*.cbor.gz")).compute(scheduler="sync") == records(6, 10)


def test_faults_name_the_file_and_offset(tmp_path):
    good = kelvo.dumps_seq(records(2, 100))
    (tmp_path / "bad.cbor").write_bytes(good + b"\x1c")
    for blocksize in (None, 500):
        bag = kdask.read_cbor(str(tmp_path / "bad.cbor"), blocksize=blocksize)
        with pytest.raises(kelvo.CBORSequenceError) as info:
            bag.compute(scheduler="sync")
        assert info.value.index == 100 or blocksize
        assert f"bad.cbor at offset {len(good)}" in "".join(info.value.__notes__)
    with pytest.raises(OSError, match="no files"):
        kdask.read_cbor(str(tmp_path / "nothing-*.cbor"))
    with pytest.raises(TypeError):
        kdask.read_cbor(str(tmp_path / "bad.cbor"), decode_options={"no_such": 1})
    with pytest.raises(ValueError, match="together"):
        kdask.read_cbor(str(tmp_path / "bad.cbor"), blocksize=10, files_per_partition=2)
