"""The kernel library as a C user gets it: the headers installed under
Corvane.get_include(), each compiling on its own as C11, and the example
program of examples/c/ compiled against them, linked to an extension module
and run, its results checked against NumPy and the status table."""

import importlib.util
import os
import shutil
import subprocess
import sysconfig
from pathlib import Path

import numpy as np
import pytest

import Corvane
from Corvane._ckernels.ffi import status

REPO = Path(__file__).resolve().parents[2]
KERNELS = REPO / "Corvane" / "_ckernels"
EXAMPLE = REPO / "examples" / "c" / "chol.c"
INSTALLED = Path(Corvane.get_include()) / "corvane"
CC = shutil.which("cc") or shutil.which("gcc")

# An editable install imports the package from the source tree, where the
# kernel headers sit beside their sources; a regular install (CI's) has them.
needs_installed_headers = pytest.mark.skipif(
    not (INSTALLED / "linalg.h").is_file(),
    reason="kernel headers are installed by a regular (non-editable) install")
needs_cc = pytest.mark.skipif(CC is None, reason="no C compiler")

# Under CI's sanitizer run (the sanitizer runtimes preloaded) the modules
# reference the runtimes' symbols: the example is built with them too.
SANITIZE = (["-fsanitize=address,undefined", "-fno-sanitize-recover=all"]
            if "libasan" in os.environ.get("LD_PRELOAD", "") else [])

SOURCE_HEADERS = sorted(p for p in KERNELS.rglob("*") if p.suffix in (".h", ".def"))


@needs_installed_headers
def test_every_kernel_header_is_installed_as_it_is_in_the_source():
    names = [p.name for p in SOURCE_HEADERS]
    assert len(names) == len(set(names)), "a flat install needs unique header names"
    for header in SOURCE_HEADERS:
        installed = INSTALLED / header.name
        assert installed.is_file(), f"{header.relative_to(KERNELS)} is not installed"
        assert installed.read_bytes() == header.read_bytes()


@needs_installed_headers
@needs_cc
@pytest.mark.parametrize("name", [p.name for p in SOURCE_HEADERS if p.suffix == ".h"])
def test_installed_header_compiles_alone_as_c(name, tmp_path):
    source = tmp_path / "one.c"
    source.write_text(f"#include <corvane/{name}>\nint main(void) {{ return 0; }}\n")
    done = subprocess.run(
        [CC, "-std=c11", "-Wall", "-Wextra", "-Werror", "-fsyntax-only",
         f"-I{Corvane.get_include()}", f"-I{np.get_include()}", str(source)],
        capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


def _libpython():
    """(folder, link name) of the shared libpython the modules' symbols come
    from, or None for an interpreter without one."""
    if not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        return None
    libdir = sysconfig.get_config_var("LIBDIR")
    name = f"python{sysconfig.get_config_var('LDVERSION')}"
    if not (Path(libdir) / f"lib{name}.so").exists():
        return None
    return libdir, name


@needs_installed_headers
@needs_cc
def test_c_example_calls_the_kernels(tmp_path):
    libpython = _libpython()
    if libpython is None:
        pytest.skip("the interpreter has no shared libpython to link against")
    libdir, pyname = libpython
    module = importlib.util.find_spec("Corvane._ckernels.transforms._transforms").origin
    exe = tmp_path / "chol"
    subprocess.run(
        [CC, "-std=c11", "-Wall", "-Wextra", "-Werror", *SANITIZE, f"-I{Corvane.get_include()}",
         str(EXAMPLE), module, f"-L{libdir}", f"-l{pyname}",
         f"-Wl,-rpath,{os.path.dirname(module)}", f"-Wl,-rpath,{libdir}", "-o", str(exe)],
        check=True, capture_output=True, text=True)
    out = subprocess.run([str(exe)], check=True, capture_output=True, text=True).stdout
    lines = out.splitlines()

    A = np.array([[4.0, 2.0, 0.4], [2.0, 3.0, 0.5], [0.4, 0.5, 2.0]])
    b = np.array([1.0, -2.0, 0.5])
    assert lines[0] == "L"
    L = np.array([[float(v) for v in line.split()] for line in lines[1:4]])
    np.testing.assert_allclose(L, np.linalg.cholesky(A), rtol=1e-14, atol=1e-15)
    assert np.all(np.triu(L, 1) == 0.0)
    assert lines[4] == "x"
    np.testing.assert_allclose([float(v) for v in lines[5].split()], np.linalg.solve(A, b),
                               rtol=1e-13)
    code = status.STATUS["CRV_CHOL_NOT_PD"]
    assert lines[6] == f"status {code} (CRV_CHOL_NOT_PD)"
    assert lines[7] == f"message {status.MESSAGES[code]}"
