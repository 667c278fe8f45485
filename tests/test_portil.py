import collections.abc
import gc
import subprocess
import sys
import warnings
import textwrap
import weakref

import pytest

from interpreter import allocation_deltas, message_of
from tavro import _pure
import tavro.lib.portil as portil

NAMESPACE = [
    "sys", "PY", "PY2", "PY3", "PYPY", "supportsnumpy", "supportsksyexport", "IntEnum", "supportsintenum",
    "IntFlag", "supportsintflag", "supportskwordered", "stringtypes", "integertypes", "unicodestringtype",
    "bytestringtype", "INT2BYTE_CACHE", "int2byte", "byte2int", "str2bytes", "bytes2str", "str2unicode",
    "unicode2str", "ITERATEBYTES_CACHE", "iteratebytes", "iterateints", "reprstring", "trimstring", "builtins",
    "bytes", "integers2bytes", "bytes2integers",
]

DOCS = {
    "int2byte": "Converts (0 through 255) integer into b'...' character.",
    "byte2int": "Converts b'...' character into (0 through 255) integer.",
    "str2bytes": "Converts '...' string into b'...' string. On PY2 they are equivalent. On PY3 its utf8 encoded.",
    "bytes2str": "Converts b'...' string into '...' string. On PY2 they are equivalent. On PY3 its utf8 decoded.",
    "str2unicode": "Converts '...' string into u'...' string. On PY2 its utf8 encoded. On PY3 they are equivalent.",
    "unicode2str": "Converts u'...' string into '...' string. On PY2 its utf8 decoded. On PY3 they are equivalent.",
    "iteratebytes": "Iterates though b'...' string yielding b'...' characters.",
    "iterateints": "Iterates though b'...' string yielding (0 through 255) integers.",
    "reprstring": "Ensures there is b- u- prefix before the string.",
    "trimstring": "Trims b- u- prefix",
    "integers2bytes": "Converts integer generator into bytes.",
    "bytes2integers": "Converts bytes into bytes/bytearray, so indexing/iterating yields integers.",
}

PARAMETERS = {
    "int2byte": "character", "byte2int": "character", "str2bytes": "string", "bytes2str": "string",
    "str2unicode": "string", "unicode2str": "string", "iteratebytes": "data", "iterateints": "data",
    "reprstring": "data", "trimstring": "data", "integers2bytes": "ints", "bytes2integers": "data",
}


VALID = dict.fromkeys(DOCS, b"a") | {"int2byte": 1, "str2bytes": "a", "str2unicode": "a", "unicode2str": "a"}


def public_names(module):
    return [name for name in vars(module) if not name.startswith("_")]


def test_namespace_order_without_optional_packages():
    expected = [name for name in NAMESPACE]
    if portil.supportsnumpy:
        expected.insert(expected.index("supportsnumpy"), "numpy")
    if "ruamel" in vars(portil):
        expected.insert(expected.index("supportsksyexport"), "ruamel")
    assert public_names(portil) == expected


def test_flags_and_types():
    assert portil.sys is sys and portil.builtins is __import__("builtins")
    assert portil.PY == sys.version_info[:2] and type(portil.PY) is tuple
    assert (portil.PY2, portil.PY3, portil.PYPY) == (False, True, "__pypy__" in sys.builtin_module_names)
    assert portil.supportskwordered is True
    assert portil.supportsintenum is True and portil.supportsintflag is True
    import enum
    assert portil.IntEnum is enum.IntEnum and portil.IntFlag is enum.IntFlag
    assert portil.stringtypes == (bytes, str) and portil.integertypes == (int,)
    assert portil.unicodestringtype is str and portil.bytestringtype is bytes and portil.bytes is bytes
    for flag in ("supportsnumpy", "supportsksyexport"):
        assert type(getattr(portil, flag)) is bool


def test_caches_are_distinct_with_the_same_256_entries():
    for cache in (portil.INT2BYTE_CACHE, portil.ITERATEBYTES_CACHE):
        assert list(cache) == list(range(256))
        assert all(type(v) is bytes and v == bytes([k]) for k, v in cache.items())
    assert portil.INT2BYTE_CACHE is not portil.ITERATEBYTES_CACHE


