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


@pytest.mark.parametrize("name", corvella.pfnc.__all__)
def test_help_shows_every_public_name_with_its_one_line_doc(name):
    value = getattr(corvella.pfnc, name)
    first = inspect.getdoc(value).splitlines()[0]
    assert first.strip() and first.endswith(".") and len(first) <= 100
    assert name in dir(corvella.pfnc) and first in SHOWN
    shown_as = f"class {name}(" if inspect.isclass(value) else f"{name}("
    assert any(line.strip().startswith(shown_as) for line in SHOWN.splitlines())


def test_type_checkers_see_the_same_names():
    tree = ast.parse(pathlib.Path(corvella.pfnc.__file__).read_text())
    checked = next(node for node in tree.body if isinstance(node, ast.If) and ast.unparse(node.test) == "TYPE_CHECKING")
    imported = {alias.name for node in checked.body for alias in node.names}
    assert imported == set(corvella.pfnc.__all__)


def test_an_unknown_name_is_an_attribute_error():
    with pytest.raises(AttributeError, match="module 'corvella.pfnc' has no attribute 'Decode'"):
        corvella.pfnc.Decode  # noqa: B018
    assert "_PUBLIC" not in SHOWN and "__getattr__" not in SHOWN


def run(*argv):
    return subprocess.run([sys.executable, "-m", "corvella.pfnc", *argv], capture_output=True, text=True, check=False)


HELP = run("--help")


@pytest.mark.parametrize("flag", ["--help", "-h"])
def test_help_goes_to_stdout_and_succeeds(flag):
    shown = run(flag) if flag != "--help" else HELP
    assert (shown.returncode, shown.stdout, shown.stderr) == (0, command.HELP + "\n", "")


def test_no_argument_shows_the_usage_and_fails():
    shown = run()
    assert (shown.returncode, shown.stdout, shown.stderr) == (2, "", command.USAGE + "\n")


def examples(subcommand):
    """The example command lines of --help for a subcommand (None: reading names)."""
    found = []
    for line in HELP.stdout.partition("commands:")[2].splitlines():
        if line.strip().startswith("python -m corvella.pfnc "):
            arguments = shlex.split(line)[3:]
            if (arguments[0] if arguments[0] in command.COMMANDS else None) == subcommand:
                found.append(arguments)
    return found


@pytest.mark.parametrize("subcommand", [None, *command.COMMANDS])
def test_every_command_is_described_with_an_example_that_runs(subcommand, tmp_path, monkeypatch, capsys):
    assert subcommand is None or f"\n  {subcommand} " in HELP.stdout
    (example,) = examples(subcommand)
    if subcommand is not None and importlib.util.find_spec(command.COMMANDS[subcommand]) is None:
        pytest.skip(f"the {subcommand} command is not installed")
    monkeypatch.chdir(tmp_path)
    # The convert example reads a raw dump: one frame of zeros of the format and size it names.
    if "--size" in example:
        width, height = map(int, example[example.index("--size") + 1].split("x"))
        bits = PixelFormat.from_name(example[example.index("--format") + 1]).bits_per_pixel
        (tmp_path / example[1]).write_bytes(bytes(int(width * height * bits) // 8))
    assert command.main(example) == 0, capsys.readouterr().err


def test_a_command_that_is_not_installed_says_so(monkeypatch, capsys):
    monkeypatch.setitem(command.COMMANDS, "convert", "corvella.pfnc.pixels._no_such_command")
    assert command.main(["convert", "frames.raw"]) == 2
    assert capsys.readouterr().err == "the convert command is not installed\n"
