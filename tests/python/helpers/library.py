"""The recording fake of the controller's command library, the check of what
it recorded (`expect`), motors wired to it and behaviour for it: an object
dictionary that keeps what is written, a position counter and a stored
position profile."""
import ctypes
from itertools import zip_longest

from . import paths  # noqa: F401 (sys.path set-up)
import vostelmotor  # noqa: E402


class Call:
    """One recorded command: its name and the arguments exactly as passed."""

    def __init__(self, name, args):
        self.name = name
        self.args = args

    def values(self):
        """Arguments made comparable: cells by value, references by their cell's value."""
        out = []
        for a in self.args:
            if hasattr(a, "_obj"):
                out.append(("ref", a._obj.value if hasattr(a._obj, "value") else a._obj))
            elif isinstance(a, ctypes._SimpleCData):
                out.append(a.value)
            else:
                out.append(a)
        return out

    def __repr__(self):
        return "Call(%s, %r)" % (self.name, self.values())


class FakeLibrary:
    """Stands in for the command library. Every attribute is a command that
    records its call. `results[name]` gives the return value (default 1),
    `fill[name]` a function(args) run before returning (to fill out-cells),
    and a failing command writes `error_codes[name]` into the error cell."""

    def __init__(self):
        self.calls = []
        self.results = {}
        self.fill = {}
        self.error_codes = {}
        self.error_texts = {}

    def __getattr__(self, name):
        if name.startswith("__"):
            raise AttributeError(name)

        def command(*args):
            if name == "VCS_GetErrorInfo":
                code, buf, size = args
                text = self.error_texts.get(code, "Fake error %d" % code).encode("utf-8")
                ctypes.memmove(buf, text, min(len(text), size.value - 1))
                return 1
            self.calls.append(Call(name, args))
            if name in self.fill:
                self.fill[name](args)
            result = self.results.get(name, 1)
            if callable(result):
                result = result(args)
            if result == 0 and args and hasattr(args[-1], "_obj"):
                args[-1]._obj.value = self.error_codes.get(name, 0x10000001)
            return result

        return command

    def names(self):
        return [c.name for c in self.calls]

    def called(self, name):
        return [c for c in self.calls if c.name == name]


def expect(lib, expected):
    """Asserts that the calls `lib` recorded since the last check are exactly
    `expected`, in order, none missing and none left over, and consumes them,
    so that a test can check a sequence in steps. Each item is
    (name, [argument values as Call.values() gives them]); unittest.mock.ANY
    stands for a value the test does not pin. A reference shows its cell's
    value at the time of the check, not at the time of the call."""
    seen = [None if c is None else (c.name, c.values())
            for c, _ in zip_longest(lib.calls, expected)]
    del lib.calls[:]
    assert seen == [(name, list(values)) for name, values in expected]


def entry_call(name, index, sub, value, handle=7, nbytes=4, error=0):
    """The expected VCS_GetObject / VCS_SetObject call on entry (index, sub) of
    four bytes, its cell holding `value`, as `expect` takes it."""
    return (name, [handle, 0, index, sub, ("ref", value), 4, ("ref", nbytes), ("ref", error)])


def make_motor(lib):
    """A motor whose command library is `lib` (the loader overridden in a subclass)."""

    class FakeLoadedMotor(vostelmotor.motor):
        def load_epos_dll(self, package_dir=None):
            return lib

    return FakeLoadedMotor()


# Object-dictionary entries of the calibration: the coefficient and range
# words (subindices 1 to 4), and the stored model position.
CALIBRATION_INDEX = 0x200C
HOME_INDEX = 0x2081

# Factory calibration of the simulated controller (the values its words encode;
# decoded they differ in the last digits, e.g. C reads back as 779.999232).
A_FACTORY = 1e-11
B_FACTORY = -0.0005
C_FACTORY = 780.0


def connect_fake(m, A=A_FACTORY, B=B_FACTORY, C=C_FACTORY, lo=760.0, hi=800.0, encoder=512, offset=0):
    """Puts a motor into the connected state without going through connect()."""
    m._motor__connection = True
    m._motor__keyhandle = 7
    m._motor__CoeffA, m._motor__CoeffB, m._motor__CoeffC = A, B, C
    m._motor__minWavelength, m._motor__maxWavelength = lo, hi
    m._motor__BallScrew = (B > 0) - (B < 0)
    m._motor__pEncoderResolution = ctypes.c_uint32(encoder)
    m._motor__offset = offset
    return m


def keep_entries(lib, entries=None):
    """VCS_GetObject / VCS_SetObject read and write `entries`, a dict
    {(index, subindex): value}; unknown entries read as untouched cells."""
    entries = {} if entries is None else entries

    def get(args):
        _kh, _node, index, sub, ref, size, nbytes, _err = args
        if (index, sub) in entries:
            ref._obj.value = entries[(index, sub)]
            nbytes._obj.value = size

    def set_(args):
        _kh, _node, index, sub, ref, size, nbytes, _err = args
        entries[(index, sub)] = ref._obj.value
        nbytes._obj.value = size

    lib.fill["VCS_GetObject"] = get
    lib.fill["VCS_SetObject"] = set_
    return entries


def answer(lib, name, *values):
    """`name` writes `values` into its out-cells, the arguments after the
    handle and the node."""

    def fill(args):
        for ref, value in zip(args[2:], values):
            ref._obj.value = value

    lib.fill[name] = fill


def report_position(lib, position):
    """VCS_GetPositionIs reports `position` (an int, or a list served in turn)."""
    served = list(position) if isinstance(position, list) else None

    def fill(args):
        args[2]._obj.value = served.pop(0) if served is not None else position

    lib.fill["VCS_GetPositionIs"] = fill


def keep_profile(lib):
    """VCS_SetPositionProfile stores the profile that VCS_GetPositionProfile reports."""
    profile = [0, 0, 0]

    def set_(args):
        profile[:] = [a.value for a in args[2:5]]

    def get(args):
        for ref, v in zip(args[2:5], profile):
            ref._obj.value = v

    lib.fill["VCS_SetPositionProfile"] = set_
    lib.fill["VCS_GetPositionProfile"] = get
    return profile


def fail_when(lib, name, predicate):
    """`name` returns 0 (a failure) for calls whose arguments satisfy `predicate`."""
    lib.results[name] = lambda args: 0 if predicate(args) else 1
