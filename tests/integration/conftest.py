"""Shared fixtures: a scratch PORTVANE_ROOT and the real daemon started in it.

Every test bounds its time and stops what it started by PID. PORTVANE_BIN
names the build whose programs run (the plain or the sanitizer build).
"""
import os
import shutil
import signal
import subprocess
import tempfile
import time

import pytest

BIN = os.environ.get(
    "PORTVANE_BIN",
    os.path.join(os.path.dirname(__file__), "..", "..", "build", "bin"))


def program(name):
    return os.path.join(BIN, name)


def wait_for(predicate, timeout=10.0, interval=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(interval)
    return predicate()


class Root:
    """A scratch root: etc/, var/lock/ and dev/ below a temporary directory."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="portvane-test.")
        for d in ("etc", "var/lock", "dev"):
            os.makedirs(os.path.join(self.path, d), exist_ok=True)
        self.env = dict(os.environ, PORTVANE_ROOT=self.path)

    @property
    def lock_path(self):
        return os.path.join(self.path, "var/lock/LCK..portvaned")

    @property
    def config_path(self):
        return os.path.join(self.path, "etc/portvaned.conf")

    def dev(self, name):
        return os.path.join(self.path, "dev", name)

    def read_lock(self):
        try:
            with open(self.lock_path) as f:
                return f.read()
        except FileNotFoundError:
            return None

    def lock_owner(self):
        text = self.read_lock()
        if not text or "," not in text:
            return None
        pid, port = text.split(",", 1)
        return int(pid), int(port)

    def run(self, *args, timeout=15, **kw):
        return subprocess.run([program(args[0])] + list(args[1:]), env=self.env,
                              capture_output=True, text=True, timeout=timeout, **kw)

    def cleanup(self):
        shutil.rmtree(self.path, ignore_errors=True)


class Daemon:
    """portvaned in the foreground, ready once its lock file names it."""

    def __init__(self, root, args=()):
        self.root = root
        self.proc = subprocess.Popen([program("portvaned")] + list(args), env=root.env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        owner = wait_for(lambda: self._ready(), timeout=15)
        if not owner:
            self.stop()
            raise RuntimeError("portvaned did not start: %r" % (self.proc.communicate(),))

    def _ready(self):
        owner = self.root.lock_owner()
        return owner if owner and owner[0] == self.proc.pid else None

    @property
    def pid(self):
        return self.proc.pid

    @property
    def control_port(self):
        return self.root.lock_owner()[1]

    def signal(self, sig):
        self.proc.send_signal(sig)

    def stop(self, timeout=15):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        out, err = self.proc.communicate()
        return self.proc.returncode


@pytest.fixture
def root():
    r = Root()
    yield r
    r.cleanup()


@pytest.fixture
def daemon(root):
    d = Daemon(root)
    yield d
    rc = d.stop()
    assert rc == 0, "daemon ended with status %r" % rc
