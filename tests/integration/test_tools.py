"""pvconfig, pvquery and pvtrace against a fake control channel.

The fake records the request lines byte for byte, so these tests pin down
what each command line sends, and it answers from canned replies, so the
listings can be compared byte for byte. It also plays the daemons that
cannot be had for real: silent, garbled, overlong, hanging up.
"""
import os
import signal
import socket
import subprocess
import time

import pytest

from conftest import program, wait_for
from fakeserver import FakeControlServer, HangUp, Pieces, Silence

LICENSE = os.path.join(os.path.dirname(__file__), "..", "..", "LICENSE")


@pytest.fixture
def fake(root):
    servers = []

    def start(answers=None, default=b"OK \n"):
        s = FakeControlServer(root, answers, default)
        servers.append(s)
        return s

    yield start
    for s in servers:
        s.stop()


def run(root, name, *args, timeout=20):
    # Standard input is never a terminal here, so help is never paged.
    return root.run(name, *args, timeout=timeout, stdin=subprocess.DEVNULL)


def test_pvquery_is_a_link_to_pvconfig():
    path = program("pvquery")
    assert os.path.islink(path) and os.readlink(path) == "pvconfig"


# ---------------------------------------------------------------- requests

CONFIG_REQUESTS = [
    (["-tty", "tty0", "-server", "10.1.2.3"], [b"set port tty0 Server 10.1.2.3\n"]),
    (["-tty", "tty0", "-se", "h", "-po", "4001"],
     [b"set port tty0 Server h\n", b"set port tty0 ServerPort 4001\n"]),
    (["-tty", "tty0", "-protocol"], [b"set port tty0 TelnetMode tcp\n"]),
    (["-tty", "tty0", "-protocol", "TelnetCR"], [b"set port tty0 TelnetMode TelnetCR\n"]),
    (["-tty", "tty0", "-server"], [b"delete port tty0 Server\n"]),
    (["-tty", "tty0,tty1", "-restore", "y"], [b"set port tty0,tty1 AutoReconnect 1\n"]),
    (["-tty", "tty0", "-r"], [b"set port tty0 AutoReconnect 0\n"]),
    (["-tty", "tty0", "-speed", "9600", "-length", "7", "-parity", "EVEN", "-stop", "1.5"],
     [b"set port tty0 Baud 9600\n", b"set port tty0 DataLength 7\n",
      b"set port tty0 Parity EVEN\n", b"set port tty0 StopBits 1.5\n"]),
    (["-y", "tty0", "-D", "1", "-T", "0", "-I", "xonxoff", "-O", "cts"],
     [b"set port tty0 DTR 1\n", b"set port tty0 RTS 0\n", b"set port tty0 InFlow xonxoff\n",
      b"set port tty0 OutFlow cts\n"]),
    (["-tty", "tty0", "-auth", "username", "-username", "root", "-password", "se cret"],
     [b"set port tty0 AuthSource username\n", b"set port tty0 Login root\n",
      b"set port tty0 Password se cret\n"]),
    (["-tty", "tty0", "-auth"], [b"set port tty0 AuthSource none\n"]),
    (["-tty", "tty1,tty2", "-copyfrom", "tty0"], [b"copy port tty0 tty1,tty2\n"]),
    (["-ttylist", "tty0,tty1"], [b"set config Ports tty0,tty1\n"]),
    (["-addtty", "tty2"], [b"set config AddPorts tty2\n"]),
    (["-deltty", "tty2"], [b"set config DelPorts tty2\n"]),
    (["-nagle", "Y"], [b"set config TCPNODELAY 0\n"]),
    (["-nagle", "n"], [b"set config TCPNODELAY 1\n"]),
    (["-keepalive", "500", "-timeout", "-maxreconnect", "9000", "-delayclose"],
     [b"set config CPCKeepAliveTimer 500\n", b"set config CPCKeepAliveWatch 30000\n",
      b"set config MaxReconnectDelay 9000\n", b"set config PortCloseDelay 8000\n"]),
    (["-sync", "Y", "-limitrate", "n"],
     [b"set config DeferredPortOpen 1\n", b"set config ForceBaudRateThrottle 0\n"]),
    (["-authterm"], [b"set config AuthTerminator \\n\n"]),
    (["-login", "name?|id >", "-pwd", "pin:"],
     [b"set config LoginPrompts2 name?|id >\n", b"set config PasswordPrompts2 pin:\n"]),
    (["-deflogin", "-defpassword"],
     [b"set config LoginPrompts1 login: |username: |Username:|login :|Login:|user:|\n",
      b"set config PasswordPrompts1 password:|Password:|Enter PASSCODE|\n"]),
    (["-chown", "uucp", "-chgrp", "dialout", "-chmod", "660"],
     [b"set config chown uucp\n", b"set config chgrp dialout\n", b"set config chmod 660\n"]),
    (["-tty", "tty0", "-chmod"], [b"delete port tty0 chmod\n"]),
    (["-chown"], [b"delete config chown\n"]),
    (["-reset"],
     [b"delete config chown\n", b"delete config chgrp\n", b"delete config chmod\n",
      b"set config TCPNODELAY 0\n", b"set config CPCKeepAliveTimer 60000\n",
      b"set config CPCKeepAliveWatch 30000\n", b"set config MaxReconnectDelay 30000\n",
      b"set config PortCloseDelay 8000\n", b"set config DeferredPortOpen 0\n",
      b"set config ForceBaudRateThrottle 0\n", b"set config AuthTerminator \\n\n",
      b"delete config LoginPrompts2\n", b"delete config PasswordPrompts2\n",
      b"set config LoginPrompts1 login: |username: |Username:|login :|Login:|user:|\n",
      b"set config PasswordPrompts1 password:|Password:|Enter PASSCODE|\n"]),
    (["-tty", "tty0", "-reset"],
     [b"delete port tty0 Server\n", b"delete port tty0 ServerPort\n",
      b"set port tty0 TelnetMode tcp\n", b"set port tty0 AutoReconnect 0\n"] +
     [b"delete port tty0 %s\n" % k for k in
      (b"Baud", b"DataLength", b"Parity", b"StopBits", b"DTR", b"RTS", b"InFlow", b"OutFlow")] +
     [b"set port tty0 AuthSource none\n"] +
     [b"delete port tty0 %s\n" % k for k in
      (b"Login", b"Password", b"chown", b"chgrp", b"chmod")]),
]


