#!/usr/bin/env python3
"""End-to-end tests: the built program in a sample gallery under each
supported web server, each run with its shipped config of deploy/, nginx
balancing over two machines that share the gallery's folder, then in a real
browser under lighttpd (as CGI and as FastCGI).

    e2e.py --program build/pictorama.cgi [--servers NAME,...] [--no-browser]
           [--screenshots DIR]

Prints one line per check and closes with "e2e: N passed, M failed, K skipped";
exits non-zero when a check failed. A server or tool that is missing skips its
checks, said loudly, except in CI (CI set in the environment), where it fails."""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
import urllib.parse

import checks
import fastcgi_servers
import gallery
import servers
import shared_folder
import shipped_configs

# Every server: the program as CGI, then as a resident FastCGI program.
ALL_SERVERS = servers.ALL + fastcgi_servers.ALL
# Setups of their own: several machines over one folder.
SETUPS = [shared_folder.NAME]

HERE = os.path.dirname(os.path.abspath(__file__))


def in_ci():
    """CI runs every test: there a missing tool fails the run."""
    return os.environ.get("CI", "").strip().lower() not in ("", "0", "false", "no")


class Tally:
    def __init__(self):
        self.passed = self.failed = self.skipped = 0

    def ok(self, label, seconds, note=None):
        self.passed += 1
        print(f"ok    {label} ({seconds:.1f} s)", flush=True)
        if note:
            print("\n".join("      " + line for line in note.splitlines()), flush=True)

    def fail(self, label, why):
        self.failed += 1
        print(f"FAIL  {label}\n      {why}", flush=True)

    def missing_tool(self, label, why):
        """A test that cannot run here: a failure in CI, a loud skip elsewhere."""
        if in_ci():
            self.fail(label, f"{why}: CI runs every test (./run setup installs it)")
        else:
            self.skipped += 1
            print(f"SKIP  {label}: NOT TESTED, {why}", flush=True)


def serve(server_class, root, cache, program):
    """A fresh document root and working folder for one server, started.
    Returns (server, gallery folder) or raises with the server's logs."""
    work = tempfile.mkdtemp(prefix=server_class.name + "-", dir=root)
    os.chmod(work, 0o755)
    docroot = os.path.join(work, "www")
    os.makedirs(docroot)
    folder = gallery.build(docroot, cache, program)
    user = servers.run_user()
    server = server_class(work, docroot, servers.free_port(), user)
    server.prepare()
    # The servers write their logs after dropping to the run user.
    servers.chown_tree(work, user)
    process = server.start(os.path.join(folder, gallery.PROGRAM_NAME))
    if not servers.wait_for_port(server.port, process):
        server.stop()
        raise RuntimeError(f"{server.name} did not start listening\n{server.logs()}")
    return server, folder


def run_server(server_class, root, cache, program, tally):
    probe = server_class("/nonexistent", "/nonexistent", 0, None)
    reason = probe.unavailable()
    if reason:
        tally.missing_tool(server_class.name, reason)
        return
    try:
        server, folder = serve(server_class, root, cache, program)
    except Exception as e:  # the server's logs say why
        tally.fail(f"{server_class.name} start", e)
        return
    try:
        suite = checks.GalleryChecks(server, folder)
        for name, check in suite.all():
            label = f"{server.name}: {name}"
            started = time.monotonic()
            try:
                note = check()
                tally.ok(label, time.monotonic() - started, note)
            except AssertionError as e:
                tally.fail(label, e)
            except Exception:
                tally.fail(label, traceback.format_exc(limit=3))
        if tally.failed:
            print(server.logs(), flush=True)
    finally:
        server.stop()


