"""pvconfig, pvquery and pvtrace against the real daemon.

Each scenario starts portvaned with the devices a and b under a scratch
root and runs a sequence of command lines, each with its exit status and
its exact stdout and stderr. What a change did is seen the way a user sees
it: through pvquery afterwards, whose listings are compared byte for byte.
The configuration file and the device nodes are checked once, separately.
"""
import os
import select
import signal
import subprocess
import time

import pytest

from conftest import program, wait_for

DEFAULT_TTY = "protocol:\ttcp\nrestore:\tN\nauth:\t\tnone\n"

DEFAULT_GENERAL = ("ttylist:\ta,b\n"
                   "nagle:\t\tY\n"
                   "keepalive:\t60000\n"
                   "timeout:\t30000\n"
                   "maxreconnect:\t30000\n"
                   "delayclose:\t8000\n"
                   "sync:\t\tN\n"
                   "limitrate:\tN\n"
                   "authterm:\t\\n\n")

EVERY_TTY_OPTION = ["-tty", "a", "-server", "10.1.2.3", "-port", "4001", "-protocol", "TelnetCR",
                    "-restore", "y", "-speed", "9600", "-length", "7", "-parity", "EVEN",
                    "-stop", "1.5", "-dtr", "1", "-rts", "0", "-inflow", "xonxoff",
                    "-outflow", "cts", "-auth", "username", "-username", "root",
                    "-password", "se cret", "-chown", "root", "-chgrp", "root", "-chmod", "600"]

FULL_A = ("server:\t\t10.1.2.3\n"
          "port:\t\t4001\n"
          "protocol:\ttelnetcr\n"
          "restore:\tY\n"
          "speed:\t\t9600\n"
          "length:\t\t7\n"
          "parity:\t\tEVEN\n"
          "stop:\t\t1.5\n"
          "dtr:\t\t1\n"
          "rts:\t\t0\n"
          "inflow:\t\txonxoff\n"
          "outflow:\tcts\n"
          "auth:\t\tusername\n"
          "username:\troot\n"
          "password:\t<password set>\n"
          "chown:\t\troot\n"
          "chgrp:\t\troot\n"
          "chmod:\t\t600\n")

EVERY_GENERAL_OPTION = ["-nagle", "N", "-keepalive", "500", "-timeout", "700",
                        "-maxreconnect", "9000", "-delayclose", "100", "-sync", "Y",
                        "-limitrate", "y", "-authterm", "\\r", "-login", "name?|id >",
                        "-pwd", "pin:", "-deflogin", "a|", "-defpassword", "b|",
                        "-chown", "root", "-chgrp", "root", "-chmod", "640"]

FULL_GENERAL = ("ttylist:\ta,b\n"
                "chown:\t\troot\n"
                "chgrp:\t\troot\n"
                "chmod:\t\t640\n"
                "nagle:\t\tN\n"
                "keepalive:\t500\n"
                "timeout:\t700\n"
                "maxreconnect:\t9000\n"
                "delayclose:\t100\n"
                "sync:\t\tY\n"
                "limitrate:\tY\n"
                "authterm:\t\\r\n"
                "login:\t\tname?|id >\n"
                "pwd:\t\tpin:\n")

NO_USER = "Error: 'no-such-user-here' is not a valid user\n"
NO_GROUP = "Error: 'no-such-group-here' is not a valid group\n"
NO_ZZ = "Error: zz does not exist\n"


def ok(*argv, out=""):
    return (list(argv), 0, out, "")


def fails(status, err, *argv, out=""):
    return (list(argv), status, out, err)


