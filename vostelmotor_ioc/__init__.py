"""An EPICS IOC for the grating motor, built on caproto's server.

Run it with ``python -m vostelmotor_ioc --prefix LASER:GRATING:``; it serves
PREFIX + ``MOTOR`` as a motor record in nm and a few PVs beside it (see the
README). Needs the ``epics`` extra: ``pip install vostelmotor[epics]``; the
same names on PVAccess need the ``pva`` extra (p4p).
"""
__all__ = ["main"]


def main(argv=None):
    from .cli import main as run
    return run(argv)
