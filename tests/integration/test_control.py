"""The control channel of the real daemon over real TCP connections: the
listener, line framing, every command with its replies, the trace, and the
configuration file the commands change."""
import os
import socket
import struct
import time

import pytest

from conftest import Daemon, wait_for

CONFIG = "[main]\nPorts=a,b\n"


class Control:
    """One control connection: request lines out, reply lines back."""

    def __init__(self, port, timeout=5.0):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.buf = b""

    def send(self, data):
        self.sock.sendall(data)

    def line(self):
        while b"\n" not in self.buf:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise EOFError("connection closed with %r pending" % self.buf)
            self.buf += chunk
        line, _, self.buf = self.buf.partition(b"\n")
        return line + b"\n"

    def ask(self, request):
        self.send(request.encode() + b"\n")
        return self.line().decode("latin-1")

    def nothing_within(self, seconds):
        """True when no byte arrives for that long."""
        self.sock.settimeout(seconds)
        try:
            return not self.buf and not self.sock.recv(1)
        except socket.timeout:
            return not self.buf
        finally:
            self.sock.settimeout(5.0)

    def close(self):
        self.sock.close()


@pytest.fixture
def ctl(root):
    """The daemon, started with ports a and b, and a way to connect to it."""
    with open(root.config_path, "w") as f:
        f.write(CONFIG)
    d = Daemon(root)
    opened = []

    def connect():
        c = Control(d.control_port)
        opened.append(c)
        return c

    connect.daemon = d
    # The lock file appears before the ports are made: wait for them (or
    # for the time they would take), so that tests start from a settled
    # daemon.
    probe = connect()
    connect.ports = bool(wait_for(
        lambda: probe.ask("get port b Baud") != "ERR b does not exist\n", timeout=5))
    yield connect
    for c in opened:
        c.close()
    assert d.stop() == 0


def require_ports(ctl):
    if not ctl.ports:
        pytest.skip("waiting on the ports: a and b are not created from Ports yet")


def port_section(root, port):
    """The key=value lines of one section of the configuration file."""
    with open(root.config_path) as f:
        text = f.read()
    values, current = {}, None
    for line in text.splitlines():
        if line.startswith("["):
            current = line.strip("[]")
        elif current == port and "=" in line:
            key, _, value = line.partition("=")
            values[key] = value
    return values


def wait_for_written(root, port, expected, timeout=8):
    return wait_for(lambda: all(port_section(root, port).get(k) == v
                                for k, v in expected.items()), timeout=timeout)


# ----------------------------------------------------------------- listener

def listening_addresses(port):
    """Local addresses listening on the port, from /proc/net/tcp."""
    found = []
    with open("/proc/net/tcp") as f:
        next(f)
        for row in f:
            fields = row.split()
            address, hexport = fields[1].split(":")
            if int(hexport, 16) == port and fields[3] == "0A":
                found.append(socket.inet_ntoa(bytes.fromhex(address)[::-1]))
    return found


def test_lock_file_names_the_bound_port_on_loopback_only(ctl, root):
    d = ctl.daemon
    pid, port = root.lock_owner()
    assert pid == d.pid
    assert 49152 <= port <= 65534
    assert root.read_lock() == "%10d,%10d\n" % (d.pid, port)
    assert listening_addresses(port) == ["127.0.0.1"]
    assert ctl().ask("echo up") == "OK up\n"


# ------------------------------------------------------------------ framing

def test_framing(ctl):
    c = ctl()
    # Split over several segments: assembled and answered once.
    for piece in (b"ec", b"ho spl", b"it\n"):
        c.send(piece)
        time.sleep(0.05)
    assert c.line() == b"OK split\n"
    c.send(b"echo crlf\r\n")
    assert c.line() == b"OK crlf\n"
    # Two commands in one segment: only the first is executed.
    c.send(b"echo first\necho second\n")
    assert c.line() == b"OK first\n"
    assert c.ask("echo third") == "OK third\n"
    # Any bytes.
    c.send(b"echo a\x00\xffb\rc\n")
    assert c.line() == b"OK a\x00\xffb\rc\n"
    # An overlong line is dropped; what followed the cut is a line of its own.
    c.send(b"x" * 300000 + b"\n")
    assert c.line() == b"ERR unknown command\n"
    assert c.ask("echo short") == "OK short\n"
    assert c.ask("") == "ERR unknown command\n"