# (name, steps); a step is (command line, exit status, stdout, stderr).
SCENARIOS = [
    ("device options of every kind", [
        ok("pvconfig", *EVERY_TTY_OPTION),
        ok("pvquery", "-tty", "a", out=FULL_A),
        ok("pvquery", "-tty", "b", out=DEFAULT_TTY),
        ok("pvquery", "-tty", "a", "-password", out="<password set>\n"),
        ok("pvquery", "-tty", "a", "-restore", out="Y\n"),
        ok("pvquery", "-tty", "a", "-protocol", "-port", "-chown",
           out="protocol:\ttelnetcr\nport:\t\t4001\nchown:\t\troot\n"),
        ok("pvquery", "-tty", "b", "-speed", "-auth", out="speed:\t\t\nauth:\t\tnone\n"),
    ]),
    ("short forms and abbreviations", [
        ok("pvconfig", "-y", "b", "-s", "h", "-p", "23", "-o", "telnet", "-r", "Y", "-E", "300",
           "-L", "5", "-P", "none", "-S", "2", "-D", "0", "-T", "1", "-I", "rts", "-O", "dsr",
           "-a", "none", "-u", "x y", "-w", "pw", "-/", "root", "-\\", "root", "-_", "644"),
        ok("pvquery", "-y", "b",
           out="server:\t\th\nport:\t\t23\nprotocol:\ttelnet\nrestore:\tY\nspeed:\t\t300\n"
               "length:\t\t5\nparity:\t\tnone\nstop:\t\t2\ndtr:\t\t0\nrts:\t\t1\n"
               "inflow:\t\trts\noutflow:\tdsr\nauth:\t\tnone\nusername:\tx y\n"
               "password:\t<password set>\nchown:\t\troot\nchgrp:\t\troot\nchmod:\t\t644\n"),
        ok("pvconfig", "-tty", "b", "-se", "h2", "-po", "4001", "-pro", "tcp", "-rest", "n",
           "-spe", "1200"),
        ok("pvquery", "-tty", "b", "-se", "-po", "-pro", "-rest", "-spe",
           out="server:\t\th2\nport:\t\t4001\nprotocol:\ttcp\nrestore:\tN\nspeed:\t\t1200\n"),
    ]),
    ("an option without a value restores its default or deletes the setting", [
        ok("pvconfig", *EVERY_TTY_OPTION),
        ok("pvconfig", "-tty", "a", "-server", "-protocol", "-restore", "-speed", "-auth",
           "-password", "-chmod"),
        ok("pvquery", "-tty", "a",
           out="port:\t\t4001\nprotocol:\ttcp\nrestore:\tN\nlength:\t\t7\nparity:\t\tEVEN\n"
               "stop:\t\t1.5\ndtr:\t\t1\nrts:\t\t0\ninflow:\t\txonxoff\noutflow:\tcts\n"
               "auth:\t\tnone\nusername:\troot\nchown:\t\troot\nchgrp:\t\troot\n"),
    ]),
    ("several devices", [
        ok("pvconfig", "-tty", "a,b", "-restore", "Y", "-server", "h"),
        ok("pvquery", "-tty", "ALL",
           out="tty:\t\ta\nserver:\t\th\nport:\t\t23\nprotocol:\ttcp\nrestore:\tY\n"
               "auth:\t\tnone\n\n"
               "tty:\t\tb\nserver:\t\th\nport:\t\t23\nprotocol:\ttcp\nrestore:\tY\n"
               "auth:\t\tnone\n\n"),
        ok("pvconfig", "-tty", "all", "-protocol", "telnet"),
        ok("pvquery", "-tty", "all", "-protocol",
           out="tty:\t\ta\nprotocol:\ttelnet\n\ntty:\t\tb\nprotocol:\ttelnet\n\n"),
        ok("pvquery", "-tty", "b,a", "-restore", "-server",
           out="tty:\t\tb\nrestore:\tY\nserver:\t\th\n\ntty:\t\ta\nrestore:\tY\nserver:\t\th\n\n"),
    ]),
    ("copying and resetting a device", [
        ok("pvconfig", *EVERY_TTY_OPTION),
        ok("pvconfig", "-tty", "b", "-copyfrom", "a"),
        ok("pvquery", "-tty", "b", out=FULL_A),
        ok("pvconfig", "-tty", "a", "-reset"),
        ok("pvquery", "-tty", "a", out=DEFAULT_TTY),
        ok("pvquery", "-tty", "b", out=FULL_A),
        ok("pvconfig", "-tty", "a", "-copyfrom", "b"),
        ok("pvquery", "-tty", "a", out=FULL_A),
    ]),
    ("general options", [
        ok("pvquery", out=DEFAULT_GENERAL),
        ok("pvconfig", *EVERY_GENERAL_OPTION),
        ok("pvquery", out=FULL_GENERAL),
        ok("pvquery", "-nagle", out="N\n"),
        ok("pvquery", "-sync", "-login", "-chmod", out="sync:\t\tY\nlogin:\t\tname?|id >\n"
                                                        "chmod:\t\t640\n"),
        ok("pvconfig", "-g", "Y", "-k", "1000", "-&", "2000", "-m", "5", "-C", "0", "-Y", "n",
           "-R", "N", "-M", "x", "-G", "u:", "-W", "p:", "-1", "-2", "-/", "root"),
        ok("pvquery", "-g", "-k", "-&", "-m", "-C", "-Y", "-R", "-M", "-G", "-W", "-/",
           out="nagle:\t\tY\nkeepalive:\t1000\ntimeout:\t2000\nmaxreconnect:\t5\n"
               "delayclose:\t0\nsync:\t\tN\nlimitrate:\tN\nauthterm:\tx\nlogin:\t\tu:\n"
               "pwd:\t\tp:\nchown:\t\troot\n"),
        ok("pvconfig", "-reset"),
        ok("pvquery", out=DEFAULT_GENERAL),
        ok("pvquery", "-tty", "a", out=DEFAULT_TTY),
    ]),
    ("the device population", [
        ok("pvconfig", "-addtty", "c,d"),
        ok("pvquery", "-ttylist", out="a,b,c,d\n"),
        ok("pvquery", "-tty", "d", out=DEFAULT_TTY),
        ok("pvconfig", "-3", "e"),
        ok("pvconfig", "-deltty", "d,zz"),
        ok("pvquery", "-l", out="a,b,c,e\n"),
        ok("pvconfig", "-4", "e"),
        ok("pvconfig", "-ttylist", "b,f"),
        ok("pvquery", out=DEFAULT_GENERAL.replace("a,b", "b,f")),
        fails(4, "Error: a does not exist\n", "pvquery", "-tty", "a"),
        ok("pvquery", "-tty", "ALL", "-auth", out="tty:\t\tb\nauth:\t\tnone\n\n"
                                                 "tty:\t\tf\nauth:\t\tnone\n\n"),
        ok("pvconfig", "-l", "a,b"),
        ok("pvquery", "-ttylist", out="a,b\n"),
    ]),
    ("refusals of the daemon", [
        fails(4, NO_USER, "pvconfig", "-tty", "a", "-chown", "no-such-user-here"),
        fails(4, NO_GROUP, "pvconfig", "-tty", "a", "-chgrp", "no-such-group-here"),
        fails(4, NO_USER, "pvconfig", "-chown", "no-such-user-here"),
        fails(4, NO_GROUP, "pvconfig", "-chgrp", "no-such-group-here"),
        fails(4, NO_ZZ, "pvconfig", "-tty", "zz", "-server", "h"),
        # The list is checked as a whole: a is not changed either.
        fails(4, NO_ZZ, "pvconfig", "-tty", "a,zz", "-server", "h"),
        fails(4, NO_ZZ, "pvconfig", "-tty", "zz", "-copyfrom", "a"),
        fails(4, NO_ZZ, "pvconfig", "-tty", "b", "-copyfrom", "zz"),
        fails(4, "Error resetting server option: zz does not exist\n",
              "pvconfig", "-tty", "zz", "-reset"),
        # A number the daemon cannot store; pvconfig stops there, the parity
        # is not sent.
        fails(4, "Error: \n", "pvconfig", "-tty", "a", "-speed", "99999999999", "-parity", "odd"),
        fails(4, NO_ZZ, "pvquery", "-tty", "zz"),
        fails(4, NO_ZZ, "pvquery", "-tty", "a,zz",
              out="tty:\t\ta\n" + DEFAULT_TTY + "\ntty:\t\tzz\n"),
        ok("pvquery", "-tty", "a", out=DEFAULT_TTY),
        ok("pvquery", out=DEFAULT_GENERAL),
    ]),
    ("version and about", [
        ok("pvconfig", "-version", out="Portvane 4.0\n"),
        ok("pvquery", "-version", out="Portvane 4.0\n"),
        ok("pvquery", "-help", "about", out="Portvane Version 4.0\n\n"),
        ok("pvconfig", "-help", "about", out="Portvane Version 4.0\n\n"),
    ]),
    ("misuse is refused before the daemon is asked", [
        fails(1, "Unknown option tty0\n", "pvconfig", "tty0"),
        fails(1, "Unknown option -t\n", "pvconfig", "-t", "a"),
        fails(1, "Unknown option -re\n", "pvconfig", "-tty", "a", "-re"),
        fails(1, "Unknown option -x\n", "pvtrace", "-x"),
        fails(2, "Option -server only valid in conjunction with -tty option\n",
              "pvconfig", "-server", "h", "-tty", "a"),
        fails(2, "Option -keepalive not valid with -tty option\n",
              "pvconfig", "-tty", "a", "-keepalive", "5"),
        fails(2, "Invalid option -reset\n", "pvquery", "-reset"),
        fails(2, "Option -addtty cannot be combined with other options\n",
              "pvconfig", "-addtty", "c", "-nagle", "N"),
        fails(2, "Option -copyfrom cannot be combined with other options\n",
              "pvconfig", "-tty", "b", "-server", "h", "-copyfrom", "a"),
        fails(2, "Error: no options specified\n", "pvconfig", "-tty", "a"),
        fails(3, "Option -reset does not take an argument\n", "pvconfig", "-reset", "now"),
        fails(3, "Option -speed does not take an argument\n",
              "pvquery", "-tty", "a", "-speed", "9600"),
        fails(3, "Option -sync must be 'Y' or 'N'\n", "pvconfig", "-sync", "yes"),
        fails(3, "Option -port requires a numeric argument\n",
              "pvconfig", "-tty", "a", "-port", "4k"),
        fails(3, "Option -chmod must be three exactly octal digits (0-7)\n",
              "pvconfig", "-chmod", "0660"),
        fails(3, "Option -parity must be one of: none, even, odd, mark, space\n",
              "pvconfig", "-tty", "a", "-parity", "bad"),
        fails(3, "Illegal character '/' in argument \"/dev/ttyS9\"\n",
              "pvconfig", "-tty", "/dev/ttyS9", "-server", "h"),
        fails(3, "Option -ttylist requires an argument\n", "pvconfig", "-ttylist"),
        fails(3, "Option -tty may only be specified once\n",
              "pvconfig", "-tty", "a", "-tty", "b", "-server", "h"),
        fails(3, "Option -server must not contain a line break\n",
              "pvconfig", "-tty", "a", "-server", "h\nset config Ports x"),
        ok("pvquery", "-tty", "a", out=DEFAULT_TTY),
        ok("pvquery", out=DEFAULT_GENERAL),
    ]),
]


