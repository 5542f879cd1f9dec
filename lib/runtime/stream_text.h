// Reading and writing lines of message text held in a stream.
//
// Lines end with CR (13) or LF (10); a CR LF or LF CR pair counts as one
// line end.  Only the first 255 bytes of a longer line are kept; the rest of
// it is skipped.  The readers never read past the end of the stream; on a
// stream that has already failed they return the empty string and do
// nothing.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "runtime/stream.h"

namespace quil {

// Reads the line at the position and consumes its line end.  At the end of
// the stream the line is whatever was left (possibly empty); the stream is
// not failed by reaching its end.
std::string ReadLine(Stream& stream);

// The mirror image of ReadLine.  Reads the bytes in front of the position
// back to the previous CR or LF (or the start of the stream) as the line,
// then consumes the line end in front of it (one CR or LF, or a CR LF or
// LF CR pair), and leaves the position at the first byte of that line end
// (0 when the line starts the stream).  So reading backwards from the end of
// "A<CR>B<CR>" gives the empty line after the last CR first, then "B", then
// "A".  When the line is longer than 255 bytes, the 255 bytes nearest the
// starting position are kept, and *cut (when given) is set.  A position past
// the end counts as the end.
std::string ReadLineBackwards(Stream& stream, bool* cut = nullptr);

// Reads bytes up to a 0 byte or a CR, consuming the terminator and keeping
// at most 255 bytes; at the end of the stream, whatever was left.
std::string ReadToEndMark(Stream& stream);

// Writes `first` and then `second`, each only when not empty.
void WriteStrings(Stream& stream, std::string_view first, std::string_view second = {});

// Searches from the position onward for `pattern` (compared without regard
// to case when `case_sensitive` is false).  The stream is read in blocks of
// 32768 bytes plus the pattern length, consecutive blocks overlapping, so a
// match across a block boundary is found.  Returns the position of the first
// match and moves there, or -1 (the position is then unspecified and the
// stream's error status is left as the reads left it; the search itself
// never reads past the end).  An empty pattern matches at the position.
int64_t Find(Stream& stream, bool case_sensitive, std::string_view pattern);

}  // namespace quil
