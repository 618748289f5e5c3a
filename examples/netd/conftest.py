"""netd's tests run on the kxtest plugin; netd is built once a session
against the installed libkxCommon (pkg-config), or taken from $NETD."""

import os
import subprocess
from pathlib import Path

import pytest

pytest_plugins = ["kxtest"]

HERE = Path(__file__).resolve().parent


@pytest.fixture(scope="session")
def netd(tmp_path_factory: pytest.TempPathFactory) -> str:
    if os.environ.get("NETD"):
        return os.environ["NETD"]
    out = tmp_path_factory.mktemp("netd")
    subprocess.run(["make", "-s", "-C", str(HERE), f"OUT={out}"], check=True)
    return str(out / "netd")
