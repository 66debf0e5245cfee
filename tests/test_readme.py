"""The README's examples run as written."""

import doctest
import pathlib
import re

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"


def test_readme_examples():
    text = README.read_text()
    blocks = re.findall(r"```python\n(.*?)```", text, flags=re.S)
    assert blocks, "the README shows no Python example"
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for number, block in enumerate(blocks):
        runner.run(parser.get_doctest(block, {}, f"README block {number}", str(README), 0))
    result = runner.summarize(verbose=False)
    assert result.failed == 0
