"""What the Python tests share: the recording fake of the command library
(`library`), a small drive behind it (`drive`), a working session on the
simulated controller (`session`, `simulated`) and a virtual X display for real
windows (`display`). Importing the package puts the development build and the
simulator's control module on sys.path."""
from . import paths  # noqa: F401 (sys.path set-up)
