"""py_get_constant: the datasheet dict, its JSON text, and how it meets the json module."""

import sys

import pytest
from test_formulas import NAMES, TABLE

from orvantis import _torvane_core as core

STATUS = {0: "Seed", 2: "Pending"}


class RecordingJson:
    """Stands in for the json module: keeps the text it is given."""

    def __init__(self, result=None):
        self.texts: list[str] = []
        self.result = result

    def loads(self, text, *rest, **kw):
        assert (rest, kw) == ((), {})
        self.texts.append(text)
        return self.result


@pytest.fixture
def fake_json(monkeypatch):
    def install(obj):
        monkeypatch.setitem(sys.modules, "json", obj)
        return obj

    return install


@pytest.mark.parametrize("name", NAMES)
def test_every_datasheet(name):
    sheet = core.py_get_constant(name)
    row = TABLE[name]
    assert sheet == {
        "name": name,
        "status": STATUS[row["status"]],
        "uncertainty": None,
        "units": row["units"],
        "value": row["value"],
    }
    assert list(sheet) == ["name", "status", "uncertainty", "units", "value"]
    assert type(sheet["value"]) is float


def test_exact_texts(fake_json):
    fake = fake_json(RecordingJson())
    core.py_get_constant("b3")
    core.py_get_constant(name="n_gen_sq")
    core.py_get_constant("phi")
    assert fake.texts == [
        '{"name":"b3","status":"Seed","uncertainty":null,"units":"dimensionless","value":24.0}',
        '{"name":"n_gen_sq","status":"Pending","uncertainty":null,"units":"count","value":0.0}',
        '{"name":"phi","status":"Seed","uncertainty":null,"units":"dimensionless",'
        '"value":1.618033988749895}',
    ]


def test_each_call_gives_a_new_dict():
    a = core.py_get_constant("b3")
    a["value"] = 0
    b = core.py_get_constant("b3")
    assert b["value"] == 24.0 and a is not b


@pytest.mark.parametrize("name", ["B3", " b3", "b3 ", "b3\x00", "\x00", "   ", "phi\n", "b3" * 9])
def test_not_found(name):
    with pytest.raises(KeyError) as info:
        core.py_get_constant(name)
    assert info.value.args == (f"constant `{name}` not found in registry",)


def test_empty_name_is_a_value_error(capfd):
    # Ordinary caller input: an ordinary exception, caught by `except Exception`, and quiet.
    try:
        core.py_get_constant("")
    except Exception as exc:  # noqa: BLE001
        caught = exc
    assert type(caught) is ValueError
    assert caught.args == ("py_get_constant: name must be non-empty",)
    assert capfd.readouterr() == ("", "")


def test_argument_errors():
    with pytest.raises(TypeError) as info:
        core.py_get_constant(3)
    assert info.value.args == ("argument 'name': 'int' object cannot be converted to 'PyString'",)
    with pytest.raises(TypeError) as info:
        core.py_get_constant()
    assert info.value.args == ("py_get_constant() missing 1 required positional argument: 'name'",)
    with pytest.raises(TypeError) as info:
        core.py_get_constant("b3", name="b3")
    assert info.value.args == ("py_get_constant() got multiple values for argument 'name'",)


def test_lone_surrogate():
    with pytest.raises(UnicodeEncodeError):
        core.py_get_constant("\udcff")


def test_loads_result_is_returned_unchecked(fake_json):
    sentinel = object()
    fake_json(RecordingJson(sentinel))
    assert core.py_get_constant("b3") is sentinel


def test_json_that_cannot_be_imported(fake_json):
    fake_json(None)
    with pytest.raises(ImportError) as info:
        core.py_get_constant("b3")
    assert type(info.value) is ModuleNotFoundError
    assert "json" in str(info.value)


def test_loads_that_raises(fake_json):
    class Failing:
        def loads(self, text):
            raise ZeroDivisionError("from loads")

    fake_json(Failing())
    with pytest.raises(ZeroDivisionError) as info:
        core.py_get_constant("b3")
    assert info.value.args == ("from loads",)


def test_json_without_loads(fake_json):
    fake_json(object())
    with pytest.raises(AttributeError):
        core.py_get_constant("b3")


def test_not_found_does_not_import_json(fake_json):
    fake = fake_json(RecordingJson())
    with pytest.raises(KeyError):
        core.py_get_constant("nope")
    assert fake.texts == []


def test_json_is_looked_up_on_every_call(fake_json):
    first = fake_json(RecordingJson("first"))
    assert core.py_get_constant("b3") == "first"
    second = fake_json(RecordingJson("second"))
    assert core.py_get_constant("b3") == "second"
    assert (len(first.texts), len(second.texts)) == (1, 1)
