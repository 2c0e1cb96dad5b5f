"""The configuration file as the daemon sees it: read at start, damaged or
unreadable files survived, pending changes written at shutdown."""
import os
import socket
import stat
import time

import pytest

from conftest import Daemon, wait_for

TWO_DAYS = 2 * 24 * 3600

CONFIG = "[main]\nPorts=tty0\n\n[tty0]\nBaud=9600\n\n"


def age_access_time(path):
    """Puts the file's access time two days back, so that the next read of
    the file moves it (also under relatime). Returns that old time."""
    st = os.stat(path)
    old = st.st_mtime - TWO_DAYS
    os.utime(path, (old, st.st_mtime))
    return old


def reads_are_visible(root):
    probe = os.path.join(root.path, "probe")
    with open(probe, "w") as f:
        f.write("x")
    old = age_access_time(probe)
    with open(probe) as f:
        f.read()
    seen = os.stat(probe).st_atime != old
    os.unlink(probe)
    return seen


def test_configuration_is_read_at_start(root):
    if not reads_are_visible(root):
        pytest.skip("this file system does not record reads")
    with open(root.config_path, "w") as f:
        f.write(CONFIG)
    old = age_access_time(root.config_path)
    d = Daemon(root)
    try:
        assert wait_for(lambda: os.stat(root.config_path).st_atime != old, timeout=10)
    finally:
        assert d.stop() == 0
    # Nothing changed, so nothing was written.
    with open(root.config_path) as f:
        assert f.read() == CONFIG


def make_garbage(path):
    with open(path, "wb") as f:
        f.write(b"Ports=outside\n\x00\xff garbage\n[main\n" + b"x" * 300000 + b"\n[ok]\na=\n")


def make_directory(path):
    os.mkdir(path)


def make_fifo(path):
    os.mkfifo(path)


def make_empty(path):
    open(path, "w").close()


@pytest.mark.parametrize("make", [make_garbage, make_directory, make_fifo, make_empty])
def test_damaged_or_unreadable_configuration_leaves_the_daemon_running(root, make):
    make(root.config_path)
    before = os.lstat(root.config_path)
    d = Daemon(root)
    try:
        time.sleep(0.3)
        assert d.proc.poll() is None
    finally:
        assert d.stop() == 0
    after = os.lstat(root.config_path)
    assert stat.S_IFMT(after.st_mode) == stat.S_IFMT(before.st_mode)
    assert (after.st_ino, after.st_size, after.st_mtime) == \
        (before.st_ino, before.st_size, before.st_mtime)


def control_request(port, line, timeout=5):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(line.encode() + b"\n")
        reply = b""
        while not reply.endswith(b"\n"):
            chunk = s.recv(256)
            if not chunk:
                break
            reply += chunk
    return reply.decode(errors="replace")


def test_shutdown_writes_a_pending_change(root):
    with open(root.config_path, "w") as f:
        f.write(CONFIG)
    os.chmod(root.config_path, 0o640)
    d = Daemon(root)
    try:
        if d.control_port == 0:
            pytest.skip("no control channel to make a change through")
        assert control_request(d.control_port, "set config DebugLog flushed").startswith("OK")
    finally:
        # Well inside the 2.5 s write-back delay: only the shutdown writes.
        assert d.stop() == 0
    with open(root.config_path) as f:
        assert f.read() == "[main]\nDebugLog=flushed\nPorts=tty0\n\n[tty0]\nBaud=9600\n\n"
    assert stat.S_IMODE(os.stat(root.config_path).st_mode) == 0o640
    assert sorted(os.listdir(os.path.dirname(root.config_path))) == ["portvaned.conf"]