@pytest.mark.parametrize("args,expected", CONFIG_REQUESTS,
                         ids=[" ".join(a) for a, _ in CONFIG_REQUESTS])
def test_pvconfig_requests(root, fake, args, expected):
    server = fake()
    r = run(root, "pvconfig", *args)
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    assert server.request_lines() == expected
    assert server.connections == 1


def test_version_needs_no_daemon(root):
    for name in ("pvconfig", "pvquery"):
        r = run(root, name, "-version")
        assert (r.returncode, r.stdout, r.stderr) == (0, "Portvane 4.0\n", "")


# ------------------------------------------------------------------ misuse

MISUSE = [
    ("pvconfig", [], 2, "Error: no options specified\n"),
    ("pvconfig", ["-tty", "tty0"], 2, "Error: no options specified\n"),
    ("pvconfig", ["tty0"], 1, "Unknown option tty0\n"),
    ("pvconfig", ["-bogus"], 1, "Unknown option -bogus\n"),
    ("pvconfig", ["-t", "tty0"], 1, "Unknown option -t\n"),
    ("pvquery", ["-tt"], 1, "Unknown option -tt\n"),
    ("pvconfig", ["-server", "h"], 2,
     "Option -server only valid in conjunction with -tty option\n"),
    ("pvconfig", ["-se", "h", "-tty", "tty0"], 2,
     "Option -se only valid in conjunction with -tty option\n"),
    ("pvquery", ["-server"], 2, "Option -server only valid in conjunction with -tty option\n"),
    ("pvconfig", ["-tty", "tty0", "-keepalive", "5"], 2,
     "Option -keepalive not valid with -tty option\n"),
    ("pvquery", ["-reset"], 2, "Invalid option -reset\n"),
    ("pvquery", ["-defpassword"], 2, "Invalid option -defpassword\n"),
    ("pvconfig", ["-reset", "now"], 3, "Option -reset does not take an argument\n"),
    ("pvquery", ["-tty", "tty0", "-speed", "9600"], 3,
     "Option -speed does not take an argument\n"),
    ("pvconfig", ["-sync", "yes"], 3, "Option -sync must be 'Y' or 'N'\n"),
    ("pvconfig", ["-tty", "tty0", "-port", "4k"], 3, "Option -port requires a numeric argument\n"),
    ("pvconfig", ["-chmod", "0660"], 3, "Option -chmod must be three exactly octal digits (0-7)\n"),
    ("pvconfig", ["-chmod", "678"], 3, "Option -chmod must be three exactly octal digits (0-7)\n"),
    ("pvconfig", ["-tty", "tty0", "-parity", "bad"], 3,
     "Option -parity must be one of: none, even, odd, mark, space\n"),
    ("pvconfig", ["-tty", "tty0", "-pro", "ssh"], 3,
     "Option -pro must be one of: tcp, telnet, telnetcr\n"),
    ("pvconfig", ["-tty", "tty0", "-length", "9"], 3, "Option -length must be one of: 5, 6, 7, 8\n"),
    ("pvconfig", ["-tty", "/dev/ttyS9", "-server", "h"], 3,
     "Illegal character '/' in argument \"/dev/ttyS9\"\n"),
    ("pvconfig", ["-addtty", "a;b"], 3, "Illegal character ';' in argument \"a;b\"\n"),
    ("pvconfig", ["-ttylist"], 3, "Option -ttylist requires an argument\n"),
    ("pvquery", ["-tty"], 3, "Option -tty requires an argument\n"),
    ("pvconfig", ["-tty", "a", "-tty", "b", "-server", "h"], 3,
     "Option -tty may only be specified once\n"),
    ("pvconfig", ["-addtty", "tty3", "-reset"], 2,
     "Option -addtty cannot be combined with other options\n"),
    ("pvconfig", ["-nagle", "Y", "-version"], 2,
     "Option -version cannot be combined with other options\n"),
    ("pvconfig", ["-tty", "b", "-server", "h", "-copyfrom", "a"], 2,
     "Option -copyfrom cannot be combined with other options\n"),
    ("pvconfig", ["-tty", "tty0", "-server", "h\nset config Ports x"], 3,
     "Option -server must not contain a line break\n"),
]


