"""Runs some of a test file's tests again inside a network namespace that
has only the loopback interface, made for the run and removed after it, so
servers the tests start can reach nothing but 127.0.0.1."""

import os
import shutil
import subprocess
import sys

import pytest


def run_in_loopback_namespace(test_file: str, selector: str, flag: str, passed: int, tag: str) -> None:
    """Runs ``pytest test_file -k selector`` in a fresh namespace with ``flag``
    set in the environment, and asserts that ``passed`` tests passed."""
    if os.environ.get(flag):
        pytest.skip("already inside the namespace")
    if os.geteuid() != 0 or shutil.which("ip") is None:
        pytest.skip("needs root and iproute2 to make a network namespace")
    name = f"tarnex-{tag}-{os.getpid()}"
    subprocess.run(["ip", "netns", "add", name], check=True)
    try:
        subprocess.run(["ip", "netns", "exec", name, "ip", "link", "set", "lo", "up"], check=True)
        result = subprocess.run(
            ["ip", "netns", "exec", name, sys.executable, "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
             test_file, "-k", selector],
            env={**os.environ, flag: "1"}, cwd=os.path.dirname(test_file), capture_output=True, text=True,
            timeout=900)
        assert result.returncode == 0, result.stdout[-6000:] + result.stderr[-3000:]
        assert f"{passed} passed" in result.stdout, result.stdout[-3000:]
    finally:
        subprocess.run(["ip", "netns", "delete", name], check=False)
