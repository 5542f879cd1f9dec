// Path pieces and file-system queries.  The pieces are pure text
// operations; the queries go through the platform layer, which resolves
// letter-case differences and enforces sharing modes.
#include "runtime/path_ops.h"

#include "runtime/platform.h"
#include "runtime/string_ops.h"

namespace quil {

namespace {

// Index of the last separator in `path`, or npos.
size_t LastSeparator(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    if (IsPathSeparator(path[i - 1])) return i - 1;
  }
  return std::string_view::npos;
}

// Index of the last "." when no separator follows it, or npos.
size_t ExtensionDot(std::string_view path) {
  for (size_t i = path.size(); i > 0; --i) {
    char c = path[i - 1];
    if (c == '.') return i - 1;
    if (IsPathSeparator(c)) break;
  }
  return std::string_view::npos;
}

// Separators that end a directory level when directories are created.  A
// ":" is a drive mark on the systems the paths come from, not a level here.
bool IsLevelSeparator(char c) { return c == '/' || c == '\\'; }

}  // namespace

bool IsPathSeparator(char c) { return c == '\\' || c == '/' || c == ':' || c == '\0'; }

std::string DirectoryPart(std::string_view path) {
  size_t last = LastSeparator(path);
  if (last == std::string_view::npos) return {};
  bool keep_separator = last == 0 || path[last] == '/' || path[last] == ':' ||
                        (path[last] == '\\' && path[last - 1] == ':');
  return Cut(path.substr(0, keep_separator ? last + 1 : last));
}

std::string FileName(std::string_view path) {
  size_t last = LastSeparator(path);
  return Cut(last == std::string_view::npos ? path : path.substr(last + 1));
}

bool HasExtension(std::string_view path) { return ExtensionDot(path) != std::string_view::npos; }

std::string Extension(std::string_view path) {
  size_t dot = ExtensionDot(path);
  return dot == std::string_view::npos ? std::string() : Cut(path.substr(dot + 1));
}

std::string BareName(std::string_view path) {
  std::string name = FileName(path);
  size_t dot = name.find('.');
  if (dot != std::string::npos) name.erase(dot);
  return name;
}

std::string AddSeparator(std::string_view path) {
  if (path.empty() || IsPathSeparator(path.back())) return Cut(path);
  std::string result = Cut(path);
  if (result.size() < kMaxString) result.push_back('/');
  return result;
}

bool CreateDirectories(std::string_view path) {
  std::string directory = DirectoryPart(path);
  // Each prefix that ends in front of a level separator is one level; the
  // directory part itself is the last.  An empty prefix is the root.
  for (size_t i = 0; i <= directory.size(); ++i) {
    if (i < directory.size() && !IsLevelSeparator(directory[i])) continue;
    std::string_view level(directory.data(), i);
    if (level.empty() || platform::DirectoryExists(level)) continue;
    if (platform::CreateDirectory(level) != platform::kOk) return false;
  }
  return true;
}

bool FileExists(std::string_view name) { return platform::FileExists(name); }

bool DirectoryExists(std::string_view name) {
  // An empty directory name is the current directory, as in "Area" beside
  // the program.
  return platform::DirectoryExists(name.empty() ? std::string_view(".") : name);
}

bool InUse(uint32_t sharing, std::string_view name) {
  if (!platform::FileExists(name)) return false;
  int error = platform::kOk;
  platform::Handle handle =
      platform::OpenFile(name, platform::kModeRead | (sharing & platform::kSharingMask), &error);
  if (handle == platform::kNoHandle) return true;
  (void)platform::CloseFile(handle);
  return false;
}

int EraseFile(std::string_view name) {
  if (!platform::FileExists(name)) return -1;
  if (InUse(platform::kDenyAll, name)) return -1;
  // Delete the file the probe found, even when its letter case differs.
  return platform::DeleteFile(platform::ResolveExisting(name));
}

}  // namespace quil
