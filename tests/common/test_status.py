"""The status table: crv_status_message in every module against the rows of
status.def, every code the kernel headers document and every code the suite
provokes is a row, and the rows follow the family convention."""

import pathlib
import re

import numpy as np
import pytest

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi._tables import STATUSES
from Corvane._ckernels.ffi.status import MESSAGES, STATUS

KERNELS = pathlib.Path(__file__).resolve().parents[2] / "Corvane" / "_ckernels"
CODES = {code for _, code, _ in STATUSES}


def message(lib, code):
    text = lib.crv_status_message(code)
    return None if text is None else text.decode()


@pytest.mark.parametrize("name,code,text", STATUSES, ids=[row[0] for row in STATUSES])
def test_message_of_every_row_in_every_module(name, code, text):
    for module in ffi.MODULES:
        assert message(ffi.load(module), code) == text, (module, name)


@pytest.mark.parametrize("code", [2, 4, -1, -100, -104, -303, -512, -1006, -1150, -1800,
                                  2**40, -(2**63), 2**63 - 1])
def test_unknown_codes(any_lib, code):
    assert message(any_lib, code) == "unknown status"


def test_rows_follow_the_family_convention():
    names = [name for name, _, _ in STATUSES]
    assert len(set(names)) == len(names), "a name appears twice"
    assert len(CODES) == len(STATUSES), "a code appears twice"
    assert STATUS["CRV_SUCCESS"] == 0 and STATUS["CRV_STAT_CHOL_FAILED"] == 1
    families = {1, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 15, 16, 17}
    for name, code, text in STATUSES:
        assert text and text != "unknown status", name
        if code > 1:
            pytest.fail(f"{name}: positive code {code}")
        if code < 0:
            assert -code // 100 in families, f"{name}: {code} outside the component families"


def documented_codes():
    """{code: header} of every status code the kernel headers mention."""
    found = {}
    for header in sorted(KERNELS.rglob("*.h")):
        text = header.read_text()
        for m in re.finditer(r"(?<![\w.^])-(\d{3,4})\b", text):
            found.setdefault(-int(m.group(1)), header.name)
    return found


@pytest.mark.skipif(not KERNELS.is_dir(), reason="kernel sources not beside the tests")
def test_documented_codes_are_rows():
    documented = documented_codes()
    assert len(documented) > 30, "the header walk found too few codes"
    missing = {code: h for code, h in documented.items() if code not in CODES}
    assert not missing, f"documented but not in status.def: {missing}"
    undocumented = {c for c in CODES if c < 0} - set(documented)
    assert not undocumented, f"rows no header documents: {sorted(undocumented)}"


def test_provoked_statuses_are_in_the_table(provoked_statuses):
    # Runs after every other test (see conftest.py); provoke one code here so
    # the recording itself is checked even when this test runs alone.
    lib = ffi.load("regression")
    assert lib.crv_chol(np.zeros((2, 2)), np.empty((2, 2)), 2, 0.0) == STATUS["CRV_CHOL_NOT_PD"]
    assert provoked_statuses.get(STATUS["CRV_CHOL_NOT_PD"]) == "crv_chol"
    unknown = {code: k for code, k in provoked_statuses.items() if code not in MESSAGES}
    assert not unknown, f"kernels returned codes without a row: {unknown}"
