"""The module's toolkit names (tk, messagebox, filedialog) faked for tests of
the dialogs it opens without a window of its own."""
import vostelmotor


class Dialogs:
    """Fakes of the Tk root, the message boxes and the file dialogs, recording
    every toolkit call in order; a file dialog answers `picked`."""

    def __init__(self, picked=""):
        self.picked = picked
        self.log = []
        dialogs = self

        class Root:
            def withdraw(self):
                dialogs.log.append(("withdraw",))

            def destroy(self):
                dialogs.log.append(("destroy",))

        class Tk:
            TclError = type("TclError", (Exception,), {})

            def Tk(self):
                dialogs.log.append(("Tk",))
                return Root()

        class MessageBox:
            def showinfo(self, *a, **k):
                dialogs.log.append(("showinfo", a, k))

            def showerror(self, *a, **k):
                dialogs.log.append(("showerror", a, k))

        class FileDialog:
            def askopenfilename(self, *a, **k):
                dialogs.log.append(("askopenfilename", a, k))
                return dialogs.picked

            def askdirectory(self, *a, **k):
                dialogs.log.append(("askdirectory", a, k))
                return dialogs.picked

        self.tk, self.messagebox, self.filedialog = Tk(), MessageBox(), FileDialog()

    def install(self, monkeypatch):
        monkeypatch.setattr(vostelmotor, "tk", self.tk)
        monkeypatch.setattr(vostelmotor, "messagebox", self.messagebox)
        monkeypatch.setattr(vostelmotor, "filedialog", self.filedialog)
        return self

    def kinds(self):
        return [entry[0] for entry in self.log]
