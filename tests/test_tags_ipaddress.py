"""IP addresses, networks and interfaces: tags 52 and 54 both ways, tags 260 and 261 on decoding."""

import ipaddress
import subprocess
import sys
import textwrap
from ipaddress import IPv4Address, IPv4Interface, IPv4Network, IPv6Address, IPv6Interface, IPv6Network

import pytest

from _kelvo import CBOREncoder, CBORTag, dumps, loads

from decoder_support import decode_error, h

FE80_1 = "50 fe800000000000000000000000000001"
ETH0 = "44 65746830"


@pytest.mark.parametrize("value, expected", [
    (IPv4Address("192.0.2.1"), "d834 44 c0000201"),
    (IPv4Network("192.0.2.0/24"), "d834 82 1818 43 c00002"),
    (IPv4Network("0.0.0.0/0"), "d834 82 00 40"),
    (IPv4Network("10.0.0.0/8"), "d834 82 08 41 0a"),
    (IPv4Interface("192.0.2.1/24"), "d834 82 44 c0000201 1818"),
    (IPv6Address("fe80::1"), "d836 " + FE80_1),
    (IPv6Address("fe80::1%eth0"), "d836 83 " + FE80_1 + " f6 " + ETH0),
    (IPv6Network("2001:db8:1234::/48"), "d836 82 1830 46 20010db81234"),
    (IPv6Network("fe80::%eth0/64"), "d836 82 1840 42 fe80"),
    (IPv6Interface("fe80::1/64"), "d836 82 " + FE80_1 + " 1840"),
    (IPv6Interface("fe80::1%eth0/64"), "d836 83 " + FE80_1 + " 1840 " + ETH0),
], ids=["v4-address", "v4-network", "v4-default-route", "v4-network-short", "v4-interface", "v6-address",
        "v6-address-zone", "v6-network", "v6-network-zone-dropped", "v6-interface", "v6-interface-zone"])
def test_encodes(value, expected):
    assert dumps(value) == h(expected)


@pytest.mark.parametrize("data, expected", [
    ("d834 44 c0000201", IPv4Address("192.0.2.1")),
    ("d834 82 1818 43 c00002", IPv4Network("192.0.2.0/24")),
    ("d834 82 00 40", IPv4Network("0.0.0.0/0")),
    ("d834 82 44 c0000201 1818", IPv4Interface("192.0.2.1/24")),
    ("d836 " + FE80_1, IPv6Address("fe80::1")),
    ("d836 82 " + FE80_1 + " f6", IPv6Address("fe80::1")),
    ("d836 83 " + FE80_1 + " f6 " + ETH0, IPv6Address("fe80::1%eth0")),
    ("d836 83 " + FE80_1 + " f6 03", IPv6Address("fe80::1%3")),
    ("d836 82 1830 46 20010db81234", IPv6Network("2001:db8:1234::/48")),
    ("d836 83 1840 42 fe80 " + ETH0, IPv6Network("fe80::%eth0/64")),
    ("d836 82 " + FE80_1 + " 1840", IPv6Interface("fe80::1/64")),
    ("d836 83 " + FE80_1 + " 1840 " + ETH0, IPv6Interface("fe80::1%eth0/64")),
    ("d90104 44 c0000201", IPv4Address("192.0.2.1")),
    ("d90104 " + FE80_1, IPv6Address("fe80::1")),
    ("d90104 46 010203040506", CBORTag(260, bytes.fromhex("010203040506"))),
    ("d90105 a1 44 c0000200 1818", IPv4Network("192.0.2.0/24")),
    ("d90105 a1 44 c0000201 1818", IPv4Interface("192.0.2.1/24")),
    ("d90105 a1 50 20010db8000000000000000000000000 1820", IPv6Network("2001:db8::/32")),
], ids=["v4-address", "v4-network", "v4-default-route", "v4-interface", "v6-address", "v6-address-null",
        "v6-address-zone", "v6-address-int-zone", "v6-network", "v6-network-zone", "v6-interface",
        "v6-interface-zone", "260-v4", "260-v6", "260-six-bytes", "261-network", "261-interface-fallback",
        "261-v6"])
def test_decodes(data, expected):
    value = loads(h(data))
    assert type(value) is type(expected) and value == expected
    if isinstance(expected, (IPv6Address, IPv6Interface)):
        assert value.scope_id == expected.scope_id