@pytest.mark.parametrize("name", sorted(DOCS))
def test_docstrings_and_argument_errors(name):
    function = getattr(portil, name)
    assert function.__doc__ == DOCS[name]
    parameter = PARAMETERS[name]
    cases = [
        ((), {}, f"{name}() takes exactly 1 positional argument (0 given)"),
        ((1, 2), {}, f"{name}() takes exactly 1 positional argument (2 given)"),
        ((b"a",), {"bogus": 1}, f"{name}() got an unexpected keyword argument 'bogus'"),
        ((b"a",), {parameter: b"a"}, f"{name}() got multiple values for keyword argument '{parameter}'"),
    ]
    for args, kwargs, message in cases:
        with pytest.raises(TypeError) as error:
            function(*args, **kwargs)
        assert str(error.value) == message
    function(**{parameter: VALID[name]})  # by keyword


def test_int2byte():
    assert portil.int2byte(0) == b"\x00" and portil.int2byte(255) == b"\xff"
    assert portil.int2byte(65) is portil.INT2BYTE_CACHE[65]
    assert portil.int2byte(True) == b"\x01"
    for bad in (256, -1, "a"):
        with pytest.raises(KeyError) as error:
            portil.int2byte(bad)
        assert error.value.args == (bad,)
    with pytest.raises(TypeError, match="unhashable"):
        portil.int2byte([1])


def test_int2byte_reads_its_cache_at_each_call(namespace_restored):
    with namespace_restored(portil):
        portil.INT2BYTE_CACHE = {1: "one"}
        assert portil.int2byte(1) == "one"
        del portil.INT2BYTE_CACHE
        with pytest.raises(NameError, match="INT2BYTE_CACHE"):
            portil.int2byte(1)
    assert portil.int2byte(1) == b"\x01"


class Text(str):
    pass


class Bytes(bytes):
    pass


@pytest.mark.parametrize("value, expected", [
    (b"a", 97), (b"\xff", 255), (bytearray(b"\x05"), 5), ("\u20ac", 8364), ("a", 97), (Text("x"), 120),
    (Bytes(b"\x01"), 1), (bytearray(b"\x00"), 0),
])
def test_byte2int_values(value, expected):
    assert portil.byte2int(value) == expected


@pytest.mark.parametrize("value, error, message", [
    ("", ValueError, "only single character unicode strings can be converted to Py_UCS4, got length 0"),
    ("ab", ValueError, "only single character unicode strings can be converted to Py_UCS4, got length 2"),
    (b"", TypeError, "ord() expected a character, but string of length 0 found"),
    (b"ab", TypeError, "ord() expected a character, but string of length 2 found"),
    (bytearray(b"abc"), TypeError, "ord() expected a character, but string of length 3 found"),
    (1, TypeError, "ord() expected string of length 1, but int found"),
    (None, TypeError, "ord() expected string of length 1, but NoneType found"),
    (memoryview(b"a"), TypeError, "ord() expected string of length 1, but memoryview found"),
])
def test_byte2int_errors(value, error, message):
    with pytest.raises(error) as raised:
        portil.byte2int(value)
    assert str(raised.value) == message


def test_text_conversions():
    assert portil.str2bytes("abc") == b"abc" and portil.str2bytes("\u20ac") == b"\xe2\x82\xac"
    assert portil.bytes2str(b"abc") == "abc"
    with pytest.raises(UnicodeDecodeError):
        portil.bytes2str(b"\xff")
    with pytest.raises(AttributeError):
        portil.str2bytes(b"abc")
    with pytest.raises(AttributeError):
        portil.bytes2str("abc")

    class Duck:
        def encode(self, *args):
            return ("encoded", args)

        def decode(self, *args):
            return ("decoded", args)

    assert portil.str2bytes(Duck()) == ("encoded", ("utf8",))
    assert portil.bytes2str(Duck()) == ("decoded", ("utf8",))


@pytest.mark.parametrize("name", ["str2unicode", "unicode2str", "iterateints", "bytes2integers"])
def test_identities(name):
    for value in (b"ab", "ab", object(), [1]):
        assert getattr(portil, name)(value) is value


