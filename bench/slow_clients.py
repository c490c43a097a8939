#!/usr/bin/env python3
"""Another visitor's photo page while slow strangers hold on, under every
FastCGI setup the guide gives, for one or more builds of the program side by
side in one run.

For each setup, as many strangers as the program has threads:
- through a web server (Apache's mod_proxy_fcgi with and without its
  mod_reqtimeout lines, nginx, lighttpd, with the configs of tests/e2e): a POST
  announcing a 1 MB body and sending it a byte a second;
- on the program's own socket: a request's head sent a byte a second, and
  (a second round) a POST whose head came whole and whose body comes a byte a
  second.
Two seconds after they begin, a visitor asks for the photo page, again and
again (each answer waited for up to the strangers' time plus 30 s) until the
strangers have held on for SECONDS, when they let go; each answer's latency
is kept (seconds; "bad": no page). Printed per
setup and build: the first, median and longest latency, how many answers
came, and how each stranger's connection ended.

    bench/slow_clients.py [--programs NAME=PATH,...] [--seconds 30]
                          [--threads 4] [--setups NAME,...]

PROGRAMS defaults to this checkout's build (build-bench, else build)."""

import argparse
import os
import shutil
import socket
import statistics
import struct
import sys
import tempfile
import threading
import time
import http.client

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))

import fastcgi_servers  # noqa: E402
import gallery  # noqa: E402
import servers  # noqa: E402


class ApacheWithoutRequestTimeouts(fastcgi_servers.ApacheProxyFcgi):
    name = "apache-proxy-fcgi-no-reqtimeout"

    def config(self):
        return super().config().replace(servers.APACHE_REQUEST_TIMEOUTS, "")


class ProgramSocket(servers.Server):
    """The program alone on its unix socket, as a supervisor starts it."""
    name = "program's socket"
    port = None

    def unavailable(self):
        return None

    def sock(self):
        return self.path("pictorama.sock")

    def start(self, program):
        return fastcgi_servers.start_program(self, program, self.sock(), self.threads)


# --- the FastCGI records a web server sends ----------------------------------

def record(kind, content=b"", request_id=1):
    padding = (8 - len(content) % 8) % 8
    return struct.pack(">BBHHBB", 1, kind, request_id, len(content), padding, 0) + content + b"\0" * padding


def pairs(params):
    def length(n):
        return bytes([n]) if n < 128 else struct.pack(">I", n | 0x80000000)
    return b"".join(length(len(k)) + length(len(v)) + k + v
                    for k, v in ((k.encode(), v.encode()) for k, v in params.items()))


def fastcgi_params(docroot, method="GET", content_length=""):
    script = f"/{gallery.FOLDER}/{gallery.PROGRAM_NAME}"
    return {"GATEWAY_INTERFACE": "CGI/1.1", "SERVER_SOFTWARE": "bench", "SERVER_PROTOCOL": "HTTP/1.1",
            "REQUEST_METHOD": method, "QUERY_STRING": "", "SCRIPT_NAME": script,
            "SCRIPT_FILENAME": docroot + script, "DOCUMENT_ROOT": docroot, "HTTP_HOST": "127.0.0.1",
            "REMOTE_ADDR": "127.0.0.1", "CONTENT_LENGTH": content_length,
            "CONTENT_TYPE": "application/x-www-form-urlencoded" if content_length else ""}


def head(params):
    return record(1, b"\0\1\0\0\0\0\0\0") + record(4, pairs(params)) + record(4)


def fastcgi_page(sock, docroot, timeout):
    """One photo page on a connection of its own; its stdout, or None."""
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.settimeout(timeout)
        s.connect(sock)
        s.sendall(head(fastcgi_params(docroot)) + record(5))
        data, out = b"", b""
        while True:
            try:
                piece = s.recv(65536)
            except socket.timeout:
                return None
            if not piece:
                return None
            data += piece
            while len(data) >= 8:
                kind, length, padding = data[1], struct.unpack(">H", data[4:6])[0], data[6]
                if len(data) < 8 + length + padding:
                    break
                if kind == 6:
                    out += data[8:8 + length]
                if kind == 3:
                    return out
                data = data[8 + length + padding:]


def http_page(port, timeout):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout)
    try:
        connection.request("GET", f"/{gallery.FOLDER}/{gallery.PROGRAM_NAME}")
        answer = connection.getresponse()
        body = answer.read()
        return body if answer.status == 200 else None
    except OSError:
        return None
    finally:
        connection.close()


class SocketStranger(threading.Thread):
    """On the program's socket: `at_once`, then `trickle` a byte a second."""

    def __init__(self, sock, at_once, trickle):
        super().__init__(daemon=True)
        self.sock, self.at_once, self.trickle = sock, at_once, trickle
        self.stopping = threading.Event()
        self.ended = "still sending when told to stop"

    def run(self):
        started = time.monotonic()
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.connect(self.sock)
            s.sendall(self.at_once)
            for byte in self.trickle:
                if self.stopping.wait(1):
                    return
                try:
                    s.sendall(bytes([byte]))
                except OSError:
                    self.ended = f"closed after {time.monotonic() - started:.0f} s"
                    return
            self.ended = "sent everything"