def run_browser(root, cache, program, screenshots, tally, server_class=servers.Lighttpd):
    node_modules = os.path.join(HERE, "node_modules", "playwright-core")
    chromium = "/usr/bin/chromium"
    if not os.path.exists(chromium):
        tally.missing_tool("browser", f"{chromium} is not installed")
        return
    if not os.path.isdir(node_modules) or not shutil.which("node"):
        tally.missing_tool("browser", "playwright-core or node is not installed")
        return
    try:
        server, folder = serve(server_class, root, cache, program)
    except Exception as e:
        tally.fail(f"browser: {server_class.name} start", e)
        return
    label = f"browser: chromium under {server_class.name}"
    try:
        os.makedirs(screenshots, exist_ok=True)
        base = f"http://127.0.0.1:{server.port}/{gallery.FOLDER}/"
        listed = sorted(gallery.LISTED, key=lambda n: gallery.LISTED[n][0])
        # A new visitor's first two slides: the JPEGs in name order, ignoring case.
        slides = sorted((n for n in gallery.SOURCES if n.lower().endswith(".jpg")), key=str.lower)[:2]
        expectations = {
            "url": base + gallery.PROGRAM_NAME,
            "pictures": [{"href": base + urllib.parse.quote(n), "caption": gallery.LISTED[n][1]} for n in listed],
            "slides": [gallery.LISTED[n][1] if n in gallery.LISTED else None for n in slides],
            "screenshots": screenshots,
            "profile": tempfile.mkdtemp(prefix="chromium-profile-", dir=root),
        }
        with open(os.path.join(root, "browser.json"), "w") as f:
            json.dump(expectations, f)
        started = time.monotonic()
        result = subprocess.run(["node", os.path.join(HERE, "browser.mjs"), os.path.join(root, "browser.json")],
                                capture_output=True, text=True, timeout=180)
        for line in result.stdout.splitlines():
            print("      " + line, flush=True)
        if result.returncode == 0:
            tally.ok(label, time.monotonic() - started)
        else:
            tally.fail(label, result.stderr[-3000:])
    except subprocess.TimeoutExpired:
        tally.fail(label, "no answer in 180 s")
    finally:
        server.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--program", required=True)
    parser.add_argument("--servers", default=",".join([s.name for s in ALL_SERVERS] + SETUPS))
    parser.add_argument("--no-browser", action="store_true")
    parser.add_argument("--screenshots", default="build/e2e-screenshots")
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    if not os.path.exists(program):
        print(f"{program} does not exist: build it first", file=sys.stderr)
        return 2
    wanted = args.servers.split(",")
    unknown = set(wanted) - {s.name for s in ALL_SERVERS} - set(SETUPS)
    if unknown:
        print(f"unknown servers: {', '.join(sorted(unknown))}", file=sys.stderr)
        return 2

    if not os.path.exists(gallery.CONVERT):
        print(f"{gallery.CONVERT} (ImageMagick) is missing: it makes the sample pictures (./run setup installs it)",
              file=sys.stderr)
        return 2

    tally = Tally()
    started = time.monotonic()
    found = shipped_configs.problems()
    if found:
        tally.fail("shipped configs", "\n      ".join(found))
    else:
        tally.ok("shipped configs: every deploy/ file runs in a setup, no setup writes its own",
                 time.monotonic() - started)
    root = tempfile.mkdtemp(prefix="pictorama-e2e-")
    os.chmod(root, 0o755)
    try:
        cache = os.path.join(root, "pictures")
        gallery.make_pictures(cache)
        for server_class in ALL_SERVERS:
            if server_class.name in wanted:
                run_server(server_class, root, cache, program, tally)
        if shared_folder.NAME in wanted:
            shared_folder.run(root, cache, program, tally)
        if not args.no_browser:
            run_browser(root, cache, program, os.path.abspath(args.screenshots), tally)
            # The program as lighttpd's resident FastCGI program, too.
            run_browser(root, cache, program, os.path.join(os.path.abspath(args.screenshots), "fastcgi"), tally,
                        fastcgi_servers.LighttpdFastCgi)
    finally:
        shutil.rmtree(root, ignore_errors=True)
    print(f"e2e: {tally.passed} passed, {tally.failed} failed, {tally.skipped} skipped", flush=True)
    return 1 if tally.failed else 0


if __name__ == "__main__":
    sys.exit(main())
