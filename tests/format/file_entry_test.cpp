#include "format/file_entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "byte_builder.h"

namespace ixo::format {
namespace {

using test::bytes::entry;
using test::bytes::EntryFields;
using test::bytes::link_fields;

constexpr uint64_t MiB = 1 << 20;

// Chunk lengths the entries below list.
std::vector<ChunkRef> chunk_table() {
  const uint32_t lengths[] = {10, 20, 64 * MiB, 64 * MiB + 1, 1, 512 * MiB, 64 * MiB - 1};
  std::vector<ChunkRef> t;
  for (uint32_t len : lengths) t.push_back(ChunkRef{.length = len});
  return t;
}

struct Case {
  const char* name;
  uint16_t version;
  bool metadata;
  EntryFields fields;
  const char* error;  // nullptr: the entry reads
  size_t cut = 0;     // bytes taken off the end of the stored entry
};

EntryFields file(uint64_t size, std::vector<uint32_t> chunks, uint8_t transform = 0,
                 std::optional<uint64_t> stored = std::nullopt) {
  EntryFields f;
  f.size = size;
  f.chunks = std::move(chunks);
  f.transform = transform;
  f.stored_len = stored;
  return f;
}

EntryFields with(EntryFields f, auto&& change) {
  change(f);
  return f;
}

std::string describe(const Result<FileEntry>& r) { return r ? "ok" : r.error().to_string(); }

TEST(ReadFileEntry, TransformRowsAndLimits) {
  const Case cases[] = {
      {"plain", 7, false, file(30, {0, 1}), nullptr},
      {"untransformed length differs", 7, false, file(30, {0, 1}, 0, 31), "untransformed file size mismatch"},
      {"untransformed has no size limit", 7, false, file(64 * MiB + 1, {3}), nullptr},
      {"preflate from version 2", 2, false, file(10, {0}, 1, 10), nullptr},
      {"preflate may expand", 7, false, file(10, {1}, 1, 20), nullptr},
      {"preflate up to 512 MiB stored", 7, false, file(10, {5}, 1, 512 * MiB), nullptr},
      {"preflate past 512 MiB stored", 7, false, file(10, {5}, 1, 512 * MiB + 1),
       "transformed file exceeds resource limits"},
      {"jpeg before version 4", 3, false, file(20, {0}, 2, 10), "unknown file transform"},
      {"jpeg from version 4", 4, false, file(20, {0}, 2, 10), nullptr},
      {"jpeg may not expand", 7, false, file(10, {1}, 2, 20), "transformed file expands a non-expanding transform"},
      {"jpeg of exactly 64 MiB", 7, false, file(64 * MiB, {1}, 2, 20), nullptr},
      {"jpeg past 64 MiB", 7, false, file(64 * MiB + 1, {1}, 2, 20), "transformed file exceeds resource limits"},
      {"bcj-x86 before version 6", 5, false, file(10, {0}, 3, 10), "unknown file transform"},
      {"bcj-x86 from version 6", 6, false, file(10, {0}, 3, 10), nullptr},
      {"bcj-x86 keeps the length", 7, false, file(11, {0}, 3, 10),
       "transformed file changes a length-preserving transform"},
      {"bcj-x86 of 64 MiB stored over 64 MiB - 1", 7, false, file(64 * MiB, {6}, 3, 64 * MiB - 1),
       "transformed file changes a length-preserving transform"},
      {"transform without a row", 7, false, file(10, {0}, 4, 10), "unknown file transform"},
      {"transform 255", 7, false, file(10, {0}, 255, 10), "unknown file transform"},
      // The limits are tested before the chunks: nothing past the lengths needs to be valid.
      {"limits before chunks", 7, false, file(64 * MiB + 1, {99}, 2, 10), "transformed file exceeds resource limits"},
  };
  const auto chunks = chunk_table();
  for (const Case& c : cases) {
    auto bytes = entry(c.version, c.metadata, c.fields).take();
    Reader r(bytes);
    auto got = read_file_entry(r, c.version, c.metadata, chunks);
    EXPECT_EQ(describe(got), c.error ? c.error : "ok") << c.name;
    if (got) {
      EXPECT_TRUE(r.at_end()) << c.name;
    }
  }
}

TEST(ReadFileEntry, ChunksAndStoredForm) {
  const Case cases[] = {
      {"chunks sum to the stored length", 7, false, file(31, {0, 1, 4}), nullptr},
      {"chunks short of the stored length", 7, false, file(29, {0, 1}), "file size does not match its chunks"},
      {"empty list for an empty file", 7, false, file(0, {}), nullptr},
      {"empty list for a non-empty file", 7, false, file(1, {}), "file size does not match its chunks"},
      {"the chunk past the table", 7, false, file(10, {7}), "file refers to a missing chunk"},
      // Only the first index is stored: the missing chunk is found before the data runs out.
      {"missing chunk before truncation", 7, false, file(10, {7, 0, 0}), "file refers to a missing chunk", 8},
      {"cut in the chunk list", 7, false, file(30, {0, 1}), "archive metadata is truncated", 1},
      {"cut in the digest", 7, false, file(0, {}), "archive metadata is truncated", 4 + 8 + 1 + 10},
      {"path not UTF-8", 7, false, with(file(0, {}), [](EntryFields& f) { f.path = "a\xC3("; }),
       "file name is not UTF-8"},
      // Version 1 stores no transform byte and no stored length: chunks sum to the size.
      {"version 1", 1, false, file(30, {0, 1}), nullptr},
      {"version 1 chunks differ from the size", 1, false, file(31, {0, 1}), "file size does not match its chunks"},
  };
  const auto chunks = chunk_table();
  for (const Case& c : cases) {
    auto bytes = entry(c.version, c.metadata, c.fields).take();
    bytes.resize(bytes.size() - c.cut);
    Reader r(bytes);
    auto got = read_file_entry(r, c.version, c.metadata, chunks);
    EXPECT_EQ(describe(got), c.error ? c.error : "ok") << c.name;
    if (got) {
      EXPECT_TRUE(r.at_end()) << c.name;
    }
  }
}

TEST(ReadFileEntry, VersionOneEntryHasNoTransformFields) {
  auto bytes = entry(1, false, file(30, {0, 1})).take();
  EXPECT_EQ(bytes.size(), 4 + 1 + 8 + 8 + 32 + 4 + 8u);
  Reader r(bytes);
  auto e = read_file_entry(r, 1, false, chunk_table());
  ASSERT_TRUE(e) << e.error().to_string();
  EXPECT_EQ(e->transform, 0);
  EXPECT_EQ(e->stored_len, 30u);
  EXPECT_EQ(e->chunks, (std::vector<uint32_t>{0, 1}));
}

TEST(ReadFileEntry, WithoutMetadataEveryEntryIsARegularFile) {
  auto bytes = entry(7, false, file(10, {0})).take();
  Reader r(bytes);
  auto e = read_file_entry(r, 7, false, chunk_table());
  ASSERT_TRUE(e);
  EXPECT_EQ(e->kind, Regular);
  EXPECT_EQ(e->mode, NO_MODE);
  EXPECT_EQ(e->mtime_nanos, 0u);
  EXPECT_TRUE(e->link_target.empty());
}

TEST(ReadFileEntry, Metadata) {
  const std::string target_4096(4096, 't');
  const std::string target_4097(4097, 't');
  const std::string with_nul("a\0b", 3);
  auto meta = [](uint8_t kind, uint32_t mode, uint32_t nanos) {
    return with(file(0, {}), [&](EntryFields& f) {
      f.kind = kind;
      f.mode = mode;
      f.nanos = nanos;
      if (kind != 0) f.digest = blake3::empty_digest();
    });
  };
  const Case cases[] = {
      {"mode 0o7777", 7, true, meta(0, 07777, 0), nullptr},
      {"no mode", 7, true, meta(0, NO_MODE, 0), nullptr},
      {"mode 0o10000", 7, true, meta(0, 010000, 0), "invalid permission bits"},
      {"nanos below a second", 7, true, meta(0, 0644, 999'999'999), nullptr},
      {"nanos of a whole second", 7, true, meta(0, 0644, 1'000'000'000), "invalid sub-second timestamp"},
      {"kind 4", 7, true, meta(4, 0644, 0), "unknown entry kind"},
      {"kind before mode", 7, true, meta(5, 020000, 0), "unknown entry kind"},
      {"mode before nanos", 7, true, meta(0, 020000, 2'000'000'000), "invalid permission bits"},
      {"directory", 7, true, link_fields("d", 1), nullptr},
      {"directory with a zero digest", 7, true, with(link_fields("d", 1), [](EntryFields& f) { f.digest = {}; }),
       "directories and links carry no data"},
      {"directory with a size", 7, true,
       with(link_fields("d", 1), [](EntryFields& f) { f.size = 1, f.stored_len = 1, f.chunks = {4}; }),
       "directories and links carry no data"},
      {"hard link with a transform", 7, true,
       with(link_fields("h", 3, "f"), [](EntryFields& f) { f.transform = 1; }),
       "directories and links carry no data"},
      {"symlink target of 4096 bytes", 7, true, link_fields("l", 2, target_4096), nullptr},
      {"symlink target of 4097 bytes", 7, true, link_fields("l", 2, target_4097), "invalid link target"},
      {"empty symlink target", 7, true, link_fields("l", 2, ""), "invalid link target"},
      {"hard link target with NUL", 7, true, link_fields("h", 3, with_nul), "invalid link target"},
      {"link target not UTF-8", 7, true, link_fields("l", 2, "\xFF"), "file name is not UTF-8"},
      {"cut in the metadata", 7, true, meta(0, 0644, 0), "archive metadata is truncated", 1},
  };
  const auto chunks = chunk_table();
  for (const Case& c : cases) {
    auto bytes = entry(c.version, c.metadata, c.fields).take();
    bytes.resize(bytes.size() - c.cut);
    Reader r(bytes);
    auto got = read_file_entry(r, c.version, c.metadata, chunks);
    EXPECT_EQ(describe(got), c.error ? c.error : "ok") << c.name;
    if (got) {
      EXPECT_TRUE(r.at_end()) << c.name;
    }
  }
}

TEST(ReadFileEntry, OnlyLinksReadATarget) {
  // A regular file and a directory stop after their sub-second time, whatever follows.
  for (uint8_t kind : {uint8_t{0}, uint8_t{1}}) {
    auto b = entry(7, true, link_fields("x", kind));
    const size_t len = b.size();
    b.str("not a target");
    Reader r(b.data());
    auto e = read_file_entry(r, 7, true, {});
    ASSERT_TRUE(e) << e.error().to_string();
    EXPECT_EQ(r.pos(), len);
    EXPECT_TRUE(e->link_target.empty());
  }
  auto b = entry(7, true, link_fields("l", 2, "../t"));
  Reader r(b.data());
  auto e = read_file_entry(r, 7, true, {});
  ASSERT_TRUE(e);
  EXPECT_EQ(e->link_target, "../t");
  EXPECT_EQ(e->kind, Symlink);
}

}  // namespace
}  // namespace ixo::format
