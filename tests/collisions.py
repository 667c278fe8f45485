"""Hash-colliding keys planted in the namespaces and tables that binary's and
portil's fast paths read, run in a child process by test_binary.py and
test_portil.py (with PYTHONMALLOC=malloc_debug, which poisons freed memory, so
that a fast path keeping a borrowed pointer across a look-up fails loudly
instead of quietly reading a stale object).

A planted key has the hash of a key the code looks up and sits ahead of it in
the dict's probe order, so that every look-up of that key calls the planted
key's __eq__. On a chosen call, __eq__ acts on a victim (a name bound in the
namespaces, or a table): it rebinds it in every module that holds it, deletes
it there, keeps a reference to it while rebinding it, or mutates it in place;
it always answers False, so the look-up goes on to the real key.

Each scenario runs twice from the same fresh setup (the tables are fresh
copies held by the namespaces alone, so that rebinding one frees it): once
through the module's function, once through the literal model's function
(tavro._pure) with the module's namespace as its globals. The outcomes (result or
exception) and the number of __eq__ calls must agree: a fast path looks up
nothing that the algorithm does not.

    python collisions.py binary bytes2bits     # prints mismatches, then "scenarios: N"
"""

import binascii
import itertools
import sys
import types

import tavro.lib.binary as binary
import tavro.lib.portil as portil
from tavro import _pure

MODEL = _pure.load(binder=False)

MODULES = {"portil": portil, "binary": binary}
TABLES = ["INT2BYTE_CACHE", "ITERATEBYTES_CACHE", "BYTES2BITS_CACHE", "BITS2BYTES_CACHE", "SWAPBITSINBYTES_CACHE"]
FUNCTIONS = ["int2byte", "byte2int", "iterateints", "bytes2bits", "binascii", "bytes"]



def bits(text):
    return bytes(int(c) for c in text)


A = 0x61
A_BITS = bits("01100001")

# operation: (module, function, arguments, how the result is collected)
OPERATIONS = {
    "integer2bits": ("binary", "integer2bits", (A, 12), None),
    "integer2bits_negative": ("binary", "integer2bits", (-A, 70), None),
    "integer2bytes": ("binary", "integer2bytes", (0x6180, 3), None),
    "integer2bytes_large": ("binary", "integer2bytes", (-(2 ** 80) + A, 11), None),
    "bits2integer": ("binary", "bits2integer", (bits("1100001"), True), None),
    "bytes2integer": ("binary", "bytes2integer", (b"\x80a", True), None),
    "bytes2integer_bytearray": ("binary", "bytes2integer", (bytearray(b"\xe1"), True), None),
    "bytes2bits": ("binary", "bytes2bits", (b"ab",), None),
    "bits2bytes": ("binary", "bits2bytes", (A_BITS * 2,), None),
    "swapbitsinbytes": ("binary", "swapbitsinbytes", (b"ab",), None),
    "swapbytesinbits": ("binary", "swapbytesinbits", (A_BITS + bits("10000000"),), None),
    "swapbytes": ("binary", "swapbytes", (b"ab",), None),
    "hexlify": ("binary", "hexlify", (b"ab",), None),
    "iteratebytes": ("portil", "iteratebytes", (b"aab",), list),
    "int2byte": ("portil", "int2byte", (A,), None),
    "reprstring": ("portil", "reprstring", (b"a",), None),
    "integers2bytes": ("portil", "integers2bytes", ([A],), None),
}

# Where a key is planted: ahead of a name in a module's namespace, or ahead of
# a key of a table (the letter a, its bit string, or the bit 1).
PLACES = [("binary", name) for name in ["int2byte", "byte2int", "iterateints", "bytes2bits", "BYTES2BITS_CACHE",
                                         "BITS2BYTES_CACHE", "SWAPBITSINBYTES_CACHE", "binascii"]]
PLACES += [("portil", name) for name in ["INT2BYTE_CACHE", "ITERATEBYTES_CACHE", "bytes"]]
PLACES += [(table, A_BITS if table == "BITS2BYTES_CACHE" else A) for table in TABLES]
PLACES += [("INT2BYTE_CACHE", 1)]

VICTIMS = TABLES + FUNCTIONS
ACTIONS = ["rebind", "delete", "keep", "mutate"]
TRIGGERS = [1, 2]

PRISTINE = {name: dict(vars(module)) for name, module in MODULES.items()}
PRISTINE_TABLES = {name: dict(vars(portil if name in vars(portil) else binary)[name]) for name in TABLES}
KEPT = []


def fresh_setup():
    """The namespaces as the imports made them, with fresh copies of the tables
    that only the namespaces hold."""
    KEPT.clear()
    for name, module in MODULES.items():
        namespace = vars(module)
        namespace.clear()
        namespace.update(PRISTINE[name])
    for table, contents in PRISTINE_TABLES.items():
        copy = dict(contents)
        for module in MODULES.values():
            if table in vars(module):
                vars(module)[table] = copy
        del copy


