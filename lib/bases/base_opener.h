// The base opener: turns a base spec ("fdir/net", "sdir/area", "jarea",
// "p0001.pkt") into an open base object of the right kind, and erases whole
// bases by their base spec.
//
// A spec is a type mark followed by a path.  Marks, in either case:
// F or # for a directory of *.msg files, P for a packet, S or $ for a Squish
// base, J or ! for a JAM base.  A spec without a mark gets one from its
// extension (.jhr/.jdt/.jdx: JAM; .sqd/.sqi: Squish; .pkt: packet; none:
// a Fido directory).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "model/message_base.h"

namespace quil {

// The type letters, as one constant.
inline constexpr char kTypeLetters[] = "PSJF";

// The base spec with its mark inferred, a base file's extension stripped, and
// its path completed: "fdir/net" -> "fdir/net/*.msg", "dir/area.sqd" ->
// "$dir/area", "C:\In\0001.pkt" -> "PC:\In\0001.pkt".  Empty stays empty.
std::string NormaliseSpec(std::string_view spec);

// Opens the existing base `spec` names, for `access`; never creates or
// truncates anything, and opened for reading only, writes nothing.  Null
// when it can not be opened, with *failure (when given) saying why: kNoBase
// when a file was not found and not one file of the base exists (for a Fido
// directory: the directory), kBadSpec for a spec shorter than two
// characters or with an unknown mark, else what the kind's Open found.
std::unique_ptr<MessageBase> OpenExisting(uint32_t sharing, std::string_view spec, Access access,
                                          OpenFailure* failure = nullptr);

// Opens the base `spec` names for reading and writing, creating it empty
// when none of its data files exists yet.  When the base exists but can not
// be opened (a file is missing, damaged or held by another program) nothing
// is created or truncated and the result is null.  Null also for a spec
// shorter than two characters or with an unknown mark.  *failure (when
// given) says why it is null.
std::unique_ptr<MessageBase> OpenOrCreate(uint32_t sharing, std::string_view spec,
                                          OpenFailure* failure = nullptr);

// True when a file of the base `spec` names exists (for a Fido directory:
// the directory).
bool BaseExists(std::string_view spec);

// True when the specs `a` and `b` name one base, or two bases that share a
// file, however they are spelled: in other letter case, through another
// path or a symbolic link.  False when either names no existing base.
bool SameBase(std::string_view a, std::string_view b);

// Why a base could not be opened, in plain words for the user: "base not
// found", "permission denied: [file]", "held by another program: [file]",
// "damaged: [file] is missing", and the like.
std::string DescribeOpenFailure(const OpenFailure& failure);

// Erases the base `spec` names and creates it anew, empty.  Null when the
// spec is empty, its mark unknown, or the create failed.
std::unique_ptr<MessageBase> CreateFresh(uint32_t sharing, std::string_view spec);

// Erases the files of the base `spec` names: the *.msg files of a Fido
// directory, the packet file, the Squish .sqd/.sqi/.sql, the JAM
// .jhr/.jdt/.jdx/.jlr/.jqx.  Files that are missing or held open by another
// program stay.  Returns true when the base spec was empty (nothing done).
bool EraseBase(std::string_view spec);

// The kind of a normalised spec: 'F', 'P', 'S' or 'J' ('#', '$' and '!'
// included), 0 for an empty spec or an unknown mark.
char SpecMark(std::string_view normalised_spec);

// A new, closed base object of the kind `mark` (as SpecMark gives it), or
// null.
std::unique_ptr<MessageBase> ConstructBase(char mark);

// EraseBase for a base given by its kind and its normalised path.
void EraseBaseAt(char mark, std::string_view path);

}  // namespace quil
