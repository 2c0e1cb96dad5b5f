"""Ports: pseudo-terminals published under <root>/dev/<name>, with pyserial as
the application. The network side is still the discarding placeholder, so
an open shows as the port's own thread starting."""
import errno
import grp
import os
import pwd
import signal
import stat
import time

import pytest
import serial

from conftest import Daemon, wait_for


def write_config(root, text):
    """Writes the configuration file with a modification time later than any
    before, so that the daemon's cache reads it again at the next reload."""
    try:
        previous = os.stat(root.config_path).st_mtime
    except FileNotFoundError:
        previous = 0
    with open(root.config_path, "w") as f:
        f.write(text)
    later = max(time.time(), previous) + 2
    os.utime(root.config_path, (later, later))


def node(path):
    """The pseudo-terminal a link leads to: the kernel reuses pty numbers and
    inode numbers, so the change time tells a fresh one apart."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        return None
    return (st.st_dev, st.st_ino, st.st_ctime_ns)


def published(root, name):
    try:
        target = os.readlink(root.dev(name))
    except OSError:
        return None
    return target if target.startswith("/dev/pts/") else None


def write_error(port):
    try:
        os.write(port.fileno(), b"x")
    except OSError as e:
        return e.errno
    return None


def threads(pid):
    return len(os.listdir("/proc/%d/task" % pid))


def descriptors(pid):
    return len(os.listdir("/proc/%d/fd" % pid))


def masters(pid):
    count = 0
    for fd in os.listdir("/proc/%d/fd" % pid):
        try:
            if os.readlink("/proc/%d/fd/%s" % (pid, fd)) in ("/dev/ptmx", "/dev/pts/ptmx"):
                count += 1
        except OSError:
            pass
    return count


def settled(read, timeout=5.0, quiet=0.3):
    """A count that has stopped changing for `quiet` seconds."""
    deadline = time.monotonic() + timeout
    value = read()
    since = time.monotonic()
    while time.monotonic() < deadline:
        time.sleep(0.05)
        now = read()
        if now != value:
            value, since = now, time.monotonic()
        elif time.monotonic() - since >= quiet:
            break
    return value


@pytest.fixture
def start(root):
    """Starts the daemon over a configuration written first; stops it after."""
    started = []

    def run(config):
        write_config(root, config)
        d = Daemon(root)
        started.append(d)
        return d

    yield run
    for d in started:
        assert d.stop() == 0


def use_once(root, name):
    """An application's open and close; returns once a fresh pty is behind
    the name."""
    before = node(root.dev(name))
    port = serial.Serial(root.dev(name), baudrate=9600, timeout=0.1)
    port.close()
    assert wait_for(lambda: node(root.dev(name)) not in (None, before), timeout=5)


def test_ports_at_start_with_mode_owner_and_group(root, start):
    start("[main]\nPorts=tty0,tty1\n\n[tty0]\nchmod=0620\nchown=nobody\nchgrp=nogroup\n")
    assert wait_for(lambda: published(root, "tty0") and published(root, "tty1"))
    configured = os.stat(root.dev("tty0"))
    assert stat.S_ISCHR(configured.st_mode)
    assert stat.S_IMODE(configured.st_mode) == 0o620
    assert configured.st_uid == pwd.getpwnam("nobody").pw_uid
    assert configured.st_gid == grp.getgrnam("nogroup").gr_gid
    assert stat.S_IMODE(os.stat(root.dev("tty1")).st_mode) == 0o777
    assert published(root, "tty0") != published(root, "tty1")


def test_an_application_that_opens_and_waits_gets_the_port_opened(root, start):
    d = start("[main]\nPorts=gps\n\n[gps]\nPortCloseDelay=0\n")
    assert wait_for(lambda: published(root, "gps"))
    idle = settled(lambda: threads(d.pid))
    port = serial.Serial(root.dev("gps"), baudrate=4800, timeout=0.1)
    try:
        # Nothing written: the port thread starts all the same.
        assert wait_for(lambda: threads(d.pid) == idle + 1, timeout=5)
    finally:
        port.close()
    assert wait_for(lambda: threads(d.pid) == idle, timeout=5)


def test_open_then_close_gives_a_different_pty(root, start):
    start("[main]\nPorts=tty0\n")
    assert wait_for(lambda: published(root, "tty0"))
    first = node(root.dev("tty0"))
    use_once(root, "tty0")
    assert node(root.dev("tty0")) != first
    assert published(root, "tty0")


def test_data_written_by_the_application_is_taken(root, start):
    start("[main]\nPorts=tty0\n")
    assert wait_for(lambda: published(root, "tty0"))
    port = serial.Serial(root.dev("tty0"), baudrate=115200, timeout=0.1, write_timeout=5)
    try:
        # Far more than the kernel buffers: it only goes if the daemon reads.
        port.write(b"x" * 200000)
        port.flush()
    finally:
        port.close()


def test_foreign_entries_fail_only_their_port_and_are_retried(root, start):
    with open(root.dev("bad"), "w") as f:
        f.write("keep me")
    os.symlink("/proc/self/fd/1", root.dev("stdout"))
    d = start("[main]\nPorts=bad,stdout,good\n")
    # Ports are made in list order: once good is there, the others were tried.
    assert wait_for(lambda: published(root, "good"))
    with open(root.dev("bad")) as f:
        assert f.read() == "keep me"
    assert os.readlink(root.dev("stdout")) == "/proc/self/fd/1"

    os.unlink(root.dev("bad"))
    d.signal(signal.SIGHUP)
    assert wait_for(lambda: published(root, "bad"), timeout=5)
    assert os.readlink(root.dev("stdout")) == "/proc/self/fd/1"


def test_sighup_after_a_change_of_ports_adds_and_removes(root, start):
    d = start("[main]\nPorts=a,b\n")
    assert wait_for(lambda: published(root, "a") and published(root, "b"))
    kept = node(root.dev("b"))
    write_config(root, "[main]\nPorts=b,c\n")
    d.signal(signal.SIGHUP)
    assert wait_for(lambda: published(root, "c") and not os.path.lexists(root.dev("a")),
                    timeout=5)
    assert node(root.dev("b")) == kept

    # Without the key the ports stay as they are.
    write_config(root, "[main]\nUnrelated=1\n")
    d.signal(signal.SIGHUP)
    assert all(settled(lambda: (published(root, "b"), published(root, "c"))))


def test_a_device_named_twice_makes_one_port(root, start):
    d = start("[main]\nPorts=dup,other,dup\n")
    assert wait_for(lambda: published(root, "dup") and published(root, "other"))
    assert settled(lambda: masters(d.pid)) == 2
    use_once(root, "dup")
    assert settled(lambda: masters(d.pid)) == 2


def test_removing_a_port_the_application_holds(root, start):
    d = start("[main]\nPorts=held,other\n")
    assert wait_for(lambda: published(root, "held") and published(root, "other"))
    idle = settled(lambda: threads(d.pid))
    port = serial.Serial(root.dev("held"), baudrate=9600, timeout=0.1)
    try:
        assert wait_for(lambda: threads(d.pid) == idle + 1, timeout=5)
        write_config(root, "[main]\nPorts=other\n")
        d.signal(signal.SIGHUP)
        assert wait_for(lambda: not os.path.lexists(root.dev("held")), timeout=5)
        # The master is gone: the kernel fails the application's writes.
        assert wait_for(lambda: write_error(port) == errno.EIO, timeout=5)
    finally:
        port.close()
    assert published(root, "other")
    use_once(root, "other")


def test_a_hundred_uses_leave_the_descriptor_count_alone(root, start):
    d = start("[main]\nPorts=tty0\n\n[tty0]\nPortCloseDelay=0\n")
    assert wait_for(lambda: published(root, "tty0"))
    idle = settled(lambda: descriptors(d.pid))
    for _ in range(100):
        use_once(root, "tty0")
    assert wait_for(lambda: descriptors(d.pid) == idle, timeout=10), \
        (descriptors(d.pid), idle)
