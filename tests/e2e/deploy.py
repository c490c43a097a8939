"""The shipped configs of deploy/ as the end-to-end tests run them.

Each file is filled in with the test's values for its placeholders (@NAME@,
the few values a site owner replaces) and, where a server needs one, wrapped
by a file of harness/ that stands in for the distribution's main config with
what a test started as a process of its own needs (a free loopback port, its
own logs, pid file and account). The tests write no server config of their
own: every config a server runs is one of these files, filled in."""

import os
import re

HERE = os.path.dirname(os.path.abspath(__file__))
REPOSITORY = os.path.dirname(os.path.dirname(HERE))
DEPLOY = os.path.join(REPOSITORY, "deploy")
HARNESS = os.path.join(HERE, "harness")

PLACEHOLDER = re.compile(r"@([A-Z][A-Z0-9_]*)@")

# What a site owner replaces in a deploy/ file.
SITE_VALUES = {
    "DOCUMENT_ROOT",    # the web site's folder; galleries are folders in it
    "GALLERY",          # a gallery folder holding the program
    "OWNER_ADDRESS",    # the one address allowed ?REPAIR and ?S
    "LISTEN",           # the port, or address:port
    "SOCKET",           # the resident FastCGI program's socket
    "FCGIWRAP_SOCKET",  # fcgiwrap's socket
    "PRIVATE_DIR",      # CGI_PRIVATE_DIR, outside the document root
    "BUSYBOX_CONF",     # where busybox-httpd.conf went
    "MACHINE_A",        # the first machine's FastCGI address (host:port)
    "MACHINE_B",        # the second's, over the same shared folder
}
# What only a harness wrapper uses: the test's folder, account and port, and
# the filled deploy/ file it wraps.
HARNESS_VALUES = {"WORK", "USER", "PORT", "DEPLOY"}


def placeholders(text):
    return set(PLACEHOLDER.findall(text))


def fill(text, values, source):
    """`text` with every @NAME@ replaced by values[NAME]; a placeholder
    without a value is a mistake, not something to leave in a config."""
    missing = sorted(placeholders(text) - set(values))
    if missing:
        raise ValueError(f"{source}: no value for {', '.join('@' + m + '@' for m in missing)}")
    return PLACEHOLDER.sub(lambda m: values[m.group(1)], text)


def read(folder, name):
    with open(os.path.join(folder, name)) as f:
        return f.read()


def filled(name, values):
    """The text of deploy/`name` filled in with the site values of `values`."""
    return fill(read(DEPLOY, name), {k: v for k, v in values.items() if k in SITE_VALUES}, f"deploy/{name}")


def install(name, values, target):
    """deploy/`name` filled in, written to the path `target`. Returns `target`."""
    text = filled(name, values)
    with open(target, "w") as f:
        f.write(text)
    return target


def wrap(name, values, deployed, target):
    """harness/`name` around the filled deploy file at `deployed`, written to
    `target`. Returns `target`."""
    harness_values = {k: v for k, v in values.items() if k in HARNESS_VALUES}
    harness_values["DEPLOY"] = deployed
    text = fill(read(HARNESS, name), harness_values, f"tests/e2e/harness/{name}")
    with open(target, "w") as f:
        f.write(text)
    return target


def shipped():
    """Every file of deploy/."""
    return sorted(name for name in os.listdir(DEPLOY) if os.path.isfile(os.path.join(DEPLOY, name)))