def run(root, argv, timeout=20):
    # Standard input is never a terminal here, so help is never paged.
    return root.run(*argv, timeout=timeout, stdin=subprocess.DEVNULL)


@pytest.fixture
def pv(root, request):
    """The daemon, started with the devices a and b, once both exist."""
    with open(root.config_path, "w") as f:
        f.write("[main]\nPorts=a,b\n")
    d = request.getfixturevalue("daemon")
    assert wait_for(lambda: run(root, ["pvquery", "-tty", "b", "-auth"]).returncode == 0
                    and os.path.islink(root.dev("b")), timeout=10)
    return d


@pytest.mark.parametrize("steps", [s for _, s in SCENARIOS], ids=[n for n, _ in SCENARIOS])
def test_command_lines(root, pv, steps):
    for argv, status, out, err in steps:
        r = run(root, argv)
        assert (r.returncode, r.stdout, r.stderr) == (status, out, err), argv


def config_sections(root):
    sections, current = {}, None
    try:
        with open(root.config_path) as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return sections
    for line in lines:
        if line.startswith("["):
            current = sections.setdefault(line.strip("[]"), {})
        elif current is not None and "=" in line:
            key, _, value = line.partition("=")
            current[key] = value
    return sections


def mode_of(root, name):
    return os.stat(root.dev(name)).st_mode & 0o777


