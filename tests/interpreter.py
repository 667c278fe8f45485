"""What the running interpreter says and does, for tests that assert the interpreter's own
messages and behaviour: the texts differ between CPython and PyPy, and the tests compare
with whatever interpreter runs them."""

import re
import sys

CPYTHON = sys.implementation.name == "cpython"


def message_of(operation):
    """The message of the exception that `operation()` raises."""
    try:
        operation()
    except Exception as error:  # noqa: BLE001 - the message is what is wanted
        return str(error)
    raise AssertionError("the operation raised nothing")


def exactly(text):
    """A pattern for pytest.raises(match=...) that matches `text` and nothing else."""
    return "^" + re.escape(text) + "$"


def model_reading(module, name):
    """The literal model's function `name` (tavro._pure, without its argument binder) with the
    namespace of `module` as its globals: the documented steps, reading what `module` binds now."""
    import types

    from tavro import _pure

    model = vars(_pure.load(binder=False))[module.__name__.rpartition(".")[2]]
    function = getattr(model, name)
    return types.FunctionType(function.__code__, vars(module), name, function.__defaults__, function.__closure__)


def allocation_deltas(operation, rounds=4, repeat=200):
    """Blocks still allocated after each round of `repeat` operations; a leak shows in every round."""
    deltas = []
    for _ in range(rounds):
        before = sys.getallocatedblocks()
        for _ in range(repeat):
            operation()
        deltas.append(sys.getallocatedblocks() - before)
    return deltas[1:]
