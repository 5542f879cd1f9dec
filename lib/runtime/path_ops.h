// Path pieces and file-system queries.
//
// "\", "/" and ":" all separate path components here, so paths written for
// DOS and Windows systems ("fEcho\Area") and Linux paths ("fecho/area") are
// taken apart the same way.  The separator the library adds is "/".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quil {

bool IsPathSeparator(char c);

// The text before the last separator.  A "\" or "/" right after ":" (a
// drive root) belongs to the result, and so does a last separator that is
// "/" or ":"; a path without separator gives the empty string, a separator
// in first position gives that character.
std::string DirectoryPart(std::string_view path);

// The text after the last separator (up to 255 characters: names on Linux
// may be longer than the 64 of the old systems).
std::string FileName(std::string_view path);

// True when the path holds a "." and no separator follows the last ".".
bool HasExtension(std::string_view path);

// The text after the last ".", without the dot, when HasExtension holds;
// otherwise empty.
std::string Extension(std::string_view path);

// FileName(path) up to, not including, its first ".".
std::string BareName(std::string_view path);

// The path followed by "/" unless it is empty or its last character is a
// separator already.
std::string AddSeparator(std::string_view path);

// Creates every missing directory along the directory part of `path`,
// outermost first.  False when one of them can not be created.
bool CreateDirectories(std::string_view path);

// True when the name exists and is not a directory.
bool FileExists(std::string_view name);

// True when the name is an existing directory (empty or not).  The empty
// name is the current directory.
bool DirectoryExists(std::string_view name);

// True when the file exists and can not be opened for reading with the
// given sharing mode (another open refuses it).
bool InUse(uint32_t sharing, std::string_view name);

// -1 when the file does not exist or is in use (InUse with deny all);
// otherwise deletes it and returns the file layer's error code, 0 on success.
int EraseFile(std::string_view name);

}  // namespace quil
