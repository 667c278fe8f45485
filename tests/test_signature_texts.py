"""The argument binder reads each function's text signature at compile time (src/native/args.hpp).
A signature it cannot bind must not compile: these snippets are compiled against the layer's
headers, and each must fail with the binder's own message, while a readable one compiles."""

import os
import shutil
import subprocess
import sysconfig
import textwrap
from pathlib import Path

import pytest

NATIVE = Path(__file__).resolve().parent.parent / "src" / "native"
COMPILER = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")

pytestmark = [
    pytest.mark.native_only("the native layer's compile-time signature reader"),
    # The wheel tests run where no compiler can be found, on purpose.
    pytest.mark.skipif(COMPILER is None, reason="needs a C++ compiler (the wheel tests run without one)"),
]


def compile_snippet(signature):
    source = textwrap.dedent(f"""
        #include "native.hpp"
        PyObject* body(PyObject*, PyObject*, PyObject*) {{ return nullptr; }}
        PyMethodDef def = native::function<"{signature}", body>();
    """)
    return subprocess.run([COMPILER, "-std=c++20", "-fsyntax-only", f"-I{NATIVE}",
                           f"-I{sysconfig.get_paths()['include']}", "-x", "c++", "-"],
                          input=source, capture_output=True, text=True, timeout=300)


def test_a_readable_signature_compiles():
    done = compile_snippet("f(a, b=None)")
    assert done.returncode == 0, done.stderr[-3000:]


@pytest.mark.parametrize("signature, message", [
    ("f(a, *, b)", "the binder has no keyword-only parameters"),
    ("f(a, b=(1, 2))", "a default of the text signature must be a simple value"),
    ("f(a=1, b)", "a required parameter follows an optional one"),
])
def test_an_unreadable_signature_does_not_compile(signature, message):
    done = compile_snippet(signature)
    assert done.returncode != 0 and message in done.stderr, done.stderr[-3000:]
