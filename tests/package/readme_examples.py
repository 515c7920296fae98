"""The README's Python examples, for pytest (which runs them and compares
their output) and for scripts/typecheck (which runs mypy --strict on them).

    python tests/package/readme_examples.py DIR   # writes DIR/readme_<line>.py
"""
import os
import re
import sys

README = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                      "README.md")
FENCE = re.compile(r"^```(\w*)\n(.*?)^```\n", re.M | re.S)


def examples(path=README):
    """(line, code, expected) for each ```python block; expected is the text
    of a ```text block right after it (its printed output), else None."""
    with open(path, encoding="utf-8") as f:
        text = f.read()
    blocks = [(m.group(1), m.group(2), text.count("\n", 0, m.start()) + 2, m.start(), m.end())
              for m in FENCE.finditer(text)]
    found = []
    for i, (lang, body, line, _, end) in enumerate(blocks):
        if lang != "python":
            continue
        expected = None
        if i + 1 < len(blocks) and blocks[i + 1][0] == "text" and blocks[i + 1][3] == end:
            expected = blocks[i + 1][1]
        found.append((line, body, expected))
    return found


def main(argv):
    if len(argv) != 1:
        sys.exit(__doc__)
    out = argv[0]
    os.makedirs(out, exist_ok=True)
    for line, code, _ in examples():
        with open(os.path.join(out, "readme_%d.py" % line), "w", encoding="utf-8") as f:
            f.write(code)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
