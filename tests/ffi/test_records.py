"""Every ctypes record of the mirror against the layout the compiler gave the
C record, as each library reports it (crv_record_layout): the same size, the
same fields, each at the same offset with the same size; and every record a
library reports has a mirror."""

import ctypes

import pytest

from Corvane._ckernels import ffi

LIBRARIES = {name: (lambda name=name: ffi.load(name), ffi.families(name)) for name in ffi.MODULES}
LIBRARIES["models"] = (ffi.load_models, (ffi.models,))


def c_layout(library):
    """{record: (size, {field: (offset, size)})} as the library reports it."""
    lib = LIBRARIES[library][0]()
    count = ctypes.c_int64(-1)
    rows = lib.crv_record_layout(ctypes.byref(count))
    layout = {}
    for row in rows[:count.value]:
        record = row.record.decode()
        if row.field is None:
            assert record not in layout, f"{record} reported twice"
            layout[record] = (row.size, {})
        else:
            layout[record][1][row.field.decode()] = (row.offset, row.size)
    return layout


def mirrors(library):
    found = {}
    for family in LIBRARIES[library][1]:
        found.update(getattr(family, "RECORDS", {}))  # some families have none
    return found


CASES = [(library, name) for library in LIBRARIES for name in sorted(mirrors(library))]


@pytest.mark.parametrize("library,name", CASES, ids=[f"{lib}-{name}" for lib, name in CASES])
def test_record_mirror_matches_the_c_layout(library, name):
    record = mirrors(library)[name]
    layout = c_layout(library)
    assert name in layout, f"{library} does not report {name}"
    size, fields = layout[name]
    assert ctypes.sizeof(record) == size, f"sizeof: ctypes {ctypes.sizeof(record)}, C {size}"
    mirrored = [field[0] for field in record._fields_]
    assert sorted(mirrored) == sorted(fields), "the ctypes fields differ from the C fields"
    for field in mirrored:
        descriptor = getattr(record, field)
        assert (descriptor.offset, descriptor.size) == fields[field], (
            f"{field}: ctypes (offset, size) {(descriptor.offset, descriptor.size)}, "
            f"C {fields[field]}")


@pytest.mark.parametrize("library", sorted(LIBRARIES))
def test_every_reported_record_has_a_mirror(library):
    missing = sorted(set(c_layout(library)) - set(mirrors(library)))
    assert not missing, f"{library} reports records without a ctypes mirror: {missing}"
