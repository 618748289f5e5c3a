"""kxtest seen from a suite that uses it: the tests of its documentation
as they stand, what a failure reports, that nothing passes from one test
to the next, and that an interrupted run leaves nothing behind."""

import os
import shutil
import time
from pathlib import Path

import pytest

from kxtest.message import Message
from kxtest.scenario import to_toml

NETD = os.environ.get("NETD")


def run_suite(pytester: pytest.Pytester, *args: str) -> pytest.RunResult:
    return pytester.runpytest_subprocess("-p", "kxtest", "-p", "no:cacheprovider", *args)


def test_the_documented_tests_pass_as_written(pytester):
    if not NETD:
        pytest.skip("needs NETD, a built examples/netd")
    shutil.copy(NETD, pytester.path / "netd")
    pytester.makepyfile('''
        def test_power_on_survives_a_refusal(kx):
            kx.daemon(simulator=False)
            kx.camera(scenario={"rule": [{"code": "PW", "status": 1}]})
            netd = kx.run(["./netd", "--power-on"])
            msg = kx.monitor.expect(code="PW", kind="response", timeout=3)
            assert msg.status == 1
            assert netd.wait(timeout=5) == 0

        def test_version(kx):
            kx.daemon(simulator=True)
            r = kx.call("cv")
            assert (r.code, r.kind, r.status) == ("cv", "response", 0)
    ''')
    run_suite(pytester).assert_outcomes(passed=2)


def test_a_wrong_expectation_reports_the_traffic_log_journal_and_capture(pytester):
    pytester.makepyfile('''
        def test_expects_a_refusal(kx):
            kx.daemon(simulator=False)
            kx.camera()
            kx.call("cv")
            kx.monitor.expect(code="cv", kind="response", status=1, timeout=1)
    ''')
    result = run_suite(pytester)
    result.assert_outcomes(failed=1)
    result.stdout.fnmatch_lines([
        "*no message with code='cv' kind='response' status=1 in 1 s; the * seen since*",
        "*>RT cv command (/to_camera -> /to_kxnet)",
        "*<RT cv response status 0 payload 0210097630312e30312e30310b4c494e44454e5f56414c45*",
        "*- kx traffic -*",
        "??:??:??.???  >RT cv command*",
        "*- kx daemon log -*",
        "*kxRedIro: Starting kxRedIro daemon*",
        "*- kx camera journal -*",
        "*'endpoint': 'wifibt', 'code': 'cv'*",
        "*- kx capture -*",
    ])
    capture = next(line for line in result.stdout.lines if line.endswith("(open it in Wireshark)"))
    path = Path(capture.split(" (open")[0])
    assert path.name == "traffic.pcapng"
    assert path.read_bytes()[:4] == bytes.fromhex("0a0d0d0a")  # a section header block


def test_nothing_passes_from_one_test_to_the_next(pytester):
    pytester.makepyfile('''
        import pytest
        from kxtest import KxTimeout

        def test_leaves_messages_and_a_process(kx):
            kx.daemon(simulator=True)
            kx.send("cv")
            kx.send("cm")
            kx.run(["sleep", "60"])
            kx.kxctl(["status"])

        def test_finds_none_of_them(kx):
            names = {p["name"] for p in kx.sandbox.processes()}
            assert not names & {"kxRedIro", "sleep"}, names
            boxes = kx.kxctl(["--json", "mailboxes"], ok=(3,)).stdout
            assert boxes.count('"exists":false') == 8, boxes
            kx.daemon(simulator=True)
            with pytest.raises(KxTimeout):
                kx.listen(timeout=0.3)
    ''')
    run_suite(pytester).assert_outcomes(passed=2)


def pid_namespaces() -> set[str]:
    found = set()
    for entry in os.listdir("/proc"):
        try:
            found.add(os.readlink(f"/proc/{entry}/ns/pid"))
        except OSError:
            pass
    return found


def test_an_interrupted_test_leaves_no_process_behind(pytester):
    pytester.makepyfile('''
        import os
        from pathlib import Path

        def test_interrupted(kx):
            kx.daemon(simulator=True)
            kx.run(["sleep", "60"])
            inside = os.readlink(f"/proc/{kx.sandbox.proc.pid}/ns/pid_for_children")
            Path("namespace").write_text(inside)
            raise KeyboardInterrupt
    ''')
    result = run_suite(pytester)
    assert result.ret == pytest.ExitCode.INTERRUPTED
    inside = (pytester.path / "namespace").read_text()
    deadline = time.monotonic() + 5
    while inside in pid_namespaces() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert inside not in pid_namespaces()


# Scenarios as a dict, and the TOML the camera reads for them.
SCENARIOS = [
    ({"rule": [{"code": "PW", "status": 1}]}, '[[rule]]\ncode = "PW"\nstatus = 1\n'),
    ({"default": "drop", "rule": [{"code": "CM", "drop": True}, {"code": "cv", "delay_ms": 5}]},
     'default = "drop"\n\n[[rule]]\ncode = "CM"\ndrop = true\n\n[[rule]]\ncode = "cv"\n'
     'delay_ms = 5\n'),
    ({"rule": [{"code": "CM", "before": {"code": "SU", "args": "01"}}]},
     '[[rule]]\ncode = "CM"\n\n[rule.before]\ncode = "SU"\nargs = "01"\n'),
    ({"at": [{"time_ms": 100, "send": {"code": "SU"}}]},
     '[[at]]\ntime_ms = 100\n\n[at.send]\ncode = "SU"\n'),
    ({"default": 'say "hi"\\'}, 'default = "say \\"hi\\"\\\\"\n'),
]


@pytest.mark.parametrize("scenario, toml", SCENARIOS)
def test_a_scenario_dict_is_written_as_toml(scenario, toml):
    assert to_toml(scenario) == toml


def test_a_message_takes_its_fields_from_kxctls_json():
    # The answer to cv: status 0, then 02 10 and two length-prefixed strings.
    answer = {"kind": "response", "code": "cv", "source": "/to_kxnet",
              "destination": "/to_camera", "args": "", "time": 1.5,
              "response": "00" + "0210" + "09" + b"v01.01.01".hex() + "0b" + b"LINDEN_VALE".hex(),
              "hex": "004a000b"}
    m = Message.from_json(answer)
    assert (m.code, m.kind, m.status, m.src, m.dst, m.time) == (
        "cv", "response", 0, "/to_kxnet", "/to_camera", 1.5)
    assert m.payload == b"\x02\x10\x09v01.01.01\x0bLINDEN_VALE"
    assert (m.args, m.raw) == (b"", bytes.fromhex("004a000b"))
    command = Message.from_json({"kind": "command", "code": "CM", "args": "02"})
    assert (command.status, command.args, command.payload) == (None, b"\x02", b"")
