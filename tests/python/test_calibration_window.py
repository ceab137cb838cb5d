"""The limit-switch calibration window: the exact toolkit calls against a
fake `tk`, and the real window on an Xvfb display driven with xdotool."""
import tkinter
import types

import pytest

import vostelmotor
from helpers.library import connect_fake, fail_when
from helpers.display import Operator, grab_window, operated_toolkit


# --- a fake toolkit that records every call ----------------------------------

class Recorder:
    def __init__(self, screen=(1920, 1080)):
        self.log = []
        self.screen = screen
        self.widgets = {}
        self.on_mainloop = None  # what the operator does while the window waits

    def module(self):
        def factory(kind):
            def create(*args, **kwargs):
                w = FakeWidget(self, kind, args, kwargs)
                self.widgets.setdefault(kind, []).append(w)
                self.log.append((kind,) + tuple(getattr(a, "name", a) for a in args) + (kwargs,))
                return w
            return create
        return types.SimpleNamespace(**{k: factory(k) for k in ("Tk", "Frame", "Label", "Entry", "Button")})


class FakeWidget:
    def __init__(self, recorder, kind, args, kwargs):
        self.recorder, self.kind, self.kwargs = recorder, kind, kwargs
        self.name = "%s%d" % (kind, len(recorder.widgets.get(kind, [])))
        self.text = ""

    def __getattr__(self, method):
        def call(*args, **kwargs):
            self.recorder.log.append((self.name + "." + method,) + args + ((kwargs,) if kwargs else ()))
            if method == "winfo_screenwidth":
                return self.recorder.screen[0]
            if method == "winfo_screenheight":
                return self.recorder.screen[1]
            if method == "get":
                return self.text
            if method == "mainloop" and self.recorder.on_mainloop:
                self.recorder.on_mainloop()
        return call


@pytest.fixture
def fake_tk(m, monkeypatch):
    connect_fake(m)
    recorder = Recorder()
    monkeypatch.setattr(vostelmotor, "tk", recorder.module())
    calls = []
    m.calibration = lambda wl: calls.append(("calibration", wl))
    m.disconnect = lambda: calls.append(("disconnect",))
    return recorder, calls


def test_toolkit_calls_in_order(m, fake_tk):
    recorder, calls = fake_tk
    assert m._motor__limitSwitchCalibrationWindow() is None
    close = recorder.log[1][2]
    command = recorder.widgets["Button"][0].kwargs["command"]
    normal, title = ("Arial", 10), ("Arial", 12, "bold")
    assert recorder.log == [
        ("Tk", {}),
        ("Tk0.protocol", "WM_DELETE_WINDOW", close),
        ("Tk0.title", "Calibration"),
        ("Tk0.geometry", "300x180"),
        ("Tk0.resizable", False, False),
        ("Tk0.winfo_screenwidth",),
        ("Tk0.winfo_screenheight",),
        ("Tk0.geometry", "+810+450"),
        ("Frame", "Tk0", {"padx": 20, "pady": 20}),
        ("Frame0.pack", {"expand": True, "fill": "both"}),
        ("Label", "Frame0", {"text": "Limitswitch reached!", "fg": "red", "font": title}),
        ("Label", "Frame0", {"text": "Please recalibrate", "font": normal}),
        ("Label", "Frame0", {"text": "Enter actual wavelength (nm):", "font": normal}),
        ("Label0.pack", {"pady": (0, 5)}),
        ("Label1.pack", {"pady": (0, 10)}),
        ("Label2.pack",),
        ("Entry", "Frame0", {"width": 12, "justify": "center", "font": normal}),
        ("Entry0.pack", {"pady": (5, 15)}),
        ("Button", "Frame0", {"text": "Calibrate", "command": command, "bg": "#007ACC", "fg": "white",
                              "font": normal}),
        ("Button0.pack",),
        ("Tk0.mainloop",),
    ]
    assert calls == []
    assert close() is None
    assert calls == [] and m._motor__stop is False


@pytest.mark.parametrize("screen, place", [((1001, 601), "+350+210"), ((200, 100), "+-50+-40")])
def test_placement_centres_the_window(m, fake_tk, screen, place):
    recorder, calls = fake_tk
    recorder.screen = screen
    m._motor__limitSwitchCalibrationWindow()
    assert ("Tk0.geometry", place) in recorder.log


def press(recorder, text):
    recorder.widgets["Entry"][0].text = text
    recorder.widgets["Button"][0].kwargs["command"]()


def test_good_entry_calibrates_closes_and_disconnects(m, fake_tk):
    recorder, calls = fake_tk
    m._inLimitSwitch = True
    m._motor__limitSwitchCalibrationWindow()
    del recorder.log[:]
    press(recorder, "  780.5 ")
    assert calls == [("calibration", 780.5), ("disconnect",)]
    assert recorder.log == [("Entry0.get",), ("Tk0.destroy",)]
    assert m._inLimitSwitch is False and m._motor__stop is True


