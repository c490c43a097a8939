#!/usr/bin/env python3
"""The end-to-end setups run the shipped configs and nothing else: every file
of deploy/ is used by some setup, every file a setup names exists, the
deploy/ files hold only the placeholders a site owner replaces and the
harness wrappers only the test's own, and no test source (this file
excepted, for the patterns below) holds server config text: a test that
runs a web server runs a shipped config.

    shipped_configs.py      prints what is wrong; exits 1 if anything is"""

import glob
import os
import re
import sys

import deploy
import fastcgi_servers
import servers
import shared_folder

# Every setup that runs a web server: the servers, then nginx in front of
# several machines.
SETUPS = servers.ALL + fastcgi_servers.ALL + [shared_folder.Balancer]

# Text that only a server's config holds: a test source that carries it
# writes a config of its own.
CONFIG_TEXT = [
    r"server\.modules", r"url\.access-deny", r"cgi\.assign", r"fastcgi\.server",  # lighttpd
    r"LoadModule", r"<Directory", r"SetHandler", r"Require all",  # Apache
    r"fastcgi_pass", r"fastcgi_param", r"location ~", r"worker_processes",  # nginx
    r":image/jpeg",  # busybox
    r"ListenStream=/", r"ExecStart=/",  # systemd
]


def test_sources():
    """Every source of the tests: the end-to-end tests and the C++ suites
    (the integration tests run web servers too)."""
    found = []
    for folder, dirs, files in os.walk(os.path.join(deploy.REPOSITORY, "tests")):
        dirs[:] = [d for d in dirs if d != "node_modules"]
        found += [os.path.join(folder, f) for f in files if f.endswith((".py", ".mjs", ".cpp", ".h"))]
    return sorted(found)


def used_files(setup):
    names = {setup.deploy} if setup.deploy else set()
    if setup.server_unit:
        names.add(setup.server_unit)
    for socket_unit, service in setup.services:
        names.update(n for n in (socket_unit, service) if n)
    return names


def problems():
    found = []
    shipped = set(deploy.shipped())
    used = set()
    wrappers = set()
    for setup in SETUPS:
        names = used_files(setup)
        if not names:
            found.append(f"{setup.name} runs no deploy/ file")
        for name in sorted(names - shipped):
            found.append(f"{setup.name} names deploy/{name}, which does not exist")
        used |= names
        if setup.harness:
            wrappers.add(setup.harness)
            if not os.path.isfile(os.path.join(deploy.HARNESS, setup.harness)):
                found.append(f"{setup.name} names tests/e2e/harness/{setup.harness}, which does not exist")
    for name in sorted(shipped - used):
        found.append(f"deploy/{name} is used by no end-to-end setup")
    for name in deploy.shipped():
        extra = deploy.placeholders(deploy.read(deploy.DEPLOY, name)) - deploy.SITE_VALUES
        if extra:
            found.append(f"deploy/{name} has placeholders a site owner is not told of: {sorted(extra)}")
    for name in sorted(os.listdir(deploy.HARNESS)):
        if name not in wrappers:
            found.append(f"tests/e2e/harness/{name} wraps no setup's config")
        extra = deploy.placeholders(deploy.read(deploy.HARNESS, name)) - deploy.HARNESS_VALUES
        if extra:
            found.append(f"tests/e2e/harness/{name} fills in site values itself: {sorted(extra)}")
    this = os.path.abspath(__file__)
    for source in test_sources():
        if os.path.abspath(source) == this:
            continue
        with open(source) as f:
            text = f.read()
        for pattern in CONFIG_TEXT:
            for match in re.finditer(pattern, text):
                line = text.count("\n", 0, match.start()) + 1
                found.append(f"{os.path.relpath(source, deploy.REPOSITORY)}:{line} writes server config "
                             f"({match.group(0)!r}): configs belong in deploy/")
    return found


def main():
    found = problems()
    for problem in found:
        print(problem)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