def test_thousand_connections_leave_nothing_behind(ctl):
    d = ctl.daemon
    first = ctl()
    assert first.ask("echo ready") == "OK ready\n"
    def fds():
        names = {}
        for fd in os.listdir("/proc/%d/fd" % d.pid):
            try:
                names[fd] = os.readlink("/proc/%d/fd/%s" % (d.pid, fd))
            except FileNotFoundError:
                pass
        return names
    before = fds()
    port = d.control_port
    for i in range(500):
        # One connection says nothing, the other asks; the accept queue is
        # short, so asking also paces the loop.
        silent = socket.create_connection(("127.0.0.1", port), timeout=5)
        talker = Control(port)
        assert talker.ask("echo %d" % i) == "OK %d\n" % i
        silent.close()
        talker.close()
    assert wait_for(lambda: fds() == before, timeout=10), \
        set(fds().items()) ^ set(before.items())
    assert first.ask("echo still") == "OK still\n"


# ------------------------------------------------------------ command table

GENERAL = [
    ("echo hello world", "OK hello world\n"),
    ("echo", "ERR unknown command\n"),
    ("Echo x", "ERR unknown command\n"),
    ("frobnicate", "ERR unknown command\n"),
    ("get config helpabout", "OK VER=4.0\n"),
    ("get config Ports", "OK a,b\n"),
    ("set config MaxReconnectDelay 5000", "OK \n"),
    ("get config MaxReconnectDelay", "OK 5000\n"),
    ("set config MaxReconnectDelay soon", "ERR \n"),
    ("set config DebugLog two words  ", "OK \n"),
    ("get config DebugLog", "OK two words  \n"),
    ("set config NoSuchKey 1", "ERR \n"),
    ("get config NoSuchKey", "OK \n"),
    ("delete config NoSuchKey", "OK \n"),
    ("delete config DebugLog", "OK \n"),
    ("get config DebugLog", "OK \n"),
    ("set config chown no-such-user-here", "ERR 'no-such-user-here' is not a valid user\n"),
    ("set config chgrp no-such-group-here", "ERR 'no-such-group-here' is not a valid group\n"),
    ("set config chown root", "OK \n"),
    ("set config chgrp root", "OK \n"),
    ("set config chmod 0660", "OK \n"),
    ("delete config chmod", "OK \n"),
    ("get port zz Baud", "ERR zz does not exist\n"),
    ("set port zz Baud 9600", "ERR zz does not exist\n"),
    ("delete port zz Baud", "ERR zz does not exist\n"),
    ("copy port zz a", "ERR zz does not exist\n"),
    ("traceoff", "ERR No trace session active\n"),
]


def test_general_commands(ctl):
    c = ctl()
    for request, reply in GENERAL:
        assert c.ask(request) == reply, request


PORTS = [
    ("set port a Baud 9600", "OK \n"),
    ("get port a Baud", "OK 9600\n"),
    ("set port a Baud fast", "ERR \n"),
    ("set port a NoSuchKey 1", "ERR \n"),
    ("get port a NoSuchKey", "OK \n"),
    # An unknown port anywhere in the list: nothing changes.
    ("set port a,zz Baud 1200", "ERR zz does not exist\n"),
    ("get port a Baud", "OK 9600\n"),
    ("delete port a Baud", "OK \n"),
    ("get port a Baud", "OK \n"),
    ("set port all TelnetMode telnetcr", "OK \n"),
    ("get port a TelnetMode", "OK telnetcr\n"),
    ("get port b TelnetMode", "OK telnetcr\n"),
    ("set port b TelnetMode telnet", "OK \n"),
    ("get port b TelnetMode", "OK telnet\n"),
    ("set port b TelnetMode tcp", "OK \n"),
    ("get port b TelnetMode", "OK tcp\n"),
    ("delete port b TelnetMode", "OK \n"),
    ("get port b TelnetMode", "OK \n"),
    ("set port a Server h", "OK \n"),
    ("set port a ServerPort 4001", "OK \n"),
    ("get port a Server", "OK h\n"),
    ("get port a ServerPort", "OK 4001\n"),
    # The port first (pvconfig -tty b -port 4001 -server h): it is kept.
    ("set port b ServerPort 4001", "OK \n"),
    ("get port b Server", "OK \n"),
    ("get port b ServerPort", "OK 4001\n"),
    ("set port b Server h2", "OK \n"),
    ("get port b ServerPort", "OK 4001\n"),
    ("delete port b Server", "OK \n"),
    ("get port b ServerPort", "OK 4001\n"),
    ("get port a Password", "OK \n"),
    ("set port a Password secret", "OK \n"),
    ("get port a Password", "OK <password set>\n"),
    ("set port a Password " + "p" * 64, "ERR Password too long (at most 63 characters)\n"),
    ("set port a Password " + "p" * 63, "OK \n"),
    ("set port a AuthSource username", "OK \n"),
    ("get port a AuthSource", "OK username\n"),
    ("set port a AuthSource none", "OK \n"),
    ("get port a AuthSource", "OK none\n"),
    ("get port b AuthSource", "OK \n"),
    ("set port a chown no-such-user-here", "ERR 'no-such-user-here' is not a valid user\n"),
    ("set port a chgrp no-such-group-here", "ERR 'no-such-group-here' is not a valid group\n"),
    ("set port a chown root", "OK \n"),
    ("set port a chgrp root", "OK \n"),
    ("set port a chmod 0600", "OK \n"),
    ("get port a chmod", "OK 0600\n"),
    ("delete port a chmod", "OK \n"),
    ("get port a,b Baud", "ERR unknown command\n"),
    ("set port a Parity even", "OK \n"),
    ("copy port a b,zz", "ERR zz does not exist\n"),
    ("get port b Parity", "OK \n"),
    ("copy port a all", "OK \n"),
    ("get port b Parity", "OK even\n"),
    ("get port b Password", "OK <password set>\n"),
    ("copy port b b", "OK \n"),
    ("set config AddPorts c", "OK \n"),
    ("get config Ports", "OK a,b,c\n"),
    ("set config DelPorts c,nothere", "OK \n"),
    ("get config Ports", "OK a,b\n"),
    ("set config Ports a", "OK \n"),
    ("get port b Baud", "ERR b does not exist\n"),
    ("set config Ports a,b", "OK \n"),
    ("get config Ports", "OK a,b\n"),
]


