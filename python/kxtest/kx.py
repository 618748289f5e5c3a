"""What a test holds as `kx`: its sandbox, the daemon, a camera, the
engineer's own programs, and the traffic between them."""

from __future__ import annotations

import json
import os
import shutil
import signal
from pathlib import Path
from typing import Optional, Sequence, Union

from .message import Message
from .monitor import Monitor
from .sandbox import KxError, Sandbox, Spawned, poll_until
from .scenario import Scenario, scenario_file

Arg = Union[int, str, bytes]

ENDPOINTS = ("wifibt", "wifi_ctrl", "helper_task")
LOG_FILE = "/tmp/fuse_d/wifi_log.txt"

# kxctl's exit statuses that still come with a message.
REFUSED = 5
TIMED_OUT = 4
NO_DAEMON = 3


class KxTimeout(KxError, TimeoutError):
    """No answer, or not the messages awaited, in time."""


def find_programs(bindir: Optional[str]) -> tuple[str, str]:
    """kxctl and kxRedIro: in bindir (KXTEST_BIN) or on PATH; the daemon
    also where a package puts it (sbin beside kxctl's bin)."""
    if bindir:
        found = [Path(bindir) / name for name in ("kxctl", "kxRedIro")]
        missing = [str(p) for p in found if not os.access(p, os.X_OK)]
        if missing:
            raise KxError(f"KXTEST_BIN={bindir} holds no {', '.join(missing)}")
        return str(found[0]), str(found[1])
    kxctl = shutil.which("kxctl")
    if kxctl is None:
        raise KxError("no kxctl on PATH (set KXTEST_BIN to a build tree's bin folder)")
    sbin = str(Path(kxctl).resolve().parent.parent / "sbin")
    daemon = shutil.which("kxRedIro") or shutil.which("kxRedIro", path=sbin)
    if daemon is None:
        raise KxError(f"no kxRedIro on PATH or in {sbin}")
    return kxctl, daemon


def arg_words(args: Sequence[Arg]) -> list[str]:
    """Argument bytes as kxctl takes them: one hex byte a word."""
    words: list[str] = []
    for a in args:
        if isinstance(a, int):
            words.append(f"0x{a:02x}")
        elif isinstance(a, (bytes, bytearray)):
            words += [f"{b:02x}" for b in a]
        else:
            words.append(a)
    return words


def json_lines(text: str) -> list[dict]:
    return [json.loads(line) for line in text.splitlines() if line.startswith("{")]


class Daemon:
    """A kxRedIro of this test's sandbox. pid is its pid there."""

    def __init__(self, kx: "Kx", pid: int, simulator: bool):
        self.kx, self.pid, self.simulator = kx, pid, simulator
        self._status: Optional[int] = None

    @property
    def exit_status(self) -> Optional[int]:
        """None while it runs; 255 when it ended by an assertion."""
        if self._status is None:
            self._status = self.kx.sandbox.status(self.pid)
        return self._status

    def alive(self) -> bool:
        return self.exit_status is None

    def wait(self, timeout: float = 5) -> Optional[int]:
        poll_until(lambda: not self.alive(), timeout)
        return self.exit_status

    def kill(self, sig: int = signal.SIGKILL) -> Optional[int]:
        if self.alive():
            self.kx.sandbox.signal(self.pid, sig)
        return self.wait()


class Camera:
    """A `kxctl camera` on the daemon's endpoints, steered by its verbs."""

    def __init__(self, kx: "Kx", process: Spawned, journal: Path):
        self.kx, self.process, self.journal_path = kx, process, journal

    def send(self, code: str, *args: Arg) -> None:
        """The camera sends this command now, over wifibt."""
        self.kx.kxctl(["camera", "send", code, *arg_words(args)])

    def down(self, ms: int) -> None:
        """Its endpoints unbound for ms milliseconds, as a camera that
        reboots; returns once they are unbound."""
        self.kx.kxctl(["camera", "down", str(ms)])

    def wait_up(self, timeout: float = 5) -> None:
        """Until its three endpoints are bound (again)."""
        bound = [f"{self.kx.sandbox.ipc_dir}/{n}.rtos" for n in ENDPOINTS]
        up = poll_until(lambda: self.process.poll() is not None
                        or all(self.kx.sandbox.exists(*bound)), timeout)
        if not up or self.process.poll() is not None:
            raise KxError(f"kxctl camera is not up: {self.process.stderr.strip()}")

    def load(self, scenario: Scenario) -> None:
        path = scenario_file(scenario, self.kx.new_file("scenario", ".toml"))
        self.kx.kxctl(["camera", "load", str(path)])

    def journal(self) -> list[dict]:
        """Every command the camera received, with what it did."""
        return json_lines(self.kx.kxctl(["--json", "camera", "journal"]).stdout)

    def stop(self) -> None:
        self.process.kill(signal.SIGTERM)
        self.process.wait(5)


