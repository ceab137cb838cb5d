"""The module as Python sees it: names bound by the import, the class shape,
signatures and docstrings, and the state of a new motor."""
import gc
import ctypes
import inspect
import math
import os
import shutil
import subprocess
import sys
import time
import tkinter
import tkinter.filedialog
import tkinter.messagebox

import numpy
import pytest

import vostelmotor
from helpers.paths import BUILD
from helpers.library import FakeLibrary, connect_fake, make_motor

# The module's names as the import bound them, taken when the tests are
# collected, before any test runs: a test that removes a name and puts it
# back moves it to the end, and tests may run in any order.
NAMES_AT_IMPORT = [k for k in vars(vostelmotor) if not k.startswith("__")]

METHODS = [
    ("__init__", "(self)", False),
    ("connect", "(self, usb='USB0')", True),
    ("disconnect", "(self)", True),
    ("_motor__GetIndexValue", "(self, ObjectIndex, ObjectSubIndex, pData)", False),
    ("_motor__SetIndexValue", "(self, ObjectIndex, ObjectSubIndex, Value)", False),
    ("_motor__ReadMotorCoefficients", "(self)", False),
    ("_motor__SetMotorCoefficients", "(self, A, B, C, maxWavelength, minWavelength)", False),
    ("_motor__readWavelengthMinMax", "(self)", False),
    ("getWavelengthMinMax", "(self)", True),
    ("_motor__DCMotorParameter", "(self)", False),
    ("setVelocityParameter", "(self, velocity, acceleration, deceleration)", True),
    ("getVelocityParameter", "(self)", True),
    ("_motor__convertMotorParameterToWavelength", "(self, pv, pa, pb)", True),
    ("_motor__HomePosition", "(self)", False),
    ("calibration", "(self, wavelength)", True),
    ("_motor__hexToFloatForCoefficients", "(self, Read)", False),
    ("_motor__coefficientsToHex", "(self, Coeff)", False),
    ("_motor__minmaxToHex", "(self, minWl, maxWl)", False),
    ("_motor__motorpositionToWavelength", "(self, Motorposition)", False),
    ("_motor__wavelengthToMotorposition", "(self, Wavelength)", False),
    ("_motor__wlSafetyCheck", "(self, wavelength)", False),
    ("_motor__PositionSafetyCheck", "(self, steps)", False),
    ("_motor__calculateOffset", "(self)", False),
    ("moveToWavelength", "(self, wavelength, highPrecision=0, trigger=0)", True),
    ("_motor__limitSwitch", "(self)", False),
    ("_motor__limitSwitchCalibrationWindow", "(self)", False),
    ("_motor__clearFault", "(self)", False),
    ("moveSteps", "(self, steps, trigger=0)", True),
    ("_motor__waittillmovementdone", "(self, trigger, pLimitSwitch)", False),
    ("stopMovement", "(self)", True),
    ("triggerParameter", "(self, intervalWidth)", True),
    ("_motor__activatePositionTrigger", "(self)", True),
    ("_motor__deactivatePositionTrigger", "(self)", True),
    ("reverseMotionTrigger", "(self)", True),
    ("_motor__activateTriggerOutput", "(self, triggerkind)", True),
    ("_motor__deactivateTriggerOutput", "(self, triggerkind)", True),
    ("getMoving", "(self)", True),
    ("getWavelength", "(self)", True),
    ("getCurrent", "(self)", True),
    ("generateSupportData", "(self)", True),
    ("_motor__dllCall", "(self, funcName, *args)", False),
    ("getMotorParamters", "(self)", True),
    ("_try_load", "(self, dll_path)", False),
    ("_prompt_for_dll_and_copy", "(self, target_dir)", True),
    ("load_epos_dll", "(self, package_dir=None)", True),
]


def test_import_binds_exactly_the_module_level_names_in_order():
    assert NAMES_AT_IMPORT == ["ct", "os", "np", "tk", "filedialog", "messagebox", "sleep", "frexp", "shutil", "motor"]
    assert vostelmotor.ct is ctypes and vostelmotor.os is os and vostelmotor.np is numpy
    assert vostelmotor.tk is tkinter and vostelmotor.filedialog is tkinter.filedialog
    assert vostelmotor.messagebox is tkinter.messagebox and vostelmotor.sleep is time.sleep
    assert vostelmotor.frexp is math.frexp and vostelmotor.shutil is shutil


