"""The web servers the gallery runs under, each started with a shipped config
of deploy/ (see deploy.py: filled in, and wrapped where the server needs a
main config) plus the test plumbing: a temporary folder for config, logs, pid
and sockets, a free loopback port, and processes started in their own session
so that stopping one by its id reaches its workers and nothing else.

A setup is a class of a few lines: its name, its deploy/ file, the harness
wrapper around it, and the deploy/ units started before the server."""

import os
import pwd
import shutil
import signal
import socket
import subprocess
import time

import deploy
import units

# The site owner's address, the only one the configs let use ?REPAIR and ?S; a
# stranger is any other loopback address.
OWNER_ADDRESS = "127.0.0.1"


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run_user():
    """The account the servers run CGI programs as: www-data when we are root
    (as a real deployment would), else ourselves."""
    if os.geteuid() != 0:
        return None
    try:
        pwd.getpwnam("www-data")
        return "www-data"
    except KeyError:
        return None


def chown_tree(path, user):
    if not user:
        return
    entry = pwd.getpwnam(user)
    for folder, dirs, files in os.walk(path):
        os.chown(folder, entry.pw_uid, entry.pw_gid)
        for name in files:
            os.chown(os.path.join(folder, name), entry.pw_uid, entry.pw_gid)


def wait_for_port(port, process, seconds=15):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return False
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def stop_process(process, seconds=10):
    """SIGTERM to the session we started the server in (its workers too:
    fcgiwrap's children outlive their parent otherwise), then SIGKILL to
    whatever of that group is left."""
    if process is None:
        return
    group = process.pid  # started with setsid: it leads its own group
    try:
        os.killpg(group, signal.SIGTERM)
    except ProcessLookupError:
        pass
    try:
        process.wait(seconds)
    except subprocess.TimeoutExpired:
        pass
    try:
        os.killpg(group, signal.SIGKILL)
    except ProcessLookupError:
        pass
    process.wait(5)


def start_resident_instance(server, folder, program_name):
    """Starts the gallery's resident server instance by hand, as the guide
    says: in the gallery folder, as the web server's account, without
    arguments, with the environment the server's config gives the program."""
    env = server.clean_env()
    env.update(server.program_env())
    argv = [os.path.join(folder, program_name)]
    if server.user:
        argv = ["setpriv", f"--reuid={server.user}", f"--regid={server.user}", "--init-groups"] + argv
    return subprocess.Popen(argv, cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, env=env, start_new_session=True)


