"""The package as people meet it: its modules, version, metadata and command."""

import importlib
import importlib.machinery
import importlib.metadata
import subprocess
import sys
from pathlib import Path

import pytest

import tavro

ROOT = Path(__file__).resolve().parent.parent
MODULES = ["tavro.lib.portil", "tavro.lib.binary", "tavro.expr", "tavro.lib.hex", "tavro.lib.bitstream", "tavro._dump"]


@pytest.mark.parametrize("name", MODULES)
def test_every_module_is_of_the_implementation_the_package_says(name):
    # .cpython-313-x86_64-linux-gnu.so, .cp313-win_amd64.pyd: the interpreter's own suffixes.
    module = importlib.import_module(name)
    assert module.__name__ == name
    extension = module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
    assert tavro.implementation == ("native" if extension else "pure")
    if tavro.implementation == "pure":
        assert module.__file__.endswith(".py")
    else:
        assert isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)


def test_the_implementation_is_told_without_importing_the_modules():
    probe = "import sys, tavro; print(tavro.implementation, 'tavro.lib.portil' in sys.modules)"
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout.split()) == (0, [tavro.implementation, "False"])


def test_version_comes_from_the_metadata():
    assert tavro.__version__ == importlib.metadata.version("tavro")
    assert "__version__" in dir(tavro)
    with pytest.raises(AttributeError, match="module 'tavro' has no attribute 'version'"):
        tavro.version  # noqa: B018


def test_importing_a_module_leaves_the_metadata_unread():
    # The version is read on first use only: importing the package stays as quick as before.
    probe = "import sys, tavro, tavro.lib.portil; print('importlib.metadata' in sys.modules)"
    result = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=60)
    assert (result.returncode, result.stdout) == (0, "False\n")


def test_metadata_declares_licence_author_keywords_and_classifiers():
    metadata = importlib.metadata.metadata("tavro")
    assert metadata["License"] == "MIT"
    assert metadata["Author"] and metadata["Keywords"]
    classifiers = set(metadata.get_all("Classifier"))
    assert {"License :: OSI Approved :: MIT License", "Operating System :: POSIX :: Linux",
            "Programming Language :: C++", "Programming Language :: Python :: 3.10",
            "Programming Language :: Python :: 3.15"} <= classifiers
    assert any(classifier.startswith("Topic :: ") for classifier in classifiers)


def test_the_licence_file_is_installed_and_is_the_declared_licence():
    files = importlib.metadata.distribution("tavro").files
    (licence,) = [path for path in files if path.name == "LICENSE"]
    text = licence.read_text()
    assert text.startswith("MIT License\n") and text == (ROOT / "LICENSE").read_text()


def test_the_tavro_script_is_declared():
    (script,) = [entry for entry in importlib.metadata.entry_points(group="console_scripts")
                 if entry.name == "tavro"]
    assert script.value == "tavro._dumpcommand:script"
    assert script.load()  # the function exists
