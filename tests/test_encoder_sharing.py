"""Value sharing (tags 28 and 29), cycle detection and shareable_encoder."""

import io
import random

import pytest

from _kelvo import CBOREncodeValueError, CBOREncoder, CBORTag, dumps, loads, shareable_encoder

from value_helpers import writes


def cyclic_list():
    cycle = [1]
    cycle.append(cycle)
    return cycle


def cyclic_dict():
    d = {}
    d["x"] = d
    return d


@pytest.mark.parametrize("make, plain, shared", [
    (lambda: [[1]] * 2, "8281018101", "d81c82d81c8101d81d01"),
    (cyclic_list, None, "d81c8201d81d00"),
    (cyclic_dict, None, "d81ca16178d81d00"),
    (lambda: {1}, "d901028101", "d90102d81c8101"),
    (lambda: [{1}, {1}], "82d901028101d901028101", "d81c82d90102d81c8101d90102d81c8101"),
    (lambda: [(), ()], "828080", "d81c82d81c80d81d01"),
    (lambda: ["a", "a"], "8261616161", "d81c8261616161"),
    (lambda: [CBORTag(1, [2])] * 2, "82c18102c18102", "d81c82c1d81c8102c1d81d01"),
])
def test_sharing(make, plain, shared):
    value = make()
    if plain is None:
        with pytest.raises(CBOREncodeValueError, match="^cyclic data structure detected$"):
            dumps(value)
    else:
        assert writes(value) == plain
    assert writes(value, value_sharing=True) == shared


def test_indexes_restart_with_each_encode(bio):
    a = [1]
    e = CBOREncoder(bio, value_sharing=True)
    e.encode([a, a])
    e.encode([a, a])
    assert bio.getvalue().hex() == "d81c82d81c8101d81d01" * 2


def test_cycle_error_leaves_the_encoder_clean(writer):
    e = CBOREncoder(writer)
    with pytest.raises(CBOREncodeValueError):
        e.encode([[0], cyclic_list()])
    inner = [2]
    e.encode([inner, inner])
    assert writer.calls == [bytes.fromhex("82" "8102" "8102")]


def test_tag_inside_itself_is_a_cycle():
    # Only the decoder makes such tags: d81c c6 d81d00 is a tag 6 holding itself.
    direct = loads(bytes.fromhex("d81cc6d81d00"))
    other = loads(bytes.fromhex("d81cc6c7d81d00"))  # tag 6 holding a tag 7 holding the first
    assert direct.value is direct and other.value.value is other
    for tag in (direct, other):
        for sharing in (False, True):
            with pytest.raises(CBOREncodeValueError, match="^cyclic data structure detected$"):
                dumps(tag, value_sharing=sharing)
    # Through a container the cycle is an ordinary container cycle.
    through = loads(bytes.fromhex("d81cc681d81d00"))
    assert through.value[0] is through
    with pytest.raises(CBOREncodeValueError):
        dumps(through)
    assert writes(through, value_sharing=True) == "c6d81c81c6d81d00"
    # The same tag side by side is no cycle.
    t = CBORTag(1, 0)
    assert writes([t, CBORTag(2, t)]) == "82c100c2c100"


class Probe:
    """Written by the hook below, which records the option it sees and may fail."""

    def __init__(self, fail=False):
        self.fail = fail


class Ratio:
    """Numerator and denominator only, written through encode_rational."""

    def __init__(self, numerator):
        self.numerator = numerator
        self.denominator = 3


@pytest.fixture
def seen():
    return []


@pytest.fixture
def hook(seen):
    def default(enc, value):
        if isinstance(value, Ratio):
            enc.encode_rational(value)
            return
        seen.append(enc.value_sharing)
        if value.fail:
            raise ValueError("probe")
        enc.encode_array([1])

    return default


def test_hooks_see_the_option_as_set_inside_kelvo_built_values(bio, seen, hook):
    e = CBOREncoder(bio, value_sharing=True, default=hook)
    # The rational's pair is kelvo's own and shares nothing, but the option stays True.
    e.encode(Ratio(Probe()))
    assert bio.getvalue().hex() == "d81e82" "8101" "03"
    assert e.encode_sortable_key(Probe()) == (2, bytes.fromhex("8101"))
    assert seen == [True, True]
    assert e.value_sharing is True


def test_sharing_resumes_after_an_error_inside_a_rational(bio, seen, hook):
    e = CBOREncoder(bio, value_sharing=True, default=hook)
    with pytest.raises(ValueError, match="probe"):
        e.encode(Ratio(Probe(fail=True)))
    a = [1]
    e.encode([a, a])
    assert bio.getvalue().hex() == "d81c82d81c8101d81d01"
    assert seen == [True]


class Point:
    def __init__(self, x):
        self.x = x


def test_shareable_encoder():
    calls = []

    @shareable_encoder
    def encode_point(enc, point):
        calls.append(point)
        enc.encode_array([point.x])

    p = Point(5)
    # The output of f (itself a shareable array) follows the marker of the point.
    assert writes([p, p], value_sharing=True, encoders={Point: encode_point}) == "d81c82" "d81c" "d81c8105" "d81d01"
    assert calls == [p]
    calls.clear()
    assert writes([p, p], encoders={Point: encode_point}) == "8281058105"
    assert calls == [p, p]


def test_shareable_encoder_detects_recursion():
    @shareable_encoder
    def encode_point(enc, point):
        enc.encode(point.x)

    p = Point(None)
    p.x = p
    with pytest.raises(CBOREncodeValueError, match="cyclic data structure detected"):
        dumps(p, default=encode_point)
    assert writes(p, default=encode_point, value_sharing=True) == "d81cd81d00"


