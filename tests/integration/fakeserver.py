"""A stand-in for the daemon's control channel, for the tools' tests.

It listens on 127.0.0.1, publishes itself through a lock file under the
test's PORTVANE_ROOT (naming the test process, so that the tools see a live
daemon), records every request line byte for byte and answers from a script.
It produces what the real daemon never does: silence, garbage, overlong
replies, two replies in one segment, a hang-up. The test stops it.
"""
import os
import socket
import threading
import time


class Silence:
    """No answer at all; the connection stays open."""


class HangUp:
    """Close the connection instead of answering."""


class Pieces:
    """An answer sent in several segments, with a pause between them.

    keep_open: after the last piece the connection stays open and the server
    sends nothing more (a trace that has not ended).
    """

    def __init__(self, *pieces, pause=0.05, keep_open=False):
        self.pieces = pieces
        self.pause = pause
        self.keep_open = keep_open


class FakeControlServer:
    """answers maps a request line (bytes, with its newline) to its answer:
    bytes, Pieces, Silence or HangUp. Other requests get `default`."""

    def __init__(self, root, answers=None, default=b"OK \n"):
        self.root = root
        self.answers = dict(answers or {})
        self.default = default
        self.requests = []
        self.connections = 0
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._conns = []
        self._listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self._listener.bind(("127.0.0.1", 0))
        self._listener.listen(8)
        self._listener.settimeout(0.05)
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()
        with open(root.lock_path, "w") as f:
            f.write("%10d,%10d\n" % (os.getpid(), self.port))

    def stop(self):
        self._stop.set()
        self._thread.join(timeout=10)
        assert not self._thread.is_alive(), "fake control server did not stop"
        for c in self._conns:
            c.close()
        self._listener.close()
        try:
            os.unlink(self.root.lock_path)
        except FileNotFoundError:
            pass

    def request_lines(self):
        with self._lock:
            return list(self.requests)

    def _serve(self):
        workers = []
        while not self._stop.is_set():
            try:
                conn, _ = self._listener.accept()
            except socket.timeout:
                continue
            with self._lock:
                self.connections += 1
            self._conns.append(conn)
            t = threading.Thread(target=self._session, args=(conn,), daemon=True)
            t.start()
            workers.append(t)
        for t in workers:
            t.join(timeout=5)

    def _session(self, conn):
        conn.settimeout(0.05)
        pending = b""
        while not self._stop.is_set():
            try:
                data = conn.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            if not data:
                return
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                line += b"\n"
                with self._lock:
                    self.requests.append(line)
                if not self._answer(conn, self.answers.get(line, self.default)):
                    return

    def _answer(self, conn, answer):
        """Sends one answer; False when the session is over."""
        try:
            if isinstance(answer, bytes):
                conn.sendall(answer)
            elif answer is HangUp:
                conn.shutdown(socket.SHUT_RDWR)
                return False
            elif isinstance(answer, Pieces):
                for i, piece in enumerate(answer.pieces):
                    if i:
                        time.sleep(answer.pause)
                    conn.sendall(piece)
                if answer.keep_open:
                    self._stop.wait()
                    return False
        except OSError:
            return False
        return True
