"""The README's Python examples run as they stand, and give the results their comments show.

A comment after an expression, or after `name = ...`, shows its value when it
starts with a Python literal (the rest after ": " is prose):
`index.search(q)  # [(0, 0.0)]: ...`.
A list that ends with `...` shows the first items of the result.
"""

import ast
import io
import re
import tokenize
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[1] / "README.md"
BLOCKS = re.findall(r"^```python\n(.*?)^```$", README.read_text(encoding="utf-8"), re.S | re.M)


def shown_results(block):
    """{line: value} for each comment that starts with a literal."""
    shown = {}
    for token in tokenize.generate_tokens(io.StringIO(block).readline):
        if token.type != tokenize.COMMENT:
            continue
        text = token.string[1:].strip()
        for cut in [len(text)] + [m.start() for m in re.finditer(": ", text)]:
            try:
                shown[token.start[0]] = ast.literal_eval(text[:cut])
                break
            except (ValueError, SyntaxError):
                continue
    return shown


def test_the_readme_shows_results():
    assert len(BLOCKS) >= 6
    assert sum(len(shown_results(block)) for block in BLOCKS) >= 7


@pytest.mark.parametrize("block", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example(block):
    if "import numpy" in block:
        pytest.importorskip("numpy")
    shown = shown_results(block)
    namespace = {"__name__": "readme"}
    for statement in ast.parse(block).body:
        if isinstance(statement, ast.Expr) and statement.end_lineno in shown:
            got = eval(compile(ast.Expression(statement.value), "README.md", "eval"), namespace)
        else:
            exec(compile(ast.Module([statement], []), "README.md", "exec"), namespace)
            if not (isinstance(statement, ast.Assign) and statement.end_lineno in shown):
                continue
            (target,) = statement.targets
            got = namespace[target.id]
        want = shown[statement.end_lineno]
        if isinstance(want, list) and want and want[-1] is Ellipsis:
            got, want = got[: len(want) - 1], want[:-1]
        assert got == want, ast.unparse(statement)