def measure(setup, program, cache, root, threads, seconds):
    """Starts the setup with the program; returns its result line."""
    work = tempfile.mkdtemp(prefix="slow-clients-", dir=root)
    os.chmod(work, 0o755)
    docroot = os.path.join(work, "www")
    os.makedirs(docroot)
    folder = gallery.build(docroot, cache, program)
    user = servers.run_user()
    server = setup(work, docroot, servers.free_port(), user)
    server.threads = threads
    server.prepare()
    servers.chown_tree(work, user)
    process = server.start(os.path.join(folder, gallery.PROGRAM_NAME))
    rounds = []
    try:
        if isinstance(server, ProgramSocket):
            deadline = time.monotonic() + 10
            while not os.path.exists(server.sock()) and time.monotonic() < deadline:
                time.sleep(0.05)
            page = lambda timeout: fastcgi_page(server.sock(), docroot, timeout)  # noqa: E731
            slow_head = head(fastcgi_params(docroot))
            post = fastcgi_params(docroot, "POST", "1000000")
            body = record(5, b"a" * 60000)
            rounds = [("heads a byte a second",
                       lambda: SocketStranger(server.sock(), slow_head[:1], slow_head[1:])),
                      ("POST bodies a byte a second",
                       lambda: SocketStranger(server.sock(), head(post) + body[:8], body[8:]))]
        else:
            if not servers.wait_for_port(server.port, process):
                raise RuntimeError(f"{server.name} did not start\n{server.logs()}")
            page = lambda timeout: http_page(server.port, timeout)  # noqa: E731
            rounds = [("POST bodies a byte a second",
                       lambda: fastcgi_servers.SlowStranger(server.port, f"/{gallery.FOLDER}/{gallery.PROGRAM_NAME}"))]
        expected = page(30)  # makes the thumbnails
        assert expected and b" Images Posted\r\n" in expected, f"{server.name}: no photo page"
        lines = []
        for what, stranger in rounds:
            strangers = [stranger() for _ in range(threads)]
            began = time.monotonic()
            for s in strangers:
                s.start()
            # They let go after SECONDS, whatever happened to the visitor.
            release = threading.Timer(seconds, lambda: [s.stopping.set() for s in strangers])
            release.start()
            time.sleep(2)
            latencies, failed = [], 0
            while not latencies or time.monotonic() - began < seconds:
                asked = time.monotonic()
                got = page(seconds + 30)
                if got is None or b" Images Posted\r\n" not in got:
                    failed += 1
                else:
                    latencies.append(time.monotonic() - asked)
                time.sleep(0.5)
            release.cancel()
            for s in strangers:
                s.stopping.set()
            for s in strangers:
                s.join()
            ends = sorted(set(s.ended for s in strangers))
            summary = (f"{latencies[0]:6.2f} {statistics.median(latencies):6.2f} {max(latencies):6.2f} {len(latencies):3d}"
                       if latencies else "     -      -      -   0")
            lines.append(f"{server.name:38} {what:28} {summary} {failed:3d}  {'; '.join(ends)}")
        return lines
    finally:
        server.stop()
        shutil.rmtree(work, ignore_errors=True)


SETUPS = [fastcgi_servers.ApacheProxyFcgi, ApacheWithoutRequestTimeouts, fastcgi_servers.NginxFastCgi,
          fastcgi_servers.LighttpdFastCgi, ProgramSocket]


def main():
    parser = argparse.ArgumentParser()
    default = next((p for p in (os.path.join(TOP, "build-bench", "pictorama.cgi"),
                                os.path.join(TOP, "build", "pictorama.cgi")) if os.path.exists(p)), None)
    parser.add_argument("--programs", default=f"this={default}")
    parser.add_argument("--seconds", type=float, default=30)
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--setups", default=",".join(s.name for s in SETUPS))
    args = parser.parse_args()
    programs = [p.split("=", 1) for p in args.programs.split(",")]
    wanted = args.setups.split(",")
    for setup in SETUPS:
        reason = setup("/nonexistent", "/nonexistent", 0, None).unavailable()
        if reason and setup.name in wanted:
            print(f"{setup.name}: {reason}", file=sys.stderr)
            return 1
    root = tempfile.mkdtemp(prefix="pictorama-slow-clients-")
    os.chmod(root, 0o755)
    try:
        cache = os.path.join(root, "pictures")
        gallery.make_pictures(cache)
        print(f"{args.threads} program threads, as many strangers; each visitor page waited for up to "
              f"{args.seconds + 30:.0f} s; strangers hold on for {args.seconds:.0f} s")
        print(f"{'build':7} {'setup':38} {'strangers':28} {'first':>6} {'median':>6} {'max':>6} {'n':>3} {'bad':>3}  "
              "how the strangers' connections ended")
        for setup in SETUPS:
            if setup.name not in wanted:
                continue
            for name, program in programs:
                for line in measure(setup, os.path.abspath(program), cache, root, args.threads, args.seconds):
                    print(f"{name:7} {line}", flush=True)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
