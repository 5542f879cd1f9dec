// Reading an area file (AREAS.BBS): the list of bases the sorter works
// through.
//
// One base per line: the first blank- or tab-separated word of a line is its
// base spec; the other words (area tag, links) are not used, and ";" starts
// a comment that runs to the end of the line.  Lines end with CR, LF or both
// and keep at most their first 255 characters, as every string here.  A
// file from DOS ends at its first Ctrl-Z (0x1A) byte.
//
// A classic AREAS.BBS starts with a system line, "Node BBS ! Sysop": the
// system's name, a lone "!" and the sysop's name.  It names no base.  It is
// recognised narrowly: only the first line that is not empty or a comment,
// and only when one of its words is "!" on its own (a base spec is one word,
// and "!" alone is no spec: the JAM mark with no path).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quil {

// The base specs an area file with these contents lists, in order.  Empty
// lines, lines of blanks and comments give none.
std::vector<std::string> ParseAreaFile(std::string_view contents);

}  // namespace quil
