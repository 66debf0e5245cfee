"""Compiles the reference model with Cython into the package ``pfnc_cython``, cached under build/bench/."""

from __future__ import annotations

import hashlib
import importlib.util
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODEL = ROOT / "reference" / "pfnc_model"
BUILD = ROOT / "build" / "bench"
PACKAGE = "pfnc_cython"

# What setuptools would pass for an extension (the interpreter's own CFLAGS
# carry -O2), minus -g, which only slows the compile down.
RELEASE_FLAGS = ("-O2",)
# For the smoke test: compiles in a fraction of the time.
QUICK_FLAGS = ("-O0",)


class Unavailable(Exception):
    """Cython or a C compiler is missing, or the model does not compile."""


def cython_command() -> list[str]:
    if shutil.which("cython3"):
        return ["cython3"]
    if importlib.util.find_spec("Cython") is not None:
        return [sys.executable, "-m", "cython"]
    raise Unavailable("neither cython3 nor the Cython package is installed")


def cython_version(command: list[str]) -> str:
    result = subprocess.run([*command, "--version"], capture_output=True, text=True)
    # Older releases print the version on stderr.
    text = (result.stdout + result.stderr).strip()
    if result.returncode != 0 or not text:
        raise Unavailable(f"{shlex.join(command)} --version failed")
    return text.split()[-1]


def compiler_command(flags: tuple[str, ...]) -> list[str]:
    link = shlex.split(sysconfig.get_config_var("LDSHARED") or "")
    if not link or not shutil.which(link[0]):
        raise Unavailable("no C compiler (LDSHARED) for extension modules")
    # LDSHARED ends with its own -O2; ours come after it and win.
    cflags = [f for f in shlex.split(sysconfig.get_config_var("CFLAGS") or "") if not f.startswith(("-O", "-g"))]
    include = sysconfig.get_path("include")
    if not (Path(include) / "Python.h").exists():
        raise Unavailable(f"Python.h not found in {include}")
    return [*link, *cflags, sysconfig.get_config_var("CCSHARED") or "-fPIC", *flags, f"-I{include}"]


def model_modules() -> list[Path]:
    return sorted(p for p in MODEL.glob("*.py") if p.name != "__init__.py")


def cache_key(version: str, flags: tuple[str, ...]) -> str:
    digest = hashlib.sha256()
    for part in (version, sys.version, sysconfig.get_config_var("EXT_SUFFIX"), *flags):
        digest.update(str(part).encode() + b"\0")
    for path in sorted(MODEL.glob("*.py")):
        digest.update(path.name.encode() + b"\0" + path.read_bytes() + b"\0")
    return digest.hexdigest()[:16]


def run(command: list[str], cwd: Path) -> subprocess.Popen:
    return subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def finish(processes: list[tuple[str, subprocess.Popen]]) -> None:
    failed = []
    for what, process in processes:
        output, _ = process.communicate()
        if process.returncode != 0:
            failed.append(f"{what}:\n{output}")
    if failed:
        raise Unavailable("\n".join(failed))


def compile_into(directory: Path, flags: tuple[str, ...]) -> None:
    """Translate and compile every model module into directory/pfnc_cython."""
    package = directory / PACKAGE
    package.mkdir()
    shutil.copy(MODEL / "__init__.py", package / "__init__.py")
    sources = [package / p.name for p in model_modules()]
    for source, original in zip(sources, model_modules()):
        shutil.copy(original, source)
    # One cython3 run for all modules: most of its time is start-up. The
    # package directory makes the modules' names pfnc_cython.<module>.
    finish([("cython", run([*cython_command(), "-3", *(str(s.relative_to(directory)) for s in sources)],
                           directory))])
    compiler = compiler_command(flags)
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    jobs = max(1, os.cpu_count() or 1)
    pending = list(sources)
    while pending:
        batch, pending = pending[:jobs], pending[jobs:]
        finish([(s.name, run([*compiler, str(s.with_suffix(".c")), "-o", str(s.with_suffix(suffix))], directory))
                for s in batch])
    # Only the compiled modules stay, so nothing can be imported from source.
    for source in sources:
        source.unlink()
        source.with_suffix(".c").unlink()


def build(quick: bool = False) -> tuple[Path, str]:
    """Return (directory to put on sys.path, Cython version); compiles only when the model changed."""
    flags = QUICK_FLAGS if quick else RELEASE_FLAGS
    version = cython_version(cython_command())
    target = BUILD / f"cython-{cache_key(version, flags)}"
    if not (target / PACKAGE / "__init__.py").exists():
        BUILD.mkdir(parents=True, exist_ok=True)
        scratch = Path(tempfile.mkdtemp(prefix="cython-tmp-", dir=BUILD))
        try:
            compile_into(scratch, flags)
            try:
                scratch.rename(target)
            except OSError:
                if not target.exists():  # not a concurrent build that finished first
                    raise
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
    return target, version


def load(quick: bool = False):
    """Build if needed and import pfnc_cython; returns (package, Cython version)."""
    directory, version = build(quick)
    if str(directory) not in sys.path:
        sys.path.insert(0, str(directory))
    import pfnc_cython

    for name in ("widths", "registry", "scalars", "layouts"):
        module = importlib.import_module(f"{PACKAGE}.{name}")
        if not module.__file__.endswith(sysconfig.get_config_var("EXT_SUFFIX")):
            raise Unavailable(f"{module.__name__} was not imported from its compiled module")
    return pfnc_cython, version
