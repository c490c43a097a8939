"""Several machines over one folder: nginx balancing the gallery's requests
(an upstream of two) over two resident FastCGI processes, each standing for a
machine of its own that reaches the gallery through its own FUSE mount
(bindfs, standing for NFS) of one shared folder, at the same path on both:
each runs in a mount namespace of its own, whose mount covers the path. nginx
runs deploy/nginx-fastcgi-machines.conf and serves the pictures and
thumbnails from a mount of its own.

What must hold there: a change made behind the mounts shows in the next page
from both machines; cold first views through both leave every thumbnail whole
(made once, under the claims both machines see); a machine killed in the
middle of a thumbnail leaves its claim, which the other takes over once it is
stale, serving the page."""

import concurrent.futures
import http.client
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

import checks
import gallery
import servers

NAME = "nginx-two-machines"
BINDFS = "/usr/bin/bindfs"
FUSERMOUNT = "/usr/bin/fusermount"
UNSHARE = "/usr/bin/unshare"
FUSE_MAGIC = 0x65735546

# The program's own times: a file's stamp is trusted once this old
# (kept_folders::SettledStampSeconds), a thumbnail claim not refreshed for
# this long is stale (ThumbnailClaimSeconds).
SETTLED_SECONDS = 3
CLAIM_STALE_SECONDS = 30


class Balancer(servers.Nginx):
    """nginx in front of the machines: the shipped config for several
    machines, in the harness's nginx.conf as the other nginx setups run it,
    with the machines' FastCGI addresses filled in."""
    name = NAME
    deploy = "nginx-fastcgi-machines.conf"

    def __init__(self, work, docroot, port, user, machine_ports):
        super().__init__(work, docroot, port, user)
        self.machine_ports = machine_ports

    def values(self):
        values = super().values()
        values["MACHINE_A"], values["MACHINE_B"] = (f"127.0.0.1:{port}" for port in self.machine_ports)
        return values


def unavailable():
    for tool in (BINDFS, FUSERMOUNT, UNSHARE, Balancer.binary, "/dev/fuse"):
        if not os.path.exists(tool):
            return f"{tool} is missing"
    if os.geteuid() != 0:
        return "mount namespaces and FUSE mounts for every machine need root"
    return None


def is_fuse(path):
    # statfs's f_type, as stat -f prints it in hex.
    result = subprocess.run(["stat", "-f", "-c", "%t", path], capture_output=True, text=True)
    return result.returncode == 0 and int(result.stdout.strip() or "0", 16) == FUSE_MAGIC


