"""The web servers the gallery runs under as a resident FastCGI program, each
with the config a site owner would write (see the README's FastCGI guide):
lighttpd starting the program itself (bin-path, the socket on its standard
input), nginx and Apache (mod_proxy_fcgi) passing requests to the program
started beside them with --fastcgi on a unix socket."""

import os
import select
import signal
import socket
import threading
import time

import checks
import servers


def start_program(server, program, sock, threads=4):
    """The program as its own FastCGI server on a unix socket, under the run
    user, as a supervisor would start it; returns once it listens."""
    argv = [program, "--fastcgi", sock, "--threads", str(threads)]
    if server.user:
        argv = ["setpriv", f"--reuid={server.user}", f"--regid={server.user}", "--init-groups"] + argv
    process = server.spawn(argv)
    deadline = time.monotonic() + 10
    while not os.path.exists(sock) and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    return process


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
    threads = 4

    def config(self):
        user = f'server.username = "{self.user}"\nserver.groupname = "{self.user}"\n' if self.user else ""
        return f"""server.document-root = "{self.docroot}"
server.bind = "127.0.0.1"
server.port = {self.port}
server.errorlog = "{self.path('error.log')}"
{user}server.modules = ("mod_access", "mod_indexfile", "mod_fastcgi")
index-file.names = ("pictorama.cgi")
fastcgi.server = (".cgi" => ((
    "socket" => "{self.path('pictorama.sock')}",
    "bin-path" => "{self.program}",
    "max-procs" => 1,
    "bin-environment" => ("PICTORAMA_FASTCGI_THREADS" => "{self.threads}"),
)))
mimetype.assign = (".jpg" => "image/jpeg", ".gif" => "image/gif", ".html" => "text/html")
{servers.LIGHTTPD_GUARDS}"""

    def start(self, program):
        self.program = program
        return super().start(program)

    def extra_checks(self):
        return [("slow_strangers_hold_only_themselves", check_slow_strangers_hold_only_themselves),
                ("killed_program_is_restarted", check_killed_program_is_restarted)]


class NginxFastCgi(servers.NginxFcgiwrap):
    name = "nginx-fastcgi"
    threads = 4

    def unavailable(self):
        return servers.Server.unavailable(self)

    def config(self):
        # The same server block as under fcgiwrap, passing to our program.
        return super().config().replace(self.path("fcgiwrap.sock"), self.path("pictorama.sock"))

    def start(self, program):
        start_program(self, program, self.path("pictorama.sock"), self.threads)
        conf = self.write("nginx.conf", self.config())
        return self.spawn([self.binary, "-c", conf, "-p", self.work, "-e", self.path("error.log")])

    def extra_checks(self):
        return [("slow_strangers_hold_only_themselves", check_slow_strangers_hold_only_themselves)]


class NginxFastCgiKeep(NginxFastCgi):
    """nginx keeping its connections to the program (the README's upstream
    with keepalive and fastcgi_keep_conn), more of them than the program has
    threads: idle kept connections must not hold the threads the requests on
    other connections need."""
    name = "nginx-fastcgi-keep"
    kept = 8
    threads = 2

    def config(self):
        upstream = (f"    upstream pictorama {{ server unix:{self.path('pictorama.sock')}; "
                    f"keepalive {self.kept}; }}\n    server {{")
        return (servers.NginxFcgiwrap.config(self)
                .replace("    server {", upstream, 1)
                .replace(f"fastcgi_pass unix:{self.path('fcgiwrap.sock')};",
                         "fastcgi_pass pictorama;\n            fastcgi_keep_conn on;"))

    def start(self, program):
        start_program(self, program, self.path("pictorama.sock"), self.threads)
        conf = self.write("nginx.conf", self.config())
        return self.spawn([self.binary, "-c", conf, "-p", self.work, "-e", self.path("error.log")])


class ApacheProxyFcgi(servers.Apache):
    name = "apache-proxy-fcgi"
    mpm = "event"
    threads = 4

    def config(self):
        user = f"User {self.user}\nGroup {self.user}\n" if self.user else ""
        modules = servers.APACHE_MODULES
        return f"""ServerRoot "{self.work}"
DefaultRuntimeDir "{self.work}"
PidFile "{self.path('httpd.pid')}"
ErrorLog "{self.path('error.log')}"
Mutex file:{self.work} default
Listen 127.0.0.1:{self.port}
ServerName 127.0.0.1
{user}LoadModule mpm_event_module {modules}/mod_mpm_event.so
LoadModule authz_core_module {modules}/mod_authz_core.so
LoadModule authz_host_module {modules}/mod_authz_host.so
LoadModule mime_module {modules}/mod_mime.so
LoadModule dir_module {modules}/mod_dir.so
LoadModule proxy_module {modules}/mod_proxy.so
LoadModule proxy_fcgi_module {modules}/mod_proxy_fcgi.so
{servers.APACHE_REQUEST_TIMEOUTS}StartServers 1
TypesConfig /etc/mime.types
DocumentRoot "{self.docroot}"
DirectoryIndex pictorama.cgi
<Directory "{self.docroot}">
    Require all granted
    <FilesMatch "\\.cgi$">
        SetHandler "proxy:unix:{self.path('pictorama.sock')}|fcgi://localhost"
    </FilesMatch>
{servers.APACHE_GUARDS}"""

    def start(self, program):
        start_program(self, program, self.path("pictorama.sock"), self.threads)
        return super().start(program)

    def extra_checks(self):
        return [("slow_strangers_hold_only_themselves", check_slow_strangers_hold_only_themselves)]


ALL = [LighttpdFastCgi, NginxFastCgi, NginxFastCgiKeep, ApacheProxyFcgi]
