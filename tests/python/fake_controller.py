"""Behaviour for the recording fake library: an object dictionary that keeps
what is written, a position counter and a stored position profile."""


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
