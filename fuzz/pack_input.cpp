// Packs the files of one base into one fuzz input, as the Squish and JAM
// harnesses split it:  pack_input OUT FILE...
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_support.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: pack_input OUT FILE...\n");
    return 2;
  }
  std::vector<std::string> parts;
  for (int i = 2; i < argc; ++i) parts.push_back(quil::fuzz::GetFile(argv[i]));
  quil::fuzz::PutFile(argv[1], quil::fuzz::JoinInput(parts));
  return 0;
}