@pytest.mark.parametrize("text", ["780,5", "", "nm"])
def test_bad_entry_raises_and_changes_nothing(m, lib, fake_tk, text):
    recorder, calls = fake_tk
    m._inLimitSwitch = True
    m._motor__limitSwitchCalibrationWindow()
    with pytest.raises(ValueError):
        press(recorder, text)
    assert calls == [] and lib.calls == []
    assert ("Tk0.destroy",) not in recorder.log
    assert m._inLimitSwitch is True and m._motor__stop is False


def test_failing_calibration_keeps_the_window(m, fake_tk):
    recorder, calls = fake_tk

    def refuse(wl):
        raise ValueError("No real roots: The discriminant is negative.")

    m.calibration = refuse
    m._motor__limitSwitchCalibrationWindow()
    with pytest.raises(ValueError):
        press(recorder, "790")
    assert ("Tk0.destroy",) not in recorder.log and calls == []


@pytest.mark.parametrize("refused, closes", [("VCS_GetPositionIs", True), ("VCS_SetObject", False)],
                         ids=["read-back fails: stored", "write fails: nothing stored"])
def test_a_stored_calibration_closes_the_window_even_when_its_read_back_fails(m, lib, fake_tk, capsys, refused,
                                                                              closes):
    recorder, calls = fake_tk
    del m.calibration  # the module's own
    fail_when(lib, refused, lambda args: True)
    m._inLimitSwitch = True
    m._motor__limitSwitchCalibrationWindow()
    if closes:
        press(recorder, "780.5")
        assert ("Tk0.destroy",) in recorder.log and calls == [("disconnect",)]
        assert m._inLimitSwitch is False and m._motor__stop is True
        assert "calibration was stored" in capsys.readouterr().out
    else:  # the window says why and stays; see the tests of leaving it below
        press(recorder, "780.5")
        assert ("Tk0.destroy",) not in recorder.log and m._inLimitSwitch is True
        assert "nothing was changed" in recorder.widgets["Label"][3].kwargs["text"]


def close_request(recorder):
    return recorder.log[1][2]


def test_the_window_insists_while_a_store_can_succeed(m, fake_tk):
    """Before any refused store, neither the close request nor a bad entry
    lets the window go, and nothing but the four widgets is shown."""
    recorder, calls = fake_tk
    m._inLimitSwitch = True
    m._motor__limitSwitchCalibrationWindow()
    close_request(recorder)()
    with pytest.raises(ValueError):
        press(recorder, "")
    assert ("Tk0.destroy",) not in recorder.log and calls == []
    assert len(recorder.widgets["Label"]) == 3 and len(recorder.widgets["Button"]) == 1


@pytest.fixture
def scale_known_after(m, lib):
    """Leaving the window uncalibrated marks the port's scale unknown for the
    whole process (here the port of objects never connected by connect()):
    a stored calibration afterwards clears it for the tests that follow."""
    yield
    lib.results.pop("VCS_SetObject", None)
    m.__dict__.pop("calibration", None)
    m.__dict__.pop("disconnect", None)
    connect_fake(m)
    m.calibration(780.0)


@pytest.mark.parametrize("how", ["close request", "close button", "stored at last"])
def test_once_a_store_was_refused_the_window_can_be_left(m, lib, fake_tk, scale_known_after, how):
    recorder, calls = fake_tk
    del m.calibration  # the module's own
    refuse = [True]
    fail_when(lib, "VCS_SetObject", lambda args: refuse[0])
    m._inLimitSwitch = True
    m._motor__limitSwitchCalibrationWindow()
    press(recorder, "780.5")
    reason = recorder.widgets["Label"][3].kwargs
    assert reason["text"].startswith("Refused by the controller: the calibration could not be stored")
    assert "close this window" in reason["text"] and reason["fg"] == "red"
    assert ("Tk0.destroy",) not in recorder.log
    if how == "close request":
        close_request(recorder)()
    elif how == "close button":
        close = recorder.widgets["Button"][1]
        assert close.kwargs["text"] == "Close without calibrating"
        close.kwargs["command"]()
    else:
        refuse[0] = False
        press(recorder, "780.5")
    assert ("Tk0.destroy",) in recorder.log and calls == [("disconnect",)]
    assert m._inLimitSwitch is False and m._motor__stop is True
    if how == "stored at last":
        return
    with pytest.raises(ConnectionError, match="wavelength scale is unknown"):
        m.moveSteps(10)
    assert lib.called("VCS_MoveToPosition") == []


# --- the real window on a virtual display --------------------------------------

