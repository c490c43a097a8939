"""What a visitor's requests must get from the gallery under a real web
server. Each check is one behaviour; a failing check says what came back."""

import glob
import http.client
import os
import re
import struct
import time
import urllib.parse

import gallery
import servers

ERROR_PAGE = "<html><body>Unhandled Exception: Method not supported in this version(PUT)</body></html>"
PROBE_AGENT = 'probe <b>&"q"'
# Any loopback address other than the site owner's.
STRANGER_ADDRESS = "127.0.0.2"
# What may follow a private name in a URL path: whatever follows, the name
# is refused (a server that sends a file with a path after its name, or that
# decodes %2f, must not make the name reachable).
PRIVATE_NAME_SUFFIXES = ("", "/", "/x", ";x", "%2f", "%2fx", "/.")


class Response:
    def __init__(self, status, headers, body):
        self.status = status
        self.headers = headers
        self.body = body

    @property
    def text(self):
        return self.body.decode("latin-1")

    def header(self, name):
        return self.headers.get(name.lower(), "")

    def __repr__(self):
        return f"{self.status} {self.header('content-type')!r} {self.body[:300]!r}"


def request(port, path, method="GET", body=None, headers=None, source=None):
    """One request to 127.0.0.1:port, from the address `source` when given."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30,
                                            source_address=(source, 0) if source else None)
    try:
        connection.request(method, path, body=body, headers=headers or {})
        answer = connection.getresponse()
        data = answer.read()
        return Response(answer.status, {k.lower(): v for k, v in answer.getheaders()}, data)
    finally:
        connection.close()


def jpeg_size(data):
    """(width, height) from the first start-of-frame marker, or None."""
    if data[:2] != b"\xff\xd8":
        return None
    i = 2
    while i + 9 < len(data):
        if data[i] != 0xFF:
            return None
        marker = data[i + 1]
        length = struct.unpack(">H", data[i + 2:i + 4])[0]
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            height, width = struct.unpack(">HH", data[i + 5:i + 9])
            return width, height
        i += 2 + length
    return None


def links(page, attribute):
    return re.findall(attribute + r'="([^"]*)"', page)


class GalleryChecks:
    """The checks of one server, run in order against a fresh gallery."""

    def __init__(self, server, folder_path):
        self.server = server
        self.port = server.port
        self.folder_index = server.folder_index
        self.folder = folder_path  # the gallery on disk
        # Where the program writes its private files.
        self.private = server.private_dir or folder_path
        self.url_dir = f"/{gallery.FOLDER}/"
        self.program = self.url_dir + gallery.PROGRAM_NAME
        self.base = f"http://127.0.0.1:{self.port}{self.url_dir}"

    def get(self, query="", **kwargs):
        return request(self.port, self.program + ("?" + query if query else ""), **kwargs)

    def fetch_absolute(self, url):
        parts = urllib.parse.urlsplit(url)
        assert parts.netloc == f"127.0.0.1:{self.port}", f"link {url} does not name this server"
        return request(self.port, parts.path + ("?" + parts.query if parts.query else ""))

    def photo_page(self, count):
        r = self.get()
        assert r.status == 200, r
        assert r.header("content-type").startswith("text/html"), r
        page = r.text
        assert page.startswith("<html><head>"), f"the page does not start with its html: {r}"
        assert f"\r\n{count} Images Posted\r\n" in page, f"count {count} missing: {page[-400:]!r}"
        return page

    def listed_names(self, page):
        names = []
        for href in links(page, "href"):
            if href.startswith(self.base):
                names.append(urllib.parse.unquote(href[len(self.base):]))
        return names

    # --- the checks -------------------------------------------------------

    def check_photo_page_lists_the_pictures(self):
        page = self.photo_page(len(gallery.LISTED))
        names = self.listed_names(page)
        expected = sorted(gallery.LISTED, key=lambda n: gallery.LISTED[n][0])
        assert names == expected, f"listed {names}, expected {expected}"
        for name, (key, caption) in gallery.LISTED.items():
            assert f"\r\n{caption}\r\n" in page, f"caption of {name} missing"
            assert f"\r\n{key}\r\n" in page, f"listing line of {name} missing"
        assert '<a href="pictorama.cgi?W">' in page, "slideshow link missing"

    def check_folder_url_serves_the_photo_page(self):
        r = request(self.port, self.url_dir)
        assert r.status == 200, r
        assert f"\r\n{len(gallery.LISTED)} Images Posted\r\n" in r.text, r
        assert sorted(self.listed_names(r.text)) == sorted(gallery.LISTED), self.listed_names(r.text)

    def check_every_picture_and_thumbnail_is_served(self):
        page = self.photo_page(len(gallery.LISTED))
        urls = [u for u in links(page, "href") + links(page, "src") if u.startswith(self.base)]
        assert len(urls) == 2 * len(gallery.LISTED), urls
        for url in urls:
            r = self.fetch_absolute(url)
            name = urllib.parse.unquote(url[len(self.base):])
            assert r.status == 200, f"{url}: {r}"
            with open(os.path.join(self.folder, name), "rb") as f:
                assert r.body == f.read(), f"{url}: the bytes differ from {name} on disk"
            kind = "image/gif" if name.lower().endswith(".gif") else "image/jpeg"
            assert r.header("content-type") == kind, f"{url}: content type {r.header('content-type')!r}"
            if name.startswith("t_"):
                width, height = jpeg_size(r.body)
                assert height == 70, f"thumbnail {name} is {width}x{height}"

    def check_upper_case_camera_name_is_listed_and_linked(self):
        page = self.photo_page(len(gallery.LISTED))
        href = self.base + "IMG_0001.JPG"
        assert f'<a href="{href}">' in page, "IMG_0001.JPG is not linked by its real name"
        assert f'src="{self.base}t_IMG_0001.jpg"' in page, "its thumbnail is not linked"
        r = self.fetch_absolute(href)
        assert r.status == 200 and r.header("content-type") == "image/jpeg", r
        assert jpeg_size(r.body) == (800, 600), jpeg_size(r.body)

    def check_name_with_blank_hash_and_percent_links_correctly(self):
        page = self.photo_page(len(gallery.LISTED))
        href = self.base + "a%20b%23c%25d.jpg"
        assert f'<a href="{href}">' in page, "the odd name is not percent-encoded in its link"
        assert f'src="{self.base}t_a%20b%23c%25d.jpg"' in page, "its thumbnail link is not percent-encoded"
        r = self.fetch_absolute(href)
        assert r.status == 200, r
        with open(os.path.join(self.folder, "a b#c%d.jpg"), "rb") as f:
            assert r.body == f.read(), "the link reaches other bytes"

    def check_slideshow_page_and_its_slide(self):
        r = self.get("W")
        assert r.status == 200, r
        page = r.text
        assert '<meta http-equiv="Refresh" content="10">' in page, page[:400]
        assert '<img src="t_SLIDEIMAGE.jpg">' in page, page
        slide = request(self.port, self.url_dir + "t_SLIDEIMAGE.jpg")
        assert slide.status == 200 and slide.header("content-type") == "image/jpeg", slide
        # A new visitor starts at the first JPEG in name order, ignoring case.
        first = sorted((n for n in gallery.SOURCES if n.lower().endswith(".jpg")), key=str.lower)[0]
        with open(os.path.join(self.folder, first), "rb") as f:
            width, height = jpeg_size(f.read())
        if height > 560:
            width, height = None, 560
        size = jpeg_size(slide.body)
        assert size is not None and size[1] == height and width in (None, size[0]), \
            f"slide of {first} is {size}, expected height {height}"
        caption = gallery.LISTED[first][1]
        assert f'<font color="black"> - {caption}\r\n' in page, f"caption of {first} missing: {page!r}"

    def check_slideshow_steps_through_the_pictures(self):
        """Each visit shows the next JPEG in name order (ignoring case), round
        and round, whichever slide this visitor reached before; the slide is
        told by its caption (a static file's bytes may come from a server's
        cache of the folder for a second)."""
        order = sorted((n for n in gallery.SOURCES if n.lower().endswith(".jpg")), key=str.lower)
        captions = [gallery.LISTED[n][1] if n in gallery.LISTED else None for n in order]
        seen = []
        for _ in range(3):
            r = self.get("W")
            assert r.status == 200, r
            shown = [i for i, c in enumerate(captions)
                     if (c is None and '<font color="black"> - ' not in r.text)
                     or (c is not None and f'<font color="black"> - {c}\r\n' in r.text)]
            assert len(shown) == 1, f"the slideshow page shows none of {order}: {r.text[:600]!r}"
            seen.append(shown[0])
        steps = [(b - a) % len(order) for a, b in zip(seen, seen[1:])]
        assert steps == [1, 1], f"slides shown: {[order[i] for i in seen]}"

    def check_report_page_escapes_the_visitors_text(self):
        r = self.get("S", headers={"User-Agent": PROBE_AGENT})
        assert r.status == 200, r
        page = r.text
        assert "<font size=4> - REPORT -</font><p>" in page, page[:300]
        assert "\r\nQUERY_STRING=S<br>\r\n" in page, "QUERY_STRING missing"
        assert "HTTP_USER_AGENT=probe &lt;b&gt;&amp;&quot;q&quot;<br>" in page, \
            [line for line in page.split("\r\n") if "AGENT" in line]
        assert "<b>&" not in page, "raw markup from the request reached the page"

    def check_post_answers_with_the_photo_page(self):
        r = self.get("W", method="POST", body=b"a=1&b=2",
                     headers={"Content-Type": "application/x-www-form-urlencoded"})
        assert r.status == 200, r
        assert f"\r\n{len(gallery.LISTED)} Images Posted\r\n" in r.text, r
        assert "Refresh" not in r.text, "a POST got the slideshow"
        assert self.listed_names(r.text), "the POST's page links no picture"

    def check_multipart_post_gets_the_error_page(self):
        body = b'--x\r\nContent-Disposition: form-data; name="a"\r\n\r\n1\r\n--x--\r\n'
        r = self.get("", method="POST", body=body, headers={"Content-Type": "multipart/form-data; boundary=x"})
        assert r.text == ERROR_PAGE + "\r\n", r

    def check_repair_then_photo_page(self):
        r = self.get("REPAIR")
        assert r.status == 200, r
        base = os.path.join(self.folder, os.path.splitext(gallery.UNLISTED)[0])
        created = f"<br>Created {base}.idd\r\n<br>Created {base}.txt\r\n"
        assert r.text.startswith(created), f"expected {created!r}, got {r.text[:300]!r}"
        assert "<font size=4> - Files Repaired -</font><p>" in r.text, r
        with open(base + ".idd", "rb") as f:
            assert f.read() == b"  \r\n"
        page = self.photo_page(len(gallery.LISTED) + 1)
        names = self.listed_names(page)
        # A repaired picture's key of two blanks sorts before every other.
        assert names and names[0] == gallery.UNLISTED, names
        thumb = self.fetch_absolute(self.base + "t_fresh.jpg")
        assert thumb.status == 200 and jpeg_size(thumb.body)[1] == 70, thumb

    # --- private files, the owner's queries, PATH_INFO ----------------------

    def folder_names(self, folder):
        return sorted(os.listdir(folder))

    def make_private_files(self):
        """Makes every private file the program writes exist by requests a
        visitor can make (the resident instance is started by hand). Returns
        the running instance and the files' paths relative to the folder that
        holds them."""
        assert self.get().status == 200  # the trace file
        assert self.get("W").status == 200  # this address's slideshow position, a kept slide
        self.check_multipart_post_gets_the_error_page()  # a failure: the log
        instance = servers.start_resident_instance(self.server, self.folder, gallery.PROGRAM_NAME)
        exchange = [os.path.join("temp", gallery.PROGRAM_NAME + "_" + kind) for kind in ("s", "S.lock")]
        deadline = time.monotonic() + 15
        while not all(os.path.exists(os.path.join(self.private, name)) for name in exchange):
            if instance.poll() is not None or time.monotonic() > deadline:
                servers.stop_process(instance)
                raise AssertionError(f"the resident instance did not start: {os.listdir(self.private)}")
            time.sleep(0.05)
        slide_positions = [os.path.basename(p) for p in glob.glob(os.path.join(self.private, "SlideNext*"))]
        assert slide_positions, f"no slideshow position in {self.private}: {os.listdir(self.private)}"
        # The slide of the picture shown, kept to be put in place again.
        kept_slides = [os.path.basename(p) for p in glob.glob(os.path.join(self.private, "t_SLIDEIMAGE.~*"))]
        assert kept_slides, f"no kept slide in {self.private}: {os.listdir(self.private)}"
        names = ["pictorama.tst", os.path.join("log", "pictorama.Log")] + slide_positions + kept_slides + exchange
        if self.server.private_dir is None:
            # Names that live only while a file is written: a thumbnail's
            # claim and temporary name, a replaced file's temporary name.
            # Planted by hand, with the program's naming.
            for name in ("t_holy.jpg.~claim", "t_holy.jpg.~4242.0", slide_positions[0] + ".~4242.1"):
                with open(os.path.join(self.folder, name), "wb") as f:
                    f.write(b"planted")
                names.append(name)
        for name in names:
            assert os.path.isfile(os.path.join(self.private, name)), f"{name} was not written in {self.private}"
        return instance, names

    def disguises(self, name):
        """The URL paths that reach gallery file `name` (slash-separated):
        plain, with a doubled slash, a dot segment and percent-encoded letters."""
        encoded = "/".join("%{:02X}".format(ord(part[0])) + part[1:] for part in name.split("/"))
        if "." in encoded:
            encoded = encoded[:encoded.rfind(".")] + "%2E" + encoded[encoded.rfind(".") + 1:]
        return [self.url_dir + name, self.url_dir + "/" + name, self.url_dir + "./" + name, self.url_dir + encoded]

    def check_private_files_are_never_served(self):
        """Every private file, and the private folders themselves, under every
        disguise of its name and whatever follows the name in the path: 403
        or 404, never the file. The note is the table of statuses seen, per
        name and what followed it."""
        instance, names = self.make_private_files()
        names += ["log", "temp"]
        refused = []
        table = []
        try:
            for name in names:
                if self.server.private_dir is not None:
                    assert not os.path.exists(os.path.join(self.folder, name)), \
                        f"{name} was written in the published folder, not in {self.server.private_dir}"
                row = []
                for suffix in PRIVATE_NAME_SUFFIXES:
                    seen = set()
                    for path in self.disguises(name.replace(os.sep, "/")):
                        r = request(self.port, path + suffix)
                        seen.add(r.status)
                        if r.status not in (403, 404):
                            refused.append(f"{path + suffix}: {r}")
                    row.append(f"{suffix or '-'} {'/'.join(str(s) for s in sorted(seen))}")
                table.append(f"{name}: " + ", ".join(row))
        finally:
            servers.stop_process(instance)
        assert not refused, f"{len(refused)} requests got a private file:\n" + "\n".join(refused[:20])
        # What the gallery publishes still loads.
        published = []
        for name in ("holy.jpg", "t_holy.jpg", "t_SLIDEIMAGE.jpg", "t_SLIDEIMAGE.JPG"):
            r = request(self.port, self.url_dir + name)
            assert r.status == 200 and r.header("content-type") == "image/jpeg", f"{name}: {r}"
            published.append(f"{name} {r.status}")
        return "\n".join(table + [", ".join(published)])

    def check_owner_queries_are_refused_to_a_stranger(self):
        before = self.folder_names(self.folder)
        r = request(self.port, self.program, source=STRANGER_ADDRESS)
        assert r.status == 200, f"a stranger's photo page: {r}"
        paths = [self.program, self.program + "/x"] + ([self.url_dir] if self.folder_index else [])
        statuses = []
        for path in paths:
            for query in ("REPAIR", "S"):
                r = request(self.port, f"{path}?{query}", source=STRANGER_ADDRESS)
                if r.status == 404 and path.endswith("/x"):
                    # Refused only if this server never runs the program for that path.
                    plain = request(self.port, path, source=STRANGER_ADDRESS)
                    assert plain.status == 404, f"{path} runs the program ({plain.status}) but ?{query} got 404"
                else:
                    assert r.status in (401, 403), f"{path}?{query} from {STRANGER_ADDRESS}: {r}"
                statuses.append(f"{path}?{query} {r.status}")
        after = self.folder_names(self.folder)
        assert after == before, f"a stranger's requests changed the gallery: {sorted(set(after) ^ set(before))}"
        return ", ".join(statuses)

    def check_path_info_never_moves_the_gallery(self):
        other = os.path.join(os.path.dirname(self.folder), gallery.OTHER)
        before = self.folder_names(other)
        assert gallery.OTHER_PICTURE in before, before
        statuses = []
        for path in (self.program + "/any/thing", self.program + "/other?REPAIR", self.program + "/other"):
            r = request(self.port, path)
            statuses.append(f"{path} {r.status}")
            if r.status in (403, 404):
                continue
            assert r.status == 200, f"{path}: {r}"
            assert "secret" not in r.text, f"{path} shows the other folder: {r}"
            if path.endswith("?REPAIR"):
                # The gallery itself was repaired earlier: nothing is left to create.
                assert "Created" not in r.text, f"{path} repaired something: {r}"
            else:
                names = self.listed_names(r.text)
                assert sorted(names) == sorted(list(gallery.LISTED) + [gallery.UNLISTED]), \
                    f"{path} lists {names}, not the gallery's pictures"
        after = self.folder_names(other)
        assert after == before, f"requests through PATH_INFO wrote into {other}: {sorted(set(after) ^ set(before))}"
        return ", ".join(statuses)

    def all(self):
        names = [name for name in (
            "check_photo_page_lists_the_pictures",
            "check_folder_url_serves_the_photo_page",
            "check_every_picture_and_thumbnail_is_served",
            "check_upper_case_camera_name_is_listed_and_linked",
            "check_name_with_blank_hash_and_percent_links_correctly",
            "check_slideshow_page_and_its_slide",
            "check_slideshow_steps_through_the_pictures",
            "check_report_page_escapes_the_visitors_text",
            "check_post_answers_with_the_photo_page",
            "check_multipart_post_gets_the_error_page",
            "check_owner_queries_are_refused_to_a_stranger",
            "check_repair_then_photo_page",
            "check_private_files_are_never_served",
            "check_path_info_never_moves_the_gallery",
        ) if (self.folder_index or name != "check_folder_url_serves_the_photo_page")
            and (self.server.guards_owner_queries or name != "check_owner_queries_are_refused_to_a_stranger")]
        own = [(name, lambda check=check: check(self)) for name, check in self.server.extra_checks()]
        return [(name[len("check_"):], getattr(self, name)) for name in names] + own
