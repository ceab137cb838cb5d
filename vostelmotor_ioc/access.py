"""Who may write: the hosts and users the operator lists.

Channel Access clients announce their host and user names when they connect;
the IOC compares those names, as the EPICS access security of an IOC does. It
keeps honest people from moving the grating by mistake; it is no
authentication against someone who lies about their name.
"""
import socket

from caproto import AccessRights

READ = AccessRights.READ
READ_WRITE = AccessRights.READ | AccessRights.WRITE


def _short(host):
    return host.strip().lower().split(".")[0]


class WriteList:
    """Entries are HOST, USER@HOST, USER@* or *; host names match without
    letter case and without their domain (lab-pc matches lab-pc.example.org)."""

    def __init__(self, entries):
        self.entries = []
        for entry in entries:
            entry = entry.strip()
            if not entry:
                continue
            user, _, host = entry.rpartition("@")
            self.entries.append((user or None, host if host == "*" else _short(host)))
        if not self.entries:
            raise ValueError("the write list names no host")

    @classmethod
    def parse(cls, text=None):
        """From the --allow-write option; None gives the IOC's own host."""
        if text is None:
            return cls([socket.gethostname()])
        return cls(text.split(","))

    def allows(self, host, user):
        host = _short(host or "")
        for want_user, want_host in self.entries:
            if want_host not in ("*", host):
                continue
            if want_user is None or want_user == user:
                return True
        return False

    def __str__(self):
        return ",".join(host if user is None else "%s@%s" % (user, host) for user, host in self.entries)


def read_only(host, user):
    return READ


def everyone_writes(host, user):
    return READ_WRITE


def listed_writers(write_list):
    def check(host, user):
        return READ_WRITE if write_list.allows(host, user) else READ
    return check