class Process:
    """The engineer's own program, run inside the sandbox."""

    def __init__(self, spawned: Spawned):
        self._p = spawned

    @property
    def pid(self) -> int:
        return self._p.pid

    @property
    def returncode(self) -> Optional[int]:
        return self._p.poll()

    def wait(self, timeout: Optional[float] = None) -> int:
        """Its exit status; KxTimeout when it still runs after timeout."""
        status = self._p.wait(timeout)
        if status is None:
            raise KxTimeout(f"{' '.join(self._p.argv)} still runs after {timeout} s; "
                            f"its output so far:\n{self.stdout}{self.stderr}")
        return status

    def kill(self, sig: int = signal.SIGKILL) -> None:
        self._p.kill(sig)

    @property
    def stdout(self) -> str:
        return self._p.stdout

    @property
    def stderr(self) -> str:
        return self._p.stderr


class Kx:
    """The fixture: one sandbox a test, and everything a test starts in it."""

    def __init__(self, workdir: Path, bindir: Optional[str] = None):
        self.workdir = workdir
        self.kxctl_path, self.daemon_path = find_programs(bindir)
        self.sandbox = Sandbox(self.kxctl_path, workdir)
        self.monitor = Monitor(workdir / "traffic.jsonl")
        self.capture = workdir / "traffic.pcapng"
        self.daemons: list[Daemon] = []
        self.cameras: list[Camera] = []
        self._monitoring: Optional[Spawned] = None
        self._files = 0

    def new_file(self, stem: str, suffix: str) -> Path:
        self._files += 1
        return self.workdir / f"{stem}-{self._files}{suffix}"

    def kxctl(self, args: Sequence[str], ok: Sequence[int] = (0,), timeout: float = 10):
        ran = self.sandbox.run([self.kxctl_path, *args], timeout=timeout)
        if ran.status not in ok:
            raise KxError(f"kxctl {' '.join(args)}: status {ran.status}: {ran.stderr.strip()}")
        return ran

    # -- the daemon ---------------------------------------------------------

    def daemon(self, simulator: bool = True, args: Sequence[str] = (),
               trace: bool = True, timeout: float = 5) -> Daemon:
        """Starts kxRedIro (with -s as simulator) and waits until it serves
        its eight mailboxes; its traffic trace is switched on for monitor."""
        self._start_monitor()
        before = set(self.sandbox.children("kxRedIro"))
        argv = [self.daemon_path, *(["-s"] if simulator else []), *args]
        launcher = self.sandbox.spawn(argv, "kxRedIro")
        if launcher.wait(timeout) != 0:
            raise KxError(f"kxRedIro did not start (status {launcher.returncode}): "
                          f"{launcher.stderr.strip()}")
        self.kxctl(["status", "--wait", str(timeout)], timeout=timeout + 5)
        started = [p for p in self.sandbox.children("kxRedIro") if p not in before]
        if not started:
            raise KxError("kxRedIro serves its mailboxes, but no new daemon of ours runs")
        d = Daemon(self, started[-1], simulator)
        self.daemons.append(d)
        if trace:
            self.kxctl(["trace", "on", "--simulator" if simulator else "--relay"])
        return d

    def _start_monitor(self) -> None:
        if self._monitoring is not None or self.sandbox.syslog_file is None:
            return
        argv = [self.kxctl_path, "--json", "-v", "monitor", "--pcap", str(self.capture)]
        self._monitoring = self.sandbox.spawn(argv, "monitor")
        # It reads the syslog file from its end: ready once it says so.
        if not poll_until(lambda: "following" in self._monitoring.stderr, 5):
            raise KxError(f"kxctl monitor did not start: {self._monitoring.stderr.strip()}")
        self.monitor.path = self._monitoring.stdout_path

    # -- the camera ---------------------------------------------------------

    def camera(self, scenario: Optional[Scenario] = None, replay: Optional[str] = None,
               speed: Optional[float] = None, args: Sequence[str] = (),
               timeout: float = 5) -> Camera:
        """kxctl camera on the endpoints, as the scenario says (a dict, TOML
        text or a path) or as the recorded camera did; once it is bound."""
        journal = self.new_file("journal", ".jsonl")
        argv = [self.kxctl_path, "camera", "--journal", str(journal), *args]
        if scenario is not None:
            argv += ["--scenario", str(scenario_file(scenario, self.new_file("scenario", ".toml")))]
        if replay is not None:
            argv += ["--replay", str(Path(replay).resolve())]
        if speed is not None:
            argv += ["--speed", str(speed)]
        camera = Camera(self, self.sandbox.spawn(argv, "camera"), journal)
        self.cameras.append(camera)
        try:
            camera.wait_up(timeout)
        except KxError:
            camera.process.kill()
            raise
        return camera

    # -- the engineer's programs --------------------------------------------

    def run(self, argv: Sequence[str], env: Optional[dict[str, str]] = None,
            cwd: Optional[str] = None) -> Process:
        """Starts argv inside the sandbox (relative paths from cwd, by
        default the test's current folder) and returns at once."""
        name = Path(str(argv[0])).name
        return Process(self.sandbox.spawn(argv, name, cwd=cwd, env=env))

    # -- the network daemon's side ------------------------------------------

    def call(self, code: str, *args: Arg, timeout: float = 5, mailbox: str = "/to_camera",
             force: bool = False) -> Message:
        """As the network daemon: the command into mailbox, its answer out of
        "/to_kxnet". A refusal is an answer too (its status is not 0)."""
        line = ["--json", "-v", "call", "-t", str(timeout), "-m", mailbox,
                *(["--force"] if force else []), code, *arg_words(args)]
        ran = self.kxctl(line, ok=(0, REFUSED, TIMED_OUT, NO_DAEMON), timeout=timeout + 5)
        if ran.status == TIMED_OUT:
            raise KxTimeout(f"no answer to {code} in {timeout} s")
        if ran.status == NO_DAEMON:
            raise KxError(f"call {code}: {ran.stderr.strip()}")
        answers = [m for m in json_lines(ran.stdout) if m.get("kind") == "response"]
        if not answers:
            raise KxError(f"call {code}: no answer in kxctl's output: {ran.stdout!r}")
        return Message.from_json(answers[-1])

    def send(self, code: str, *args: Arg, mailbox: str = "/to_camera",
             force: bool = False) -> None:
        """The command into mailbox, without waiting for an answer."""
        self.kxctl(["send", "-m", mailbox, *(["--force"] if force else []), code,
                    *arg_words(args)])

    def listen(self, mailbox: str = "/to_kxnet", count: int = 1,
               timeout: float = 5) -> Union[Message, list[Message]]:
        """Takes count messages out of mailbox: the message itself for
        count=1, else a list. KxTimeout when fewer came in timeout seconds
        of quiet."""
        ran = self.kxctl(["--json", "-v", "listen", "-C", str(count), "-t", str(timeout),
                          mailbox], ok=(0, TIMED_OUT), timeout=timeout * count + 10)
        got = [Message.from_json(m) for m in json_lines(ran.stdout)]
        if ran.status == TIMED_OUT or len(got) < count:
            seen = "".join(f"\n  {m}" for m in got) or " none"
            raise KxTimeout(f"{mailbox}: {len(got)} of {count} messages in {timeout} s:{seen}")
        return got[0] if count == 1 else got

    # -- what the daemon wrote ----------------------------------------------

    def _lines(self, path: Optional[str]) -> list[str]:
        data = self.sandbox.read(path) if path else None
        return [] if data is None else data.decode(errors="replace").splitlines()

    @property
    def syslog(self) -> list[str]:
        """The daemon's syslog lines, as the sandbox's /dev/log received them."""
        return self._lines(self.sandbox.syslog_file)

    @property
    def log(self) -> list[str]:
        """The daemon's log file."""
        return self._lines(LOG_FILE)

    def journals(self) -> list[tuple[Path, list[dict]]]:
        """Each camera's journal file, as the camera wrote it."""
        out = []
        for c in self.cameras:
            text = c.journal_path.read_text(errors="replace") if c.journal_path.exists() else ""
            out.append((c.journal_path, json_lines(text)))
        return out

    def close(self) -> None:
        self.monitor.read()
        self.sandbox.close()

    def __repr__(self) -> str:
        return f"<kx sandbox in {self.workdir}>"
