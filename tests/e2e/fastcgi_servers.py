"""The web servers the gallery runs under as a resident FastCGI program, each
with the config a site owner would write (see the README's FastCGI guide):
lighttpd starting the program itself (bin-path, the socket on its standard
input), nginx and Apache (mod_proxy_fcgi) passing requests to the program
started beside them with --fastcgi on a unix socket."""

import os
import time

import servers


def start_program(server, program, sock):
    """The program as its own FastCGI server on a unix socket, under the run
    user, as a supervisor would start it; returns once it listens."""
    argv = [program, "--fastcgi", sock, "--threads", "4"]
    if server.user:
        argv = ["setpriv", f"--reuid={server.user}", f"--regid={server.user}", "--init-groups"] + argv
    process = server.spawn(argv)
    deadline = time.monotonic() + 10
    while not os.path.exists(sock) and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.05)
    return process


class LighttpdFastCgi(servers.Lighttpd):
    name = "lighttpd-fastcgi"

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
    "bin-environment" => ("PICTORAMA_FASTCGI_THREADS" => "4"),
)))
mimetype.assign = (".jpg" => "image/jpeg", ".gif" => "image/gif", ".html" => "text/html")
{servers.LIGHTTPD_GUARDS}"""

    def start(self, program):
        self.program = program
        return super().start(program)


class NginxFastCgi(servers.NginxFcgiwrap):
    name = "nginx-fastcgi"

    def unavailable(self):
        return servers.Server.unavailable(self)

    def config(self):
        # The same server block as under fcgiwrap, passing to our program.
        return super().config().replace(self.path("fcgiwrap.sock"), self.path("pictorama.sock"))

    def start(self, program):
        start_program(self, program, self.path("pictorama.sock"))
        conf = self.write("nginx.conf", self.config())
        return self.spawn([self.binary, "-c", conf, "-p", self.work, "-e", self.path("error.log")])


class ApacheProxyFcgi(servers.Apache):
    name = "apache-proxy-fcgi"
    mpm = "event"

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
StartServers 1
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
        start_program(self, program, self.path("pictorama.sock"))
        return super().start(program)


ALL = [LighttpdFastCgi, NginxFastCgi, ApacheProxyFcgi]
