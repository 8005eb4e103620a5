"""The message wire format byte for byte, from outside the library.

A client written here with struct talks to the library's server (message_peer
serve), and a server written here answers the library's client (message_peer
send). One message is three 32-bit signed integers in the host's byte order
(type, response_expected, length) followed by `length` payload bytes.

    python3 message_wire_test.py PATH/TO/message_peer
"""
import os
import socket
import struct
import subprocess
import sys
import tempfile
import time
import unittest

PEER = None

ECHO, UNHANDLED = 7, 9
NOT_HANDLED, OK, READ_ERROR, THREAD_DUMP = 1, 2, 3, 5
READ_ERROR_TEXT = b"Could not read entire message from communications channel"
NOT_HANDLED_TEXT = b"No handler processed the incoming message"


def header(msg_type, expected, length):
    return struct.pack("=iii", msg_type, expected, length)


def text_message(msg_type, text, expected=1):
    payload = text + b"\0"
    return header(msg_type, expected, len(payload)) + payload


def exchange(path, data, pieces=1, half_close=True):
    """Sends `data` (in `pieces` writes), half-closes unless told not to, and
    returns every byte sent back. Without the half-close the server must
    answer from what it has: it never sees the end of the stream."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(10)
        s.connect(path)
        step = max(1, len(data) // pieces)
        for start in range(0, len(data), step):
            s.sendall(data[start:start + step])
            if pieces > 1:
                time.sleep(0.01)
        if half_close:
            s.shutdown(socket.SHUT_WR)
        received = b""
        while True:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            received += chunk
        return received


class LibraryServer(unittest.TestCase):
    """A client built from struct against the library's server."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        cls.path = os.path.join(cls.dir.name, "wire.msg")
        cls.server = subprocess.Popen([PEER, "serve", cls.path], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        assert cls.server.stdout.readline().strip() == b"ready"

    @classmethod
    def tearDownClass(cls):
        cls.server.stdin.close()
        cls.server.wait(timeout=30)
        cls.dir.cleanup()

    def test_replies_byte_for_byte(self):
        cases = [
            ("handled", text_message(ECHO, b"hello"), 1, text_message(OK, b"echo:hello")),
            ("empty payload", header(ECHO, 1, 0), 1, text_message(OK, b"echo:")),
            ("header and payload one byte at a time", text_message(ECHO, b"slow"), 16, text_message(OK, b"echo:slow")),
            ("a processor's reply goes back even when none is expected",
             text_message(ECHO, b"unasked", expected=0), 1, text_message(OK, b"echo:unasked")),
            ("nobody handles it", text_message(UNHANDLED, b"x"), 1, text_message(NOT_HANDLED, NOT_HANDLED_TEXT)),
            ("nobody handles it, no reply expected: no bytes", text_message(UNHANDLED, b"x", expected=0), 1, b""),
            ("a megabyte each way", text_message(ECHO, b"m" * 2**20), 1, text_message(OK, b"echo:" + b"m" * 2**20)),
            ("payload cut short", header(ECHO, 1, 10) + b"abc", 1, text_message(READ_ERROR, READ_ERROR_TEXT)),
            ("length -1, refused on the header alone", header(ECHO, 1, -1), 1,
             text_message(READ_ERROR, READ_ERROR_TEXT), False),
        ]
        for name, request, pieces, reply, *half_close in cases:
            with self.subTest(name):
                self.assertEqual(reply, exchange(self.path, request, pieces, *half_close))
                # and the server goes on serving
                self.assertEqual(text_message(OK, b"echo:again"), exchange(self.path, text_message(ECHO, b"again")))


class LibraryClient(unittest.TestCase):
    """A server built from struct answering the library's client."""

    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.dir.name, "python.msg")
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(self.path)
        self.listener.listen(1)
        self.listener.settimeout(30)

    def tearDown(self):
        self.listener.close()
        self.dir.cleanup()

    def send_with_peer(self, msg_type, expected, text, answer):
        """Runs the library's client; `answer(conn, request_bytes)` plays the server.
        Returns (request bytes, the client's last output line)."""
        client = subprocess.Popen([PEER, "send", self.path, str(msg_type), str(expected), text],
                                  stdout=subprocess.PIPE)
        conn, _ = self.listener.accept()
        with conn:
            conn.settimeout(10)
            request = b""
            while len(request) < 12:
                request += conn.recv(12 - len(request))
            length = struct.unpack("=iii", request)[2]
            while len(request) < 12 + length:
                request += conn.recv(12 + length - len(request))
            answer(conn, request)
        out, _ = client.communicate(timeout=30)
        self.assertEqual(0, client.returncode)
        return request, out.decode().strip().splitlines()[-1]

    def test_requests_and_replies_byte_for_byte(self):
        def reply_with(data, pieces=1):
            def answer(conn, _request):
                step = max(1, len(data) // pieces)
                for start in range(0, len(data), step):
                    conn.sendall(data[start:start + step])
            return answer

        cases = [
            ("reply", 1, reply_with(text_message(OK, b"done")), "reply type=2 expected=1 length=5 text=done"),
            ("reply one byte at a time", 1, reply_with(text_message(OK, b"in pieces"), 20),
             "reply type=2 expected=1 length=10 text=in pieces"),
            ("reply with another type and flag", 1, reply_with(header(NOT_HANDLED, 0, 3) + b"no\0"),
             "reply type=1 expected=0 length=3 text=no"),
            ("no reply expected: the client does not wait", 0, reply_with(b""), "null"),
            ("connection closed without a reply", 1, reply_with(b""), "null"),
            ("reply announcing length -1", 1, reply_with(header(OK, 1, -1)), "null"),
            ("reply announcing 100 MB", 1, reply_with(header(OK, 1, 100 * 1024 * 1024) + b"z" * 4096), "null"),
            ("reply cut short", 1, reply_with(header(OK, 1, 50) + b"short"), "null"),
        ]
        for name, expected, answer, printed in cases:
            with self.subTest(name):
                request, line = self.send_with_peer(THREAD_DUMP, expected, "thread dump please", answer)
                self.assertEqual(text_message(THREAD_DUMP, b"thread dump please", expected), request)
                self.assertEqual(printed, line)


if __name__ == "__main__":
    PEER = sys.argv.pop(1)
    unittest.main(verbosity=2)