@pytest.mark.parametrize("name,args,status,message", MISUSE,
                         ids=["%s %s" % (m[0], " ".join(m[1])) for m in MISUSE])
def test_misuse(root, fake, name, args, status, message):
    server = fake()
    r = run(root, name, *args)
    assert (r.returncode, r.stdout, r.stderr) == (status, "", message)
    assert server.connections == 0


# ---------------------------------------------------------------- listings

DAEMON = {
    b"get config Ports\n": b"OK tty0,tty1\n",
    b"get config chmod\n": b"OK 660\n",
    b"get config TCPNODELAY\n": b"OK 1\n",
    b"get config CPCKeepAliveTimer\n": b"OK 15000\n",
    b"get config DeferredPortOpen\n": b"OK 1\n",
    b"get config LoginPrompts2\n": b"OK name?|id >\n",
    b"get port tty0 Server\n": b"OK 10.1.2.3\n",
    b"get port tty0 ServerPort\n": b"OK 4001\n",
    b"get port tty0 TelnetMode\n": b"OK telnetcr\n",
    b"get port tty0 AutoReconnect\n": b"OK 1\n",
    b"get port tty0 Baud\n": b"OK 9600\n",
    b"get port tty0 Parity\n": b"OK even\n",
    b"get port tty0 AuthSource\n": b"OK username\n",
    b"get port tty0 Login\n": b"OK root\n",
    b"get port tty0 Password\n": b"OK <password set>\n",
    b"get port tty1 Server\n": b"OK host-b\n",
    b"get port tty1 chown\n": b"OK uucp\n",
    b"get port ghost Server\n": b"ERR ghost does not exist\n",
}

