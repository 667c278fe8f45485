"""examples/typical_road.py, the README's first command, runs and says what it did; the
README's examples hold; the typed snippets of tests/typing run."""

import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parent.parent / "examples" / "typical_road.py"


def test_typical_road_runs_and_round_trips():
    result = subprocess.run([sys.executable, str(EXAMPLE)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    out = result.stdout
    assert "bytes2integer gives length = 19" in out
    assert "the expression (this.length * 2) evaluated with {'length': 19} gives 38" in out
    assert 'hexundump("""' in out
    assert "the same 38 bytes back: True" in out


README = EXAMPLE.parent.parent / "README.md"


def readme_blocks():
    text = README.read_text(encoding="utf-8")
    return [block.split("```", 1)[0] for block in text.split("```python\n")[1:]]


@pytest.mark.parametrize("block", readme_blocks(),
                         ids=lambda block: re.search(r"from (tavro[\w.]*) import", block).group(1))
def test_readme_examples_hold(block):
    import doctest

    test = doctest.DocTestParser().get_doctest(block, {}, "README", str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


TYPED = sorted((Path(__file__).resolve().parent / "typing").glob("*_types.py"))


@pytest.mark.parametrize("snippet", TYPED, ids=lambda path: path.stem)
def test_typed_snippets_run(snippet):
    # mypy checks them (see tests/typing/README.md); here they must also be true programs.
    result = subprocess.run([sys.executable, str(snippet)], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