class Machines:
    """The shared folder, nginx's mount of it, the two machines and nginx."""

    def __init__(self, root, cache, program):
        self.work = tempfile.mkdtemp(prefix=NAME + "-", dir=root)
        os.chmod(self.work, 0o755)
        self.user = servers.run_user()
        # The share: the gallery as the file server holds it.
        self.share = os.path.join(self.work, "share")
        os.makedirs(self.share)
        self.shared = gallery.build(self.share, cache, program)
        servers.chown_tree(self.share, self.user)
        # The path every machine, and nginx, reaches it under.
        self.docroot = os.path.join(self.work, "www")
        self.mount_point = os.path.join(self.docroot, gallery.FOLDER)
        os.makedirs(self.mount_point)
        self.run = os.path.join(self.work, "run")
        os.makedirs(self.run)
        self.port = servers.free_port()
        self.machine_ports = [servers.free_port(), servers.free_port()]
        self.machines = []  # (Popen, its log)
        self.nginx = Balancer(self.run, self.docroot, self.port, self.user, self.machine_ports)
        self.mounted = False
        self.program_path = os.path.join(self.mount_point, gallery.PROGRAM_NAME)

    def start(self):
        # nginx's own mount (the front machine's).
        subprocess.run([BINDFS, self.shared, self.mount_point], check=True)
        self.mounted = True
        if not is_fuse(self.mount_point):
            raise RuntimeError(f"{self.mount_point} is not a FUSE mount")
        for index, port in enumerate(self.machine_ports):
            self.machines.append(self.start_machine(index, port))
        for (process, _), port in zip(self.machines, self.machine_ports):
            if not servers.wait_for_port(port, process):
                raise RuntimeError(f"a machine did not start listening\n{self.logs()}")
        # Each machine on a FUSE mount of its own, not nginx's, not the other's.
        devices = [self.mounted_device(pid) for pid in self.machine_pids()]
        nginx_device = os.stat(self.mount_point).st_dev
        if None in devices or len(set(devices + [(os.major(nginx_device), os.minor(nginx_device))])) != 3:
            raise RuntimeError(f"the machines do not each have a mount of their own: {devices}\n{self.logs()}")
        nginx = self.nginx.start(self.program_path)
        if not servers.wait_for_port(self.port, nginx):
            raise RuntimeError(f"nginx did not start listening\n{self.logs()}")

    def start_machine(self, index, port):
        """A machine: a mount namespace of its own where the share is mounted
        (bindfs, in the foreground, the program's child) over the path nginx
        uses too, and the program serving FastCGI there as the run user, with
        the picture formats turned on as the shipped service turns them on."""
        run_as = (f"setpriv --reuid={self.user} --regid={self.user} --init-groups " if self.user else "")
        # nginx's mount, copied into the namespace, goes first (here only):
        # the machine's own mount takes the empty folder's place. It is there
        # once the path's device is another than the folder's; the program
        # starts on it or not at all.
        mp = self.mount_point
        script = (f"umount -l '{mp}' 2>/dev/null; before=$(stat -c %d '{mp}'); "
                  f"{BINDFS} -f '{self.shared}' '{mp}' & "
                  f"for i in $(seq 200); do [ \"$(stat -c %d '{mp}')\" != \"$before\" ] && break; sleep 0.05; done; "
                  f"[ \"$(stat -c %d '{mp}')\" != \"$before\" ] || {{ echo 'the share is not mounted'; exit 1; }}; "
                  f"exec {run_as}env PICTORAMA_FORMATS=all '{self.program_path}' --fastcgi 127.0.0.1:{port} --threads 4")
        log = open(os.path.join(self.run, f"machine-{'ab'[index]}.out"), "w")
        process = subprocess.Popen([UNSHARE, "--mount", "--propagation", "private", "sh", "-c", script],
                                   stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT,
                                   start_new_session=True, cwd=self.work)
        log.close()
        return process, log.name

    def mounted_device(self, pid):
        """The (major, minor) of the FUSE mount that process pid sees at the
        gallery's path, or None."""
        found = None
        with open(f"/proc/{pid}/mountinfo") as f:
            for line in f:
                fields = line.split()
                separator = fields.index("-")
                if fields[4] == self.mount_point and fields[separator + 1].startswith("fuse"):
                    found = tuple(int(n) for n in fields[2].split(":"))  # the last one is on top
        return found

    def machine_pids(self):
        return [process.pid for process, _ in self.machines]

    def stop(self):
        self.nginx.stop()
        for process, _ in self.machines:
            servers.stop_process(process)
        if self.mounted:
            for _ in range(50):
                if subprocess.run([FUSERMOUNT, "-u", self.mount_point], capture_output=True).returncode == 0:
                    break
                time.sleep(0.1)

    def logs(self):
        text = []
        for name in sorted(os.listdir(self.run)):
            if name.endswith((".log", ".out")):
                with open(os.path.join(self.run, name), errors="replace") as f:
                    tail = f.read()[-3000:]
                if tail.strip():
                    text.append(f"--- {name}\n{tail}")
        return "\n".join(text)

    def writes(self):
        """How many writing system calls each machine's program has made: a
        request it serves makes some (its trace, its answer) before its
        answer is complete, an idle one none."""
        counts = []
        for pid in self.machine_pids():
            try:
                with open(f"/proc/{pid}/io") as f:
                    counts.append(int(next(line for line in f if line.startswith("syscw:")).split()[1]))
            except (OSError, StopIteration):
                counts.append(-1)  # gone
        return counts

    # --- requests ---------------------------------------------------------

    def get(self, query="", timeout=30):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            path = f"/{gallery.FOLDER}/{gallery.PROGRAM_NAME}" + ("?" + query if query else "")
            connection.request("GET", path)
            answer = connection.getresponse()
            return checks.Response(answer.status, {k.lower(): v for k, v in answer.getheaders()}, answer.read())
        finally:
            connection.close()

    def pages(self, count):
        """count pages one after the other, with the machine (its pid) that
        served each."""
        answers, machines = [], []
        for _ in range(count):
            before = self.writes()
            answers.append(self.get())
            after = self.writes()
            busy = [pid for pid, b, a in zip(self.machine_pids(), before, after) if a > b]
            machines.append(busy[0] if len(busy) == 1 else None)
        return answers, machines


