"""The web servers the gallery runs under as a resident FastCGI program, each
with its shipped config of deploy/: lighttpd starting the program itself
(bin-path, the socket on its standard input), nginx and Apache
(mod_proxy_fcgi) passing requests to the program that systemd's socket and
service units of deploy/ start beside them."""

import os
import signal
import time

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


class LighttpdFastCgi(servers.Lighttpd):
    name = "lighttpd-fastcgi"
    deploy = "lighttpd-fastcgi.conf"

    def extra_checks(self):
        return [("killed_program_is_restarted", check_killed_program_is_restarted)]


class NginxFastCgi(servers.Nginx):
    name = "nginx-fastcgi"
    deploy = "nginx-fastcgi.conf"
    services = (PROGRAM_UNITS,)


class NginxFastCgiKeep(servers.Nginx):
    """nginx keeping its connections to the program, more of them than the
    program has threads: idle kept connections must not hold the threads the
    requests on other connections need."""
    name = "nginx-fastcgi-keep"
    deploy = "nginx-fastcgi-keepalive.conf"
    services = (PROGRAM_UNITS,)


class ApacheProxyFcgi(servers.Apache):
    name = "apache-proxy-fcgi"
    deploy = "apache-proxy-fcgi.conf"
    services = (PROGRAM_UNITS,)


ALL = [LighttpdFastCgi, NginxFastCgi, NginxFastCgiKeep, ApacheProxyFcgi]
