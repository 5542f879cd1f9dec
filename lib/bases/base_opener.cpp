#include "bases/base_opener.h"

#include <initializer_list>
#include <vector>

#include "fido/fido_base.h"
#include "fido/packet_base.h"
#include "indexed/jam_base.h"
#include "indexed/squish_base.h"
#include "runtime/path_ops.h"
#include "runtime/platform.h"
#include "runtime/string_ops.h"

namespace quil {

namespace {

constexpr std::string_view kMsgMask = "*.msg";

// Canonical marks after upper-casing: '#' is F, '$' is S, '!' is J.
char CanonicalMark(char mark) {
  switch (UpCase(mark)) {
    case 'F':
    case '#':
      return 'F';
    case 'P':
      return 'P';
    case 'S':
    case '$':
      return 'S';
    case 'J':
    case '!':
      return 'J';
    default:
      return 0;
  }
}

// The files whose presence means a base exists: open-or-create never
// creates over them.
std::vector<std::string> DataFiles(char mark, const std::string& path) {
  switch (mark) {
    case 'P':
      return {path};
    case 'S':
      return {path + ".sqd", path + ".sqi"};
    case 'J':
      return {path + ".jhr", path + ".jdt", path + ".jdx"};
    default:
      return {};  // a Fido directory opens whatever it holds
  }
}

}  // namespace

std::unique_ptr<MessageBase> ConstructBase(char mark) {
  switch (mark) {
    case 'F':
      return std::make_unique<FidoBase>();
    case 'P':
      return std::make_unique<PacketBase>();
    case 'S':
      return std::make_unique<SquishBase>();
    case 'J':
      return std::make_unique<JamBase>();
    default:
      return nullptr;
  }
}

char SpecMark(std::string_view normalised_spec) {
  return normalised_spec.empty() ? 0 : CanonicalMark(normalised_spec[0]);
}

std::string NormaliseSpec(std::string_view spec) {
  if (spec.empty()) return {};
  std::string s = Cut(spec);
  if (CanonicalMark(s[0]) == 0) {
    std::string ext = UpperCase(Extension(s));
    if (ext == "JHR" || ext == "JDT" || ext == "JDX") {
      s = "!" + s;
    } else if (ext == "SQD" || ext == "SQI") {
      s = "$" + s;
    } else if (!HasExtension(s)) {
      s = "#" + s;
    } else if (ext == "PKT") {
      s = "P" + s;
    }
  }
  std::string ext = UpperCase(Extension(s));
  if (ext == "JHR" || ext == "JDT" || ext == "JDX" || ext == "SQD" || ext == "SQI") {
    s = AddSeparator(DirectoryPart(s)) + BareName(s);
  }
  switch (CanonicalMark(s[0])) {
    case 'F':
      s = AddSeparator(s) + std::string(kMsgMask);
      break;
    case 'P':
    case 'S':
    case 'J':
      s = AddSeparator(DirectoryPart(s)) + FileName(s);
      break;
    default:
      break;
  }
  return Cut(s);
}

std::unique_ptr<MessageBase> OpenOrCreate(uint32_t sharing, std::string_view spec) {
  if (spec.size() < 2) return nullptr;
  std::string normalised = NormaliseSpec(spec);
  char mark = SpecMark(normalised);
  std::string path = normalised.substr(1);
  std::unique_ptr<MessageBase> base = ConstructBase(mark);
  if (!base) return nullptr;
  if (base->Open(sharing, path) && base->is_open()) return base;
  // Create only where no base is: creating truncates, and a base that exists
  // but can not be opened must be left exactly as it is.
  for (const std::string& file : DataFiles(mark, path)) {
    if (FileExists(file)) return nullptr;
  }
  base = ConstructBase(mark);
  if (base->Create(sharing, path) && base->is_open()) return base;
  return nullptr;
}

std::unique_ptr<MessageBase> CreateFresh(uint32_t sharing, std::string_view spec) {
  if (spec.empty()) return nullptr;
  EraseBase(spec);
  std::string normalised = NormaliseSpec(spec);
  std::unique_ptr<MessageBase> base = ConstructBase(SpecMark(normalised));
  if (!base) return nullptr;
  if (base->Create(sharing, normalised.substr(1)) && base->is_open()) return base;
  return nullptr;
}

bool EraseBase(std::string_view spec) {
  if (spec.empty()) return true;
  std::string normalised = NormaliseSpec(spec);
  char mark = SpecMark(normalised);
  if (mark != 0) EraseBaseAt(mark, std::string_view(normalised).substr(1));
  return false;
}

void EraseBaseAt(char mark, std::string_view path_view) {
  std::string path(path_view);
  switch (mark) {
    case 'F': {
      std::string directory = DirectoryPart(path);
      if (!DirectoryExists(directory.empty() ? "." : directory)) break;
      for (const platform::DirEntry& entry : platform::FindFiles(directory, kMsgMask)) {
        if (UpperCase(Extension(entry.name)) == "MSG") EraseFile(AddSeparator(directory) + entry.name);
      }
      break;
    }
    case 'P':
      EraseFile(path);
      break;
    case 'S':
      for (const char* ext : {".sqd", ".sqi", ".sql"}) EraseFile(path + ext);
      break;
    case 'J':
      for (const char* ext : {".jhr", ".jdt", ".jdx", ".jlr", ".jqx"}) EraseFile(path + ext);
      break;
    default:
      break;
  }
}

}  // namespace quil