def test_changes_reach_the_file_and_the_device_nodes(root, pv):
    for argv in (["pvconfig"] + EVERY_TTY_OPTION,
                 ["pvconfig", "-nagle", "N", "-deflogin", "a|", "-defpassword", "-chmod", "640"],
                 ["pvconfig", "-addtty", "c"]):
        assert run(root, argv).returncode == 0, argv
    # chmod is applied at once: the device's own, else the general one.
    assert (mode_of(root, "a"), mode_of(root, "b"), mode_of(root, "c")) == (0o600, 0o640, 0o640)
    assert run(root, ["pvconfig", "-tty", "a", "-chmod"]).returncode == 0
    assert mode_of(root, "a") == 0o640

    expected_a = {"ServerAddress": "10.1.2.3[4001]", "TelnetMode": "1", "TelnetCRMode": "3",
                  "AutoReconnect": "1", "Baud": "9600", "DataLength": "7", "Parity": "EVEN",
                  "StopBits": "1.5", "DTR": "1", "RTS": "0", "InFlow": "xonxoff",
                  "OutFlow": "cts", "AuthSource": "3", "Login": "root", "chown": "root",
                  "chgrp": "root"}
    expected_main = {"Ports": "a,b,c", "TCPNODELAY": "1", "LoginPrompts1": "a|",
                     "PasswordPrompts1": "password:|Password:|Enter PASSCODE|", "chmod": "640"}

    def written():
        s = config_sections(root)
        a, main = s.get("a", {}), s.get("main", {})
        return (all(a.get(k) == v for k, v in expected_a.items()) and "chmod" not in a
                and all(main.get(k) == v for k, v in expected_main.items()))

    # The cache writes 2.5 s after the last change.
    assert wait_for(written, timeout=10), config_sections(root)
    password = config_sections(root)["a"].get("Password", "")
    assert password and "se cret" not in password

    assert run(root, ["pvconfig", "-deltty", "c"]).returncode == 0
    assert not os.path.lexists(root.dev("c"))