def test_shareable_encoder_calling_conventions():
    results = []
    wrapped = shareable_encoder(lambda enc, value: results.append(value))
    enc = CBOREncoder(io.BytesIO())
    assert wrapped(enc, 1, "extra", key="ignored") == ()
    assert results == [1]
    with pytest.raises(TypeError, match="object is not an instance of 'CBOREncoder'"):
        wrapped(object(), 1)
    with pytest.raises(IndexError):
        wrapped(enc)
    with pytest.raises(IndexError):
        wrapped()
    assert shareable_encoder(42)  # the wrapped object is not checked until it is called
    with pytest.raises(TypeError):
        shareable_encoder(42)(enc, 1)
    assert shareable_encoder.__text_signature__ == "(wraps, /)"
    assert shareable_encoder.__doc__.startswith("Wrap the given encoder function to gracefully handle cyclic")


def test_shareable_encoder_while_idle_keeps_its_entry(bio):
    seen = []

    @shareable_encoder
    def f(enc, value):
        seen.append(value)
        enc.encode(0)  # an outermost encode inside: the entry must survive it
        enc.encode_value(value)

    e = CBOREncoder(bio, encoders={Point: f})
    p = Point(1)
    with pytest.raises(CBOREncodeValueError):
        f(e, p)
    assert seen == [p]


def random_containers(rng, count, cyclic):
    """Lists and dicts linked at random into a graph where later containers may hold
    earlier ones any number of times (shared, not cyclic); with `cyclic`, one container
    also holds one of its ancestors."""
    nodes = []
    for i in range(count):
        children = [rng.choice(nodes) for _ in range(rng.randint(0, 4))] if nodes else []
        nodes.append(dict(enumerate(children)) if i % 3 == 0 else children)
    root = nodes[-1]
    if cyclic:
        path = [root]
        while True:
            node = path[-1]
            inner = [v for v in (node.values() if isinstance(node, dict) else node)]
            if not inner:
                break
            path.append(rng.choice(inner))
        leaf = path[-1]
        if isinstance(leaf, dict):
            leaf["back"] = rng.choice(path)
        else:
            leaf.append(rng.choice(path))
    return root


@pytest.mark.parametrize("seed", range(6))
def test_cycle_check_among_many_shared_containers(seed):
    # Many containers enter and leave the cycle check in turn (hundreds at once, so that
    # their slots collide): none may be reported as a cycle once it is written, and a
    # real cycle must still be found.
    graph = random_containers(random.Random(seed), 600, cyclic=False)
    assert loads(dumps(graph)) == graph
    with pytest.raises(CBOREncodeValueError, match="cyclic"):
        dumps(random_containers(random.Random(seed), 600, cyclic=True))


@pytest.mark.parametrize("depth, back_to", [(1, 0), (3, 0), (8, 7), (9, 0), (12, 5), (12, 10), (20, 15), (20, 19)],
                         ids=lambda v: str(v))
@pytest.mark.parametrize("container", ["list", "dict"])
def test_cycle_found_at_any_depth(depth, back_to, container):
    # The shallow levels and the deep ones are kept apart by the cycle check; a cycle
    # back to either kind must be found, from either kind.
    levels = [[] if container == "list" else {} for _ in range(depth)]
    for outer, inner in zip(levels, levels[1:], strict=False):
        outer.append(inner) if container == "list" else outer.update(x=inner)
    last = levels[-1]
    last.append(levels[back_to]) if container == "list" else last.update(x=levels[back_to])
    with pytest.raises(CBOREncodeValueError, match="cyclic"):
        dumps(levels[0])
    # Written again once the cycle is gone: no entry of the failed call is left behind.
    last.pop() if container == "list" else last.pop("x")
    assert loads(dumps(levels[0])) == levels[0]


def test_same_container_at_shallow_and_deep_places():
    shared = [1, 2]
    deep = shared
    for _ in range(12):
        deep = [deep]
    value = [shared, deep, {"a": shared}, shared]
    assert loads(dumps(value)) == value


def nested_lists(depth):
    """`depth` lists, each the only item of the one before: (outermost, every level)."""
    levels = [[]]
    for _ in range(depth - 1):
        levels.append([])
        levels[-2].append(levels[-1])
    return levels[0], levels


@pytest.mark.parametrize("depth, back", [
    (5, 0), (20, 3), (20, 15), (600, 2), (600, 300), (600, 599),
], ids=lambda v: str(v))
def test_deep_cycle_is_refused_and_leaves_the_encoder_clean(depth, back):
    # Containers deeper than the first few levels are checked apart from the outer ones,
    # and the check's table grows while they are open.
    outer, levels = nested_lists(depth)
    levels[-1].append(levels[back])
    bio = io.BytesIO()
    e = CBOREncoder(bio)
    with pytest.raises(CBOREncodeValueError, match="^cyclic data structure detected$"):
        e.encode(outer)
    levels[-1].pop()
    e.encode(outer)
    assert bio.getvalue() == bytes.fromhex("81" * (depth - 1) + "80")


def test_deep_repeats_are_no_cycle():
    # The same deep container side by side, below a deep chain: each copy leaves the check
    # before the next one enters it, also when the check's table grew in between.
    inner, _ = nested_lists(300)
    outer, levels = nested_lists(200)
    levels[-1].extend([inner, inner])
    body = "81" * 299 + "80"
    assert dumps(outer) == bytes.fromhex("81" * 199 + "82" + body + body)
    levels[-1].append(levels[150])
    with pytest.raises(CBOREncodeValueError, match="^cyclic data structure detected$"):
        dumps(outer)
