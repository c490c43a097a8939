"""The web servers the gallery runs under, each with the config a site owner
would write (see the README's deployment guide) plus the test plumbing: a
temporary folder for config, logs, pid and sockets, a free loopback port, and a
process started in its own session so that stopping it by its id reaches its
workers and nothing else."""

import os
import pwd
import shutil
import signal
import socket
import subprocess
import time

APACHE_MODULES = "/usr/lib/apache2/modules"

# The site owner's address, the only one the configs let use ?REPAIR and ?S; a
# stranger is any other loopback address.
OWNER_ADDRESS = "127.0.0.1"


# The rules every config of the guide carries (CGI and FastCGI alike): the
# gallery's private files are never served, and ?REPAIR and ?S answer the
# site owner's address only.
LIGHTTPD_GUARDS = f"""# The gallery's private files: trace, slideshow positions, files being
# written, the log and the server mode's exchange folder.
$HTTP["url"] =~ "(\\.tst$|/SlideNext[^/]*$|\\.~[^/]*$|/(log|temp)/)" {{
    url.access-deny = ("")
}}
# ?REPAIR and ?S for the site owner's address only.
$HTTP["querystring"] =~ "^(REPAIR|S)$" {{
    $HTTP["remoteip"] != "{OWNER_ADDRESS}" {{
        url.access-deny = ("")
    }}
}}
"""
APACHE_GUARDS = f"""    # The gallery's private files: trace, slideshow positions, files being written.
    <FilesMatch "(\\.tst$|^SlideNext|\\.~)">
        Require all denied
    </FilesMatch>
    # ?REPAIR and ?S for the site owner's address only.
    <If "%{{QUERY_STRING}} =~ /^(REPAIR|S)$/">
        AuthMerging And
        Require ip {OWNER_ADDRESS}
    </If>
</Directory>
# The log and the server mode's exchange folder.
<DirectoryMatch "/(log|temp)(/|$)">
    Require all denied
</DirectoryMatch>
"""