GENERAL = ("ttylist:\ttty0,tty1\n"
           "chmod:\t\t660\n"
           "nagle:\t\tN\n"
           "keepalive:\t15000\n"
           "timeout:\t30000\n"
           "maxreconnect:\t30000\n"
           "delayclose:\t8000\n"
           "sync:\t\tY\n"
           "limitrate:\tN\n"
           "authterm:\t\\n\n"
           "login:\t\tname?|id >\n")

TTY0 = ("server:\t\t10.1.2.3\n"
        "port:\t\t4001\n"
        "protocol:\ttelnetcr\n"
        "restore:\tY\n"
        "speed:\t\t9600\n"
        "parity:\t\teven\n"
        "auth:\t\tusername\n"
        "username:\troot\n"
        "password:\t<password set>\n")

TTY1 = ("server:\t\thost-b\n"
        "protocol:\ttcp\n"
        "restore:\tN\n"
        "auth:\t\tnone\n"
        "chown:\t\tuucp\n")

DEVICE_KEYS = [b"Server", b"ServerPort", b"TelnetMode", b"AutoReconnect", b"Baud",
               b"DataLength", b"Parity", b"StopBits", b"DTR", b"RTS", b"InFlow", b"OutFlow",
               b"AuthSource", b"Login", b"Password", b"chown", b"chgrp", b"chmod"]

LISTINGS = [
    ([], GENERAL),
    (["-tty", "tty0"], TTY0),
    (["-tty", "ALL"], "tty:\t\ttty0\n" + TTY0 + "\ntty:\t\ttty1\n" + TTY1 + "\n"),
    (["-tty", "tty1,tty0", "-server", "-restore"],
     "tty:\t\ttty1\nserver:\t\thost-b\nrestore:\tN\n\n"
     "tty:\t\ttty0\nserver:\t\t10.1.2.3\nrestore:\tY\n\n"),
    (["-tty", "tty0", "-restore"], "Y\n"),
    (["-nagle"], "N\n"),
    (["-tty", "tty0", "-stop"], "\n"),
    (["-tty", "tty1", "-protocol", "-username", "-chown"],
     "protocol:\ttcp\nusername:\t\nchown:\t\tuucp\n"),
    (["-delayclose"], "8000\n"),
    (["-ttylist"], "tty0,tty1\n"),
]


@pytest.mark.parametrize("args,expected", LISTINGS, ids=[" ".join(a) for a, _ in LISTINGS])
def test_pvquery_listings(root, fake, args, expected):
    server = fake(DAEMON)
    r = run(root, "pvquery", *args)
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == expected
    assert server.connections == 1


def test_pvquery_requests_of_a_device_listing(root, fake):
    server = fake(DAEMON)
    r = run(root, "pvquery", "-tty", "tty0")
    assert r.returncode == 0
    assert server.request_lines() == [b"get port tty0 %s\n" % k for k in DEVICE_KEYS]


def test_pvquery_unknown_device(root, fake):
    fake(DAEMON)
    r = run(root, "pvquery", "-tty", "ghost")
    assert (r.returncode, r.stdout, r.stderr) == (4, "", "Error: ghost does not exist\n")


# -------------------------------------------------------------------- help

def test_help_goes_straight_to_stdout_without_a_terminal(root):
    for name, first in (("pvconfig", "pvconfig -help"), ("pvquery", "pvquery -help"),
                        ("pvtrace", "pvtrace -help")):
        r = run(root, name, "-help")
        assert r.returncode == 0 and r.stderr == ""
        assert r.stdout.startswith(first) and r.stdout.endswith("\n\n")


