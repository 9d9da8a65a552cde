"""Writes each ```python block of Markdown files to a file of its own, for the type checkers.

    python .ci/code_blocks.py OUT_DIR README.md [MORE.md ...]

A block starting at line N of README.md becomes OUT_DIR/README_N.py, with
its lines at the numbers they have in README.md (blank lines before it), so
that a checker's finding points into the Markdown file. Prints the files
written, one a line; fails when a file has no Python block.
"""

import re
import sys
from pathlib import Path

FENCE = re.compile(r"^```python\n(.*?)^```$", re.S | re.M)


def main(out_dir: str, *sources: str) -> int:
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    for source in sources:
        text = Path(source).read_text(encoding="utf-8")
        blocks = list(FENCE.finditer(text))
        if not blocks:
            print(f"{source}: no ```python block", file=sys.stderr)
            return 1
        stem = re.sub(r"\W", "_", Path(source).stem)
        for block in blocks:
            first = text.count("\n", 0, block.start(1)) + 1
            path = out / f"{stem}_{first}.py"
            header = f"# {source}, the block at line {first}\n"
            path.write_text(header + "\n" * (first - 2) + block.group(1), encoding="utf-8")
            print(path)
    return 0


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
