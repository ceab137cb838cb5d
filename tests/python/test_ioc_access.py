"""Who may write: every client reads and stops, only listed hosts and users
move the motor or change its settings."""
import pytest
from caproto import AccessRights

from helpers.ioc import close, put, pvs, value, wait_until

from vostelmotor_ioc.access import WriteList


@pytest.mark.parametrize("entries, host, user, allowed", [
    (["lab-pc"], "lab-pc", "ann", True),
    (["lab-pc"], "LAB-PC.example.org", "ann", True),
    (["lab-pc.example.org"], "lab-pc", "ann", True),
    (["lab-pc"], "lab-pc2", "ann", False),
    (["ann@lab-pc"], "lab-pc", "ann", True),
    (["ann@lab-pc"], "lab-pc", "bob", False),
    (["ann@*"], "anywhere", "ann", True),
    (["ann@*"], "anywhere", "bob", False),
    (["*"], "anywhere", "bob", True),
    (["lab-pc", " ", "bob@desk"], "desk", "bob", True),
])
def test_write_list(entries, host, user, allowed):
    assert WriteList(entries).allows(host, user) is allowed


@pytest.mark.parametrize("text", ["", " , "])
def test_write_list_must_name_someone(text):
    with pytest.raises(ValueError):
        WriteList.parse(text)


WRITABLE_BY_OPERATOR = ("MOTOR", "MOTOR.VAL", "MOTOR.VELO", "MOTOR.ACCL", "HIGH_PRECISION",
                        "TRIGGER", "TRIGGER_WIDTH", "CALIBRATE")
READ_ONLY = ("MOTOR.RBV", "MOTOR.DMOV", "MOTOR.HLM", "MOTOR.EGU", "CURRENT", "STATE", "MESSAGE")


def test_client_outside_the_list_cannot_move_but_can_stop(serve, client, sim):
    ioc = serve("ACCESS:", write_list=WriteList(["operator-pc"]))
    names = WRITABLE_BY_OPERATOR + READ_ONLY + ("MOTOR.STOP",)
    visitor = dict(zip(names, pvs(client(), ioc.prefix, *names)))
    operator = dict(zip(names, pvs(client(host_name="operator-pc"), ioc.prefix, *names)))
    for name in names:
        writable = name == "MOTOR.STOP" or name in WRITABLE_BY_OPERATOR
        assert (AccessRights.WRITE in operator[name].access_rights) is writable, name
        assert (AccessRights.WRITE in visitor[name].access_rights) is (name == "MOTOR.STOP"), name
    rbv, dmov = visitor["MOTOR.RBV"], visitor["MOTOR.DMOV"]
    wait_until(lambda: close(value(rbv), 780.0), 20, what="connected")

    assert put(visitor["MOTOR"], 770.0) == "ECA_PUTFAIL"
    assert sim.command_count("VCS_MoveToPosition") == 0 and value(dmov) == 1

    operator["MOTOR.VELO"].write(2.0, wait=True)
    wait_until(lambda: close(value(visitor["MOTOR.VELO"]), 2.0, 0.05), 10, what="speed set")
    operator["MOTOR"].write(770.0, wait=False)
    wait_until(lambda: value(rbv) < 779.0, 20, what="operator's move under way")
    visitor["MOTOR.STOP"].write(1, wait=True)
    wait_until(lambda: value(dmov) == 1, 10, what="stopped by the visitor")
    assert 770.5 < value(rbv) < 779.0
    assert not sim.moving()