def whole_thumbnails(folder):
    """Every thumbnail in the folder, each a complete JPEG of height 70;
    raises AssertionError naming what is wrong."""
    names = sorted(n for n in os.listdir(folder) if n.startswith("t_") and n.lower().endswith(".jpg")
                   and n.upper() != "T_SLIDEIMAGE.JPG")
    for name in names:
        with open(os.path.join(folder, name), "rb") as f:
            data = f.read()
        size = checks.jpeg_size(data)
        assert size is not None and size[1] == 70 and data.endswith(b"\xff\xd9"), f"{name} is not whole: {size}"
    left = [n for n in os.listdir(folder) if ".~" in n]
    assert not left, f"files left on their way into place or claimed: {left}"
    return names


def check_cold_first_views_through_both_leave_every_thumbnail_whole(m):
    before = m.writes()
    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        answers = list(pool.map(lambda _: m.get(timeout=120), range(8)))
    after = m.writes()
    for r in answers:
        assert r.status == 200, r
        assert f"\r\n{len(gallery.LISTED)} Images Posted\r\n" in r.text, r
    assert all(a > b for a, b in zip(after, before)), "the first views did not reach both machines"
    names = whole_thumbnails(m.shared)
    assert len(names) == len(gallery.LISTED), names
    return f"8 first views at once through both machines: {len(names)} thumbnails, each whole, no claim left"


def check_a_change_behind_the_mounts_shows_from_both(m):
    # What the machines keep of the folder are files whose stamps have settled.
    time.sleep(SETTLED_SECONDS + 0.5)
    answers, served = m.pages(4)
    before = answers[0].text
    assert all(r.status == 200 and r.text == before for r in answers), [r.status for r in answers]
    assert set(served) == set(m.machine_pids()), f"the pages came from {served}"
    # Behind every mount: a caption rewritten in place, a picture listed.
    caption = os.path.join(m.shared, "holy.txt")
    with open(caption, "w", newline="") as f:
        f.write("Chapel at noon\r\n")
    fresh = os.path.splitext(gallery.UNLISTED)[0]
    for extension, line in ((".idd", "2024-05-09 fresh"), (".txt", "Fresh from the share")):
        with open(os.path.join(m.shared, fresh + extension), "w", newline="") as f:
            f.write(line + "\r\n")
    answers, served = m.pages(2)
    assert set(served) == set(m.machine_pids()), f"the pages came from {served}"
    for r, machine in zip(answers, served):
        assert r.status == 200, r
        for shown in ("Chapel at noon", "Fresh from the share", f"{len(gallery.LISTED) + 1} Images Posted"):
            assert shown in r.text, f"{machine} does not show {shown!r}"
    assert answers[0].text == answers[1].text, "the machines' pages differ"
    return f"the next page from machine {served[0]} and from machine {served[1]} showed the change"


def open_by(pid, name):
    """Whether process pid has a file called name open."""
    try:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                if os.path.basename(os.readlink(f"/proc/{pid}/fd/{fd}")) == name:
                    return True
            except OSError:
                pass
    except OSError:
        pass
    return False