def holders(name):
    return [vars(module) for module in MODULES.values() if name in vars(module)]


def tilde(entry):
    return b"~" + entry if isinstance(entry, bytes) else entry


def altered(name, value):
    """A stand-in whose every result differs visibly from the original's."""
    if isinstance(value, dict):
        return {key: tilde(entry) for key, entry in value.items()}
    if name == "binascii":
        return types.SimpleNamespace(hexlify=lambda data: b"~" + binascii.hexlify(data))
    if name == "bytes":
        return bytearray
    if name == "byte2int":
        return lambda character: 1 - value(character)
    if name == "iterateints":
        return lambda data: list(value(data))[::-1]
    return lambda argument: b"~" + value(argument)


def act(action, victim):
    namespaces = holders(victim)
    if not namespaces:
        return
    current = namespaces[0][victim]
    if action == "mutate":
        if isinstance(current, dict):
            for key in list(current):
                current[key] = tilde(current[key])
        return
    if action == "keep":
        KEPT.append(current)
    replacement = None if action == "delete" else altered(victim, current)
    del current
    for namespace in namespaces:
        if action == "delete":
            del namespace[victim]
        else:
            namespace[victim] = replacement


class Collider:
    """Counts the comparisons made once it is armed (planting it compares it
    too), and acts on the `trigger`-th."""

    def __init__(self, hash_value, trigger, action):
        self.hash_value = hash_value
        self.trigger = trigger
        self.action = action
        self.armed = False
        self.calls = 0

    def __hash__(self):
        return self.hash_value

    def __eq__(self, other):
        if self.armed:
            self.calls += 1
            if self.calls == self.trigger:
                self.action()
        return False


def plant(place, collider_for):
    """Plants a collider for `place` ahead of its key; returns it."""
    where, key = place
    if where in MODULES:
        dictionary = vars(MODULES[where])
    else:
        dictionary = vars(portil if where in vars(portil) else binary)[where]
    collider = collider_for(hash(key))
    value = dictionary.pop(key)
    dictionary[collider] = None
    dictionary[key] = value
    collider.armed = True
    return collider


def fresh_code(code):
    """A copy of `code` and of every code object among its constants (a generator's body)."""
    constants = tuple(fresh_code(c) if isinstance(c, types.CodeType) else c for c in code.co_consts)
    return code.replace(co_consts=constants)


def literal_functions():
    """The literal model's functions (tavro._pure, without its argument binder) with the native
    modules' namespaces as their globals: they read and look up what the native functions do.
    Each call makes new code objects (see main)."""
    functions = {}
    for module_name in ("binary", "portil"):
        namespace = vars(MODULES[module_name])
        for name, function in vars(getattr(MODEL, module_name)).items():
            if isinstance(function, types.FunctionType) and function.__module__ == namespace["__name__"]:
                functions[module_name, name] = types.FunctionType(fresh_code(function.__code__), namespace, name,
                                                                  function.__defaults__, function.__closure__)
    return functions


def outcome(call):
    try:
        return "returned", repr(call())
    except Exception as error:  # the same exception, with the same text
        return "raised", type(error).__name__, str(error)


def run(operation, literal, place, victim, action, trigger):
    module_name, function_name, arguments, collect = OPERATIONS[operation]
    fresh_setup()
    function = (literal[module_name, function_name] if literal is not None
                else getattr(MODULES[module_name], function_name))
    collider = plant(place, lambda hash_value: Collider(hash_value, trigger, lambda: act(action, victim)))
    arguments = tuple(bytearray(a) if isinstance(a, bytearray) else a for a in arguments)
    result = outcome(lambda: (collect or (lambda x: x))(function(*arguments)))
    return result, collider.calls


def main(operation):
    count = 0
    mismatches = 0
    for place, victim, action, trigger in itertools.product(PLACES, VICTIMS, ACTIONS, TRIGGERS):
        if action == "mutate" and victim not in TABLES:
            continue
        if count % 256 == 0:
            # Fresh code objects: CPython 3.10 caches global look-ups of a code
            # object that has run 1024 times, which would skip the look-ups
            # (and the __eq__ calls) that the algorithm makes.
            literal = literal_functions()
        scenario = f"{operation}: key of {place} planted, {action} {victim} on __eq__ call {trigger}"
        print(scenario, file=sys.stderr, flush=True)  # the last line names a scenario that crashed
        expected = run(operation, literal, place, victim, action, trigger)
        found = run(operation, None, place, victim, action, trigger)
        count += 1
        if expected != found:
            mismatches += 1
            print(f"MISMATCH {scenario}: literal {expected}, native {found}", flush=True)
    fresh_setup()
    print(f"scenarios: {count}", flush=True)
    return 1 if mismatches else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
