"""The IOC of vostelmotor_ioc as the faces over libca serve it: in this
process, on the run's Channel Access settings (the ca_session fixture)."""


def serve_ioc(rig):
    """Starts the IOC with prefix rig.name on rig.sim; stopped when the test ends."""
    env = rig.fixture("ca_session").next_env()
    serve = rig.fixture("serve")  # sets a port of the test's own: the run's replaces it
    for key, value in env.items():
        rig.setenv(key, value)
    return serve(rig.name, wall_speed=rig.wall_speed)


