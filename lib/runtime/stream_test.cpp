#include "runtime/stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_support.h"

namespace quil {
namespace {

using testing::ReadFileBytes;
using testing::TempDir;
using testing::WriteFileBytes;

std::string ReadString(Stream& s, size_t n) {
  std::string out(n, '?');
  s.Read(out.data(), n);
  return out;
}

TEST(MemoryStreamTest, FailedStreamReadsZerosAndStaysPutUntilReset) {
  MemoryStream s(4096);
  s.Write("0123456789ABCDEF");
  // Reading past the end fails the stream: the bytes that were there arrive,
  // the rest is zero-filled.
  s.Seek(12);
  EXPECT_EQ(ReadString(s, 6), std::string("CDEF\0\0", 6));
  EXPECT_EQ(s.status(), kStreamReadError);

  // From then on nothing happens until reset: zeros, no move, no write.
  MemoryStream broken(4096);
  broken.Write("abcdefghij");
  broken.Seek(8);
  std::string dummy(5, 'x');
  broken.Read(dummy.data(), 5);  // fails
  ASSERT_FALSE(broken.ok());
  broken.Seek(0);
  EXPECT_EQ(ReadString(broken, 10), std::string(10, '\0'));
  broken.Write("ZZZ");
  broken.Reset();
  EXPECT_EQ(broken.GetPos(), 10);  // short read moved to the end, seek refused
  broken.Seek(0);
  EXPECT_EQ(ReadString(broken, 10), "abcdefghij");
  EXPECT_TRUE(broken.ok());
}

TEST(MemoryStreamTest, GrowsAndShrinksInWholeBlocks) {
  MemoryStream s(4096);
  EXPECT_EQ(s.block_count(), 0u);
  std::string data(5000, 'x');
  s.Write(data);
  EXPECT_EQ(s.block_count(), 2u);
  EXPECT_EQ(s.GetSize(), 5000);
  s.Seek(100);
  s.Truncate();
  EXPECT_EQ(s.block_count(), 1u);
  EXPECT_EQ(s.GetSize(), 100);
  s.Seek(0);
  s.Truncate();
  EXPECT_EQ(s.block_count(), 0u);
  EXPECT_EQ(MemoryStream(0).block_size(), MemoryStream::kDefaultBlockSize);
}

TEST(MemoryStreamTest, WritesAcrossBlockBoundariesAndGapsReadAsZeros) {
  MemoryStream s(8);
  s.Write("abcdefghijklmnopqrstuvwxyz");
  s.Seek(30);
  s.Write("!");
  EXPECT_EQ(s.Contents(), std::string("abcdefghijklmnopqrstuvwxyz\0\0\0\0!", 31));
  s.Seek(6);
  EXPECT_EQ(ReadString(s, 12), "ghijklmnopqr");
}

TEST(MemoryStreamTest, ShortLastBlockGrowsWithoutLosingBytes) {
  MemoryStream s(4096);
  std::string expected;
  for (int i = 0; i < 10000; ++i) {
    char c = static_cast<char>('a' + i % 26);
    s.Write(&c, 1);
    expected += c;
  }
  EXPECT_EQ(s.block_count(), 3u);
  EXPECT_EQ(s.Contents(), expected);
  s.Seek(4000);
  s.Truncate();
  s.Seek(6000);
  s.Write("z");  // the gap after a truncate reads as zeros
  EXPECT_EQ(s.Contents(), expected.substr(0, 4000) + std::string(2000, '\0') + "z");
  s.Seek(7000);
  s.Truncate();
  EXPECT_EQ(s.GetSize(), 7000);
  EXPECT_EQ(s.Contents().substr(6001), std::string(999, '\0'));
}

TEST(StreamTest, CopyFromMovesBytesInPiecesAndStopsOnSourceFailure) {
  MemoryStream src(4096), dst(4096);
  std::string data;
  for (int i = 0; i < 40000; ++i) data += static_cast<char>(i * 7);
  src.Write(data);
  src.Seek(0);
  dst.CopyFrom(src, 40000);
  EXPECT_TRUE(dst.ok());
  EXPECT_EQ(dst.Contents(), data);

  MemoryStream short_src(4096), dst2(4096);
  short_src.Write("abc");
  short_src.Seek(0);
  dst2.CopyFrom(short_src, 10);
  EXPECT_FALSE(short_src.ok());
  EXPECT_EQ(dst2.GetSize(), 0);  // nothing half-copied from a failed read
}

// Between two files the system copies: bytes still in either stream's
// buffer count as the streams stand, both positions move, the copy ends
// where the source does (failing it), and a refused write fails the target.
TEST(FileStreamTest, CopyFromAnotherFileCopiesWhatTheStreamsHold) {
  TempDir dir;
  std::string data;
  for (int i = 0; i < 200000; ++i) data += static_cast<char>(i * 13 + i / 256);
  ASSERT_TRUE(WriteFileBytes(dir / "from", data));
  {
    FileStream from(dir / "from", platform::kModeRead | platform::kDenyNone, 4096);
    FileStream to(dir / "to", platform::kModeCreate | platform::kDenyNone, 4096);
    EXPECT_EQ(ReadString(from, 10), data.substr(0, 10));  // read ahead into the buffer
    to.Write("head");                                     // still in the buffer
    to.CopyFrom(from, 150000);
    EXPECT_TRUE(from.ok() && to.ok());
    EXPECT_EQ(from.GetPos(), 150010);
    EXPECT_EQ(to.GetPos(), 150004);
    EXPECT_EQ(to.GetSize(), 150004);
    to.Write("tail");
    to.CopyFrom(from, 100000);  // 49,990 are there
    EXPECT_FALSE(from.ok());
    EXPECT_TRUE(to.Close());
  }
  EXPECT_EQ(ReadFileBytes(dir / "to"),
            "head" + data.substr(10, 150000) + "tail" + data.substr(150010));
  {
    FileStream from(dir / "from", platform::kModeRead | platform::kDenyNone);
    FileStream to(dir / "full", platform::kModeCreate | platform::kDenyNone);
    testing::WriteFault full(1);
    to.CopyFrom(from, 200000);
    EXPECT_EQ(to.status(), kStreamWriteError);
    EXPECT_EQ(to.error_info(), platform::kDiskFull);
    EXPECT_TRUE(to.lost_writes());
  }
  EXPECT_EQ(testing::FileSizeOf(dir / "full"), 65536);
}

TEST(FileStreamTest, ReadsWritesSeeksAndTruncatesThroughTheBuffer) {
  TempDir dir;
  std::string path = dir / "data.bin";
  {
    FileStream f(path, platform::kModeCreate | platform::kDenyWrite, 16);
    ASSERT_TRUE(f.ok());
    for (int i = 0; i < 10; ++i) f.Write("0123456789");
    f.Seek(5);
    f.Write("abc");
    EXPECT_EQ(f.GetSize(), 100);
    f.Seek(0);
    EXPECT_EQ(ReadString(f, 12), "01234abc8901");
    // Writing after reading goes to the right place.
    f.Write("XY");
    f.Seek(10);
    EXPECT_EQ(ReadString(f, 6), "01XY45");
    f.Seek(50);
    f.Truncate();
    EXPECT_EQ(f.GetSize(), 50);
    // A large read and a large write bypass the small buffer.
    f.Seek(0);
    std::string all = ReadString(f, 50);
    EXPECT_EQ(all.substr(0, 16), "01234abc8901XY45");
    f.Seek(50);
    f.Write(std::string(100, 'L'));
    EXPECT_TRUE(f.ok());
  }
  std::string bytes = ReadFileBytes(path);
  ASSERT_EQ(bytes.size(), 150u);
  EXPECT_EQ(bytes.substr(50), std::string(100, 'L'));
}

// A hole of a sparse file is passed; data, pending writes and the end are
// found; the stream's position stays where it was.
TEST(FileStreamTest, NextDataPassesHoles) {
  TempDir dir;
  std::string path = dir / "sparse.bin";
  constexpr int64_t kFar = int64_t{1} << 24;
  FileStream f(path, platform::kModeCreate | platform::kDenyWrite);
  f.Write("head");
  f.Seek(kFar);
  f.Write("tail");  // still in the buffer: it counts as data
  f.Seek(2);
  EXPECT_EQ(f.NextData(0), 0);
  const int64_t next = f.NextData(1 << 20);
  // Where the file system keeps no holes apart, all is data.
  EXPECT_TRUE(next == 1 << 20 || (next > 1 << 20 && next <= kFar)) << next;
  EXPECT_EQ(f.NextData(kFar + 4), kFar + 4);  // the end: nothing follows
  EXPECT_EQ(f.GetPos(), 2);
  EXPECT_EQ(ReadString(f, 2), "ad");
  EXPECT_TRUE(f.ok());
}

TEST(FileStreamTest, ReadPastTheEndFailsAndZeroFills) {
  TempDir dir;
  std::string path = dir / "short.bin";
  ASSERT_TRUE(WriteFileBytes(path, "hello"));
  FileStream f(path, platform::kModeRead, 4096);
  ASSERT_TRUE(f.ok());
  EXPECT_EQ(ReadString(f, 8), std::string("hello\0\0\0", 8));
  EXPECT_EQ(f.status(), kStreamReadError);
  f.Reset();
  f.Seek(1);
  EXPECT_EQ(ReadString(f, 3), "ell");
}

// Reads that go forward, jump and go backward are all served with the
// file's bytes; a read beyond the end never passes off stale buffer bytes
// as the file's.
TEST(FileStreamTest, ReadsInAnyOrderGiveTheFilesBytes) {
  TempDir dir;
  std::string path = dir / "ten.bin";
  std::string content;
  for (int i = 0; i < 10; ++i) content += "0123456789";
  ASSERT_TRUE(WriteFileBytes(path, content));
  FileStream f(path, platform::kModeRead, 64);
  std::string scratch;
  for (int64_t at : {36, 90, 5, 60, 40, 20, 0}) {
    EXPECT_EQ(f.View(at, 10, &scratch), content.substr(static_cast<size_t>(at), 10)) << at;
  }
  f.Seek(36);
  EXPECT_EQ(ReadString(f, 4), "6789");
  for (int64_t past : {150, 120}) {
    f.Seek(past);
    EXPECT_EQ(ReadString(f, 1), std::string(1, '\0'));
    EXPECT_EQ(f.status(), kStreamReadError);
    f.Reset();
  }
  f.Seek(90);
  EXPECT_EQ(ReadString(f, 20), content.substr(90) + std::string(10, '\0'));
  EXPECT_EQ(f.status(), kStreamReadError);
}

TEST(FileStreamTest, MissingFileIsAnInitErrorWithTheLayersCode) {
  TempDir dir;
  FileStream f(dir / "absent", platform::kModeReadWrite, 4096);
  EXPECT_FALSE(f.is_open());
  EXPECT_EQ(f.status(), kStreamInitError);
  EXPECT_EQ(f.error_info(), platform::kNotFound);
  FileStream zero(dir / "x", platform::kModeCreate, 0);
  EXPECT_EQ(zero.status(), kStreamInitError);
}

TEST(FileStreamTest, AFailedWriteIsReportedNotSwallowed) {
  TempDir dir;
  std::string path = dir / "full.bin";
  FileStream f(path, platform::kModeCreate, 64);
  ASSERT_TRUE(f.ok());
  f.Write(std::string(10, 'a'));
  f.Flush();
  ASSERT_TRUE(f.ok());
  platform::InjectWriteFault(0, platform::kDiskFull);
  f.Write(std::string(100, 'b'));
  f.Flush();
  platform::InjectWriteFault(-1, 0);
  EXPECT_EQ(f.status(), kStreamWriteError);
  EXPECT_EQ(f.error_info(), platform::kDiskFull);
}

}  // namespace
}  // namespace quil
