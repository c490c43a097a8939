"""The sample gallery the end-to-end checks run against, and what they expect
of it."""

import os
import shutil
import subprocess

CONVERT = "/usr/bin/convert"  # ImageMagick's; another convert on PATH may be a stand-in

# Listed pictures: file name -> (listing key, caption). The keys give the order.
LISTED = {
    "holy.jpg": ("2024-05-01 chapel", "Chapel at dawn"),
    "IMG_0001.JPG": ("2024-05-02 camera", "Straight from the camera"),
    "a b#c%d.jpg": ("2024-05-03 odd name", "A name with a blank, a hash and a percent"),
    "anim.gif": ("2024-05-04 banner", "A GIF banner"),
    "phone.heic": ("2024-05-05 phone", "A HEIC turned by its own rotation"),
    "badge.png": ("2024-05-06 badge", "A PNG with transparency"),
    "leaf.webp": ("2024-05-07 leaf", "A WebP turned by its EXIF orientation"),
    "dawn.avif": ("2024-05-08 dawn", "An AVIF"),
}
# The formats PICTORAMA_FORMATS turns on (every shipped config sets it to
# all): name -> the upright picture's size. Made by Debian's tools from a
# JPEG stored as a phone stores it (on its side) where the format can say so.
FORMATS = {
    "phone.heic": (240, 320),
    "badge.png": (160, 120),
    "leaf.webp": (200, 150),
    "dawn.avif": (240, 160),
}
# Pictures whose links lead to a JPEG the program makes of them: when the
# link is followed (its request, then the kept file), or with the thumbnail
# (a WebP turned by its EXIF orientation, which browsers show as stored).
COPIED = ("phone.heic",)
TURNED = ("leaf.webp",)
# The slideshow's pictures: every listed format but GIF.
SLIDE_EXTENSIONS = (".jpg", ".png", ".webp", ".heic", ".heif", ".avif")
# A picture without side files: the repair action creates them.
UNLISTED = "fresh.jpg"

SOURCES = {
    "holy.jpg": ["-size", "640x480", "-seed", "7", "plasma:orange-purple"],
    "IMG_0001.JPG": ["-size", "800x600", "gradient:skyblue-darkgreen"],
    "a b#c%d.jpg": ["-size", "300x400", "-seed", "3", "plasma:fractal"],
    "anim.gif": ["-size", "200x150", "radial-gradient:yellow-red", "-colors", "32"],
    UNLISTED: ["-size", "480x640", "gradient:white-navy"],
}

PROGRAM_NAME = "pictorama.cgi"
FOLDER = "photos"  # the gallery's URL folder under the document root
# Another folder of pictures under the document root, which no request of the
# gallery may list or write into (PATH_INFO names it: /photos/pictorama.cgi/other).
OTHER = "other/photos"
OTHER_PICTURE = "secret.jpg"


HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPTS = os.path.join(HERE, "..", "..", "scripts")

# orientation_segment(6): an EXIF segment holding only the orientation tag.
def with_orientation(jpeg, value):
    segment = (b"\xff\xe1\x00\x22Exif\x00\x00II*\x00\x08\x00\x00\x00\x01\x00\x12\x01\x03\x00\x01\x00\x00\x00"
               + bytes([value]) + b"\x00\x00\x00\x00\x00\x00\x00")
    return jpeg[:2] + segment + jpeg[2:]


def make_format_picture(name, target):
    """One picture of FORMATS at target, through a JPEG made in its folder."""
    width, height = FORMATS[name]
    work = os.path.join(os.path.dirname(target), "making-" + name)
    os.makedirs(work, exist_ok=True)
    stored = os.path.join(work, "stored.jpg")
    picture = ["-size", f"{width}x{height}", "-seed", "5", "plasma:green-yellow", "-fill", "red",
               "-draw", f"rectangle 0,0 {width // 4},{height // 4}"]
    if name.endswith(".heic"):
        # Stored turned a quarter anticlockwise, shown by a quarter clockwise.
        subprocess.run([CONVERT] + picture + ["-rotate", "-90", "-quality", "92", stored], check=True)
        subprocess.run(["heif-enc", "-q", "70", stored, "-o", os.path.join(work, "stored.heic")], check=True,
                       capture_output=True)
        subprocess.run([os.path.join(SCRIPTS, "heif-rotate"), "3", os.path.join(work, "stored.heic"), target],
                       check=True)
    elif name.endswith(".webp"):
        subprocess.run([CONVERT] + picture + ["-rotate", "90", "-quality", "92", stored], check=True)
        with open(stored, "rb") as f:
            tagged = with_orientation(f.read(), 8)
        with open(stored, "wb") as f:
            f.write(tagged)
        subprocess.run(["cwebp", "-q", "85", "-metadata", "exif", stored, "-o", target], check=True,
                       capture_output=True)
    elif name.endswith(".png"):
        subprocess.run([CONVERT, "-size", f"{width}x{height}", "xc:none", "-fill", "#1e90ff",
                        "-draw", f"circle {width // 2},{height // 2} {width // 2},{height // 8}", target], check=True)
    else:
        subprocess.run([CONVERT] + picture + ["-quality", "92", stored], check=True)
        subprocess.run(["heif-enc", "-A", "-q", "60", "-p", "speed=8", stored, "-o", target], check=True,
                       capture_output=True)
    shutil.rmtree(work)


def make_pictures(cache):
    """Makes the pictures once; every server's gallery copies them."""
    os.makedirs(cache, exist_ok=True)
    for name in FORMATS:
        if not os.path.exists(os.path.join(cache, name)):
            temp = os.path.join(cache, "making." + name)
            make_format_picture(name, temp)
            os.rename(temp, os.path.join(cache, name))
    for name, args in SOURCES.items():
        target = os.path.join(cache, name)
        if os.path.exists(target):
            continue
        # ImageMagick reads "%d" in an output name as a frame number.
        extension = os.path.splitext(name)[1].lower()
        temp = os.path.join(cache, "making" + extension)
        subprocess.run([CONVERT] + args + ["-quality", "85", temp], check=True)
        os.rename(temp, target)


def slides():
    """The pictures the slideshow steps through, in its order: every listed
    format but GIF, by name ignoring case."""
    names = [n for n in list(SOURCES) + list(FORMATS) if os.path.splitext(n)[1].lower() in SLIDE_EXTENSIONS]
    return sorted(names, key=str.lower)


def crlf(text):
    return text + "\r\n"


def build(docroot, cache, program):
    """A document root holding the gallery folder: pictures, side files and
    the program. Returns the gallery folder."""
    gallery = os.path.join(docroot, FOLDER)
    os.makedirs(gallery)
    for name in list(SOURCES) + list(FORMATS):
        shutil.copyfile(os.path.join(cache, name), os.path.join(gallery, name))
    for name, (key, caption) in LISTED.items():
        base = os.path.splitext(name)[0]
        with open(os.path.join(gallery, base + ".idd"), "w", newline="") as f:
            f.write(crlf(key))
        with open(os.path.join(gallery, base + ".txt"), "w", newline="") as f:
            f.write(crlf(caption))
    shutil.copyfile(program, os.path.join(gallery, PROGRAM_NAME))
    os.chmod(os.path.join(gallery, PROGRAM_NAME), 0o755)
    other = os.path.join(docroot, OTHER)
    os.makedirs(other)
    shutil.copyfile(os.path.join(cache, UNLISTED), os.path.join(other, OTHER_PICTURE))
    for folder in (docroot, gallery, os.path.dirname(other), other):
        os.chmod(folder, 0o755)
    return gallery
