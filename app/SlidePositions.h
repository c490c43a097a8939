// The visitors' slideshow positions (SlideNext<address>.txt) are kept
// bounded: every distinct address that ever used the slideshow would
// otherwise leave a file behind, and each photo page lists the folder.
#pragma once
#include <cstddef>
#include <string>

// A position not used for this long belongs to a visitor who has left: the
// slideshow reloads every ten seconds while it is watched.
constexpr double SlidePositionLifetimeSeconds = 3600;
// At most this many positions at once; a new one pushes out the least
// recently used. Small enough that listing the folder does not notice them.
constexpr size_t SlidePositionCeiling = 256;

// Makes room for one new position in folder (ending in "/"): removes the
// positions older than the lifetime, and the least recently used ones beyond
// the ceiling less one. A file is taken for a position only when its name is
// one the slideshow makes, it holds a number, and no other file shares its
// base name (a picture SlideNext1.jpg keeps its caption SlideNext1.txt).
void MakeRoomForSlidePosition(const std::string& folder);
