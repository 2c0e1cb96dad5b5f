"""The daemon's command-line modes, lock file and signals."""
import os
import signal
import stat
import subprocess
import time

import pytest

from conftest import Daemon, wait_for


def pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


def test_version(root):
    r = root.run("portvaned", "--version")
    assert (r.returncode, r.stdout) == (0, "4.0\n")
    assert root.read_lock() is None


def test_status_stopped_and_stale(root):
    r = root.run("portvaned", "--status")
    assert (r.returncode, r.stdout) == (2, "stopped\n")
    with open(root.lock_path, "w") as f:
        f.write("%10d,%10d\n" % (2**22 + 12345, 0))
    r = root.run("portvaned", "--status")
    assert (r.returncode, r.stdout) == (2, "stopped\n")


def test_foreground_lock_format_and_refusals(daemon, root):
    text = root.read_lock()
    port = daemon.control_port
    assert 49152 <= port <= 65534
    assert text == "%10d,%10d\n" % (daemon.pid, port)
    assert len(text) == 22
    assert stat.S_IMODE(os.stat(root.lock_path).st_mode) == 0o644

    r = root.run("portvaned", "--status")
    assert (r.returncode, r.stdout) == (1, "running at pid %d\n" % daemon.pid)
    for args in (["--start"], [], ["--bogus"]):
        r = root.run("portvaned", *args)
        assert (r.returncode, r.stdout) == (1, "already running at pid %d\n" % daemon.pid)
    assert root.read_lock() == text


def test_sighup_keeps_running_sigterm_removes_lock(daemon, root):
    daemon.signal(signal.SIGHUP)
    time.sleep(0.3)
    assert daemon.proc.poll() is None
    assert root.lock_owner()[0] == daemon.pid
    daemon.signal(signal.SIGTERM)
    assert daemon.proc.wait(timeout=10) == 0
    assert root.read_lock() is None


def test_sigint_stops(daemon, root):
    daemon.signal(signal.SIGINT)
    assert daemon.proc.wait(timeout=10) == 0
    assert root.read_lock() is None


def test_stop_when_stopped_leaves_stale_lock_then_start_works(root):
    r = root.run("portvaned", "--stop")
    assert (r.returncode, r.stdout) == (2, "already stopped\n")
    owner = root.lock_owner()
    assert owner is not None and not pid_alive(owner[0])

    r = root.run("portvaned", "--start")
    assert r.returncode == 0 and r.stdout == ""
    try:
        owner = wait_for(lambda: root.lock_owner() if root.lock_owner() and
                         pid_alive(root.lock_owner()[0]) else None)
        assert owner, "detached daemon did not take the lock"
        pid = owner[0]
        # The lock names the detached child, not the process we started.
        r = root.run("portvaned", "--status")
        assert (r.returncode, r.stdout) == (1, "running at pid %d\n" % pid)
    finally:
        r = root.run("portvaned", "--stop")
    assert (r.returncode, r.stdout) == (0, "")
    assert wait_for(lambda: not pid_alive(pid), timeout=6)
    assert root.read_lock() is None


@pytest.mark.parametrize("content", ["0\n", "garbage", "", "%10d,%10d\n" % (2**22 + 4321, 7)])
def test_stale_or_garbage_lock_is_taken_over(root, content):
    with open(root.lock_path, "w") as f:
        f.write(content)
    d = Daemon(root)
    try:
        assert root.read_lock() == "%10d,%10d\n" % (d.pid, d.control_port)
    finally:
        assert d.stop() == 0


def test_planted_symlink_lock_is_not_trusted(root):
    # A lock in a world-writable directory that is not a regular file names
    # nobody: --status and --stop ignore it and a start replaces it.
    victim = os.path.join(root.path, "victim")
    with open(victim, "w") as f:
        f.write("%10d,%10d\n" % (os.getpid(), 1))
    os.symlink(victim, root.lock_path)
    r = root.run("portvaned", "--status")
    assert (r.returncode, r.stdout) == (2, "stopped\n")
    d = Daemon(root)
    try:
        assert not os.path.islink(root.lock_path)
    finally:
        assert d.stop() == 0
    with open(victim) as f:
        assert f.read() == "%10d,%10d\n" % (os.getpid(), 1)


def test_unwritable_lock_directory_refuses_start(root):
    lockdir = os.path.dirname(root.lock_path)
    os.rmdir(lockdir)
    with open(lockdir, "w"):
        pass  # a file where the directory should be: nothing can be created
    r = root.run("portvaned", timeout=10)
    assert (r.returncode, r.stdout) == (1, "already running\n")


def test_stop_waits_for_the_daemon(daemon, root):
    r = root.run("portvaned", "--stop")
    assert r.returncode == 0
    assert daemon.proc.wait(timeout=1) == 0


def test_descriptor_limit_raised(daemon):
    with open("/proc/%d/limits" % daemon.pid) as f:
        line = [l for l in f if l.startswith("Max open files")][0]
    soft, hard = line.split()[3:5]
    assert soft == hard
