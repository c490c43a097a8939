"""The systemd units of deploy/ started as systemd starts them, for the
end-to-end tests (which run without systemd). Only what the shipped units
use is emulated, and a key this emulation does not know fails the test
rather than being passed over:

- a socket unit's ListenStream= (a unix socket path: made with its folder,
  bound and listening before the service starts), SocketUser=, SocketGroup=
  and SocketMode= (applied when the tests run as root);
- a service's ExecStart=, Environment= (on a clean environment),
  StandardInput=socket (the listening socket as standard input),
  StandardOutput= and StandardError= (journal: a log file of the test's),
  User= and Group= (taken on with setpriv when the tests run as root; else
  the service runs as the tests' own account, and AmbientCapabilities= is
  needless for the tests' ports above 1023).

Restart=, KillSignal= and the [Unit] and [Install] keys are read and
checked for form but not emulated: restarting is systemd's own business."""

import os
import pwd
import shlex
import socket

import deploy

KNOWN = {
    "Unit": {"Description", "Requires", "After", "Wants"},
    "Socket": {"ListenStream", "SocketUser", "SocketGroup", "SocketMode"},
    "Service": {"User", "Group", "ExecStart", "Environment", "StandardInput", "StandardOutput", "StandardError",
                "Restart", "KillSignal", "AmbientCapabilities"},
    "Install": {"WantedBy"},
}


def parse(text, source):
    """A unit's sections: {section: [(key, value), ...]}."""
    sections = {}
    current = None
    for number, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line or line.startswith(("#", ";")):
            continue
        if line.startswith("[") and line.endswith("]"):
            current = line[1:-1]
            if current not in KNOWN:
                raise ValueError(f"{source}:{number}: section [{current}] is not emulated")
            sections.setdefault(current, [])
            continue
        key, equals, value = line.partition("=")
        if current is None or not equals:
            raise ValueError(f"{source}:{number}: not a unit line: {line}")
        if key not in KNOWN[current]:
            raise ValueError(f"{source}:{number}: {key}= is not emulated")
        sections[current].append((key, value))
    return sections


def one(section, key, default=None):
    values = [v for k, v in section if k == key]
    if len(values) > 1:
        raise ValueError(f"{key}= given {len(values)} times")
    return values[0] if values else default


def listen(server, text, source):
    """Makes the socket a socket unit describes; returns it."""
    unit = parse(text, source).get("Socket", [])
    path = one(unit, "ListenStream")
    if not path or not path.startswith("/"):
        raise ValueError(f"{source}: ListenStream= must be a unix socket path, not {path!r}")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    if os.path.exists(path):
        os.unlink(path)
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(128)
    if os.geteuid() == 0:
        user = pwd.getpwnam(one(unit, "SocketUser", "root"))
        group = one(unit, "SocketGroup")
        gid = pwd.getpwnam(group).pw_gid if group else user.pw_gid
        os.chown(path, user.pw_uid, gid)
    os.chmod(path, int(one(unit, "SocketMode", "0666"), 8))
    return listener


def start(server, service, socket_unit=None, values=None):
    """Starts deploy/`service` (after deploy/`socket_unit`, when given),
    filled in with `values` (default: the server's). Returns the process."""
    values = values if values is not None else server.values()
    source = f"deploy/{service}"
    unit = parse(deploy.filled(service, values), source).get("Service", [])
    argv = shlex.split(one(unit, "ExecStart", ""))
    if not argv or not argv[0].startswith("/"):
        raise ValueError(f"{source}: ExecStart= must name a program by its absolute path")
    env = server.clean_env()
    for key, value in unit:
        if key == "Environment":
            for assignment in shlex.split(value):
                name, _, setting = assignment.partition("=")
                env[name] = setting
    stdin = None
    listener = None
    if one(unit, "StandardInput") == "socket":
        if socket_unit is None:
            raise ValueError(f"{source}: StandardInput=socket without a socket unit")
        socket_source = f"deploy/{socket_unit}"
        listener = listen(server, deploy.filled(socket_unit, values), socket_source)
        stdin = listener.fileno()
    elif one(unit, "StandardInput") is not None:
        raise ValueError(f"{source}: StandardInput={one(unit, 'StandardInput')} is not emulated")
    for key in ("StandardOutput", "StandardError"):
        if one(unit, key, "journal") != "journal":
            raise ValueError(f"{source}: {key}= other than journal is not emulated")
    user = one(unit, "User")
    if user and os.geteuid() == 0:
        group = one(unit, "Group", user)
        argv = ["setpriv", f"--reuid={user}", f"--regid={group}", "--init-groups", "--"] + argv
    try:
        return server.spawn(argv, env, stdin=stdin, label=os.path.splitext(service)[0])
    finally:
        if listener is not None:
            listener.close()  # the service holds it now, as systemd's would
