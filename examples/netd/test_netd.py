"""netd against the simulator and against a camera that misbehaves as
each test says: what it must survive, seen from its output and from the
traffic that passed the daemon."""

import time

import pytest

VERSION = "netd: camera version v01.01.01 LINDEN_VALE"


def wait_for_line(process, text: str, timeout: float = 5) -> None:
    deadline = time.monotonic() + timeout
    while text not in process.stdout:
        assert process.returncode is None or text in process.stdout, process.stdout
        assert time.monotonic() < deadline, f"no {text!r} in:\n{process.stdout}"
        time.sleep(0.02)


def test_the_simulator_answers_all_it_asks(kx, netd):
    kx.daemon(simulator=True)
    p = kx.run([netd, "--mode", "1", "--power-on"])
    assert p.wait(timeout=10) == 0, p.stdout
    assert VERSION in p.stdout
    assert "netd: mode 1 set" in p.stdout
    assert "netd: camera powered on" in p.stdout
    assert kx.monitor.expect(code="cv", kind="response").status == 0
    assert kx.monitor.expect(code="CM", kind="response").status == 0
    # A new mode redraws the canvas, which the camera sends unasked.
    assert len(kx.monitor.expect(code="LC", kind="command").args) == 600
    assert kx.monitor.expect(code="PW", kind="response").status == 0


# Each case: the camera's rule for the first mode command, what netd must
# say about it, and what more netd is asked to do (a late answer comes
# while netd still reads, and must not pass for another's).
MISBEHAVIOURS = [
    ("refusal", {"status": 1}, "netd: CM refused with status 1 (try 1 of 3)", []),
    ("lost answer", {"drop": True}, "netd: no answer to CM in 500 ms (try 1 of 3)", []),
    ("late answer", {"delay_ms": 800}, "netd: an answer to CM that nobody waits for",
     ["--watch-ms", "700", "--heartbeat-ms", "1000"]),
]


@pytest.mark.parametrize("rule, said, more",
                         [m[1:] for m in MISBEHAVIOURS], ids=[m[0] for m in MISBEHAVIOURS])
def test_a_misbehaving_camera_is_tried_again(kx, netd, rule, said, more):
    kx.daemon(simulator=False)
    camera = kx.camera(scenario={"rule": [{"code": "CM", "times": 1, **rule}]})
    p = kx.run([netd, "--mode", "1", "--timeout-ms", "500", *more])
    assert p.wait(timeout=10) == 0, p.stdout
    assert said in p.stdout
    assert "netd: mode 1 set" in p.stdout
    assert [e["code"] for e in camera.journal()].count("CM") == 2


def test_a_refused_power_on_is_given_up_and_survived(kx, netd):
    kx.daemon(simulator=False)
    camera = kx.camera(scenario={"rule": [{"code": "PW", "status": 1}]})
    p = kx.run([netd, "--power-on"])
    assert kx.monitor.expect(code="PW", kind="response", timeout=3).status == 1
    assert p.wait(timeout=10) == 0, p.stdout
    assert "netd: PW failed after 3 tries" in p.stdout
    assert [e["code"] for e in camera.journal()].count("PW") == 3


def test_the_cameras_own_suspend_is_reported(kx, netd):
    kx.daemon(simulator=False)
    camera = kx.camera()
    p = kx.run([netd, "--watch-ms", "1500"])
    wait_for_line(p, VERSION)
    camera.send("SU")
    wait_for_line(p, "netd: the camera is ready to suspend (SU)")
    assert p.wait(timeout=5) == 0, p.stdout


def test_a_camera_reboot_ends_the_daemon_and_netd_outlives_it(kx, netd):
    daemon = kx.daemon(simulator=False)
    camera = kx.camera()
    p = kx.run([netd, "--watch-ms", "4000", "--heartbeat-ms", "100", "--timeout-ms", "300"])
    wait_for_line(p, VERSION)
    camera.down(500)
    # The next heartbeat the daemon passes on finds no endpoint: its send
    # fails, and so does the assertion on it.
    assert daemon.wait(timeout=3) == 255
    assert "kxIpcSend" in kx.monitor.expect_assertion()["report"]
    assert "kxIpcSend" in kx.kxctl(["status"], ok=(3,)).stdout
    # Started again while the camera is still down, the daemon would end as
    # well, on the heartbeat that waited for it in "/to_camera".
    camera.wait_up()
    kx.daemon(simulator=False)
    wait_for_line(p, "netd: the camera answers again")
    assert p.wait(timeout=6) == 0, p.stdout