def test_a_device_name_taken_by_a_file(root, pv):
    with open(root.dev("x"), "w"):
        pass
    for argv in (["pvconfig", "-addtty", "x"], ["pvconfig", "-ttylist", "a,b,x"]):
        r = run(root, argv)
        assert (r.returncode, r.stdout, r.stderr) == (
            4, "", "Error: Unable to open/create pty for x\n"), argv
    r = run(root, ["pvquery", "-ttylist"])
    assert (r.returncode, r.stdout) == (0, "a,b\n")


def test_tools_once_the_daemon_has_stopped(root, pv):
    assert pv.stop() == 0
    for argv in (["pvconfig", "-nagle", "Y"], ["pvquery"], ["pvtrace"]):
        r = run(root, argv)
        assert (r.returncode, r.stdout, r.stderr) == (
            5, "", "Error contacting server: Daemon not running\n"), argv


# ------------------------------------------------------------------ pvtrace

class Tracer:
    """pvtrace running in the background, its stdout read without blocking."""

    def __init__(self, root, args):
        self.proc = subprocess.Popen([program("pvtrace")] + args, env=root.env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE)
        self.out = b""

    def read(self, seconds):
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            ready, _, _ = select.select([fd], [], [], max(0, deadline - time.monotonic()))
            if not ready:
                break
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            self.out += chunk

    def stop(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


@pytest.fixture
def tracer(root):
    started = []

    def start(args):
        t = Tracer(root, args)
        started.append(t)
        return t

    yield start
    for t in started:
        t.stop()


def created(name):
    return b" %s -- Create Port\n" % name.encode()


def poke_until_traced(root, t, name):
    """Adds and removes the device until its creation shows in the trace.

    The trace only holds what happens once it runs, and nothing tells when
    pvtrace is attached, so the first change may go unseen.
    """
    adding, deadline = True, time.monotonic() + 15
    while created(name) not in t.out and time.monotonic() < deadline:
        assert run(root, ["pvconfig", "-addtty" if adding else "-deltty", name]).returncode == 0
        adding = not adding
        t.read(0.5)
    return created(name) in t.out


@pytest.mark.parametrize("outputs", [[], ["-f", "-", "-f", "FILE"]], ids=["stdout", "two"])
def test_pvtrace_shows_what_the_daemon_does_until_sigint(root, pv, tracer, outputs):
    path = os.path.join(root.path, "trace.log")
    t = tracer([path if a == "FILE" else a for a in outputs])
    assert poke_until_traced(root, t, "c"), t.out
    line = [x for x in t.out.split(b"\n") if x.endswith(created("c")[:-1])][0]
    # A local time stamp with milliseconds leads the line.
    assert len(line.split(b" ")[0]) == len(b"14:03:07.250")

    r = run(root, ["pvtrace"])
    assert (r.returncode, r.stdout, r.stderr) == (
        4, "", "Error: Only one trace session may be active\n")

    t.proc.send_signal(signal.SIGINT)
    assert t.proc.wait(timeout=10) == 0
    t.read(1)
    assert t.proc.stderr.read() == b""
    if outputs:
        with open(path, "rb") as f:
            assert f.read() == t.out
    # Its connection closed, the session is free: the next pvtrace gets in.
    again = tracer([])
    assert poke_until_traced(root, again, "d"), again.out
