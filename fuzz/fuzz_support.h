// Shared by the fuzz harnesses: a scratch directory of the process's own,
// inputs split into the files of one base, and the round trip every base
// harness runs on what it read.
//
// A failed check prints what differs and aborts, which libFuzzer reports as
// a finding (the input is saved as a crash artifact).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quil::fuzz {

// A directory of this process's own on a memory file system (/dev/shm when
// there is one, else $TMPDIR or /tmp), removed when the process ends.
const std::string& Scratch();

// Removes everything in the scratch directory.
void ClearScratch();

// Writes `bytes` as the whole file `path`; aborts when it can not.
void PutFile(const std::string& path, std::string_view bytes);

// The whole file `path`, or empty.
std::string GetFile(const std::string& path);

// Splits an input into `parts` files: every part but the last is preceded by
// its length, 32-bit little-endian (cut to what is left of the input); the
// last part is the rest.
std::vector<std::string_view> SplitInput(std::string_view data, size_t parts);

// The input SplitInput takes apart into `parts` (to make seeds).
std::string JoinInput(const std::vector<std::string>& parts);

// Opens the base `spec` through the opener the programs use, reads every
// message, and copies the messages that read into a fresh base of each of
// the four kinds as the converter copies them.  Each copy must read back as
// exactly as many messages, each holding what that kind keeps of the message
// it was made from; and the files `inputs` must be byte for byte what they
// were (reading never writes).  Aborts, printing the difference, otherwise.
void CheckRoundTrip(const std::string& spec, const std::vector<std::string>& inputs);

}  // namespace quil::fuzz
