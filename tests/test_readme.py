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
    namespace = {}  # the blocks read as one session, like the README itself
    for number, block in enumerate(blocks):
        test = parser.get_doctest(block, namespace, f"README block {number}", str(README), 0)
        runner.run(test, clear_globs=False)
        namespace.update(test.globs)
    result = runner.summarize(verbose=False)
    assert result.failed == 0