class Server:
    """One web server serving `docroot` on 127.0.0.1:port; the gallery lives
    in docroot/<folder>/ with the program copied in as pictorama.cgi."""

    name = ""
    binary = ""
    # The deploy/ file the server runs, and the harness/ wrapper that includes
    # it (None: the server is started on the file itself, or by a unit).
    deploy = ""
    harness = None
    # deploy/ units started before the server: (socket unit or None, service).
    services = ()
    # A deploy/ service unit that starts the server itself, instead of `binary`.
    server_unit = None
    # Whether the folder's URL (/photos/) runs the program, by an index setting.
    folder_index = True
    # Whether the config keeps ?REPAIR and ?S to the site owner's address.
    guards_owner_queries = True
    # Whether the program writes its private files outside the published
    # folder (CGI_PRIVATE_DIR) because the server cannot deny them.
    private_outside = False

    def __init__(self, work, docroot, port, user):
        self.work = work  # config, logs, pid files, sockets
        self.docroot = docroot
        self.port = port
        self.user = user
        self.program = None
        self.processes = []
        # The folder the program writes its private files into
        # (CGI_PRIVATE_DIR), or None: they stay in the gallery folder and the
        # config denies them.
        self.private_dir = self.path("private") if self.private_outside else None

    def values(self):
        """The test's value of every placeholder of deploy/ and harness/."""
        return {
            "DOCUMENT_ROOT": self.docroot,
            "GALLERY": os.path.dirname(self.program) if self.program else "",
            "OWNER_ADDRESS": OWNER_ADDRESS,
            "LISTEN": f"127.0.0.1:{self.port}",
            "SOCKET": self.path("pictorama.sock"),
            "FCGIWRAP_SOCKET": self.path("fcgiwrap.sock"),
            "PRIVATE_DIR": self.path("private"),
            "BUSYBOX_CONF": self.path("busybox-httpd.conf"),
            "WORK": self.work,
            "USER": self.user or pwd.getpwuid(os.geteuid()).pw_name,
            "PORT": str(self.port),
        }

    def unavailable(self):
        """Why this server cannot run here, or None."""
        if not shutil.which(self.binary) and not os.path.exists(self.binary):
            return f"{self.binary} is not installed"
        return None

    def path(self, name):
        return os.path.join(self.work, name)

    def spawn(self, argv, env=None, stdin=None, label=None):
        log = open(self.path(f"{len(self.processes)}-{label or os.path.basename(argv[0])}.out"), "w")
        process = subprocess.Popen(argv, stdin=stdin if stdin is not None else subprocess.DEVNULL, stdout=log,
                                   stderr=subprocess.STDOUT, env=env if env is not None else self.clean_env(),
                                   start_new_session=True)
        log.close()
        self.processes.append(process)
        return process

    def clean_env(self):
        return {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C"}

    def program_env(self):
        """What this server's config adds to the program's environment."""
        return {"CGI_PRIVATE_DIR": self.private_dir} if self.private_dir else {}

    def prepare(self):
        """Folders the config names, made before the tree is handed to the run user."""
        if self.private_dir:
            os.makedirs(self.private_dir, exist_ok=True)

    def service_values(self, index, values):
        """The placeholder values of the index-th of `services` (a setup that
        starts one unit twice, say on two sockets, gives each its own)."""
        return values

    def before_server(self):
        """What the distribution would have running beside the server."""

    def argv(self, config):
        """The command that starts the server on its (wrapped) config."""
        raise NotImplementedError

    def start(self, program):
        """Starts the deploy/ units and then the server, for the gallery whose
        program is `program`. Returns the server's process."""
        self.program = program
        values = self.values()
        for index, (socket_unit, service) in enumerate(self.services):
            units.start(self, service, socket_unit, self.service_values(index, values))
        self.before_server()
        config = deploy.install(self.deploy, values, self.path(self.deploy))
        if self.server_unit:
            return units.start(self, self.server_unit, None, values)
        if self.harness:
            config = deploy.wrap(self.harness, values, config, self.path("harness-" + self.harness))
        return self.spawn(self.argv(config))

    def extra_checks(self):
        """Checks of this server's own, run after the gallery's: (name, check
        taking the gallery's checks) pairs."""
        return []

    def stop(self):
        for process in reversed(self.processes):
            stop_process(process)
        self.processes = []

    def logs(self):
        """The tail of every log this server wrote, for a failure report."""
        text = []
        for name in sorted(os.listdir(self.work)):
            if name.endswith((".log", ".out")):
                with open(self.path(name), errors="replace") as f:
                    tail = f.read()[-3000:]
                if tail.strip():
                    text.append(f"--- {name}\n{tail}")
        return "\n".join(text)


class Lighttpd(Server):
    name = "lighttpd"
    binary = "/usr/sbin/lighttpd"
    deploy = "lighttpd-cgi.conf"
    harness = "lighttpd.conf"

    def argv(self, config):
        return [self.binary, "-D", "-f", config]


class Apache(Server):
    binary = "/usr/sbin/apache2"
    harness = "apache.conf"

    def argv(self, config):
        # In its own session: prefork answers SIGTERM by signalling its whole
        # process group.
        return [self.binary, "-f", config, "-DFOREGROUND"]


class ApacheEventCgid(Apache):
    name = "apache-event-cgid"
    deploy = "apache-event-cgid.conf"


class ApachePreforkCgi(Apache):
    name = "apache-prefork-cgi"
    deploy = "apache-prefork-cgi.conf"


class Nginx(Server):
    binary = "/usr/sbin/nginx"
    harness = "nginx.conf"

    def argv(self, config):
        return [self.binary, "-c", config, "-p", self.work, "-e", self.path("error.log")]


class NginxFcgiwrap(Nginx):
    name = "nginx-fcgiwrap"
    deploy = "nginx-fcgiwrap.conf"
    fcgiwrap = "/usr/sbin/fcgiwrap"

    def unavailable(self):
        if not os.path.exists(self.fcgiwrap):
            return f"{self.fcgiwrap} is not installed"
        return super().unavailable()

    def before_server(self):
        """fcgiwrap on its socket, as the web server's account, as Debian's
        fcgiwrap package runs it."""
        sock = self.values()["FCGIWRAP_SOCKET"]
        argv = [self.fcgiwrap, "-s", f"unix:{sock}"]
        if self.user:
            argv = ["setpriv", f"--reuid={self.user}", f"--regid={self.user}", "--init-groups"] + argv
        wrapper = self.spawn(argv)
        deadline = time.monotonic() + 10
        while not os.path.exists(sock) and wrapper.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)


class BusyboxHttpd(Server):
    name = "busybox-httpd"
    binary = "/bin/busybox"
    deploy = "busybox-httpd.conf"
    server_unit = "busybox-httpd.service"
    folder_index = False  # its index is index.html, or a CGI under /cgi-bin
    guards_owner_queries = False  # its rules see paths and addresses, never the query
    private_outside = True  # it cannot deny single files

    def unavailable(self):
        reason = super().unavailable()
        if reason:
            return reason
        probe = subprocess.run([self.binary, "httpd", "--help"], capture_output=True, text=True)
        if "Usage: httpd" not in probe.stdout + probe.stderr:
            return "this busybox has no httpd applet"
        return None


ALL = [Lighttpd, ApacheEventCgid, ApachePreforkCgi, NginxFcgiwrap, BusyboxHttpd]
