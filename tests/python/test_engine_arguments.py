"""Binding and conversion of PyEngine's constructor arguments.

None of these calls may reach the Core: every argument error is raised before
the engine layer runs.
"""

import sys

import pytest

from fake_core import Blob

TEXT_PARAMS = [
    "impersonate",
    "proxy",
    "user_agent",
    "accept_language",
    "proxy_username",
    "proxy_password",
    "http_version",
    "profile_namespace",
]


@pytest.fixture
def engine_failure(native, fake):
    """Calls PyEngine with the arguments, expecting `kind`; checks the Core was untouched."""

    def call(kind, *args, **kwargs):
        with pytest.raises(kind) as info:
            native.PyEngine(*args, **kwargs)
        assert type(info.value) is kind
        assert fake.call_count("hv_abi_version") == 0
        assert fake.call_count("hv_engine_create") == 0
        return str(info.value)

    return call


def ca_pem_of(native, fake, value):
    native.PyEngine(ca_pem=value)
    return fake.last_record("engine")["ca_pem"]


# ---- binding ---------------------------------------------------------------


@pytest.mark.parametrize("count", [12, 13, 20])
def test_too_many_positional(engine_failure, count):
    message = engine_failure(TypeError, *([None] * count))
    assert message == (
        f"PyEngine.__new__() takes from 0 to 11 positional arguments but {count} were given"
    )


@pytest.mark.parametrize(
    "kwargs, keyword",
    [
        ({"color": 1}, "color"),
        ({"proxy": None, "Proxy": "x"}, "Proxy"),
        ({"verify_ssl": True}, "verify_ssl"),
        ({"gr\u00f6\u00dfe": 1}, "gr\u00f6\u00dfe"),
    ],
)
def test_unexpected_keyword(engine_failure, kwargs, keyword):
    message = engine_failure(TypeError, **kwargs)
    assert message == f"PyEngine.__new__() got an unexpected keyword argument '{keyword}'"


@pytest.mark.parametrize(
    "args, kwargs, name",
    [
        (("chrome",), {"impersonate": "chrome"}, "impersonate"),
        ((None, None, True), {"verify": True}, "verify"),
        ((None,) * 11, {"profile_namespace": None}, "profile_namespace"),
    ],
)
def test_multiple_values(engine_failure, args, kwargs, name):
    message = engine_failure(TypeError, *args, **kwargs)
    assert message == f"PyEngine.__new__() got multiple values for argument '{name}'"


def test_binding_errors_come_before_conversion(engine_failure):
    # The first argument is convertible to nothing, yet the keyword is reported.
    message = engine_failure(TypeError, 1, color=2)
    assert message == "PyEngine.__new__() got an unexpected keyword argument 'color'"
    message = engine_failure(TypeError, *([1] * 12))
    assert message.startswith("PyEngine.__new__() takes from 0 to 11")


# ---- conversions -----------------------------------------------------------


class Text(str):
    pass


@pytest.mark.parametrize("param", TEXT_PARAMS)
@pytest.mark.parametrize(
    "value, type_name",
    [(1, "int"), (b"x", "bytes"), (1.5, "float"), (True, "bool"), ([], "list")],
)
def test_text_refuses_other_types(engine_failure, param, value, type_name):
    message = engine_failure(TypeError, **{param: value})
    assert message == (
        f"argument '{param}': '{type_name}' object cannot be converted to 'PyString'"
    )


def test_text_error_names_nested_qualname(engine_failure):
    class Local:
        pass

    message = engine_failure(TypeError, proxy=Local())
    assert message == (
        "argument 'proxy': 'test_text_error_names_nested_qualname.<locals>.Local' "
        "object cannot be converted to 'PyString'"
    )


def test_text_accepts_str_subclass(native, fake):
    native.PyEngine(user_agent=Text("agent/1"))
    assert fake.last_record("engine")["user_agent"] == Blob.of(b"agent/1")


@pytest.mark.parametrize("param", ["proxy", "user_agent", "profile_namespace"])
def test_text_with_lone_surrogate_raises_encoding_error(engine_failure, param):
    message = engine_failure(UnicodeEncodeError, **{param: "ab\ud800"})
    assert not message.startswith("argument")
    assert "surrogates not allowed" in message