def test_reprstring_and_trimstring():
    assert portil.reprstring(b"abc") == "b'abc'" and portil.reprstring("abc") == "u'abc'"
    assert portil.trimstring(b"abc") == "'abc'" and portil.trimstring("abc") == "'abc'"
    assert portil.reprstring(1) is None and portil.trimstring(1) is None
    assert portil.reprstring(bytearray(b"a")) is None
    assert portil.trimstring(Bytes(b"x")) == "'x'"


def test_string_helpers_read_bytes_at_each_call(monkeypatch):
    monkeypatch.setattr(portil, "bytes", bytearray)
    assert portil.reprstring(b"abc") is None
    assert portil.trimstring(bytearray(b"a")) == "ytearray(b'a')"
    assert portil.integers2bytes([1, 2]) == bytearray(b"\x01\x02")


def test_integers2bytes():
    assert portil.integers2bytes([1, 2, 3]) == b"\x01\x02\x03"
    assert portil.integers2bytes(3) == b"\x00\x00\x00"
    assert portil.integers2bytes(iter([65])) == b"A"
    with pytest.raises(ValueError):
        portil.integers2bytes([256])
    with pytest.raises(TypeError):
        portil.integers2bytes("abc")


# ---- the iteratebytes generator -------------------------------------------

def test_iteratebytes_is_generator_like():
    generator = portil.iteratebytes(b"abc")
    assert generator.__name__ == "genexpr"
    assert generator.__qualname__ == "iteratebytes.<locals>.genexpr"
    assert isinstance(generator, collections.abc.Generator)
    assert iter(generator) is generator
    assert repr(generator).startswith("<generator object iteratebytes.<locals>.genexpr at ")
    items = list(generator)
    assert items == [b"a", b"b", b"c"]
    assert all(item is portil.ITERATEBYTES_CACHE[ord(item)] for item in items)
    assert list(portil.iteratebytes(b"")) == []
    assert list(portil.iteratebytes(bytearray(b"\x00\xff"))) == [b"\x00", b"\xff"]
    generator.__name__ = "renamed"
    assert generator.__name__ == "renamed"
    with pytest.raises(TypeError):
        generator.__qualname__ = 1


def test_iteratebytes_is_lazy_and_reads_the_cache_per_item(monkeypatch):
    generator = portil.iteratebytes(5)  # not iterable: noticed only when asked
    with pytest.raises(TypeError, match="not iterable"):
        next(generator)
    with pytest.raises(StopIteration):
        next(generator)

    generator = portil.iteratebytes(b"ab")
    assert next(generator) == b"a"
    monkeypatch.setattr(portil, "ITERATEBYTES_CACHE", {98: "B"})
    assert next(generator) == "B"
    monkeypatch.undo()

    generator = portil.iteratebytes([1, 300])
    next(generator)
    with pytest.raises(KeyError) as error:
        next(generator)
    assert error.value.args == (300,)
    assert list(generator) == []


def test_iteratebytes_send_throw_close():
    generator = portil.iteratebytes(b"ab")
    with pytest.raises(TypeError, match="can't send non-None value to a just-started generator"):
        generator.send(1)
    assert generator.send(None) == b"a"
    assert generator.send("ignored") == b"b"
    with pytest.raises(StopIteration):
        generator.send(None)

    generator = portil.iteratebytes(b"ab")
    next(generator)
    with pytest.raises(KeyError):
        generator.throw(KeyError)
    assert list(generator) == []
    with pytest.raises(ValueError, match="boom"):
        generator.throw(ValueError("boom"))  # a finished generator re-raises

    # As for the interpreter's own generators: from 3.12 on, a generator that
    # has not started lets the exception through as it is.
    generator = portil.iteratebytes(b"ab")
    unstarted = StopIteration if sys.version_info >= (3, 12) else RuntimeError
    with pytest.raises(unstarted):
        generator.throw(StopIteration)
    assert list(generator) == []
    generator = portil.iteratebytes(b"ab")
    next(generator)
    with pytest.raises(RuntimeError, match="generator raised StopIteration"):
        generator.throw(StopIteration)
    # The messages of the interpreter's own generators.
    def plain_generator():
        yield
    for args in [(), (1,), (ValueError(), 1), (ValueError, None, 1)]:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)
            expected = message_of(lambda: plain_generator().throw(*args))
            with pytest.raises(TypeError) as error:
                portil.iteratebytes(b"").throw(*args)
        assert str(error.value) == expected