def test_real_window(m, display, monkeypatch):
    connect_fake(m)
    calls = []
    m.calibration = lambda wl: calls.append(("calibration", wl))
    m.disconnect = lambda: calls.append(("disconnect",))
    m._inLimitSwitch = True
    seen = {}

    def look(w):
        w.update()
        frame = w.winfo_children()[0]
        labels = [c for c in frame.winfo_children() if isinstance(c, tkinter.Label)]
        seen["title"] = w.title()
        seen["geometry"] = w.winfo_geometry()
        seen["resizable"] = tuple(bool(int(v)) for v in w.resizable())
        seen["texts"] = [c.cget("text") for c in labels]
        seen["red"] = labels[0].cget("fg")
        seen["classes"] = [c.winfo_class() for c in frame.winfo_children()]

    def close_request(w):
        w.tk.call(w.protocol("WM_DELETE_WINDOW"))
        w.update()
        assert w.winfo_exists() and not calls

    def bad_entry(w):
        entry = operator.calibrate_with("780,5", lambda: operator.reported)
        assert w.winfo_exists() and entry.get() == "780,5" and not calls

    def good_entry(w):
        operator.calibrate_with(" 781.5 ", lambda: calls)

    operator = Operator([look, close_request, bad_entry, good_entry])

    monkeypatch.setattr(vostelmotor, "tk", operated_toolkit(operator))
    assert m._motor__limitSwitchCalibrationWindow() is None

    assert operator.failures == []
    assert seen == {
        "title": "Calibration",
        "geometry": "300x180+810+450",
        "resizable": (False, False),
        "texts": ["Limitswitch reached!", "Please recalibrate", "Enter actual wavelength (nm):"],
        "red": "red",
        "classes": ["Label", "Label", "Label", "Entry", "Button"],
    }
    assert len(operator.reported) == 1 and isinstance(operator.reported[0], ValueError)
    assert calls == [("calibration", 781.5), ("disconnect",)]
    assert m._inLimitSwitch is False and m._motor__stop is True
    with pytest.raises(tkinter.TclError):  # the window is gone
        operator.window.winfo_exists()


def test_a_limit_switch_whose_calibration_cannot_be_stored_ends_the_move(sim, sim_motor, virtual_sleep, monkeypatch):
    """On the simulated controller: the store is refused at every press, the
    operator leaves the window; the move raises, the drive stands, and
    nothing moves until a calibration is stored."""
    m = sim_motor
    assert m.connect() is True
    sim.set_limit_switches(-60000, 5000)
    recorder = Recorder()
    monkeypatch.setattr(vostelmotor, "tk", recorder.module())

    def operator():
        sim.fail_next("VCS_SetObject", -1)
        press(recorder, "790")
        press(recorder, "790")
        sim.fail_next("VCS_SetObject", 0)
        assert "Refused by the controller" in recorder.widgets["Label"][3].kwargs["text"]
        close_request(recorder)()

    recorder.on_mainloop = operator
    with pytest.raises(ConnectionError, match="scale is unknown") as info:
        m.moveToWavelength(760.0)
    assert "calibration()" in str(info.value)
    assert not sim.moving() and m._motor__connection is False and m.getMoving() is False
    assert m._inLimitSwitch is False

    assert m.connect() is True
    sim.clear_trace()
    for move in (lambda: m.moveToWavelength(780.0), lambda: m.moveSteps(100)):
        with pytest.raises(ConnectionError, match="scale is unknown"):
            move()
    assert [c for c in sim.trace()["commands"] if c["name"] == "VCS_MoveToPosition"] == []
    m.calibration(785.0)
    assert m.moveToWavelength(784.0) == pytest.approx(784.0, abs=0.01)


def test_real_window_after_a_refused_store(m, lib, display, monkeypatch, tmp_path, scale_known_after):
    """On Xvfb: the refusal shows in the window, which grows to show it whole
    and can then be closed by the window manager's close request."""
    connect_fake(m)
    fail_when(lib, "VCS_SetObject", lambda args: True)  # the module's own calibration, refused
    closed = []
    m.disconnect = lambda: closed.append("disconnect")
    m._inLimitSwitch = True
    seen = {}

    def refused(w):
        operator.calibrate_with("781.5", lambda: len(w.winfo_children()[0].winfo_children()) == 7)
        w.update()
        frame = w.winfo_children()[0]
        reason, close = frame.winfo_children()[5:7]
        seen["reason"] = reason.cget("text")
        seen["close"] = close.cget("text")
        seen["whole"] = all(c.winfo_height() >= c.winfo_reqheight() and c.winfo_width() >= c.winfo_reqwidth()
                            and c.winfo_y() + c.winfo_height() <= frame.winfo_height()
                            for c in frame.winfo_children())
        seen["size"] = (w.winfo_width(), w.winfo_height())
        seen["sizes"] = [(c.winfo_class(), c.winfo_width(), c.winfo_reqwidth(), c.winfo_height(),
                          c.winfo_reqheight()) for c in frame.winfo_children()]
        pytest.importorskip("PIL.ImageGrab")
        grab_window(w, tmp_path / "calibration_refused.png")

    def close_request(w):
        w.tk.call(w.protocol("WM_DELETE_WINDOW"))

    operator = Operator([refused, close_request])
    monkeypatch.setattr(vostelmotor, "tk", operated_toolkit(operator))
    assert m._motor__limitSwitchCalibrationWindow() is None
    assert operator.failures == []
    assert seen["reason"].startswith("Refused by the controller: the calibration could not be stored")
    assert seen["close"] == "Close without calibrating"
    assert seen["whole"], seen["sizes"]
    assert seen["size"][0] == 300 and seen["size"][1] > 180
    assert closed == ["disconnect"] and m._inLimitSwitch is False and m._motor__stop is True
    with pytest.raises(tkinter.TclError):  # the window is gone
        operator.window.winfo_exists()
