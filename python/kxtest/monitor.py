"""Every message the daemon passes, both ways, as `kxctl monitor` reads
them from its trace; and the expectations a test has of them."""

from __future__ import annotations

import json
import time
from pathlib import Path
from typing import Optional, Union

from .message import Message


class ExpectTimeout(AssertionError):
    """What was awaited did not pass in time; the message lists what did."""


class Monitor:
    def __init__(self, path: Path):
        self.path = path
        self.messages: list[Message] = []
        self.assertions: list[dict] = []  # the daemon's assertion reports
        self.events: list[Union[Message, dict]] = []  # both, in the order logged
        self._offset = 0
        self._pending = b""
        self._next = 0  # where the next expect starts looking
        self._next_assertion = 0

    def read(self) -> list[Message]:
        """Takes in what the monitor wrote since; returns all messages."""
        try:
            with open(self.path, "rb") as f:
                f.seek(self._offset)
                chunk = f.read()
        except FileNotFoundError:
            return self.messages
        self._offset += len(chunk)
        self._pending += chunk
        *lines, self._pending = self._pending.split(b"\n")
        for line in lines:
            self._take(line)
        return self.messages

    def _take(self, line: bytes) -> None:
        try:
            obj = json.loads(line)
        except ValueError:
            return
        if obj.get("kind") == "assertion":
            self.assertions.append(obj)
            self.events.append(obj)
        elif "code" in obj:
            self.messages.append(Message.from_json(obj))
            self.events.append(self.messages[-1])

    def expect_assertion(self, timeout: float = 5) -> dict:
        """The daemon's next assertion report after the previous one taken:
        line (as logged, without colour codes), report, time."""
        deadline = time.monotonic() + timeout
        while True:
            self.read()
            if self._next_assertion < len(self.assertions):
                self._next_assertion += 1
                return self.assertions[self._next_assertion - 1]
            if time.monotonic() >= deadline:
                raise ExpectTimeout(f"no assertion report in {timeout} s")
            time.sleep(0.01)

    def expect(self, code: Optional[str] = None, kind: Optional[str] = None,
               timeout: float = 5, status: Optional[int] = None) -> Message:
        """The first message after the one the previous expect returned that
        has this code, kind ("command" or "response") and status."""
        deadline = time.monotonic() + timeout
        while True:
            self.read()
            for i in range(self._next, len(self.messages)):
                m = self.messages[i]
                if m.matches(code, kind) and (status is None or m.status == status):
                    self._next = i + 1
                    return m
            if time.monotonic() >= deadline:
                break
            time.sleep(0.01)
        wanted = " ".join(f"{k}={v!r}" for k, v in
                          (("code", code), ("kind", kind), ("status", status)) if v is not None)
        seen = self.messages[self._next:]
        lines = "".join(f"\n  {m}" for m in seen) or "\n  (none)"
        raise ExpectTimeout(f"no message with {wanted or 'any fields'} in {timeout} s; "
                            f"the {len(seen)} seen since the last match:{lines}")
