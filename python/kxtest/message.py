"""A camera message as `kxctl --json` decodes it."""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import Any, Optional


def hex_bytes(value: Any) -> bytes:
    return bytes.fromhex(value) if isinstance(value, str) else b""


def shortened(value: bytes, shown: int = 24) -> str:
    if len(value) <= shown:
        return value.hex()
    return f"{value[:shown].hex()}... ({len(value)} bytes)"


@dataclass(frozen=True)
class Message:
    """code, kind ("command" or "response"), status (the first byte of a
    response; None for a command), args and payload (a response's bytes
    after its status), src and dst (the source and destination elements),
    time (seconds since the epoch, or None), raw (the message's bytes, when
    the trace showed them all). json is kxctl's whole object, decoded
    fields and all."""

    code: Optional[str]
    kind: str
    status: Optional[int]
    args: bytes
    payload: bytes
    src: Optional[str]
    dst: Optional[str]
    time: Optional[float]
    raw: bytes
    json: dict = field(repr=False, compare=False)

    @classmethod
    def from_json(cls, obj: dict) -> "Message":
        response = hex_bytes(obj.get("response"))
        is_response = obj.get("kind") == "response"
        return cls(
            code=obj.get("code"),
            kind=obj.get("kind", "command"),
            status=response[0] if is_response and response else None,
            args=hex_bytes(obj.get("args")),
            payload=response[1:] if is_response else b"",
            src=obj.get("source"),
            dst=obj.get("destination"),
            time=obj.get("time"),
            raw=hex_bytes(obj.get("hex")),
            json=obj,
        )

    @classmethod
    def from_line(cls, line: str) -> "Message":
        return cls.from_json(json.loads(line))

    def matches(self, code: Optional[str], kind: Optional[str]) -> bool:
        return (code is None or self.code == code) and (kind is None or self.kind == kind)

    def __str__(self) -> str:
        where = self.json.get("trace") or self.json.get("channel") or ""
        status = "" if self.status is None else f" status {self.status}"
        args = f" args {shortened(self.args)}" if self.args else ""
        payload = f" payload {shortened(self.payload)}" if self.payload else ""
        return (f"{where} {self.code} {self.kind}{status}{args}{payload}"
                f" ({self.src} -> {self.dst})").strip()