def _import_with(prelude):
    # The module's folder goes after what the prelude put first: installed
    # from a wheel, it is site-packages, which holds the real numpy too.
    code = prelude + "\nimport sys; sys.path.insert(1, %r)\n" % BUILD + (
        "try:\n    import vostelmotor\nexcept ImportError as e:\n"
        "    print(repr(str(e)), type(e.__context__).__name__, str(e.__context__))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    return out.stdout.strip()


def test_missing_or_broken_numpy_gives_please_install_numpy_with_the_cause_attached(tmp_path):
    assert _import_with("import sys; sys.modules['numpy'] = None") == (
        "'please install numpy' ModuleNotFoundError import of numpy halted; None in sys.modules")
    broken = tmp_path / "numpy"
    broken.mkdir()
    (broken / "__init__.py").write_text("raise RuntimeError('half-installed numpy')\n")
    out = _import_with("import sys; sys.path.insert(0, %r)" % str(tmp_path))
    assert out == "'please install numpy' RuntimeError half-installed numpy"


def test_other_import_failures_propagate_unchanged():
    out = _import_with("import sys; sys.modules['tkinter'] = None")
    assert out.startswith("'import of tkinter halted")


def test_class_is_a_plain_class_with_exactly_its_functions_in_order():
    cls = vostelmotor.motor
    assert cls.__bases__ == (object,) and cls.__name__ == "motor"
    standard = {"__module__", "__qualname__", "__dict__", "__weakref__", "__doc__"}
    ours = [k for k in vars(cls) if k not in standard]
    assert ours == [name for name, _, _ in METHODS]
    assert cls.__module__ == "vostelmotor"


@pytest.mark.parametrize("key,signature,has_doc", METHODS)
def test_signatures_and_docstring_presence(key, signature, has_doc):
    fn = getattr(vostelmotor.motor, key)
    assert str(inspect.signature(fn)) == signature
    assert (fn.__doc__ is not None) == has_doc
    if key.startswith("_motor__"):
        assert fn.__name__ == key[len("_motor"):]


def test_fixed_docstrings():
    cls = vostelmotor.motor
    assert cls.connect.__doc__ == (
        "Tries to establish a connection to the Epos\n        \n        Parameters\n        ----------\n"
        "        usb: the usb port on which the connection should be established, default = 'USB0'\n\n"
        "        Returns True if successful\n\n        ")
    assert cls.disconnect.__doc__ == "Closes the Connection to the EPOS and stores all parameters\n        "
    assert cls.load_epos_dll.__doc__ == "Load the DLL if it exists, otherwise prompt the user once."
    assert cls._prompt_for_dll_and_copy.__doc__ == (
        "Show a GUI file picker to let the user select the DLL and copy it.")
    assert cls.generateSupportData.__doc__ == (
        "Asks the user for a file location to save support data and enables support data collection.")


def _plain_python_class():
    """The class's functions with the same signatures, written in Python."""
    lines = ["class motor:"]
    for key, signature, _ in METHODS:
        name = key[len("_motor"):] if key.startswith("_motor__") else key
        lines.append("    def %s%s: pass" % (name, signature))
    namespace = {}
    exec("\n".join(lines), namespace)
    return namespace["motor"]


PLAIN = _plain_python_class()


@pytest.mark.parametrize("key,args,kwargs", [
    ("connect", ("USB0", 1), {}),
    ("connect", (), {"port": "USB1"}),
    ("connect", (), {"usb": "USB0", "self": None}),
    ("moveSteps", (1,), {"steps": 2}),
    ("moveSteps", (), {}),
    ("setVelocityParameter", (1.0,), {}),
    ("moveToWavelength", (), {"highPrecision": 1, "trigger": 0}),
    ("disconnect", (1,), {}),
    ("_motor__SetMotorCoefficients", (1, 2), {"C": 3}),
    ("_motor__dllCall", (), {}),
    ("_motor__dllCall", ("VCS_GetPositionIs",), {"args": ()}),
    ("_prompt_for_dll_and_copy", (None, None), {}),
])
def test_wrong_calls_raise_the_running_pythons_typeerror(m, key, args, kwargs):
    with pytest.raises(TypeError) as expected:
        getattr(PLAIN(), key)(*args, **kwargs)
    with pytest.raises(TypeError) as raised:
        getattr(m, key)(*args, **kwargs)
    assert str(raised.value) == str(expected.value)


def test_wrong_call_of_the_class_itself():
    with pytest.raises(TypeError) as expected:
        PLAIN(1)
    with pytest.raises(TypeError) as raised:
        vostelmotor.motor(1)
    assert str(raised.value) == str(expected.value)


@pytest.mark.parametrize("key", [key for key, _, _ in METHODS])
def test_qualified_names(key):
    assert getattr(vostelmotor.motor, key).__qualname__ == getattr(PLAIN, key).__qualname__


EXPECTED_STATE = [
    ("_motor__minVelocityMP", float, 0.0), ("_motor__maxVelocityMP", float, 4900.0),
    ("_motor__minAccMP", float, 0.01), ("_motor__maxAccMP", float, 4900.0),
    ("DLL_FILENAME", str, "EposCMD64.dll"), ("eposdll", FakeLibrary, None),
    ("_motor__keyhandle", int, 0), ("_motor__NodeId", ctypes.c_ushort, 0),
    ("_motor__pErrorCode", ctypes.c_uint32, 0), ("_motor__connection", bool, False),
    ("_motor__CoeffA", float, 0.0), ("_motor__CoeffB", float, 0.0), ("_motor__CoeffC", float, 0.0),
    ("_motor__pm", bool, True), ("_motor__BallScrew", int, 0),
    ("_motor__pEncoderResolution", ctypes.c_uint32, 0), ("_motor__pInvertedPolarity", ctypes.c_int, 0),
    ("_motor__maxWavelength", float, 0.0), ("_motor__minWavelength", float, 0.0),
    ("_motor__offset", int, 0), ("_motor__QCL", bool, False),
    ("_motor__pPositionIs", None, 0),
    ("_motor__vMP", ctypes.c_uint32, 0), ("_motor__aMP", ctypes.c_uint32, 0), ("_motor__bMP", ctypes.c_uint32, 0),
    ("_motor__moving", bool, False), ("_motor__stop", bool, False), ("_inLimitSwitch", bool, False),
    ("_motor__revMotionTrigger", bool, False), ("_motor__generateSupportData", bool, False),
    ("_motor__supportFilePath", str, ""),
    ("_motor__MaxProfileVelocity", ctypes.c_int, 4900), ("_motor__MaxAcceleration", ctypes.c_int, 4900),
    ("_motor__MaxOutputCurrent", ctypes.c_short, 790), ("_motor__NominalCurrent", ctypes.c_short, 385),
]


def test_new_motor_state_names_types_defaults_and_order(m, lib):
    assert list(vars(m)) == [name for name, _, _ in EXPECTED_STATE]
    for name, typ, value in EXPECTED_STATE:
        obj = getattr(m, name)
        if name == "eposdll":
            assert obj is lib
            continue
        if name == "_motor__pPositionIs":
            assert ctypes.sizeof(obj) == 4 and isinstance(obj, ctypes._SimpleCData) and obj._type_ in "li"
            assert obj.value == 0
            continue
        assert type(obj) is typ, name
        assert (obj.value if isinstance(obj, ctypes._SimpleCData) else obj) == value, name
    assert not hasattr(m, "_motor__wavelengthRange") and not hasattr(m, "_dutyCycle")
    # Separate cells per object: one object's cell is never another's.
    other = make_motor(lib)
    assert other._motor__pErrorCode is not m._motor__pErrorCode


def test_init_loads_the_library_through_attribute_lookup(lib):
    seen = []

    class Recording(vostelmotor.motor):
        def load_epos_dll(self, package_dir="unset"):
            seen.append((package_dir, self.DLL_FILENAME, hasattr(self, "_motor__keyhandle")))
            return lib

    Recording()
    assert seen == [("unset", "EposCMD64.dll", False)]


def test_init_lets_loading_errors_propagate():
    class NoLibrary(vostelmotor.motor):
        def load_epos_dll(self, package_dir=None):
            raise ImportError("nothing here")

    with pytest.raises(ImportError, match="nothing here"):
        NoLibrary()


def _on_instance(m, fn):
    m._motor__motorpositionToWavelength = lambda x: fn(m, x)
    return m


def _in_subclass(m, fn):
    m.__class__ = type("Sub", (type(m),), {"_motor__motorpositionToWavelength": fn})
    return m


def _through_getattribute(m, fn):
    def __getattribute__(self, name):
        if name == "_motor__motorpositionToWavelength":
            return lambda x: fn(self, x)
        return object.__getattribute__(self, name)
    m.__class__ = type("Sub", (type(m),), {"__getattribute__": __getattribute__})
    return m


@pytest.mark.parametrize("replace", [_on_instance, _in_subclass, _through_getattribute])
def test_internal_calls_reach_a_replaced_method(lib, replace):
    m = replace(connect_fake(make_motor(lib)), lambda self, x: ("replaced", x))
    assert m.getWavelength() == ("replaced", 0)
    # Taken away again, the class's own function answers.
    m.__dict__.pop("_motor__motorpositionToWavelength", None)
    m.__class__ = type(m).__mro__[1] if replace is not _on_instance else type(m)
    assert isinstance(m.getWavelength(), float)


def _offset_on_instance(m, value):
    m._motor__offset = value


def _offset_as_property(m, value):
    m.__class__ = type("Sub", (type(m),), {"_motor__offset": property(lambda self: value)})


def _offset_through_getattribute(m, value):
    def __getattribute__(self, name):
        return value if name == "_motor__offset" else object.__getattribute__(self, name)
    m.__class__ = type("Sub", (type(m),), {"__getattribute__": __getattribute__})


@pytest.mark.parametrize("replace", [_offset_on_instance, _offset_as_property, _offset_through_getattribute])
def test_state_is_read_as_getattr_reads_it_at_every_call(lib, replace):
    m = connect_fake(make_motor(lib))
    before = m.getWavelength()
    replace(m, 1234)
    assert m.getWavelength() == m._motor__motorpositionToWavelength(1234) != before


def test_lookups_see_changes_made_after_earlier_calls(lib, monkeypatch):
    # Calls made first, so that every lookup site has seen this object, its
    # class and the module before anything changes.
    m = connect_fake(make_motor(lib))
    cls = type(m)
    for _ in range(3):
        before = m.getWavelength()
    at = m._motor__motorpositionToWavelength

    # The same class, changed in place.
    cls._motor__offset = property(lambda self: 1234)
    assert m.getWavelength() == at(1234) != before
    del cls._motor__offset
    assert m.getWavelength() == before

    # The entry moved within the instance's dict; the dict itself replaced.
    del m._motor__offset
    m._motor__offset = 1234
    assert m.getWavelength() == at(1234)

    # A subclass whose base changes; short-lived subclasses, each freed before
    # the next is made (a new class may come to be where the last one was).
    m.__class__ = type("Sub", (cls,), {})
    m.getWavelength()
    cls._motor__offset = property(lambda self: 4321)
    assert m.getWavelength() == at(4321)
    del cls._motor__offset
    for i in range(10):
        gc.collect()  # a class lives in reference cycles: freed here
        m.__class__ = type("Sub", (cls,), {"_motor__offset": property(lambda self: i)} if i % 2 else {})
        assert m.getWavelength() == at(i if i % 2 else 1234), i
    m.__class__ = cls
    m.__dict__ = dict(reversed(list(m.__dict__.items())))
    assert m.getWavelength() == at(1234)

    # A method put on the class in place, then one on the instance.
    cls._motor__motorpositionToWavelength = lambda self, x: ("class", x)
    assert m.getWavelength() == ("class", 1234)
    m._motor__motorpositionToWavelength = lambda x: ("instance", x)
    assert m.getWavelength() == ("instance", 1234)
    del m._motor__motorpositionToWavelength, cls._motor__motorpositionToWavelength

    # A module-level name rebound to another module, then removed, then back.
    import types
    counted = []
    other = types.ModuleType("other_ctypes")
    other.__dict__.update(reversed(list(ctypes.__dict__.items())))
    other.byref = lambda obj: counted.append(obj) or ctypes.byref(obj)
    monkeypatch.setattr(vostelmotor, "ct", other)
    assert m.getWavelength() == at(1234) and len(counted) == 2
    monkeypatch.delattr(vostelmotor, "ct")
    with pytest.raises(NameError, match="name 'ct' is not defined"):
        m.getWavelength()
    vostelmotor.ct = ctypes
    assert m.getWavelength() == at(1234) and len(counted) == 2


def test_reads_after_code_has_run_see_the_instance_as_it_is_then(lib):
    """getWavelengthMinMax reads the flag and the range one after another, as
    Python would: what a truth test (__bool__) or a property runs in between
    is seen by the reads after it, even when it replaces the whole __dict__."""
    m = connect_fake(make_motor(lib))
    cls = type(m)
    for _ in range(3):  # every lookup site has seen this object and its class
        assert m.getWavelengthMinMax() == [760.0, 800.0]

    class Flag:
        def __bool__(self):
            m.__dict__ = dict(m.__dict__, _motor__minWavelength=1.0)
            return True

    for _ in range(2):
        m._motor__connection, m._motor__minWavelength = Flag(), 760.0
        assert m.getWavelengthMinMax() == [1.0, 800.0]

    def replace_dict(self):
        self.__dict__ = dict(self.__dict__, _motor__maxWavelength=2.0)
        return 3.0

    m._motor__connection = True
    m.__class__ = type("Sub", (cls,), {"_motor__minWavelength": property(replace_dict)})
    for _ in range(2):
        m._motor__maxWavelength = 800.0
        assert m.getWavelengthMinMax() == [3.0, 2.0]
    m.__class__ = cls
    m._motor__connection = 0
    with pytest.raises(ConnectionError, match="^Motor not connected$"):
        m.getWavelengthMinMax()
