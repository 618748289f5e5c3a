"""The pytest side: the `kx` fixture, one sandbox a test, and the failure
report that shows what passed between the daemon and the camera."""

from __future__ import annotations

import os
import time
from pathlib import Path
from typing import Iterator, Optional

import pytest

from .kx import Kx
from .message import Message

OPEN = pytest.StashKey[list]()
KX = pytest.StashKey[Kx]()
SHOWN_LINES = 400  # of the daemon's log, the last ones


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.getgroup("kxtest").addoption(
        "--kx-bin", default=None,
        help="folder with kxctl and kxRedIro (default: $KXTEST_BIN, else PATH)")


def pytest_configure(config: pytest.Config) -> None:
    config.stash[OPEN] = []


@pytest.fixture
def kx(request: pytest.FixtureRequest, tmp_path: Path) -> Iterator[Kx]:
    """A sandbox of this test's own: private mailboxes, /tmp, endpoints and
    processes, none of which outlives the test."""
    bindir = request.config.getoption("--kx-bin") or os.environ.get("KXTEST_BIN")
    workdir = tmp_path / "kx"
    workdir.mkdir()
    k = Kx(workdir, bindir)
    opened = request.config.stash[OPEN]
    opened.append(k)
    request.node.stash[KX] = k
    try:
        yield k
    finally:
        opened.remove(k)
        k.close()


def pytest_unconfigure(config: pytest.Config) -> None:
    # An interrupted run skips fixture teardown; the sandboxes end here.
    for k in config.stash.get(OPEN, []):
        k.close()


def clock(t: Optional[float]) -> str:
    if t is None:
        return "--:--:--.---"
    return time.strftime("%H:%M:%S", time.localtime(t)) + f".{int(t * 1000) % 1000:03d}"


def traffic_text(k: Kx) -> str:
    k.monitor.read()
    lines = [f"{clock(e.time)}  {e}" if isinstance(e, Message)
             else f"{clock(e.get('time'))}  {e.get('line', e)}" for e in k.monitor.events]
    return "\n".join(lines) if lines else "(no message passed the daemon)"


def journal_text(k: Kx) -> str:
    parts = []
    for path, entries in k.journals():
        parts.append(f"{path}:")
        parts += [f"  {e}" for e in entries] or ["  (nothing received)"]
    return "\n".join(parts) if parts else "(no camera was started)"


def report_sections(k: Kx) -> list[tuple[str, str]]:
    log = k.syslog[-SHOWN_LINES:]
    return [
        ("kx traffic", traffic_text(k)),
        ("kx daemon log", "\n".join(log) if log else "(the daemon logged nothing)"),
        ("kx camera journal", journal_text(k)),
        ("kx capture", f"{k.capture} (open it in Wireshark)" if k.capture.exists()
         else "(no capture: no daemon was started)"),
    ]


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item: pytest.Item, call: pytest.CallInfo) -> Iterator[None]:
    outcome = yield
    report = outcome.get_result()
    k = item.stash.get(KX, None)
    if k is None or not report.failed or report.when == "teardown":
        return
    try:
        sections = report_sections(k)
    except Exception as e:  # the report must not hide the failure it reports
        sections = [("kx", f"no report of the sandbox: {e}")]
    report.sections.extend(sections)