@pytest.mark.parametrize("name", ["pvconfig", "pvquery", "pvtrace"])
@pytest.mark.parametrize("topic", ["license", "eula"])
def test_license_topic(root, name, topic):
    with open(LICENSE) as f:
        text = f.read()
    r = run(root, name, "-help", topic)
    assert (r.returncode, r.stdout, r.stderr) == (0, text + "\n", "")


def test_help_about_shows_the_daemons_version(root, fake):
    server = fake({b"get config helpabout\n": b'OK VER=4.0 BUILD="12 May" X=1\n'})
    r = run(root, "pvquery", "-help", "about")
    assert (r.returncode, r.stdout, r.stderr) == (0, "Portvane Version 4.0\n\n", "")
    assert server.request_lines() == [b"get config helpabout\n"]


# ---------------------------------------------- daemons that misbehave

def test_no_lock_file(root):
    r = run(root, "pvconfig", "-nagle", "Y")
    assert (r.returncode, r.stderr) == (5, "Error contacting server: Daemon not running\n")


def test_lock_of_a_dead_process(root):
    child = subprocess.Popen(["true"])
    child.wait()
    with open(root.lock_path, "w") as f:
        f.write("%10d,%10d\n" % (child.pid, 50000))
    r = run(root, "pvquery")
    assert (r.returncode, r.stderr) == (5, "Error contacting server: Daemon not running\n")


def test_refused_connection(root):
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    with open(root.lock_path, "w") as f:
        f.write("%10d,%10d\n" % (os.getpid(), port))
    r = run(root, "pvquery", "-ttylist")
    assert (r.returncode, r.stderr) == (5, "Error contacting server: connection refused\n")


@pytest.mark.parametrize("answer,status,message", [
    (b"ERR 'x' is not a valid user\n", 4, "Error: 'x' is not a valid user\n"),
    (b"OK\n", 5, "Error: Unrecognized response from server\n"),
    (b"\x00\xffgarbage\n", 5, "Error: Unrecognized response from server\n"),
    (b"OK " + b"x" * 300000 + b"\n", 5,
     "Error: Discarding response due to length limit of 262144 bytes\n"),
    (HangUp, 5, None),
], ids=["err", "bare-ok", "garbage", "overlong", "hang-up"])
def test_unusable_replies(root, fake, answer, status, message):
    fake({b"set config chown x\n": answer})
    r = run(root, "pvconfig", "-chown", "x", "-chgrp", "y")
    assert (r.returncode, r.stdout) == (status, "")
    if message is None:
        assert r.stderr in ("Error contacting server: network error\n",
                            "Error contacting server: Connection Closed\n")
    else:
        assert r.stderr == message


def test_two_replies_in_one_segment(root, fake):
    server = fake({b"get port tty0 Server\n": b"OK h\nOK junk\n",
                   b"get port tty0 ServerPort\n": Pieces(b"OK 40", b"01\r\n")})
    r = run(root, "pvquery", "-tty", "tty0", "-server", "-port")
    assert (r.returncode, r.stdout, r.stderr) == (0, "server:\t\th\nport:\t\t4001\n", "")
    assert server.connections == 1


def test_silent_daemon_times_out_after_ten_seconds(root, fake):
    fake({b"get config Ports\n": Silence})
    start = time.monotonic()
    r = run(root, "pvquery", "-ttylist", timeout=30)
    elapsed = time.monotonic() - start
    assert (r.returncode, r.stderr) == (5, "Error: Timed out waiting for response\n")
    assert 9.5 <= elapsed < 20


# ------------------------------------------------------------------ pvtrace

TRACE = Pieces(b"OK \n14:03:07.250 tty0 << AT^M\n", b"14:03:07.260 tty0 >> OK^M^J\n", b"\n")


