"""The check the other tests rely on: expect() passes exactly the recorded
sequence and consumes it, and fails on anything missing, left over or sent
with other arguments."""
import ctypes
from unittest.mock import ANY

import pytest

from helpers.library import FakeLibrary, expect


def recorded():
    lib = FakeLibrary()
    lib.VCS_SetEnableState(7, ctypes.c_ushort(0), ctypes.byref(ctypes.c_uint32(0)))
    lib.VCS_MoveToPosition(7, ctypes.c_ushort(0), -40, 0, 1, ctypes.byref(ctypes.c_uint32(0)))
    return lib


ENABLE = ("VCS_SetEnableState", [7, 0, ("ref", 0)])
MOVE = ("VCS_MoveToPosition", [7, 0, -40, 0, 1, ("ref", 0)])


@pytest.mark.parametrize("expected", [
    [ENABLE],                                                            # a call left over
    [ENABLE, MOVE, ENABLE],                                              # a call missing
    [MOVE, ENABLE],                                                      # another order
    [ENABLE, ("VCS_MoveToPosition", [7, 0, 40, 0, 1, ("ref", 0)])],      # another argument
    [ENABLE, ("VCS_MoveToPosition", [7, 0, -40, 0, 1])],                 # an argument missing
    [],
])
def test_anything_but_the_recorded_sequence_fails(expected):
    with pytest.raises(AssertionError):
        expect(recorded(), expected)


def test_the_recorded_sequence_passes_and_is_consumed():
    lib = recorded()
    expect(lib, [ENABLE, ("VCS_MoveToPosition", [7, 0, -40, ANY, 1, ANY])])
    assert lib.calls == []
    lib.VCS_ClearFault(7, ctypes.c_ushort(0), ctypes.byref(ctypes.c_uint32(0)))
    expect(lib, [("VCS_ClearFault", [7, 0, ("ref", 0)])])