@pytest.mark.parametrize("param", ["verify", "cache"])
@pytest.mark.parametrize(
    "value, type_name",
    [(1, "int"), (0, "int"), (None, "NoneType"), ("yes", "str"), (1.0, "float")],
)
def test_flag_accepts_only_bool(engine_failure, param, value, type_name):
    message = engine_failure(TypeError, **{param: value})
    assert message == f"argument '{param}': '{type_name}' object cannot be converted to 'PyBool'"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Seq:
    """A sequence known only through __len__ and __getitem__."""

    def __init__(self, items, length=None):
        self.items = items
        self.length = length

    def __len__(self):
        if self.length is None:
            raise RuntimeError("no length")
        return self.length

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize(
    "value",
    [
        b"abc",
        bytearray(b"abc"),
        memoryview(b"abc"),
        [97, 98, 99],
        (97, 98, 99),
        range(97, 100),
        [Index(97), Index(98), Index(99)],
        Seq([97, 98, 99], length=3),
        Seq([97, 98, 99], length=100),  # the length only reserves space
        Seq([97, 98, 99], length=sys.maxsize),  # ... and may lie without bound
    ],
    ids=lambda v: type(v).__name__,
)
def test_byte_string_sources_are_equivalent(native, fake, value):
    assert ca_pem_of(native, fake, value) == Blob.of(b"abc")


def test_byte_string_ignores_a_failing_length(native, fake):
    assert ca_pem_of(native, fake, Seq([1, 2])) == Blob.of(b"\x01\x02")


def test_byte_string_keeps_every_byte_value(native, fake):
    data = bytes(range(256)) * 3
    assert ca_pem_of(native, fake, list(data)) == Blob.of(data)
    assert ca_pem_of(native, fake, [True, False]) == Blob.of(b"\x01\x00")


@pytest.mark.parametrize(
    "value, message",
    [([256], "out of range integral type conversion attempted"),
     ([-1], "out of range integral type conversion attempted"),
     ([0, 1, 1000], "out of range integral type conversion attempted"),
     ([Index(256)], "out of range integral type conversion attempted"),
     # Beyond a C long the interpreter's own conversion speaks.
     ([2**63], "Python int too large to convert to C long"),
     ([-(2**70)], "Python int too large to convert to C long")],
    ids=str,
)
def test_byte_string_out_of_range(engine_failure, value, message):
    assert engine_failure(OverflowError, ca_pem=value) == message


@pytest.mark.parametrize(
    "value, message",
    [
        ("abc", "argument 'ca_pem': 'str' object cannot be interpreted as an integer"),
        ([1.0], "argument 'ca_pem': 'float' object cannot be interpreted as an integer"),
        ([None], "argument 'ca_pem': 'NoneType' object cannot be interpreted as an integer"),
        ({}, "argument 'ca_pem': 'dict' object cannot be converted to 'Sequence'"),
        ({97: 1}, "argument 'ca_pem': 'dict' object cannot be converted to 'Sequence'"),
        (5, "argument 'ca_pem': 'int' object cannot be converted to 'Sequence'"),
        ({97}, "argument 'ca_pem': 'set' object cannot be converted to 'Sequence'"),
    ],
    ids=repr,
)
def test_byte_string_type_errors(engine_failure, value, message):
    assert engine_failure(TypeError, ca_pem=value) == message


def test_byte_string_iteration_error_passes_through(engine_failure):
    class Broken(Seq):
        def __getitem__(self, i):
            raise KeyError("boom")

    assert engine_failure(KeyError, ca_pem=Broken([], 1)) == "'boom'"


@pytest.mark.parametrize(
    "kwargs, kind, message",
    [
        # Parameter order decides, not keyword order.
        (
            {"cache": None, "impersonate": 1},
            TypeError,
            "argument 'impersonate': 'int' object cannot be converted to 'PyString'",
        ),
        (
            {"ca_pem": [256], "verify": 1},
            TypeError,
            "argument 'verify': 'int' object cannot be converted to 'PyBool'",
        ),
        (
            {"user_agent": 1, "ca_pem": [256]},
            OverflowError,
            "out of range integral type conversion attempted",
        ),
        # Every argument converts before the HTTP version is looked up.
        (
            {"profile_namespace": 1, "http_version": "H2"},
            TypeError,
            "argument 'profile_namespace': 'int' object cannot be converted to 'PyString'",
        ),
    ],
)
def test_first_failing_conversion_wins(engine_failure, kwargs, kind, message):
    assert engine_failure(kind, **kwargs) == message
