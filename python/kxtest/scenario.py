"""A scenario for `kxctl camera --scenario`, given as a dict, as TOML text
or as a path, made into a file the camera can read."""

from __future__ import annotations

import json
import math
import os
from pathlib import Path
from typing import Any, Union

Scenario = Union[dict, str, "os.PathLike[str]"]


def toml_value(value: Any) -> str:
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        if math.isnan(value):
            return "nan"
        return repr(value) if math.isfinite(value) else ("inf" if value > 0 else "-inf")
    if isinstance(value, str):
        # JSON's escapes are TOML's, but for characters beyond 16 bits,
        # which a scenario (ASCII) refuses anyway.
        return json.dumps(value)
    if isinstance(value, dict):
        return "{ " + ", ".join(f"{toml_key(k)} = {toml_value(v)}" for k, v in value.items()) + " }"
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(toml_value(v) for v in value) + "]"
    raise TypeError(f"a scenario holds no {type(value).__name__}: {value!r}")


def toml_key(key: str) -> str:
    bare = key and all(c.isascii() and (c.isalnum() or c in "-_") for c in key)
    return key if bare else json.dumps(key)


def is_table_list(value: Any) -> bool:
    return isinstance(value, (list, tuple)) and bool(value) and all(
        isinstance(v, dict) for v in value)


def to_toml(table: dict, prefix: str = "") -> str:
    """Plain keys first, then sub-tables and lists of tables ([[rule]])."""
    lines = [f"{toml_key(k)} = {toml_value(v)}" for k, v in table.items()
             if not isinstance(v, dict) and not is_table_list(v)]
    for key, value in table.items():
        name = prefix + toml_key(key)
        if isinstance(value, dict):
            lines += ["", f"[{name}]", to_toml(value, name + ".").rstrip("\n")]
        elif is_table_list(value):
            for item in value:
                lines += ["", f"[[{name}]]", to_toml(item, name + ".").rstrip("\n")]
    return "\n".join(lines).strip("\n") + "\n"


def scenario_file(scenario: Scenario, where: Path) -> Path:
    """The scenario's file: a path as it is, text or a dict written to where."""
    if isinstance(scenario, dict):
        where.write_text(to_toml(scenario), encoding="utf-8")
        return where
    if isinstance(scenario, os.PathLike) or (
            isinstance(scenario, str) and "\n" not in scenario and "=" not in scenario):
        path = Path(scenario)
        if not path.is_file():
            raise FileNotFoundError(f"no scenario file {path}")
        return path.resolve()
    where.write_text(scenario, encoding="utf-8")
    return where
