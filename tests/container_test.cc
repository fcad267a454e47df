#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "checksum/block_crc.h"
#include "common/le.h"
#include "container/cdp.h"
#include "container/check_container.h"
#include "container/checked_rereader.h"
#include "container/container_writer.h"
#include "test_support.h"

namespace rempar {
namespace {

using testing::Bytes;
using testing::TempDir;

const Bytes EMPTY_FILE_CDT = {0x4B, 0x61, 0x4C, 0x57, 0x43, 0x52, 0x43, 0x43, 0x02, 0x00, 0x00,
                              0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x5B, 0xE5, 0x6C, 0x09};

// A container of `kind` with `body`, sealed.
Bytes sealed(ContainerKind kind, const Bytes& body) {
  Bytes bytes;
  bytes.reserve(body.size() + 14);
  for (std::uint8_t b : container_header(kind, FORMAT_VERSION)) bytes.push_back(b);
  bytes.insert(bytes.end(), body.begin(), body.end());
  for (std::uint8_t b : encode_le32(block_crc(bytes))) bytes.push_back(b);
  return bytes;
}

struct Checked {
  int result;
  std::string out;
};

Checked check(const Bytes& bytes, ContainerKind kind, std::int64_t size) {
  TempDir dir;
  testing::write_file(dir / "c", bytes);
  auto file = io::File::open(dir / "c", io::File::Mode::read);
  std::ostringstream out;
  const int result = check_container(*file, size, kind, make_signature(kind), out);
  return {result, out.str()};
}

Checked check(const Bytes& bytes, ContainerKind kind) {
  return check(bytes, kind, static_cast<std::int64_t>(bytes.size()));
}

TEST(ContainerWriter, WritesTheEmptyFileChecksumFileByteForByte) {
  TempDir dir;
  {
    auto file = io::File::open(dir / "e.cdt", io::File::Mode::create_rw);
    ContainerWriter writer(*file, 7);  // a tiny buffer: writes cross it
    writer.write_header(ContainerKind::CDT, LAYOUT_2_0);
    writer.write_u32(0);
    writer.write_u32(16384);
    ASSERT_TRUE(write_internal_checksum(writer, 18));
  }
  EXPECT_EQ(testing::read_file(dir / "e.cdt"), EMPTY_FILE_CDT);
  EXPECT_EQ(
      sealed(ContainerKind::CDT, Bytes(EMPTY_FILE_CDT.begin() + 10, EMPTY_FILE_CDT.end() - 4)),
      EMPTY_FILE_CDT);
}

// The checksum file of an empty file in version 3.0: an 8-byte file size
// where 2.0 has 4, everything else alike.
TEST(ContainerWriter, WritesTheLargeFormatHeaderAndFields) {
  const Bytes expected_head = {0x4B, 0x61, 0x4C, 0x57, 0x43, 0x52, 0x43, 0x43, 0x03, 0x00, 0x00,
                               0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00};
  const Bytes cdt = testing::checksum_file_of({}, 16384, &LAYOUT_3_0);
  ASSERT_EQ(cdt.size(), 26u);
  EXPECT_EQ(Bytes(cdt.begin(), cdt.begin() + 22), expected_head);
  EXPECT_EQ(testing::le32_at(cdt, 22), block_crc(std::span(cdt).first(22)));
  EXPECT_EQ(check(cdt, ContainerKind::CDT).out, "");
}

TEST(ContainerWriter, ReportsAFailedWriteAndRefusesAWrongCount) {
  TempDir dir;
  auto file = io::File::open(dir / "x", io::File::Mode::create_rw);
  ContainerWriter writer(*file, 4);
  writer.write_header(ContainerKind::CDP, LAYOUT_2_0);
  EXPECT_FALSE(write_internal_checksum(writer, 9));  // the count must be every byte written
  {
    const testing::FaultHookGuard hook(
        [](io::Op op, const std::string&) { return io::Fault{op == io::Op::write ? ENOSPC : 0}; });
    EXPECT_FALSE(writer.write(Bytes(100, 1)));
    EXPECT_FALSE(write_internal_checksum(writer, writer.bytes_written()));
  }
  EXPECT_EQ(file->last_error(), ENOSPC);
}

TEST(CheckContainer, AcceptsAndRejectsWithOneMessage) {
  const std::string v02_00 = std::string("\x02", 1) + "." + std::string("\0", 1);
  Bytes version_01 = EMPTY_FILE_CDT;
  version_01[9] = 0x01;
  Bytes version_zero = EMPTY_FILE_CDT;
  version_zero[8] = 0x00;
  version_zero[9] = 0x07;
  Bytes magic = EMPTY_FILE_CDT;
  magic[3] = 'w';
  const Bytes large = testing::checksum_file_of({}, 16384, &LAYOUT_3_0);
  Bytes version_31 = large;
  version_31[9] = 0x01;
  Bytes version_40 = large;
  version_40[8] = 0x04;
  struct Case {
    const char* what;
    Bytes bytes;
    ContainerKind kind;
    std::int64_t size;
    int result;
    std::string out;
  };
  const std::int64_t n = 22;
  const Case cases[] = {
      {"empty file's CDT", EMPTY_FILE_CDT, ContainerKind::CDT, n, 0, ""},
      {"CDT taken as CDP", EMPTY_FILE_CDT, ContainerKind::CDP, n, 1, "Error - .CDP invalid\n"},
      {"CDP taken as CDT", sealed(ContainerKind::CDP, Bytes{0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}),
       ContainerKind::CDT, n, 1, "Error - .CDT invalid\n"},
      {"size 21", EMPTY_FILE_CDT, ContainerKind::CDT, 21, 1, "Error - .CDT invalid\n"},
      {"negative size", EMPTY_FILE_CDT, ContainerKind::CDP, -5, 1, "Error - .CDP invalid\n"},
      {"beyond 2 GiB", EMPTY_FILE_CDT, ContainerKind::CDT, 1LL << 31, 1, "Error - .CDT invalid\n"},
      {"magic", magic, ContainerKind::CDT, n, 1, "Error - .CDT invalid\n"},
      {"version 2.1", version_01, ContainerKind::CDT, n, 1,
       "Error - file is v\x02.\x01, program needs v" + v02_00 + "\n"},
      {"version 0.x", version_zero, ContainerKind::CDT, n, 1,
       std::string("Error - file is v\0.\0, program needs v", 37) + v02_00 + "\n"},
      {"shorter than its size", EMPTY_FILE_CDT, ContainerKind::CDT, 30, 1,
       "Error - bad CRC for .CDT file (probably damaged?)\n"},
      {"3.0 CDT", large, ContainerKind::CDT, 26, 0, ""},
      {"3.0 CDT taken as CDP", large, ContainerKind::CDP, 26, 1, "Error - .CDP invalid\n"},
      // Version 3.0 has no 2 GiB limit: the size passes, the short read does not.
      {"3.0 beyond 2 GiB", large, ContainerKind::CDT, 1LL << 31, 1,
       "Error - bad CRC for .CDT file (probably damaged?)\n"},
      {"version 3.1", version_31, ContainerKind::CDT, 26, 1,
       "Error - file is v\x03.\x01, program needs v" + v02_00 + "\n"},
      {"version 4.0", version_40, ContainerKind::CDT, 26, 1,
       std::string("Error - file is v\x04.\0, program needs v", 37) + v02_00 + "\n"},
  };
  for (const Case& c : cases) {
    const Checked got = check(c.bytes, c.kind, c.size);
    EXPECT_EQ(got.result, c.result) << c.what;
    EXPECT_EQ(got.out, c.out) << c.what;
  }
}

TEST(CheckContainer, NamesTheLayoutOfTheVersionFound) {
  struct Case {
    Bytes bytes;
    const ContainerLayout* layout;
  };
  const Case cases[] = {
      {EMPTY_FILE_CDT, &LAYOUT_2_0},
      {testing::checksum_file_of({}, 16384, &LAYOUT_3_0), &LAYOUT_3_0},
  };
  for (const Case& c : cases) {
    TempDir dir;
    testing::write_file(dir / "c", c.bytes);
    auto file = io::File::open(dir / "c", io::File::Mode::read);
    std::ostringstream out;
    const ContainerLayout* found = nullptr;
    ASSERT_EQ(check_container(*file, static_cast<std::int64_t>(c.bytes.size()), ContainerKind::CDT,
                              make_signature(ContainerKind::CDT), out, {}, &found),
              0);
    EXPECT_EQ(found, c.layout);
  }
}

TEST(CheckContainer, EveryChangedByteIsCaught) {
  const Bytes good = sealed(ContainerKind::CDP, testing::random_bytes(40, 3));
  ASSERT_EQ(check(good, ContainerKind::CDP).result, 0);
  for (std::size_t at = 0; at < good.size(); ++at) {
    Bytes bad = good;
    bad[at] ^= 0x20;
    const std::string expected = at < 8    ? "Error - .CDP invalid\n"
                                 : at < 10 ? "Error - file is v"
                                           : "Error - bad CRC for .CDP file (probably damaged?)\n";
    const Checked got = check(bad, ContainerKind::CDP);
    EXPECT_EQ(got.result, 1) << at;
    EXPECT_EQ(got.out.substr(0, expected.size()), expected) << at;
  }
}

// Containers larger than one read: the seal may straddle two of them.
TEST(CheckContainer, LargeContainersAreReadInPieces) {
  for (std::size_t body :
       {std::size_t{1} << 20, (std::size_t{1} << 20) - 12, (std::size_t{3} << 20) + 5}) {
    Bytes bytes = sealed(ContainerKind::CDT, testing::random_bytes(body, 5));
    EXPECT_EQ(check(bytes, ContainerKind::CDT).result, 0) << body;
    bytes[bytes.size() - 3] ^= 1;
    EXPECT_EQ(check(bytes, ContainerKind::CDT).result, 1) << body;
  }
}

TEST(CheckContainer, AReadErrorIsOneMessage) {
  const testing::FaultHookGuard hook(
      [](io::Op op, const std::string&) { return io::Fault{op == io::Op::read ? EIO : 0}; });
  const Checked got = check(EMPTY_FILE_CDT, ContainerKind::CDT);
  EXPECT_EQ(got.result, 1);
  EXPECT_NE(got.out.find("Error reading .CDT file"), std::string::npos) << got.out;
  EXPECT_EQ(std::count(got.out.begin(), got.out.end(), '\n'), 1);
}

// The record scanner of both passes meets fields and data split anywhere
// between the pieces it is fed: the first pass from offset 0, the second
// from the first record on, handing out every record byte where it goes.
TEST(CdpRecordScanner, FindsTheSameRecordsHoweverTheBytesArePieced) {
  const Bytes good = testing::random_bytes(1000, 5);
  const Bytes broken = testing::damaged_copy(good, 64, 3);
  for (const ContainerLayout* layout : {&LAYOUT_2_0, &LAYOUT_3_0}) {
    const Bytes cdp = testing::patch_file_of(good, broken, 64, layout);
    const auto size = static_cast<std::int64_t>(cdp.size());
    const auto covered = std::span(cdp).first(cdp.size() - SEAL_SIZE);
    for (std::size_t piece = 1; piece <= 23; piece += 2) {
      SCOPED_TRACE(piece);
      CdpRecordScanner first(size);
      for (std::size_t at = 0; at < covered.size(); at += piece) {
        first.feed(covered.subspan(at, std::min(piece, covered.size() - at)));
      }
      ASSERT_EQ(first.verdict(), CdpRecordScanner::Verdict::well_formed);
      EXPECT_EQ(&first.layout(), layout);
      EXPECT_EQ(first.recorded_size(), good.size());
      Bytes repaired = broken;
      CdpRecordScanner second(size, first.layout(), first.recorded_size());
      const auto records = covered.subspan(static_cast<std::size_t>(second.records_begin()));
      for (std::size_t at = 0; at < records.size() && !second.ended(); at += piece) {
        second.feed(records.subspan(at, std::min(piece, records.size() - at)),
                    [&](const CdpRecord& r, std::uint64_t done, std::span<const std::uint8_t> d) {
                      std::copy(d.begin(), d.end(),
                                repaired.begin() + static_cast<std::ptrdiff_t>(r.offset + done));
                    });
      }
      EXPECT_EQ(second.records_end(), first.records_end());
      EXPECT_EQ(second.record_count(), first.record_count());
      EXPECT_EQ(repaired, good);
    }
  }
}

// A range read again hands out exactly the bytes first seen, wherever it
// starts and ends among the pieces; a piece that reads differently, or a file
// cut short, stops it at that piece, before any of its bytes is handed out.
TEST(CheckedRereader, HandsOutOnlyBytesOfUnchangedPieces) {
  using Status = CheckedRereader::Status;
  const std::int64_t MIB = PieceChecksums::PIECE_SIZE;
  const Bytes original = testing::random_bytes(static_cast<std::size_t>(2 * MIB + 1000), 31);
  PieceChecksums checked;
  checked.add(std::span(original).first(100));  // in pieces of any size
  checked.add(std::span(original).subspan(100));
  checked.finish();
  ASSERT_EQ(checked.count(), 3u);
  struct Case {
    const char* what;
    std::int64_t begin, end;
    std::int64_t changed_at;  // a byte flipped before the second read (-1: none)
    bool cut;                 // the file cut to 2 MiB before the second read
    Status status;
    std::int64_t handed_out;  // bytes handed out before the status
  };
  const Case cases[] = {
      {"all of it", 0, 2 * MIB + 1000, -1, false, Status::ok, 2 * MIB + 1000},
      {"inside one piece", 14, 500, -1, false, Status::ok, 486},
      {"across pieces, up to the last byte", MIB - 3, 2 * MIB + 1000, -1, false, Status::ok,
       MIB + 1003},
      {"a change before the range, in its first piece", 14, MIB, 3, false, Status::changed, 0},
      {"a change after the range, in its last piece", 14, 2 * MIB + 10, 2 * MIB + 999, false,
       Status::changed, 2 * MIB - 14},
      {"a change in the second piece", 0, 2 * MIB + 1000, MIB + 5, false, Status::changed, MIB},
      {"cut short", 0, 2 * MIB + 1000, -1, true, Status::ended_early, 2 * MIB},
  };
  for (const Case& c : cases) {
    TempDir dir;
    Bytes now = original;
    if (c.changed_at >= 0) now[static_cast<std::size_t>(c.changed_at)] ^= 1;
    if (c.cut) now.resize(static_cast<std::size_t>(2 * MIB));
    testing::write_file(dir / "f", now);
    auto file = io::File::open(dir / "f", io::File::Mode::read);
    ASSERT_TRUE(file);
    CheckedRereader reader(*file, checked, c.begin, c.end);
    Bytes got;
    Status status = Status::ok;
    for (std::int64_t left = c.end - c.begin; left > 0 && status == Status::ok;) {
      const auto piece = reader.next(status);
      got.insert(got.end(), piece.begin(), piece.end());
      left -= static_cast<std::int64_t>(piece.size());
    }
    EXPECT_EQ(status, c.status) << c.what;
    ASSERT_EQ(static_cast<std::int64_t>(got.size()), c.handed_out) << c.what;
    EXPECT_TRUE(std::equal(got.begin(), got.end(), original.begin() + c.begin)) << c.what;
    if (c.status == Status::ok) {  // and nothing beyond the range
      EXPECT_TRUE(reader.next(status).empty()) << c.what;
      EXPECT_EQ(status, Status::ended_early) << c.what;
    }
  }
}

}  // namespace
}  // namespace rempar