def test_six_byte_address_does_not_reach_tag_hook():
    calls = []
    assert loads(h("d90104 46 010203040506"), tag_hook=lambda t, imm: calls.append(t)).tag == 260
    assert calls == []


@pytest.mark.parametrize("data, label, message", [
    ("d834 05", "IPv4 address", "input value must be a bytestring or an array of 2 elements"),
    ("d834 83 44 c0000201 1818 00", "IPv4 address", "input value must be a bytestring or an array of 2 elements"),
    ("d834 a1 00 00", "IPv4 address", "input value must be a bytestring or an array of 2 elements"),
    ("d836 81 00", "IPv6 address", "input value must be a bytestring or an array of 2 elements"),
    ("d836 84 00 40 00 00", "IPv6 address", "input value must be a bytestring or an array of 2 elements"),
    ("d836 61 61", "IPv6 address", "input value must be a bytestring or an array of 2 elements"),
    ("d834 82 61 61 1818", "IPv4 address", "invalid types in input array"),
    ("d834 82 00 00", "IPv4 address", "invalid types in input array"),
    ("d836 82 40 40", "IPv6 address", "invalid types in input array"),
    ("d836 82 f6 f6", "IPv6 address", "invalid types in input array"),
    ("d834 82 1818 45 c000020100", "IPv4 address", "address byte string for IPv4 network is too long (5 bytes)"),
    ("d836 82 1840 51" + "00" * 17, "IPv6 address",
     "address byte string for IPv6 network is too long (17 bytes)"),
    ("d836 83 " + FE80_1 + " 1840 f93e00", "IPv6 address", "zone ID must be an integer or a bytestring"),
    ("d836 83 " + FE80_1 + " f6 61 61", "IPv6 address", "zone ID must be an integer or a bytestring"),
    ("d90104 45 0102030405", "IP address", "invalid IP address length (5)"),
    ("d90104 40", "IP address", "invalid IP address length (0)"),
    ("d90105 a2 44 c0000200 1818 44 c0000300 1818", "IP network", "invalid input map length for IP network: 2"),
    ("d90105 a0", "IP network", "invalid input map length for IP network: 0"),
    ("d90105 a1 44 c0000200 f5", "IP network", "invalid mask length for IP network: True"),
    ("d90105 a1 44 c0000200 61 38", "IP network", "invalid mask length for IP network: 8"),
], ids=["v4-int", "v4-three-items", "v4-map", "v6-one-item", "v6-four-items", "v6-text", "v4-text-item",
        "v4-two-ints", "v6-two-bytes", "v6-two-nulls", "v4-network-too-long", "v6-network-too-long",
        "zone-float", "zone-text", "260-five-bytes", "260-empty", "261-two-entries", "261-empty",
        "261-bool-mask", "261-text-mask"])
def test_decoding_errors(data, label, message):
    assert str(decode_error(data)) == f"error decoding {label}: {message}"


@pytest.mark.parametrize("data, label, cause, text", [
    ("d834 82 1818 44 c0000201", "IPv4 address", ValueError, "has host bits set"),
    ("d834 43 010203", "IPv4 address", ValueError, None),
    ("d834 82 43 c00002 1818", "IPv4 address", ValueError, None),
    ("d836 44 c0000201", "IPv6 address", ValueError, None),
    ("d836 83 " + FE80_1 + " f6 41 ff", "IPv6 address", UnicodeDecodeError, None),
    ("d836 82 44 c0000201 1840", "IPv6 address", ValueError, None),
    ("d90104 61 61", "IP address", TypeError, "'str' object is not an instance of 'bytes'"),
    ("d90105 82 00 00", "IP network", TypeError, "'tuple' object is not an instance of 'Mapping'"),
    ("d90105 a1 43 010203 1818", "IP network", ValueError, None),
], ids=["v4-host-bits", "v4-short-address", "v4-short-interface", "v6-short-address", "zone-not-utf8",
        "v6-short-interface", "260-text", "261-array", "261-bad-address"])
def test_decoding_errors_with_a_cause(data, label, cause, text):
    err = decode_error(data)
    assert str(err) == f"error decoding {label}"
    assert isinstance(err.__cause__, cause)
    if text is not None:
        assert text in str(err.__cause__)


