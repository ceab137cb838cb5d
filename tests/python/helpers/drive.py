"""A small drive behind the recording fake library, for tests of moves.

`FakeDrive` keeps a controller position that follows `VCS_MoveToPosition`
(relative moves), answers the movement state after a given number of polls
and reports scripted digital-input words. `wire_model` puts a linear
wavelength model and an in-memory home-position entry on a motor instance,
standing in for the conversion and object-dictionary methods."""
import ctypes

import vostelmotor

from .library import B_FACTORY, HOME_INDEX, connect_fake


class FakeDrive:
    def __init__(self, lib, position=0, polls_per_move=1):
        self.lib = lib
        self.position = position
        self.polls_per_move = polls_per_move
        self.polls = 0
        self.moves = []
        self.inputs = []  # digital-input words, one per read; 0 when used up
        self.current = 0
        lib.fill["VCS_MoveToPosition"] = self._move
        lib.fill["VCS_GetMovementState"] = self._state
        lib.fill["VCS_GetAllDigitalInputs"] = self._inputs
        lib.fill["VCS_GetPositionIs"] = self._position
        lib.fill["VCS_GetCurrentIs"] = self._current

    def _move(self, args):
        steps = args[2]
        self.moves.append(steps)
        self.position += steps
        self.polls = 0

    def _state(self, args):
        self.polls += 1
        args[2]._obj.value = int(self.polls >= self.polls_per_move)

    def _inputs(self, args):
        args[2]._obj.value = self.inputs.pop(0) if self.inputs else 0

    def _position(self, args):
        args[2]._obj.value = self.position

    def _current(self, args):
        args[2]._obj.value = self.current


class Model:
    """Linear stand-in for the wavelength model: wl = C + B * position."""

    def __init__(self, m, B=-0.0005, C=780.0, home=0):
        self.m = m
        self.B, self.C = B, C
        self.home = home
        self.writes = []  # (index, subindex, value type, value)

    def home_position(self):
        if not self.m._motor__connection:
            raise ConnectionError("Motor not connected")
        return ctypes.c_int(self.home)

    def set_index_value(self, index, sub, value):
        if not self.m._motor__connection:
            raise ConnectionError("Motor not connected")
        self.writes.append((index, sub, type(value), value.value))
        if (index, sub) == (HOME_INDEX, 0):
            self.home = value.value
        return 1

    def to_position(self, wl):
        return int(round((wl - self.C) / self.B))

    def to_wavelength(self, position):
        return self.C + self.B * position

    def clamp(self, wl):
        lo, hi = self.m._motor__minWavelength, self.m._motor__maxWavelength
        return min(max(wl, lo), hi)

    def home_writes(self):
        return [w[3] for w in self.writes if w[:2] == (HOME_INDEX, 0)]


def wire_model(m, **kwargs):
    """Puts a `Model` in place of the model and home-position methods of `m`."""
    model = Model(m, **kwargs)
    m._motor__HomePosition = model.home_position
    m._motor__SetIndexValue = model.set_index_value
    m._motor__wavelengthToMotorposition = model.to_position
    m._motor__motorpositionToWavelength = model.to_wavelength
    m._motor__wlSafetyCheck = model.clamp
    m._motor__PositionSafetyCheck = lambda steps: int(steps)
    return model


class Sleeps:
    """Records the pauses instead of waiting; `on_call(n)` runs at the n-th pause."""

    def __init__(self, monkeypatch, on_call=None):
        self.seconds = []
        self.on_call = on_call
        monkeypatch.setattr(vostelmotor, "sleep", self)

    def __call__(self, s):
        self.seconds.append(s)
        if self.on_call:
            self.on_call(len(self.seconds))


def recovered_by_window(m):
    """A stand-in for the limit-switch recovery: leaves what the calibration
    window leaves behind, a closed connection and a pending stop."""

    def recovery():
        m._motor__connection = False
        m._motor__stop = True

    return recovery


def on_drive(m, lib, monkeypatch, B=B_FACTORY, offset=0, **drive):
    """`m` connected with a `FakeDrive` (built with `drive`) behind `lib`, the
    linear model of slope B in place and the pauses recorded:
    (drive, model, sleeps)."""
    connect_fake(m, B=B, offset=offset)
    return FakeDrive(lib, **drive), wire_model(m, B=B), Sleeps(monkeypatch)


def position_read(position, handle=7):
    """The expected VCS_GetPositionIs call that read `position`."""
    return ("VCS_GetPositionIs", [handle, 0, ("ref", position), ("ref", 0)])


def leg(steps, landed, handle=7):
    """The expected calls of one relative move of `steps` that the drive
    reports done at the first poll, ending on `landed`: the move, one pass
    of the supervision (movement state, limit switches) and the position
    read that stores where it stands."""
    return [("VCS_MoveToPosition", [handle, 0, steps, 0, 1, ("ref", 0)]),
            ("VCS_GetMovementState", [handle, 0, ("ref", 1), ("ref", 0)]),
            ("VCS_GetAllDigitalInputs", [handle, 0, ("ref", 0), ("ref", 0)]),
            position_read(landed, handle)]
