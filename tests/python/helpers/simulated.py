"""Reading what the simulated controller received, and where a wavelength
lies in its positions."""


def sent(sim, name):
    """The trace entries of the commands `name` the controller received."""
    return [c for c in sim.trace()["commands"] if c["name"] == name]


def sent_arguments(sim, name, index):
    """Argument `index` (an int) of every command `name` the controller received."""
    return [int(c["args"].split(", ")[index]) for c in sent(sim, name)]


def position_of(m, wavelength):
    """The controller position (home offset taken off) of `wavelength`."""
    return m._motor__wavelengthToMotorposition(wavelength) - m._motor__offset
