import importlib

import pytest

MODULES = ["tavro.lib.portil", "tavro.lib.binary", "tavro.expr", "tavro.lib.hex", "tavro.lib.bitstream"]


@pytest.mark.parametrize("name", MODULES)
def test_module_imports_as_native_extension(name):
    module = importlib.import_module(name)
    assert module.__name__ == name
    assert module.__file__.endswith(".so")
