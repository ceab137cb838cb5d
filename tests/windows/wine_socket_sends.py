"""One send at a time on each socket of caproto's threading client, for the
Windows CPython under Wine 8.0 that scripts/test-windows.sh sets up (loaded at
interpreter start by wine_socket_sends.pth in its site-packages; nowhere else).

Why: caproto's threading client makes its sockets non-blocking (its selector
thread receives) and sends from whichever thread asks: the caller of read(),
write(), subscribe(), the search thread, ophyd's callback threads. On Linux
and on Windows a non-blocking send fails with WSAEWOULDBLOCK only when the
socket's send buffer is full. Wine's server answers "would block" to a
non-blocking send whenever another send on the same socket is still in
progress, however empty the buffer (server/sock.c, send_socket: the request
is completed at once only when the socket's write queue is empty). Four
threads sending 16 bytes each 2000 times on one loopback socket: Linux 0
failures, Wine 8.0 about two in three, and 0 again once the sends take turns.
caproto's client does not expect the error (sock.sendall on the circuit, raised
to the reader or writer; CaprotoNetworkError from a search), so requests,
channels and ophyd signals went missing.

Taking turns per socket is what an application on Windows does not need; it
is done here, for caproto's two senders, the client's circuit (TCP) and its
broadcaster (UDP searches and the repeater registration). caproto itself is
left as installed; the classes are wrapped when caproto.threading.client is
first imported, so an interpreter that never imports it pays nothing."""
import functools
import importlib.abc
import importlib.util
import sys
import threading
import weakref

MODULE = "caproto.threading.client"
# The client's classes have __slots__ (no room for a lock of their own), and
# weak references: one lock per sender, gone with it.
_locks = weakref.WeakKeyDictionary()
_locks_lock = threading.Lock()


def _one_at_a_time(send):
    @functools.wraps(send)
    def taking_turns(self, *args, **kwargs):
        with _locks_lock:
            lock = _locks.get(self)
            if lock is None:
                lock = _locks[self] = threading.RLock()
        with lock:
            return send(self, *args, **kwargs)
    taking_turns.wine_send_lock = True
    return taking_turns


def wrap(module):
    """Wraps the client's senders in `module` (caproto.threading.client)."""
    for cls, names in ((module.VirtualCircuitManager, ("send",)),
                       (module.SharedBroadcaster, ("send", "_register"))):
        for name in names:
            send = getattr(cls, name)
            if not getattr(send, "wine_send_lock", False):
                setattr(cls, name, _one_at_a_time(send))


class _WrapOnImport(importlib.abc.MetaPathFinder):
    def __init__(self):
        self._finding = threading.local()

    def find_spec(self, name, path, target=None):
        if name != MODULE or getattr(self._finding, "busy", False):
            return None
        self._finding.busy = True
        try:
            found = importlib.util.find_spec(name)
        finally:
            self._finding.busy = False
        if found is None or found.loader is None or not hasattr(found.loader, "exec_module"):
            return None
        exec_module = found.loader.exec_module

        def exec_and_wrap(module):
            exec_module(module)
            wrap(module)
        found.loader.exec_module = exec_and_wrap
        return found


def install():
    if MODULE in sys.modules:
        wrap(sys.modules[MODULE])
    elif not any(isinstance(finder, _WrapOnImport) for finder in sys.meta_path):
        sys.meta_path.insert(0, _WrapOnImport())
