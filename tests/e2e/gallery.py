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
}
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


def make_pictures(cache):
    """Makes the pictures once; every server's gallery copies them."""
    os.makedirs(cache, exist_ok=True)
    for name, args in SOURCES.items():
        target = os.path.join(cache, name)
        if os.path.exists(target):
            continue
        # ImageMagick reads "%d" in an output name as a frame number.
        extension = os.path.splitext(name)[1].lower()
        temp = os.path.join(cache, "making" + extension)
        subprocess.run([CONVERT] + args + ["-quality", "85", temp], check=True)
        os.rename(temp, target)


def crlf(text):
    return text + "\r\n"


def build(docroot, cache, program):
    """A document root holding the gallery folder: pictures, side files and
    the program. Returns the gallery folder."""
    gallery = os.path.join(docroot, FOLDER)
    os.makedirs(gallery)
    for name in SOURCES:
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
