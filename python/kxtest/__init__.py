"""kxtest: a pytest plugin that gives each test a sandbox of its own with
kxRedIro, a steerable camera (kxctl camera), the engineer's own programs,
and the decoded traffic between them.

    pytest -p kxtest            or, in conftest.py: pytest_plugins = ["kxtest"]

It finds kxctl and kxRedIro in $KXTEST_BIN (or --kx-bin), else on PATH.
"""

from .kx import Camera, Daemon, Kx, KxTimeout, Process
from .message import Message
from .monitor import ExpectTimeout, Monitor
from .plugin import (kx, pytest_addoption, pytest_configure, pytest_runtest_makereport,
                     pytest_unconfigure)
from .sandbox import KxError

__all__ = ["Camera", "Daemon", "ExpectTimeout", "Kx", "KxError", "KxTimeout", "Message",
           "Monitor", "Process", "kx", "pytest_addoption", "pytest_configure",
           "pytest_runtest_makereport", "pytest_unconfigure"]