def check_a_machine_killed_mid_thumbnail_leaves_its_claim_to_the_other(m, big_picture):
    shutil.copyfile(big_picture, os.path.join(m.shared, "big.jpg"))
    for extension, line in ((".idd", "2024-05-10 big"), (".txt", "A picture taking a while")):
        with open(os.path.join(m.shared, "big" + extension), "w", newline="") as f:
            f.write(line + "\r\n")
    servers.chown_tree(m.shared, m.user)
    result = {}

    def view():
        started = time.monotonic()
        try:
            result["answer"] = m.get(timeout=120)
        except Exception as e:  # reported below
            result["error"] = e
        result["seconds"] = time.monotonic() - started

    viewer = threading.Thread(target=view)
    viewer.start()
    started = time.monotonic()
    victim = None
    while victim is None and viewer.is_alive() and time.monotonic() - started < 30:
        for pid in m.machine_pids():
            if open_by(pid, "big.jpg"):
                victim = pid
                break
        time.sleep(0.005)
    assert victim is not None, f"no machine was seen decoding big.jpg: {result}"
    os.kill(victim, signal.SIGKILL)
    killed = time.monotonic() - started
    assert os.path.exists(os.path.join(m.shared, "t_big.jpg.~claim")), "the killed machine's claim is gone"
    viewer.join(180)
    assert "answer" in result, f"the page never came: {result}"
    r = result["answer"]
    assert r.status == 200 and "A picture taking a while" in r.text, r
    # The claim was not refreshed after the kill: it went stale, then was taken over.
    assert result["seconds"] > CLAIM_STALE_SECONDS - 10, f"answered after {result['seconds']:.1f} s: nobody waited"
    whole_thumbnails(m.shared)
    answers, served = m.pages(3)
    assert all(a.status == 200 and a.text == r.text for a in answers), [a.status for a in answers]
    survivor = [p for p in m.machine_pids() if p != victim]
    assert set(served) == set(survivor), f"the pages after came from {served}"
    return (f"machine {victim} killed {killed:.2f} s into the first view, while decoding big.jpg; the page came "
            f"{result['seconds']:.1f} s after it was asked, from the other machine ({survivor[0]}), which "
            f"took the stale claim over; t_big.jpg whole; 3 more pages from it")


def make_big_picture(cache):
    """A picture whose thumbnail takes a while (a second or so): progressive,
    6000 x 4500, noise."""
    target = os.path.join(cache, "big.jpg")
    if not os.path.exists(target):
        temp = os.path.join(cache, "big-making.jpg")
        subprocess.run([gallery.CONVERT, "-size", "6000x4500", "xc:gray", "-seed", "5", "+noise", "Random",
                        "-interlace", "JPEG", "-quality", "92", temp], check=True)
        os.rename(temp, target)
    return target


def run(root, cache, program, tally):
    reason = unavailable()
    if reason:
        tally.missing_tool(NAME, reason)
        return
    big = make_big_picture(cache)
    m = Machines(root, cache, program)
    try:
        try:
            m.start()
        except Exception as e:
            tally.fail(f"{NAME} start", e)
            return
        for name, check in (
            ("cold_first_views_through_both_leave_every_thumbnail_whole",
             check_cold_first_views_through_both_leave_every_thumbnail_whole),
            ("a_change_behind_the_mounts_shows_from_both", check_a_change_behind_the_mounts_shows_from_both),
            ("a_machine_killed_mid_thumbnail_leaves_its_claim_to_the_other",
             lambda m: check_a_machine_killed_mid_thumbnail_leaves_its_claim_to_the_other(m, big)),
        ):
            label = f"{NAME}: {name}"
            started = time.monotonic()
            try:
                note = check(m)
                tally.ok(label, time.monotonic() - started, note)
            except AssertionError as e:
                tally.fail(label, f"{e}\n{m.logs()}")
            except Exception as e:
                tally.fail(label, f"{e!r}\n{m.logs()}")
    finally:
        m.stop()
