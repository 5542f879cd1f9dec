// Helpers shared by the Squish tests: sample records and decoding of the
// stored files.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "indexed/squish_base.h"
#include "indexed/squish_format.h"
#include "runtime/platform.h"
#include "test_support.h"

namespace quil::squish::testing {

using quil::testing::ReadFileBytes;

inline std::span<const uint8_t> Span(const std::string& bytes, size_t from, size_t n) {
  return {reinterpret_cast<const uint8_t*>(bytes.data()) + from, n};
}

inline BaseHeader HeaderOf(const std::string& sqd) {
  return DecodeBaseHeader(Span(sqd, 0, kBaseHeaderSize).first<kBaseHeaderSize>());
}

inline FrameHeader FrameAt(const std::string& sqd, uint32_t ofs) {
  return DecodeFrameHeader(Span(sqd, ofs, kFrameHeaderSize).first<kFrameHeaderSize>());
}

inline MessageHeader MessageHeaderAt(const std::string& sqd, uint32_t ofs) {
  return DecodeMessageHeader(
      Span(sqd, ofs + kFrameHeaderSize, kMessageHeaderSize).first<kMessageHeaderSize>());
}

inline std::vector<IndexRecord> IndexOf(const std::string& sqi) {
  std::vector<IndexRecord> records;
  for (size_t at = 0; at + kIndexRecordSize <= sqi.size(); at += kIndexRecordSize) {
    records.push_back(DecodeIndexRecord(Span(sqi, at, kIndexRecordSize).first<kIndexRecordSize>()));
  }
  return records;
}

// The frames of the chain that starts at `first`, checking each frame's id
// and back link on the way.  A loop or a bad frame fails the test.
inline std::vector<uint32_t> WalkChain(const std::string& sqd, uint32_t first) {
  std::vector<uint32_t> frames;
  std::set<uint32_t> seen;
  uint32_t prev = 0;
  for (uint32_t at = first; at != 0;) {
    if (at + kFrameHeaderSize > sqd.size() || !seen.insert(at).second) {
      ADD_FAILURE() << "chain broken at " << at;
      break;
    }
    FrameHeader frame = FrameAt(sqd, at);
    EXPECT_EQ(frame.id, kFrameId) << "at " << at;
    EXPECT_EQ(frame.prev_frame, prev) << "at " << at;
    frames.push_back(at);
    prev = at;
    at = frame.next_frame;
  }
  return frames;
}

inline std::vector<uint32_t> IndexOffsets(const std::string& sqi, size_t count) {
  std::vector<uint32_t> offsets;
  for (const IndexRecord& r : IndexOf(sqi)) {
    if (offsets.size() == count) break;
    offsets.push_back(r.ofs);
  }
  return offsets;
}

// A netmail record from 2:5020/1 to 2:5020/2 with a MSGID and a body.
inline void FillNetmail(MessageRecord& r, const std::string& subject,
                        const std::string& body = "Hello\r") {
  r.Clear();
  r.from_name = "Sender Name";
  r.to_name = "Receiver Name";
  r.subject = subject;
  r.date_written = {2001, 3, 5, 17, 30, 8};
  r.date_arrived = {2001, 3, 6, 9, 15, 0};
  r.orig_zone = 2;
  r.orig_net = 5020;
  r.orig_node = 1;
  r.orig_point = 0;
  r.dest_zone = 2;
  r.dest_net = 5020;
  r.dest_node = 2;
  r.dest_point = 0;
  r.msgid = "2:5020/1 12345678";
  r.intl = "2:5020/2 2:5020/1";
  r.body.Write(body);
}

// An echomail record with tear line, origin, SEEN-BY and PATH lines.
inline void FillEchomail(MessageRecord& r, const std::string& subject) {
  FillNetmail(r, subject, "Echo text\r");
  r.area = "TEST.ECHO";
  r.tear_line = " Quil";
  r.has_tear_line = true;
  r.origin = "Home ";
  r.has_origin = true;
  r.seenby_lines.Insert("5020/1 2");
  r.path_lines.Insert("5020/1");
}

class SquishFixture : public ::testing::Test {
 protected:
  void TearDown() override { platform::InjectWriteFault(-1, 0); }

  std::string sqd() const { return ReadFileBytes(base_path() + ".sqd"); }
  std::string sqi() const { return ReadFileBytes(base_path() + ".sqi"); }
  std::string base_path() const { return dir_ / "area"; }

  std::unique_ptr<SquishBase> Create() {
    auto base = std::make_unique<SquishBase>();
    EXPECT_TRUE(base->Create(platform::kDenyWrite, base_path()));
    return base;
  }
  std::unique_ptr<SquishBase> Open() {
    auto base = std::make_unique<SquishBase>();
    if (!base->Open(platform::kDenyWrite, base_path())) return nullptr;
    return base;
  }
  // A base of `n` netmail messages with subjects "Subject 1" ...
  std::unique_ptr<SquishBase> CreateWith(int n) {
    auto base = Create();
    MessageRecord r;
    for (int i = 1; i <= n; ++i) {
      FillNetmail(r, "Subject " + std::to_string(i));
      EXPECT_TRUE(base->WriteMessage(base->count() + 1, r));
    }
    return base;
  }
  std::string SubjectOf(SquishBase& base, int32_t n) {
    MessageRecord r;
    if (!base.ReadMessage(n, r)) return "<unreadable>";
    return r.subject.str();
  }

  quil::testing::TempDir dir_;
};

}  // namespace quil::squish::testing