def test_zone_is_checked_before_any_address_is_built(monkeypatch):
    built = []
    monkeypatch.setattr(ipaddress.IPv6Address, "__init__",
                        lambda self, *a: built.append(a) or None, raising=True)
    decode_error("d836 83 " + FE80_1 + " 1840 f93e00")
    assert built == []


def test_encoding_errors(bio):
    class Interface:
        packed = b"\x00" * 16
        network = IPv6Network("::/64")
        scope_id = 3

    with pytest.raises(TypeError) as info:
        CBOREncoder(bio).encode_ipv6_interface(Interface())
    assert str(info.value) == "'int' object is not an instance of 'str'"
    for name in ("encode_ipv4_address", "encode_ipv4_network", "encode_ipv4_interface", "encode_ipv6_address",
                 "encode_ipv6_network", "encode_ipv6_interface"):
        with pytest.raises(AttributeError):
            getattr(CBOREncoder(bio), name)(object())
        assert getattr(CBOREncoder, name).__text_signature__ == "($self, obj)"


def test_encoders_accept_any_object_with_the_attributes(bio):
    class Address:
        packed = b"\x01\x02"
        scope_id = 7

    class Network:
        class network_address:
            packed = bytearray(b"\x0a\x00")  # no bytes: its own rstrip is called
        prefixlen = 8

    CBOREncoder(bio).encode_ipv6_address(Address())
    CBOREncoder(bio).encode_ipv4_network(Network())
    assert bio.getvalue() == h("d836 83 42 0102 f6 41 37" "d834 82 08 41 0a")


def test_interface_is_not_encoded_as_its_address_base_class():
    assert issubclass(IPv4Interface, IPv4Address)
    assert dumps(IPv4Interface("192.0.2.1/32")) == h("d834 82 44 c0000201 1820")


def test_value_sharing_marks_the_fresh_payload():
    assert dumps(IPv4Network("192.0.2.0/24"), value_sharing=True) == h("d834 d81c 82 1818 43 c00002")
    assert dumps(IPv6Interface("fe80::1/64"), value_sharing=True) == h("d836 d81c 82 " + FE80_1 + " 1840")


ALL = [IPv4Address("192.0.2.1"), IPv4Network("192.0.2.0/24"), IPv4Interface("192.0.2.1/24"),
       IPv6Address("2001:db8::1"), IPv6Address("fe80::1%eth0"), IPv6Network("2001:db8::/32"),
       IPv6Interface("2001:db8::1/64"), IPv6Interface("fe80::1%eth0/64")]


@pytest.mark.parametrize("value_sharing", [False, True], ids=["plain", "sharing"])
def test_round_trips(value_sharing):
    values = ALL + [ALL[1]] + [{"net": ALL[1]}]
    decoded = loads(dumps(values, value_sharing=value_sharing))
    assert decoded == values
    assert [type(v) for v in decoded] == [type(v) for v in values]
    assert [getattr(v, "scope_id", None) for v in decoded] == [getattr(v, "scope_id", None) for v in values]


def test_semantic_decoders_take_precedence_and_tag_hook_is_not_called():
    calls = []
    hook = lambda t, imm: calls.append(t)  # noqa: E731
    for data in ("d834 44 c0000201", "d836 " + FE80_1, "d90104 44 c0000201", "d90105 a1 44 c0000200 1818"):
        cls = loads(h(data), semantic_decoders={}).__class__
        assert cls.__module__ == "ipaddress"
        assert loads(h(data), tag_hook=hook).__class__ is cls
    assert calls == []
    seen = loads(h("d90105 a1 44 c0000200 1818"), semantic_decoders={261: lambda p, imm: (p, imm)})
    assert seen == ({b"\xc0\x00\x02\x00": 24}, False) and type(seen[0]) is dict


def test_failed_import_is_retried():
    out = subprocess.run([sys.executable, "-c", textwrap.dedent("""
        import sys, _kelvo
        data = bytes.fromhex("d83444c0000201")
        sys.modules["ipaddress"] = None
        try:
            _kelvo.loads(data)
        except _kelvo.CBORDecodeError as exc:
            print(str(exc).replace(" ", "_"), type(exc.__cause__).__name__)
        del sys.modules["ipaddress"]
        print(_kelvo.loads(data))
    """)], capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["error_decoding_IPv4_address", "ModuleNotFoundError", "192.0.2.1"]