@pytest.mark.parametrize("args", [(KeyError,), (KeyError, KeyError("k")), (KeyError, ("k",)), (KeyError, None, None)])
def test_iteratebytes_throw_warns_and_raises_as_a_generator_does(args):
    def outcome(generator):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            with pytest.raises(KeyError) as error:
                generator.throw(*args)
        return [(w.category, str(w.message)) for w in caught], error.value.args

    assert outcome(portil.iteratebytes(b"ab")) == outcome(iter(x for x in b"ab"))

    generator = portil.iteratebytes(b"ab")
    next(generator)
    assert generator.close() is None
    assert list(generator) == []
    assert generator.close() is None


def test_iteratebytes_reentrancy_is_refused():
    class Reentrant:
        def __iter__(self):
            return self

        def __next__(self):
            return next(generator)

    generator = portil.iteratebytes(Reentrant())
    with pytest.raises(ValueError, match="generator already executing"):
        next(generator)


def test_iteratebytes_is_collected_in_cycles():
    class Data(list):
        pass

    data = Data([1, 2])
    generator = portil.iteratebytes(data)
    data.generator = generator
    probe = weakref.ref(generator)
    del data, generator
    gc.collect()
    assert probe() is None


@pytest.mark.native_only("references kept by native code")
def test_iteratebytes_does_not_leak():
    payload = bytes(range(256))

    def operation():
        list(portil.iteratebytes(payload))
        generator = portil.iteratebytes(payload)
        next(generator)
        generator.close()
        try:
            portil.iteratebytes(payload).throw(KeyError)
        except KeyError:
            pass

    assert min(allocation_deltas(operation)) < 20


# ---- the optional-package probes ------------------------------------------

def run_fresh(script):
    code = _pure.child_code() + textwrap.dedent(script)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    return result


def test_probes_record_what_imports():
    result = run_fresh("""
        import sys, types
        sys.modules["numpy"] = types.ModuleType("numpy")
        ruamel = types.ModuleType("ruamel"); ruamel.__path__ = []
        sys.modules["ruamel"] = ruamel
        sys.modules["ruamel.yaml"] = types.ModuleType("ruamel.yaml")
        import tavro.lib.portil as p
        names = [n for n in vars(p) if not n.startswith("_")]
        print(p.supportsnumpy, p.numpy is sys.modules["numpy"], p.supportsksyexport, p.ruamel is ruamel,
              names.index("numpy") == names.index("supportsnumpy") - 1,
              names.index("ruamel") == names.index("supportsksyexport") - 1)
    """)
    assert result.stdout.split() == ["True"] * 6, result.stderr

    result = run_fresh("""
        import sys
        sys.modules["numpy"] = None
        sys.modules["ruamel"] = None
        import tavro.lib.portil as p
        print(p.supportsnumpy, p.supportsksyexport, hasattr(p, "numpy"), hasattr(p, "ruamel"))
    """)
    assert result.stdout.split() == ["False"] * 4, result.stderr


def test_probe_lets_unexpected_errors_through():
    result = run_fresh("""
        import builtins
        real = builtins.__import__
        def fake(name, *args, **kwargs):
            if name == "numpy":
                raise RuntimeError("broken numpy")
            return real(name, *args, **kwargs)
        builtins.__import__ = fake
        try:
            import tavro.lib.portil
        except RuntimeError as error:
            print("raised", error)
    """)
    assert result.stdout.strip() == "raised broken numpy", result.stderr


# ---- hash-colliding keys in the namespace and tables ----------------------

@pytest.mark.native_only("hash-colliding keys against the native fast paths")
@pytest.mark.parametrize("operation", ["iteratebytes", "int2byte", "reprstring", "integers2bytes"])
def test_colliding_keys_give_the_literal_outcome(collision_scenarios, operation):
    collision_scenarios(operation)
