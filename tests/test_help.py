"""The package shows what it offers: help() lists every public name, --help every command with an example."""

import ast
import importlib.util
import inspect
import pathlib
import pydoc
import shlex
import subprocess
import sys

import pytest

import corvella.pfnc
from corvella.pfnc import PixelFormat
from corvella.pfnc import __main__ as command

SHOWN = pydoc.render_doc(corvella.pfnc, renderer=pydoc.plaintext)
# What type checkers see: the imports under "if TYPE_CHECKING:".
CHECKED = next(node for node in ast.parse(pathlib.Path(corvella.pfnc.__file__).read_text()).body
               if isinstance(node, ast.If) and ast.unparse(node.test) == "TYPE_CHECKING")


@pytest.mark.parametrize("name", corvella.pfnc.__all__)
def test_help_shows_every_public_name_with_its_one_line_doc(name):
    value = getattr(corvella.pfnc, name)
    first = inspect.getdoc(value).splitlines()[0]
    assert first.endswith(".") and f"\n    {'class ' * inspect.isclass(value)}{name}(" in SHOWN and first in SHOWN
    assert {alias.name for node in CHECKED.body for alias in node.names} == set(corvella.pfnc.__all__)
    assert "_PUBLIC" not in SHOWN and "__getattr__" not in SHOWN and not hasattr(corvella.pfnc, "Decode")


@pytest.mark.parametrize(("argv", "status", "out", "err"), [
    (["--help"], 0, command.HELP + "\n", ""), (["-h"], 0, command.HELP + "\n", ""), ([], 2, "", command.USAGE + "\n")])
def test_help_and_usage(argv, status, out, err):
    run = subprocess.run([sys.executable, "-m", "corvella.pfnc", *argv], capture_output=True, text=True, check=False)
    assert (run.returncode, run.stdout, run.stderr) == (status, out, err)


@pytest.mark.parametrize("subcommand", [None, *command.COMMANDS])
def test_every_command_is_described_with_an_example_that_runs(subcommand, tmp_path, monkeypatch, capsys):
    lines = [shlex.split(line)[3:] for line in command.HELP.partition("commands:")[2].splitlines()
             if line.strip().startswith("python -m corvella.pfnc ")]
    (example,) = [words for words in lines if (words[0] if words[0] in command.COMMANDS else None) == subcommand]
    assert subcommand is None or f"\n  {subcommand} " in command.HELP
    if subcommand is not None and importlib.util.find_spec(command.COMMANDS[subcommand]) is None:
        monkeypatch.setitem(command.COMMANDS, subcommand, "corvella.pfnc.pixels._no_such_command")
        assert command.main(example) == 2 and capsys.readouterr().err == f"the {subcommand} command is not installed\n"
        pytest.skip(f"the {subcommand} command is not installed")
    monkeypatch.chdir(tmp_path)
    if "--size" in example:  # a raw dump: one frame of zeros of the format and size the example names
        width, height = map(int, example[example.index("--size") + 1].split("x"))
        bits = PixelFormat.from_name(example[example.index("--format") + 1]).bits_per_pixel
        (tmp_path / example[1]).write_bytes(bytes(int(width * height * bits) // 8))
    assert command.main(example) == 0, capsys.readouterr().err