def test_port_commands(ctl, root):
    require_ports(ctl)
    c = ctl()
    for request, reply in PORTS:
        assert c.ask(request) == reply, request
    # The password itself is never shown, nor stored in clear.
    with open(root.config_path) as f:
        assert "secret" not in f.read()
    assert os.path.islink(root.dev("a")) and os.path.islink(root.dev("b"))
    assert not os.path.exists(root.dev("c"))


def test_configuration_file_holds_the_changes(ctl, root):
    require_ports(ctl)
    c = ctl()
    assert c.ask("set port a Baud 19200") == "OK \n"
    assert c.ask("set port all TelnetMode telnetcr") == "OK \n"
    assert c.ask("set port b ServerPort 4001") == "OK \n"
    assert c.ask("set port b Server 10.1.2.3") == "OK \n"
    assert c.ask("set config MaxReconnectDelay 5000") == "OK \n"
    assert c.ask("set config NoSuchKey 1") == "ERR \n"
    asked = time.monotonic()
    assert wait_for_written(root, "a", {"Baud": "19200", "TelnetMode": "1",
                                        "TelnetCRMode": "3"})
    # Written once, 2.5 s after the last change.
    assert time.monotonic() - asked >= 2.0
    assert port_section(root, "b") == {"TelnetMode": "1", "TelnetCRMode": "3",
                                       "ServerAddress": "10.1.2.3[4001]"}
    general = port_section(root, "main")
    assert general.get("MaxReconnectDelay") == "5000"
    assert "NoSuchKey" not in general


# -------------------------------------------------------------------- trace

def overlong_line(c):
    """Makes the daemon log an error record under "ctrl"."""
    c.send(b"y" * 270000)
    c.send(b"\n")
    assert c.line() == b"ERR unknown command\n"


DISCARD = b" ctrl ** Discarding command due to length limit of 262144 bytes\n"


def trace_lines_until(c, ending, limit=10):
    deadline = time.monotonic() + limit
    lines = []
    while time.monotonic() < deadline:
        line = c.line()
        lines.append(line)
        if line.endswith(ending):
            return lines
    return lines


def test_one_trace_session_at_a_time(ctl):
    tracer, other = ctl(), ctl()
    assert tracer.ask("trace all") == "OK \n"
    overlong_line(other)
    assert trace_lines_until(tracer, DISCARD)[-1].endswith(DISCARD)

    assert other.ask("trace a") == "ERR Only one trace session may be active\n"
    # Answered, and the first trace goes on.
    assert other.ask("traceoff") == "OK \n"
    overlong_line(other)
    assert trace_lines_until(tracer, DISCARD)[-1].endswith(DISCARD)

    assert tracer.ask("traceoff") == "OK \n"
    overlong_line(other)
    assert tracer.nothing_within(0.5)
    # A new trace on the same connection.
    assert tracer.ask("trace all") == "OK \n"
    overlong_line(other)
    assert trace_lines_until(tracer, DISCARD)[-1].endswith(DISCARD)

    # A tracer that vanishes ends the trace; another connection may start one.
    tracer.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    tracer.close()
    assert wait_for(lambda: other.ask("trace all") == "OK \n", timeout=5)
    assert other.ask("traceoff") == "OK \n"


def test_trace_carries_port_events(ctl):
    require_ports(ctl)
    tracer, c = ctl(), ctl()
    assert tracer.ask("trace a") == "OK \n"
    assert c.ask("set config AddPorts c") == "OK \n"
    # Records of every port and source, whatever the trace command named.
    lines = trace_lines_until(tracer, b" c -- Create Port\n")
    assert lines[-1].endswith(b" c -- Create Port\n")
    assert c.ask("set config DelPorts c") == "OK \n"
