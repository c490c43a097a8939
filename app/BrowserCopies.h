// The JPEG a visitor's browser is given in place of a picture that only some
// browsers show (HEIC and HEIF, when the site owner enabled them), or show
// unturned (a PNG or WebP with an EXIF orientation): the whole picture,
// upright, made when a visitor first follows its link (HEIC, HEIF) or with
// its thumbnail (PNG, WebP) and then kept
// beside it like a thumbnail, under "t_" + the picture's name + ".jpeg". The
// web server sends it as any JPEG file; nothing lists it as a picture (its
// name begins with "t_"), and no thumbnail has its name (thumbnails end in
// ".jpg"). A picture that cannot be decoded gets an empty copy, kept as an
// empty thumbnail is.
#pragma once
#include <string>

// Whether browsers show the picture as stored, not turned by its EXIF
// orientation (.png and .webp, enabled): a turned one gets a copy when its
// thumbnail is made, which its link then leads to.
bool BrowsersShowUnturned(const std::string& name);
// The kept copy of the picture name in the directory, as a link after the URL
// folder (encoded); "" when there is none.
std::string KeptCopyLink(const std::string& directory, const std::string& name);
// Makes the copy of the picture (its on-disk path) beside it under a claim,
// unless it is there or another request is making it.
void MakeClaimedBrowserCopy(const std::string& picture);

// The copy's file of the picture name in the directory.
std::string BrowserCopyPath(const std::string& directory, const std::string& name);
// The URL of the picture's link, after the URL folder, encoded: the kept
// copy when there is one, else the request that makes it (the program's
// name and "?VIEW=" + the picture's name).
std::string BrowserCopyLink(const std::string& directory, const std::string& name);
// The picture a request's query string asks a copy of ("VIEW=" + name), when
// it names a picture of the directory that needs one; "" otherwise.
std::string BrowserCopyRequested(const std::string& query, const std::string& directory);
// Answers the request with the copy of the picture (a name of the directory),
// making it first when it is missing (under a claim, as a thumbnail is made:
// requests that want it together wait for the one making it).
void SendBrowserCopy(const std::string& directory, const std::string& name);
// Makes the copy from the picture at its on-disk path: the file at copyPath,
// put in place under a temporary name first. Failures to write it are
// ignored; a picture that cannot be decoded leaves an empty copy.
void MakeBrowserCopy(const std::string& picture, const std::string& copyPath);

// The quality of the copy: the JPEG writer's own default.
constexpr int BrowserCopyQuality = 90;
