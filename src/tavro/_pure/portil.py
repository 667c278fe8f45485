import sys

from tavro._pure._args import native_errors as _native_errors

PY = sys.version_info[:2]
PY2 = sys.version_info[0] == 2
PY3 = sys.version_info[0] == 3
PYPY = "__pypy__" in sys.builtin_module_names

try:
    import numpy
    supportsnumpy = True
except ImportError:
    supportsnumpy = False

try:
    import ruamel.yaml
    assert PY3
    supportsksyexport = True
except (ImportError, AssertionError):
    supportsksyexport = False

try:
    from enum import IntEnum
    supportsintenum = True
except ImportError:
    supportsintenum = False

try:
    from enum import IntFlag
    supportsintflag = True
except ImportError:
    supportsintflag = False

supportskwordered = PY >= (3, 6) or PYPY

stringtypes = bytes, str
integertypes = int,
unicodestringtype = str
bytestringtype = bytes

INT2BYTE_CACHE = {i: bytes([i]) for i in range(256)}


@_native_errors
def int2byte(character):
    """Converts (0 through 255) integer into b'...' character."""
    return INT2BYTE_CACHE[character]


def _type_name(value):
    """The name the interpreter's messages give a type: qualified by its module for a type
    defined in C outside builtins, plain for a class made at run time."""
    cls = type(value)
    if cls.__flags__ & (1 << 9) or cls.__module__ == "builtins":  # Py_TPFLAGS_HEAPTYPE
        return cls.__name__
    return f"{cls.__module__}.{cls.__name__}"


@_native_errors
def byte2int(character):
    """Converts b'...' character into (0 through 255) integer."""
    if isinstance(character, str):
        if len(character) != 1:
            raise ValueError("only single character unicode strings can be converted to Py_UCS4, got length %d"
                             % len(character))
        return ord(character)
    if isinstance(character, (bytes, bytearray)):
        if len(character) != 1:
            raise TypeError("ord() expected a character, but string of length %d found" % len(character))
        return character[0]
    raise TypeError("ord() expected string of length 1, but %.200s found" % _type_name(character))


@_native_errors
def str2bytes(string):
    """Converts '...' string into b'...' string. On PY2 they are equivalent. On PY3 its utf8 encoded."""
    return string.encode("utf8")


@_native_errors
def bytes2str(string):
    """Converts b'...' string into '...' string. On PY2 they are equivalent. On PY3 its utf8 decoded."""
    return string.decode("utf8")


@_native_errors
def str2unicode(string):
    """Converts '...' string into u'...' string. On PY2 its utf8 encoded. On PY3 they are equivalent."""
    return string


@_native_errors
def unicode2str(string):
    """Converts u'...' string into '...' string. On PY2 its utf8 decoded. On PY3 they are equivalent."""
    return string


ITERATEBYTES_CACHE = {i: bytes([i]) for i in range(256)}


@_native_errors
def iteratebytes(data):
    """Iterates though b'...' string yielding b'...' characters."""
    # A generator function, not a generator expression: the iterator over
    # `data` is asked for at the first item, not when the generator is made.
    def genexpr():
        for i in data:
            yield ITERATEBYTES_CACHE[i]
    return genexpr()


@_native_errors
def iterateints(data):
    """Iterates though b'...' string yielding (0 through 255) integers."""
    return data


@_native_errors
def reprstring(data):
    """Ensures there is b- u- prefix before the string."""
    if isinstance(data, bytes):
        return repr(data)
    if isinstance(data, str):
        return "u" + repr(data)
    return None


@_native_errors
def trimstring(data):
    """Trims b- u- prefix"""
    if isinstance(data, bytes):
        return repr(data)[1:]
    if isinstance(data, str):
        return repr(data)
    return None


import builtins

bytes = builtins.bytes


@_native_errors
def integers2bytes(ints):
    """Converts integer generator into bytes."""
    return bytes(ints)


@_native_errors
def bytes2integers(data):
    """Converts bytes into bytes/bytearray, so indexing/iterating yields integers."""
    return data
