"""Module attributes, the classes' shape and the static version methods."""

import pytest

CLASSES = ["PyEngine", "PyRequest", "PyResponse", "PyWebSocket"]


def test_all_lists_attributes_in_order(native):
    assert native.__all__ == CLASSES + ["abi_version"]
    for name in native.__all__:
        assert hasattr(native, name)


def test_abi_version(native, fake):
    assert native.abi_version == 8
    assert native.PyEngine.abi_version() == 8
    fake.set_abi(7)  # static: answers from the binding, not from the Core
    assert native.PyEngine.abi_version() == 8
    assert fake.call_count("hv_abi_version") == 0


@pytest.mark.parametrize("name", CLASSES)
def test_class_names(native, name):
    cls = getattr(native, name)
    assert cls.__name__ == name
    assert cls.__module__ == "builtins"
    assert repr(cls) == f"<class 'builtins.{name}'>"


@pytest.mark.parametrize("name", CLASSES)
def test_classes_cannot_be_subclassed(native, name):
    base = getattr(native, name)
    with pytest.raises(TypeError):
        type("Derived", (base,), {})


@pytest.mark.parametrize("name", ["PyRequest", "PyResponse", "PyWebSocket"])
@pytest.mark.parametrize("args, kwargs", [((), {}), ((1, 2), {"x": 3})])
def test_no_constructor(native, name, args, kwargs):
    with pytest.raises(TypeError) as info:
        getattr(native, name)(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == "No constructor defined"


def test_core_version_default_without_engine(native, fake):
    assert native.PyEngine.core_version() == "fake-halvane 2.0"
    assert fake.call_count("hv_engine_create") == 0


@pytest.mark.parametrize(
    "raw, expected",
    [
        (None, None),
        (b"", ""),
        (b"halvane 2.1 \xc3\xa9", "halvane 2.1 \u00e9"),
        (b"bad \xff byte", "bad \ufffd byte"),
        (b"cut \xe2\x82", "cut \ufffd"),
    ],
)
def test_core_version_texts(native, fake, raw, expected):
    fake.set_version(raw)
    assert native.PyEngine.core_version() == expected
    assert native.PyEngine(cache=True).core_version() == expected  # via an instance too
