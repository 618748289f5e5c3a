"""A test's own sandbox (`kxctl sandbox`, with our agent inside) and the
processes it runs there."""

from __future__ import annotations

import base64
import json
import os
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Optional, Sequence

PACKAGE_PARENT = str(Path(__file__).resolve().parent.parent)


class KxError(Exception):
    """The sandbox or one of its tools failed."""


def poll_until(done, timeout: float, step: float = 0.01) -> bool:
    deadline = time.monotonic() + timeout
    while True:
        if done():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(step)


def top_below_tmp(path: Path) -> Optional[Path]:
    """/tmp/a/b -> /tmp/a: what must stay visible inside for path to."""
    parts = path.resolve().parts
    return Path("/tmp", parts[2]) if len(parts) > 2 and parts[1] == "tmp" else None


@dataclass
class Ran:
    """A finished process: its status and what it wrote."""

    status: int
    stdout: str
    stderr: str


class Sandbox:
    """Private IPC, mount and PID namespaces with msg_max raised, their own
    /tmp and endpoints; workdir (where the output files go) stays visible
    inside. Closing it ends every process in it, and its mailboxes."""

    def __init__(self, kxctl: str, workdir: Path):
        self.workdir = workdir
        self.spawned = 0
        # pytest's temporary folders (the test's files, a program built for
        # the session) and the current folder, where they lie below /tmp.
        keep = {top_below_tmp(workdir), top_below_tmp(Path.cwd())} - {None}
        argv = [kxctl, "sandbox", *(f"--keep={k}" for k in sorted(keep)), "--",
                sys.executable, "-m", "kxtest.agent"]
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            p for p in (PACKAGE_PARENT, env.get("PYTHONPATH")) if p)
        self.errors = workdir / "sandbox.err"
        with open(self.errors, "wb") as err:
            self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=err, env=env, start_new_session=True)
        info = self.request("hello")
        self.env: dict[str, Optional[str]] = info["env"]
        self.ipc_dir = self.env.get("KXIPC_DIR") or "/tmp/kxipc"
        self.syslog_file = self.env.get("KX_SYSLOG_FILE")

    def request(self, op: str, **fields: Any) -> dict[str, Any]:
        if self.proc.poll() is not None or self.proc.stdin is None or self.proc.stdout is None:
            raise KxError(f"the sandbox has ended: {self.stderr_text()}")
        try:
            self.proc.stdin.write(json.dumps({"op": op, **fields}).encode() + b"\n")
            self.proc.stdin.flush()
            line = self.proc.stdout.readline()
        except BrokenPipeError:
            line = b""
        if not line:
            self.proc.wait(timeout=5)
            raise KxError(f"the sandbox ended (status {self.proc.returncode}): "
                          f"{self.stderr_text()}")
        answer = json.loads(line)
        if not answer.get("ok"):
            raise KxError(answer.get("error", "the sandbox's agent failed"))
        return answer

    def stderr_text(self) -> str:
        try:
            return self.errors.read_text(errors="replace").strip()
        except OSError:
            return ""

    def spawn(self, argv: Sequence[str], name: str, cwd: Optional[str] = None,
              env: Optional[dict[str, str]] = None) -> "Spawned":
        self.spawned += 1
        stem = self.workdir / f"{self.spawned:02d}-{name}"
        out, err = stem.with_suffix(".out"), stem.with_suffix(".err")
        pid = self.request("spawn", argv=[str(a) for a in argv], cwd=cwd or os.getcwd(),
                           env=env or {}, stdout=str(out), stderr=str(err))["pid"]
        return Spawned(self, pid, list(map(str, argv)), out, err)

    def run(self, argv: Sequence[str], timeout: float = 10, name: str = "kxctl") -> Ran:
        """Runs argv to its end; KxError when it takes longer than timeout."""
        p = self.spawn(argv, name)
        if p.wait(timeout) is None:
            p.kill()
            raise KxError(f"{' '.join(map(str, argv))} took longer than {timeout} s")
        return Ran(p.returncode or 0, p.stdout, p.stderr)

    def status(self, pid: int) -> Optional[int]:
        return self.request("status", pid=pid)["status"]

    def signal(self, pid: int, sig: int, group: bool = False) -> None:
        self.request("signal", pid=pid, signal=int(sig), group=group)

    def children(self, name: str) -> list[int]:
        return self.request("children", name=name)["pids"]

    def processes(self) -> list[dict]:
        """Every living process of the sandbox: pid and name."""
        return self.request("processes")["processes"]

    def exists(self, *paths: str) -> list[bool]:
        return self.request("exists", paths=list(paths))["exists"]

    def read(self, path: str, offset: int = 0) -> Optional[bytes]:
        data = self.request("read", path=path, offset=offset)["data"]
        return None if data is None else base64.b64decode(data)

    def close(self) -> None:
        """Ends the sandbox: the agent leaves when its pipe closes, and the
        namespace with it; whatever does not end in time is killed."""
        if self.proc.stdin is not None and not self.proc.stdin.closed:
            try:
                self.proc.stdin.close()
            except BrokenPipeError:
                pass
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
        if self.proc.stdout is not None:
            self.proc.stdout.close()


@dataclass
class Spawned:
    """A process inside the sandbox; its output goes to files of workdir."""

    sandbox: Sandbox
    pid: int
    argv: list[str]
    stdout_path: Path
    stderr_path: Path
    returncode: Optional[int] = None

    def poll(self) -> Optional[int]:
        if self.returncode is None:
            self.returncode = self.sandbox.status(self.pid)
        return self.returncode

    def wait(self, timeout: Optional[float] = None) -> Optional[int]:
        """The exit status, or None if it still runs after timeout seconds."""
        poll_until(lambda: self.poll() is not None,
                   timeout if timeout is not None else float("inf"))
        return self.returncode

    def kill(self, sig: int = signal.SIGKILL) -> None:
        if self.poll() is None:
            self.sandbox.signal(self.pid, sig, group=True)

    @property
    def stdout(self) -> str:
        return self.stdout_path.read_text(errors="replace") if self.stdout_path.exists() else ""

    @property
    def stderr(self) -> str:
        return self.stderr_path.read_text(errors="replace") if self.stderr_path.exists() else ""