def test_pvtrace_to_stdout_until_the_empty_line(root, fake):
    server = fake({b"trace all\n": TRACE})
    r = run(root, "pvtrace")
    assert (r.returncode, r.stderr) == (0, "")
    assert r.stdout == "14:03:07.250 tty0 << AT^M\n14:03:07.260 tty0 >> OK^M^J\n\n"
    assert server.request_lines() == [b"trace all\n"]


def test_pvtrace_to_a_file_and_stdout(root, fake):
    fake({b"trace all\n": TRACE})
    path = os.path.join(root.path, "trace.log")
    with open(path, "w") as f:
        f.write("earlier\n")
    r = run(root, "pvtrace", "-f", "+" + path, "-outputfile", "-")
    assert (r.returncode, r.stderr) == (0, "")
    trace = "14:03:07.250 tty0 << AT^M\n14:03:07.260 tty0 >> OK^M^J\n\n"
    assert r.stdout == trace
    with open(path) as f:
        assert f.read() == "earlier\n" + trace
    r = run(root, "pvtrace", "-o", path)
    with open(path) as f:
        assert f.read() == trace


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM])
def test_pvtrace_ends_on_signal_and_shows_lines_as_they_come(root, fake, sig):
    fake({b"trace all\n": Pieces(b"OK \n", b"12:00:00.000 tty0 -- open\n", keep_open=True)})
    path = os.path.join(root.path, "trace.log")
    proc = subprocess.Popen([program("pvtrace"), "-f", path, "-f", "-"], env=root.env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    try:
        # Flushed per block: the line is there while pvtrace still runs.
        line = proc.stdout.readline()
        assert line == b"12:00:00.000 tty0 -- open\n"
        with open(path) as f:
            assert f.read() == "12:00:00.000 tty0 -- open\n"
        proc.send_signal(sig)
        assert proc.wait(timeout=10) == 0
        assert proc.stdout.read() == b"" and proc.stderr.read() == b""
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()
        proc.stderr.close()


def test_pvtrace_write_errors_do_not_stop_the_other_outputs(root, fake):
    fake({b"trace all\n": Pieces(b"OK \n", b"line 1\n", b"line 2\n", b"\n", pause=0.2)})
    path = os.path.join(root.path, "trace.log")
    reader, writer = os.pipe()
    os.close(reader)  # stdout leads nowhere: every write to it fails
    try:
        proc = subprocess.run([program("pvtrace"), "-f", "-", "-f", path], env=root.env,
                              stdin=subprocess.DEVNULL, stdout=writer, stderr=subprocess.PIPE,
                              timeout=20)
    finally:
        os.close(writer)
    assert (proc.returncode, proc.stderr) == (0, b"")
    with open(path) as f:
        assert f.read() == "line 1\nline 2\n\n"


def test_pvtrace_unopenable_file(root, fake):
    server = fake({b"trace all\n": TRACE})
    bad = os.path.join(root.path, "missing", "trace.log")
    r = run(root, "pvtrace", "-f", "-", "-f", bad)
    assert (r.returncode, r.stdout, r.stderr) == (3, "", "Unable to open file %s\n" % bad)
    assert server.connections == 0


@pytest.mark.parametrize("answer,status,message", [
    (b"ERR Only one trace session may be active\n", 4,
     "Error: Only one trace session may be active\n"),
    (b"what?\n", 5, "Error: Unrecognized response from server\n"),
], ids=["refused", "garbage"])
def test_pvtrace_refused(root, fake, answer, status, message):
    fake({b"trace all\n": answer})
    r = run(root, "pvtrace")
    assert (r.returncode, r.stdout, r.stderr) == (status, "", message)


def test_pvtrace_without_daemon(root):
    r = run(root, "pvtrace")
    assert (r.returncode, r.stderr) == (5, "Error contacting server: Daemon not running\n")


def test_pvtrace_misuse(root):
    r = run(root, "pvtrace", "-x")
    assert (r.returncode, r.stderr) == (1, "Unknown option -x\n")
