"""The declared signatures against the C headers: as many arguments as the
prototype, each array argument named as in the header and declared written
(`Out`) exactly when its pointee is not const, so a read-only array can never
reach a pointer the kernel writes through."""

import pytest

from Corvane._ckernels import ffi

from c_prototypes import COMPILER, prototypes

pytestmark = pytest.mark.skipif(COMPILER is None, reason="no C++ compiler to read the headers")
PROTOTYPES = prototypes() if COMPILER else {}

DECLARED = {}
for _module in sorted(ffi.MODULES):
    for _family in ffi.families(_module):
        DECLARED.update(_family.SIGNATURES)


def test_headers_are_read():
    # The parser finds the prototypes it is meant to compare against.
    assert {"crv_chol", "kf_hot_loop", "crv_mc_run", "crv_ridge_grid_search"} <= set(PROTOTYPES)


def test_every_declared_kernel_is_in_a_header():
    missing = sorted(name for name in DECLARED if name not in PROTOTYPES)
    assert not missing, f"declared without a prototype in a header: {missing}"


@pytest.mark.parametrize("name", sorted(set(DECLARED) & set(PROTOTYPES)))
def test_signature_matches_the_header(name):
    _, argtypes = DECLARED[name]
    params = PROTOTYPES[name]
    assert len(argtypes) == len(params), f"{len(argtypes)} argtypes for {len(params)} parameters"
    for position, (argtype, (param, depth, const)) in enumerate(zip(argtypes, params), 1):
        if not isinstance(argtype, ffi.ArrayArg):
            continue
        where = f"argument {position} ({param})"
        assert depth == 1, f"{where}: an array argument for a non-pointer parameter"
        assert argtype.name == param, f"{where} is declared as {argtype.name!r}"
        assert argtype.writes == (not const), (
            f"{where}: {'const' if const else 'written'} in the header, declared "
            f"{'Out' if argtype.writes else 'In'}")
