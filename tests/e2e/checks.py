"""What a visitor's requests must get from the gallery under a real web
server. Each check is one behaviour; a failing check says what came back."""

import http.client
import os
import re
import struct
import urllib.parse

import gallery

ERROR_PAGE = "<html><body>Unhandled Exception: Method not supported in this version(PUT)</body></html>"
PROBE_AGENT = 'probe <b>&"q"'


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


def request(port, path, method="GET", body=None, headers=None):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
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

    def __init__(self, port, folder_path, folder_index=True):
        self.port = port
        self.folder_index = folder_index
        self.folder = folder_path  # the gallery on disk
        self.url_dir = f"/{gallery.FOLDER}/"
        self.program = self.url_dir + gallery.PROGRAM_NAME
        self.base = f"http://127.0.0.1:{port}{self.url_dir}"

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
            "check_repair_then_photo_page",
        ) if self.folder_index or name != "check_folder_url_serves_the_photo_page"]
        return [(name[len("check_"):], getattr(self, name)) for name in names]
