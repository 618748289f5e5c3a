"""The test's hands inside its sandbox: `kxctl sandbox` runs this as its
command, and it starts, watches and stops the processes a test asks for.

It speaks JSON lines on standard input and output, one answer per request.
Processes must start inside the sandbox to see its mailboxes, /tmp and
endpoints, and must be children of someone who outlives them to have their
exit status kept: the agent is a child subreaper, so the daemon, which
detaches, is reparented to it and its status (255 after an assertion) is
seen here rather than lost to the sandbox's process 1. When the test's end
of the pipe closes (the test ended, or pytest was killed), the agent leaves,
and with it the sandbox and everything in it.
"""

from __future__ import annotations

import base64
import ctypes
import json
import os
import select
import shutil
import signal
import sys
from typing import Any, Callable

PR_SET_CHILD_SUBREAPER = 36

# Exit statuses by pid, of every process reaped so far, ours or adopted.
Ended = dict[int, int]


def become_subreaper() -> None:
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_CHILD_SUBREAPER)")


def status_of(wstatus: int) -> int:
    """As subprocess gives it: the exit status, or minus the signal."""
    if os.WIFSIGNALED(wstatus):
        return -os.WTERMSIG(wstatus)
    return os.WEXITSTATUS(wstatus)


def reap(ended: Ended) -> None:
    while True:
        try:
            pid, wstatus = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return
        ended[pid] = status_of(wstatus)


def findable(argv0: str, cwd: str, path: str) -> bool:
    if "/" in argv0:
        return os.access(os.path.join(cwd, argv0), os.X_OK)
    return shutil.which(argv0, path=path) is not None


def exec_child(req: dict[str, Any]) -> None:
    """In the forked child: never returns."""
    try:
        os.chdir(req["cwd"])
        os.setpgid(0, 0)
        fds = [os.open("/dev/null", os.O_RDONLY)]
        for name in ("stdout", "stderr"):
            fds.append(os.open(req[name], os.O_WRONLY | os.O_CREAT | os.O_APPEND, 0o644))
        for target, fd in enumerate(fds):
            os.dup2(fd, target)
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGPIPE):
            signal.signal(sig, signal.SIG_DFL)
        env = dict(os.environ)
        env.update(req.get("env") or {})
        os.execvpe(req["argv"][0], req["argv"], env)
    except OSError as e:
        os.write(2, f"kxtest agent: {req['argv'][0]}: {e.strerror}\n".encode())
    os._exit(127)


def spawn(req: dict[str, Any], ended: Ended) -> dict[str, Any]:
    path = (req.get("env") or {}).get("PATH", os.environ.get("PATH", ""))
    if not findable(req["argv"][0], req["cwd"], path):
        where = os.path.join(req["cwd"], req["argv"][0])
        hint = ("; the sandbox has a /tmp of its own, in which only pytest's folders"
                " and the current one stay visible") if where.startswith("/tmp/") else ""
        return {"ok": False, "error": f"{req['argv'][0]}: not found or not executable{hint}"}
    pid = os.fork()
    if pid == 0:
        exec_child(req)
    return {"ok": True, "pid": pid}


def status(req: dict[str, Any], ended: Ended) -> dict[str, Any]:
    reap(ended)
    return {"ok": True, "status": ended.get(req["pid"])}


def send_signal(req: dict[str, Any], ended: Ended) -> dict[str, Any]:
    reap(ended)
    if req["pid"] not in ended:
        # With group, what the process started goes too (a shell's children).
        kill = os.killpg if req.get("group") else os.kill
        try:
            kill(req["pid"], req["signal"])
        except ProcessLookupError:
            pass
    return {"ok": True}


def living() -> list[tuple[int, str, int]]:
    """pid, name and parent of every process of the sandbox but zombies."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", encoding="ascii", errors="replace") as f:
                stat = f.read()
        except OSError:
            continue
        name = stat[stat.find("(") + 1:stat.rfind(")")]
        fields = stat[stat.rfind(")") + 2:].split()
        if fields[0] != "Z":
            found.append((int(entry), name, int(fields[1])))
    return sorted(found)


def children(req: dict[str, Any], ended: Ended) -> dict[str, Any]:
    """Our living children named so: how the detached daemon is found."""
    reap(ended)
    me = os.getpid()
    pids = [pid for pid, name, parent in living() if parent == me and name == req["name"]]
    return {"ok": True, "pids": pids}


def processes(req: dict[str, Any], ended: Ended) -> dict[str, Any]:
    reap(ended)
    return {"ok": True, "processes": [{"pid": p, "name": n} for p, n, _ in living()]}


def read(req: dict[str, Any], ended: Ended) -> dict[str, Any]:
    """A file of the sandbox's own /tmp, from an offset on."""
    try:
        with open(req["path"], "rb") as f:
            f.seek(req.get("offset", 0))
            data = f.read()
    except FileNotFoundError:
        return {"ok": True, "data": None}
    return {"ok": True, "data": base64.b64encode(data).decode("ascii")}


def exists(req: dict[str, Any], ended: Ended) -> dict[str, Any]:
    return {"ok": True, "exists": [os.path.exists(p) for p in req["paths"]]}


def hello(req: dict[str, Any], ended: Ended) -> dict[str, Any]:
    keys = ("KXIPC_DIR", "KX_SYSLOG_FILE", "PATH")
    return {"ok": True, "pid": os.getpid(), "env": {k: os.environ.get(k) for k in keys}}


OPS: dict[str, Callable[[dict[str, Any], Ended], dict[str, Any]]] = {
    "hello": hello,
    "spawn": spawn,
    "status": status,
    "signal": send_signal,
    "children": children,
    "processes": processes,
    "read": read,
    "exists": exists,
}


def answer(line: bytes, ended: Ended) -> dict[str, Any]:
    try:
        req = json.loads(line)
        return OPS[req["op"]](req, ended)
    except (KeyError, TypeError, ValueError, OSError) as e:
        return {"ok": False, "error": f"{type(e).__name__}: {e}"}


def serve(requests: int, answers: int) -> None:
    out = os.fdopen(answers, "wb")
    ended: Ended = {}
    pending = b""
    while True:
        # Orphans are reaped while the test is busy elsewhere too, so that
        # none stays a zombie that looks alive.
        ready, _, _ = select.select([requests], [], [], 0.05)
        reap(ended)
        if not ready:
            continue
        chunk = os.read(requests, 65536)
        if not chunk:
            return
        pending += chunk
        while b"\n" in pending:
            line, pending = pending.split(b"\n", 1)
            out.write(json.dumps(answer(line, ended)).encode() + b"\n")
            out.flush()


def main() -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    become_subreaper()
    requests, answers = os.dup(0), os.dup(1)
    # Nothing we start may hold the pipes: their closing is the end signal.
    for fd in (requests, answers):
        os.set_inheritable(fd, False)
    devnull = os.open("/dev/null", os.O_RDWR)
    os.dup2(devnull, 0)
    os.dup2(devnull, 1)
    serve(requests, answers)
    sys.exit(0)


if __name__ == "__main__":
    main()
