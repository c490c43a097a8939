"""The web servers the gallery runs under as a resident FastCGI program, each
with its shipped config of deploy/: lighttpd starting the program itself
(bin-path, the socket on its standard input), nginx and Apache
(mod_proxy_fcgi) passing requests to the program that systemd's socket and
service units of deploy/ start beside them."""

import os
import select
import signal
import socket
import threading
import time

import checks
import servers

# The program's own units: systemd makes the socket and starts the program
# with it on standard input.
PROGRAM_UNITS = ("pictorama-fastcgi.socket", "pictorama-fastcgi.service")


def processes_of(program):
    """The running processes started as `program` (their first argument)."""
    pids = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                first = f.read().split(b"\0")[0]
            with open(f"/proc/{entry}/stat") as f:
                zombie = f.read().rsplit(")", 1)[1].split()[0] == "Z"
        except OSError:
            continue
        if first == program.encode() and not zombie:
            pids.append(int(entry))
    return pids


def check_killed_program_is_restarted(suite, seconds=10):
    """The resident program dies (SIGKILL, as a crash would end it); the web
    server starts it again and the next requests get the same photo page.
    Answers before the new process listens are counted, not failed."""
    program = suite.server.program
    before = suite.get()
    assert before.status == 200 and " Images Posted\r\n" in before.text, before
    page = before.text
    pids = processes_of(program)
    assert len(pids) == 1, f"expected one {program} process, found {pids}"
    os.kill(pids[0], signal.SIGKILL)
    deadline = time.monotonic() + seconds
    while pids[0] in processes_of(program) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert pids[0] not in processes_of(program), f"{pids[0]} survived SIGKILL"
    killed = time.monotonic()
    statuses = []
    while time.monotonic() < deadline:
        r = suite.get()
        statuses.append(r.status)
        if r.status == 200:
            break
        time.sleep(0.1)
    assert statuses[-1] == 200, f"no page within {seconds} s of the kill: statuses {statuses}"
    restarted_in = time.monotonic() - killed
    assert r.text == page, f"the page after the restart differs: {r.text[-400:]!r}"
    for _ in range(5):
        again = suite.get()
        assert again.status == 200 and again.text == page, again
    now = processes_of(program)
    assert len(now) == 1 and now[0] != pids[0], f"expected one new process, found {now} (killed {pids[0]})"
    return (f"killed {pids[0]}, new process {now[0]}; answers after the kill: {statuses}, "
            f"first page {restarted_in:.2f} s after it; 5 more pages the same")


class SlowStranger(threading.Thread):
    """A stranger POSTing to the gallery a body announced as 1 MB, sent a
    byte a second, until told to stop or cut off; `ended` says how it ended."""

    def __init__(self, port, path):
        super().__init__(daemon=True)
        self.port, self.path = port, path
        self.stopping = threading.Event()
        self.ended = "still sending when told to stop"

    def run(self):
        started = time.monotonic()
        with socket.create_connection(("127.0.0.1", self.port), source_address=(checks.STRANGER_ADDRESS, 0)) as s:
            s.sendall(f"POST {self.path} HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                      "Content-Type: application/x-www-form-urlencoded\r\n"
                      "Content-Length: 1000000\r\n\r\n".encode())
            while not self.stopping.is_set():
                try:
                    if select.select([s], [], [], 1)[0]:
                        answer = s.recv(200)
                        first = answer.split(b"\r\n", 1)[0].decode("latin-1")
                        self.ended = f"{first or 'closed'} after {time.monotonic() - started:.0f} s"
                        return
                    s.sendall(b"a")
                except OSError as e:
                    self.ended = f"{e.strerror} after {time.monotonic() - started:.0f} s"
                    return


def check_slow_strangers_hold_only_themselves(suite, seconds=15, bound=5):
    """As many strangers as the program has threads send a POST's body a
    byte a second (Apache's mod_proxy_fcgi passes a body on as it comes; nginx
    and lighttpd gather it first): another visitor's photo page is answered
    promptly all the same."""
    strangers = [SlowStranger(suite.port, suite.program) for _ in range(suite.server.threads)]
    for stranger in strangers:
        stranger.start()
    time.sleep(2)
    asked = time.monotonic()
    try:
        r = suite.get()
    finally:
        took = time.monotonic() - asked
        time.sleep(max(0, seconds - 2 - took))
        for stranger in strangers:
            stranger.stopping.set()
        for stranger in strangers:
            stranger.join()
    assert r.status == 200 and " Images Posted\r\n" in r.text, r
    assert took < bound, f"the page took {took:.1f} s with {len(strangers)} slow strangers"
    return (f"{len(strangers)} strangers (the program's threads) sending a body a byte a second: another "
            f"visitor's page in {took:.2f} s; the strangers: {'; '.join(s.ended for s in strangers)}")


class LighttpdFastCgi(servers.Lighttpd):
    name = "lighttpd-fastcgi"
    deploy = "lighttpd-fastcgi.conf"
    # The program's threads, as the deploy file sets them.
    threads = 4

    def extra_checks(self):
        return [("slow_strangers_hold_only_themselves", check_slow_strangers_hold_only_themselves),
                ("killed_program_is_restarted", check_killed_program_is_restarted)]


class NginxFastCgi(servers.Nginx):
    name = "nginx-fastcgi"
    deploy = "nginx-fastcgi.conf"
    services = (PROGRAM_UNITS,)
    # The program's threads, as the service unit sets them.
    threads = 4

    def extra_checks(self):
        return [("slow_strangers_hold_only_themselves", check_slow_strangers_hold_only_themselves)]


class NginxFastCgiKeep(servers.Nginx):
    """nginx keeping its connections to the program, more of them than the
    program has threads: idle kept connections must not hold the threads the
    requests on other connections need."""
    name = "nginx-fastcgi-keep"
    deploy = "nginx-fastcgi-keepalive.conf"
    services = (PROGRAM_UNITS,)
    # The program's threads, as the service unit sets them.
    threads = 4

    def extra_checks(self):
        return [("slow_strangers_hold_only_themselves", check_slow_strangers_hold_only_themselves)]


class ApacheProxyFcgi(servers.Apache):
    name = "apache-proxy-fcgi"
    deploy = "apache-proxy-fcgi.conf"
    services = (PROGRAM_UNITS,)
    # The program's threads, as the service unit sets them.
    threads = 4

    def extra_checks(self):
        return [("slow_strangers_hold_only_themselves", check_slow_strangers_hold_only_themselves)]


ALL = [LighttpdFastCgi, NginxFastCgi, NginxFastCgiKeep, ApacheProxyFcgi]
