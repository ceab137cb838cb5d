"""The bench companions of the vostelmotor module: the worker that owns the
motor on one thread (`drive`), which the EPICS IOC, the operator panel and the
first-contact check share.
"""