# Apache's own bound on slow clients (mod_reqtimeout), in every Apache config:
# a request's head within 20 s, up to 40 s while it comes at 500 bytes/s; its
# body within 20 s, longer while it comes at 500 bytes/s.
APACHE_REQUEST_TIMEOUTS = f"""LoadModule reqtimeout_module {APACHE_MODULES}/mod_reqtimeout.so
RequestReadTimeout header=20-40,MinRate=500 body=20,MinRate=500
"""


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
    # Whether the folder's URL (/photos/) runs the program, by an index setting.
    folder_index = True
    # Whether the config keeps ?REPAIR and ?S to the site owner's address.
    guards_owner_queries = True

    # The folder the program writes its private files into (CGI_PRIVATE_DIR),
    # or None: they stay in the gallery folder and the config denies them.
    private_dir = None

    def __init__(self, work, docroot, port, user):
        self.work = work  # config, logs, pid files, sockets
        self.docroot = docroot
        self.port = port
        self.user = user
        self.processes = []

    def unavailable(self):
        """Why this server cannot run here, or None."""
        if not shutil.which(self.binary) and not os.path.exists(self.binary):
            return f"{self.binary} is not installed"
        return None

    def path(self, name):
        return os.path.join(self.work, name)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)
        return self.path(name)

    def spawn(self, argv, env=None):
        log = open(self.path(f"{len(self.processes)}-{os.path.basename(argv[0])}.out"), "w")
        process = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                   env=env if env is not None else self.clean_env(), start_new_session=True)
        log.close()
        self.processes.append(process)
        return process

    def clean_env(self):
        return {"PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "LANG": "C"}

    def program_env(self):
        """What this server's config adds to the program's environment."""
        return {}

    def prepare(self):
        """Folders the config names, made before the tree is handed to the run user."""

    def start(self, program):
        """Starts the server for the gallery whose program is `program`."""
        raise NotImplementedError

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

    def config(self):
        user = f'server.username = "{self.user}"\nserver.groupname = "{self.user}"\n' if self.user else ""
        return f"""server.document-root = "{self.docroot}"
server.bind = "127.0.0.1"
server.port = {self.port}
server.errorlog = "{self.path('error.log')}"
{user}server.modules = ("mod_access", "mod_indexfile", "mod_cgi")
index-file.names = ("pictorama.cgi")
cgi.assign = (".cgi" => "")
mimetype.assign = (".jpg" => "image/jpeg", ".gif" => "image/gif", ".html" => "text/html")
{LIGHTTPD_GUARDS}"""

    def start(self, program):
        conf = self.write("lighttpd.conf", self.config())
        return self.spawn([self.binary, "-D", "-f", conf])


class Apache(Server):
    binary = "/usr/sbin/apache2"
    mpm = ""
    cgi_module = ""

    def config(self):
        user = f"User {self.user}\nGroup {self.user}\n" if self.user else ""
        cgid = f'ScriptSock "{self.path("cgid.sock")}"\n' if self.cgi_module == "cgid" else ""
        return f"""ServerRoot "{self.work}"
DefaultRuntimeDir "{self.work}"
PidFile "{self.path('httpd.pid')}"
ErrorLog "{self.path('error.log')}"
Mutex file:{self.work} default
Listen 127.0.0.1:{self.port}
ServerName 127.0.0.1
{user}LoadModule mpm_{self.mpm}_module {APACHE_MODULES}/mod_mpm_{self.mpm}.so
LoadModule authz_core_module {APACHE_MODULES}/mod_authz_core.so
LoadModule authz_host_module {APACHE_MODULES}/mod_authz_host.so
LoadModule mime_module {APACHE_MODULES}/mod_mime.so
LoadModule dir_module {APACHE_MODULES}/mod_dir.so
LoadModule {self.cgi_module}_module {APACHE_MODULES}/mod_{self.cgi_module}.so
{APACHE_REQUEST_TIMEOUTS}{cgid}StartServers 1
TypesConfig /etc/mime.types
DocumentRoot "{self.docroot}"
DirectoryIndex pictorama.cgi
<Directory "{self.docroot}">
    Options +ExecCGI
    Require all granted
    <FilesMatch "\\.(cgi|exe)$">
        SetHandler cgi-script
    </FilesMatch>
{APACHE_GUARDS}"""

    def start(self, program):
        conf = self.write("httpd.conf", self.config())
        # In its own session: prefork answers SIGTERM by signalling its whole
        # process group.
        return self.spawn([self.binary, "-f", conf, "-DFOREGROUND"])


class ApacheEventCgid(Apache):
    name = "apache-event-cgid"
    mpm = "event"
    cgi_module = "cgid"


class ApachePreforkCgi(Apache):
    name = "apache-prefork-cgi"
    mpm = "prefork"
    cgi_module = "cgi"


class NginxFcgiwrap(Server):
    name = "nginx-fcgiwrap"
    binary = "/usr/sbin/nginx"
    fcgiwrap = "/usr/sbin/fcgiwrap"

    def unavailable(self):
        if not os.path.exists(self.fcgiwrap):
            return f"{self.fcgiwrap} is not installed"
        return super().unavailable()

    def config(self):
        user = f"user {self.user};\n" if self.user else ""
        temp = "".join(f"    {kind}_temp_path {self.path(kind + '-temp')};\n"
                       for kind in ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
        return f"""{user}daemon off;
worker_processes 1;
pid {self.path('nginx.pid')};
error_log {self.path('error.log')};
events {{ worker_connections 64; }}
http {{
    access_log off;
{temp}    types {{ image/jpeg jpg; image/gif gif; text/html html; }}
    # ?REPAIR and ?S for the site owner's address only.
    geo $gallery_owner {{ default 0; {OWNER_ADDRESS} 1; }}
    map "$gallery_owner:$query_string" $gallery_refused {{ default 0; "0:REPAIR" 1; "0:S" 1; }}
    server {{
        listen 127.0.0.1:{self.port};
        root {self.docroot};
        index pictorama.cgi;
        # The gallery's private files: trace, slideshow positions, files being
        # written, the log and the server mode's exchange folder.
        location ~ (\\.tst$|/SlideNext[^/]*$|\\.~[^/]*$|/(log|temp)/) {{
            deny all;
        }}
        location ~ \\.cgi$ {{
            if ($gallery_refused) {{
                return 403;
            }}
            fastcgi_pass unix:{self.path('fcgiwrap.sock')};
            fastcgi_param GATEWAY_INTERFACE CGI/1.1;
            fastcgi_param SERVER_SOFTWARE   nginx/$nginx_version;
            fastcgi_param SERVER_PROTOCOL   $server_protocol;
            fastcgi_param SERVER_NAME       $server_name;
            fastcgi_param SERVER_ADDR       $server_addr;
            fastcgi_param SERVER_PORT       $server_port;
            fastcgi_param REQUEST_METHOD    $request_method;
            fastcgi_param REQUEST_URI       $request_uri;
            fastcgi_param QUERY_STRING      $query_string;
            fastcgi_param CONTENT_TYPE      $content_type;
            fastcgi_param CONTENT_LENGTH    $content_length;
            fastcgi_param SCRIPT_NAME       $fastcgi_script_name;
            fastcgi_param SCRIPT_FILENAME   $document_root$fastcgi_script_name;
            fastcgi_param DOCUMENT_ROOT     $document_root;
            fastcgi_param REMOTE_ADDR       $remote_addr;
            fastcgi_param REMOTE_PORT       $remote_port;
            fastcgi_param HTTP_HOST         $http_host;
        }}
    }}
}}
"""

    def start(self, program):
        sock = self.path("fcgiwrap.sock")
        argv = [self.fcgiwrap, "-s", f"unix:{sock}"]
        if self.user:
            argv = ["setpriv", f"--reuid={self.user}", f"--regid={self.user}", "--init-groups"] + argv
        wrapper = self.spawn(argv)
        deadline = time.monotonic() + 10
        while not os.path.exists(sock) and wrapper.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        conf = self.write("nginx.conf", self.config())
        return self.spawn([self.binary, "-c", conf, "-p", self.work, "-e", self.path("error.log")])


class BusyboxHttpd(Server):
    name = "busybox-httpd"
    binary = "/bin/busybox"
    folder_index = False  # its index is index.html, or a CGI under /cgi-bin
    guards_owner_queries = False  # its rules see paths and addresses, never the query

    def __init__(self, work, docroot, port, user):
        super().__init__(work, docroot, port, user)
        # It cannot deny single files: the program writes its private files
        # outside the document root instead.
        self.private_dir = self.path("private")

    def prepare(self):
        os.makedirs(self.private_dir, exist_ok=True)

    def program_env(self):
        return {"CGI_PRIVATE_DIR": self.private_dir}

    def unavailable(self):
        reason = super().unavailable()
        if reason:
            return reason
        probe = subprocess.run([self.binary, "httpd", "--help"], capture_output=True, text=True)
        if "Usage: httpd" not in probe.stdout + probe.stderr:
            return "this busybox has no httpd applet"
        return None

    def config(self, program):
        # Outside /cgi-bin busybox runs CGI only through an interpreter named
        # per extension; the program is its own interpreter. Its content types
        # are matched with their letter case (cameras write .JPG).
        return f"*.cgi:{program}\n.jpg:image/jpeg\n.JPG:image/jpeg\n.gif:image/gif\n.GIF:image/gif\n"

    def start(self, program):
        conf = self.write("httpd.conf", self.config(program))
        argv = [self.binary, "httpd", "-f", "-p", f"127.0.0.1:{self.port}", "-h", self.docroot, "-c", conf]
        if self.user:
            argv[2:2] = ["-u", f"{self.user}:{self.user}"]
        # busybox sets no DOCUMENT_ROOT for its CGI programs but hands them its
        # own environment, so the server is started with it (and with the
        # folder for the private files).
        env = self.clean_env()
        env["DOCUMENT_ROOT"] = self.docroot
        env.update(self.program_env())
        return self.spawn(argv, env)


ALL = [Lighttpd, ApacheEventCgid, ApachePreforkCgi, NginxFcgiwrap, BusyboxHttpd]
