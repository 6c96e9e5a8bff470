// Test archive writer: builds .ixo archives byte for byte from a description in a test, sound ones and every
// kind of damaged or invalid one. It is written as the mirror of the reader, so that each checks the other.
//
// Typical use:
//
//   ArchiveBuilder b({.version = 7});
//   b.add_file("a.txt", bytes_of("hello"), {.mode = 0644, .mtime = 1700000000});
//   b.add(ArchiveBuilder::dir("docs"));
//   b.snapshot(1700000000);
//   b.commit();                                   // state 0: blocks, full index, footer
//   b.add_file("b.txt", bytes_of("more"));
//   b.snapshot_edits(1700000100, {EditSpec::copy(0, 2), EditSpec::add(b.take_pending())});
//   b.commit({.form = IndexForm::Chained});       // state 1: chained to state 0
//   b.flip(b.state(1).index_offset + 3);          // damage the newest segment
//   b.save(path);
//
// Records stay editable (block(i), chunk(i)): a change shows in every state committed after it. Every stored field
// can also be given outright (add_raw_block, add_chunk_record, Entry::raw, StateOptions::raw_index, patch_index...).
// Misuse that names nothing to write (block(i) past the table, a delta base whose bytes are not kept, a byte-plane
// chunk of a length its layout cannot split) aborts with a message.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error.h"

namespace ixo::test {

using Bytes = std::vector<uint8_t>;
using Digest = std::array<uint8_t, 32>;
using Magic = std::array<uint8_t, 4>;

Bytes bytes_of(std::string_view text);
Digest digest_of(std::span<const uint8_t> data);  // BLAKE3
const Digest& empty_digest();

// ---- Constants of the format ------------------------------------------------------------------------------

inline constexpr uint64_t HEADER_LEN = 8;
inline constexpr uint64_t FOOTER_LEN = 44;
// Field offsets inside a footer.
inline constexpr uint64_t FOOTER_INDEX_OFFSET_AT = 0;
inline constexpr uint64_t FOOTER_STORED_LEN_AT = 8;
inline constexpr uint64_t FOOTER_RAW_LEN_AT = 16;
inline constexpr uint64_t FOOTER_DIGEST_AT = 24;
inline constexpr uint64_t FOOTER_MAGIC_AT = 40;

inline constexpr uint64_t FEATURE_ENTRY_METADATA = 1;
inline constexpr uint64_t FEATURE_SNAPSHOT_EDITS = 2;
inline constexpr uint64_t FEATURE_CHAINED_INDEXES = 4;

inline constexpr uint32_t NO_MODE = 0xFFFFFFFF;

enum class Codec : uint8_t { Store = 0, Zstd = 1, Lzma2 = 2, Cm = 3 };

namespace kind {
inline constexpr uint8_t Regular = 0;
inline constexpr uint8_t Directory = 1;
inline constexpr uint8_t Symlink = 2;
inline constexpr uint8_t HardLink = 3;
}  // namespace kind

namespace transform_id {
inline constexpr uint8_t Preflate = 1;
inline constexpr uint8_t Jpeg = 2;
inline constexpr uint8_t BcjX86 = 3;
}  // namespace transform_id

// Recipe bits of a chunk: layout in bits 0-1, delta in bit 2.
namespace recipe {
inline constexpr uint8_t Plain = 0;
inline constexpr uint8_t Bf16 = 1;    // exponent plane, then sign+mantissa plane of 16-bit values
inline constexpr uint8_t Planes2 = 2; // byte planes of 2-byte elements
inline constexpr uint8_t Planes4 = 3; // byte planes of 4-byte elements
inline constexpr uint8_t Delta = 4;
}  // namespace recipe

// The footer magic of a segment version: "IXO2" for 1 and 2, else "IXO" and the digit.
Magic footer_magic(uint16_t segment_version);
// The segment version a header version takes by default: its own from 4 to 7, 3 for 3, 1 or 2 with "IXO2";
// for versions the reader refuses, the nearest one (7 above, 1 for 0).
uint16_t default_segment_version(uint16_t header_version);

// ---- Stored records, as the index holds them ---------------------------------------------------------------

struct BlockRecord {
  uint8_t codec = 0;  // any byte; 4 and above are invalid
  uint8_t aux = 0;
  uint64_t raw_len = 0;
  uint64_t stored_len = 0;
  uint64_t position = 0;  // written from version 3; versions 1 and 2 imply it
};

struct ChunkRecord {
  uint32_t block = 0;
  uint32_t offset = 0;
  uint32_t length = 0;
  Digest digest{};     // the version's width of it is written (none, 16 or 32 bytes)
  uint8_t recipe = 0;  // written from version 4
  uint32_t base = 0;   // written when recipe is 4 or more
};

struct ChainLinkRecord {
  uint64_t base_end = 0;
  uint32_t base_blocks = 0;
  uint32_t base_chunks = 0;
  uint32_t base_snapshots = 0;
  uint32_t depth = 0;
};

struct FooterRecord {
  uint64_t index_offset = 0;
  uint64_t stored_len = 0;
  uint64_t raw_len = 0;
  std::array<uint8_t, 16> digest{};
  Magic magic{};
};

// A file entry in its stored form. Without entry metadata (feature 1) kind, mode, mtime_nanos and link_target
// are not written; in a version-1 segment transform and stored_len are not written.
struct Entry {
  std::string path;  // any bytes; the reader wants UTF-8
  uint8_t kind = kind::Regular;
  uint64_t size = 0;
  int64_t mtime = 0;
  uint32_t mtime_nanos = 0;
  uint32_t mode = NO_MODE;
  Digest digest{};  // of the whole file as extracted
  uint8_t transform = 0;
  uint64_t stored_len = 0;
  std::vector<uint32_t> chunks;
  std::string link_target;  // written for kinds 2 and 3 only (with metadata)
  std::optional<Bytes> raw;  // when set, written in place of the whole stored form
};

// Times and permission bits of a new entry.
struct Meta {
  uint32_t mode = NO_MODE;
  int64_t mtime = 0;
  uint32_t mtime_nanos = 0;
};

// One stored edit of a snapshot's edit list.
struct EditSpec {
  uint8_t tag = 1;  // 0 copy, 1 add; any other byte is written as is
  uint32_t start = 0;
  uint32_t count = 0;            // copy: as written
  std::vector<Entry> entries;    // add: the new entries
  std::optional<uint32_t> stored_count;  // add: written in place of entries.size()

  static EditSpec copy(uint32_t start, uint32_t count);
  static EditSpec add(std::vector<Entry> entries);
};

struct SnapshotSpec {
  int64_t time = 0;                            // written from version 3
  std::vector<Entry> entries;                  // the snapshot in full
  std::optional<std::vector<EditSpec>> edits;  // the snapshot as edits of the one before
  std::optional<uint32_t> stored_count;        // written in place of the entry or edit count
};

// Where the parts of an encoded index lie in its decoded bytes (npos when a part is not stored).
struct IndexMap {
  static constexpr size_t npos = static_cast<size_t>(-1);
  size_t features_at = npos;
  size_t link_at = npos;
  size_t block_count_at = npos;
  std::vector<size_t> block_at;  // each block record
  size_t chunk_count_at = npos;
  std::vector<size_t> chunk_at;  // each chunk record
  size_t snapshot_count_at = npos;
  std::vector<size_t> snapshot_at;  // each snapshot (at its time, or its count in versions 1 and 2)
  size_t end = 0;
};

// One index segment's content. Edit lists are written only with feature 2, entry metadata only with feature 1,
// feature flags and the chain link only in version 7 (the link only with feature 4).
struct IndexSpec {
  uint16_t version = 7;
  uint64_t features = 0;
  std::optional<ChainLinkRecord> link;
  std::vector<BlockRecord> blocks;
  std::vector<ChunkRecord> chunks;
  std::vector<SnapshotSpec> snapshots;
  std::optional<uint32_t> block_count;     // written in place of blocks.size()
  std::optional<uint32_t> chunk_count;     // written in place of chunks.size()
  std::optional<uint32_t> snapshot_count;  // written in place of snapshots.size() (from version 3)
  Bytes trailing;                          // written after the last snapshot
};

// The decoded bytes of an index segment. Without feature 2 a snapshot given as edits is written in full with the
// entries of its add edits.
Bytes encode_index(const IndexSpec& layout, IndexMap* map = nullptr);
Bytes encode_entry(const Entry& entry, uint16_t version, bool metadata);
Bytes encode_footer(const FooterRecord& footer);
// One zstd frame of data.
Bytes zstd_frame(std::span<const uint8_t> data, int level = 3);
// One .xz stream of data (liblzma, CRC-64 check).
Bytes xz_stream(std::span<const uint8_t> data, uint32_t preset = 6);
// A stored-mode IXCM stream of data: the 20-byte header with its CRC-32, then the data unchanged.
Bytes cm_stored_stream(std::span<const uint8_t> data);
uint32_t crc32(std::span<const uint8_t> data);
// Writes data as the whole content of the file at path (created or replaced).
Status write_file(const std::filesystem::path& path, std::span<const uint8_t> data);

// The stored bytes of a chunk that rebuilds to rebuilt under the layout of recipe bits 0-1 (the inverse of the
// byte-plane rebuild). The length must be a multiple of the layout's element width.
Bytes split_planes(uint8_t layout, std::span<const uint8_t> rebuilt);

// ---- The builder ------------------------------------------------------------------------------------------

// The encoder of "cm" blocks; by default stored-mode IXCM streams (cm_stored_stream).
using CmEncoder = std::function<Bytes(std::span<const uint8_t> raw)>;

struct ArchiveOptions {
  uint16_t version = 7;                      // header version, written as is (any value, to test refusal)
  std::optional<uint16_t> segment_version;   // layout of the segments; default_segment_version(version)
  Magic header_magic{'I', 'X', 'O', '2'};
  std::array<uint8_t, 2> header_tail{0, 0};  // header bytes 6 and 7

  // How put() and file() pack content into blocks and chunks.
  Codec codec = Codec::Zstd;
  int level = 3;                    // zstd level, or the xz preset for lzma2
  uint64_t block_size = 1 << 20;    // the open block is written once it would grow past this
  uint32_t chunk_size = 64 << 10;   // content is cut into chunks of this size (the last one shorter)
  bool dedup = false;               // put() reuses an earlier chunk of equal bytes (plain chunks only)
  bool retain_blocks = true;        // keep decoded blocks for chunk digests and delta bases
  CmEncoder cm_encoder;
};

enum class IndexForm : uint8_t { Full, Chained };

// Values written in place of the computed ones; unset fields keep theirs.
struct ChainLinkOverride {
  std::optional<uint64_t> base_end;
  std::optional<uint32_t> base_blocks;
  std::optional<uint32_t> base_chunks;
  std::optional<uint32_t> base_snapshots;
  std::optional<uint32_t> depth;
};

struct FooterOverride {
  std::optional<uint64_t> index_offset;
  std::optional<uint64_t> stored_len;
  std::optional<uint64_t> raw_len;
  std::optional<std::array<uint8_t, 16>> digest;
  std::optional<Magic> magic;
};

struct StateOptions {
  IndexForm form = IndexForm::Full;
  std::optional<size_t> base_state;          // chained: the state it builds on (default: the newest)
  std::optional<uint16_t> segment_version;   // default: the archive's
  std::optional<uint64_t> features;          // replaces the computed flags (version 7)
  uint64_t extra_features = 0;               // added to them (unknown bits, or flag 2 with full snapshots)
  ChainLinkOverride link;
  FooterOverride footer;
  std::function<void(IndexSpec&)> edit_spec;                      // last word on the records before encoding
  std::function<void(Bytes& index, const IndexMap& map)> patch_index;  // last word on the decoded bytes
  std::optional<Bytes> raw_index;   // decoded index bytes in place of the encoded ones
  std::optional<Bytes> raw_stored;  // stored segment bytes in place of the zstd frame
  Bytes gap;                        // written between the state's blocks and its index segment
};

// Where a committed state lies in the file and what it holds.
struct StateLayout {
  uint64_t begin = 0;         // the previous state's end (8 for the first)
  uint64_t data_start = 0;    // start of the data region its index claims: 8, or its base's end
  uint64_t index_offset = 0;  // where the stored segment starts
  uint64_t stored_len = 0;
  uint64_t raw_len = 0;
  uint64_t footer_offset = 0;
  uint64_t end = 0;           // just past the footer
  uint16_t segment_version = 0;
  uint64_t features = 0;
  bool chained = false;
  std::optional<size_t> base;  // chained: the base state
  uint32_t depth = 0;          // 0 for a full index
  // Sizes of the merged tables of this state.
  uint32_t blocks = 0;
  uint32_t chunks = 0;
  uint32_t snapshots = 0;
  Bytes index;   // the decoded index bytes as written
  IndexMap map;  // of the encoded index (not of raw_index)
};

class ArchiveBuilder {
 public:
  explicit ArchiveBuilder(ArchiveOptions options = {});
  ArchiveOptions& options() { return options_; }
  const ArchiveOptions& options() const { return options_; }

  // ---- Blocks: each is written to the data region at once (the open block is written first).
  uint32_t add_block(std::span<const uint8_t> raw);  // with the options' codec and level
  uint32_t add_block(std::span<const uint8_t> raw, Codec codec, std::optional<int> level = std::nullopt);
  // A block encoded elsewhere (a cm stream from a real encoder, a damaged frame): stored is written, raw is what
  // it decodes to (its length becomes raw_len; its bytes give chunk digests).
  uint32_t add_encoded_block(Codec codec, std::span<const uint8_t> raw, std::span<const uint8_t> stored);
  // stored is written; the record is listed exactly as given (position included; see data_end()).
  uint32_t add_raw_block(std::span<const uint8_t> stored, const BlockRecord& record);
  // Where the next stored bytes will land.
  uint64_t data_end() const;
  BlockRecord& block(uint32_t index);
  size_t block_count() const { return blocks_.size(); }

  // ---- Content packed into the open block, which is written when full, by close_block() or by commit().
  // Plain chunks of content (chunk_size each); an empty content gives no chunk.
  std::vector<uint32_t> put(std::span<const uint8_t> content);
  // One chunk that rebuilds to rebuilt: stored as the byte planes of recipe's layout, of rebuilt XOR the base's
  // rebuilt bytes when recipe has the delta bit. The digest is that of rebuilt.
  uint32_t put_chunk(std::span<const uint8_t> rebuilt, uint8_t recipe = recipe::Plain, uint32_t base = 0);
  void close_block();

  // ---- Chunks over existing blocks.
  // The digest is that of the rebuilt bytes (layout, then delta), computed from the retained block.
  uint32_t add_chunk(uint32_t block, uint32_t offset, uint32_t length, uint8_t recipe = recipe::Plain,
                     uint32_t base = 0);
  uint32_t add_chunk_record(const ChunkRecord& record);  // listed exactly as given
  ChunkRecord& chunk(uint32_t index);
  size_t chunk_count() const { return chunks_.size(); }
  // What chunk index rebuilds to, from the retained blocks.
  Bytes rebuilt_chunk(uint32_t index) const;

  // ---- Entries. file() and transformed() store their bytes through put().
  Entry file(std::string path, std::span<const uint8_t> content, const Meta& meta = {});
  // A file whose stored form (what the chunks hold) differs from its content: size and digest are the file's.
  Entry transformed(std::string path, uint8_t transform, std::span<const uint8_t> stored, uint64_t size,
                    const Digest& digest, const Meta& meta = {});
  // A regular file over chunks already stored; size, stored_len and digest from their rebuilt bytes.
  Entry file_of_chunks(std::string path, std::vector<uint32_t> chunks, const Meta& meta = {});
  static Entry dir(std::string path, const Meta& meta = {});
  static Entry symlink(std::string path, std::string target, const Meta& meta = {});
  static Entry hardlink(std::string path, std::string target, const Meta& meta = {});

  // Entries of the snapshot being built.
  void add(Entry entry);
  void add_file(std::string path, std::span<const uint8_t> content, const Meta& meta = {});
  void add_file(std::string path, std::string_view content, const Meta& meta = {});
  std::vector<Entry> take_pending();

  // ---- Snapshots, oldest first.
  void snapshot(int64_t time = 0);  // the pending entries, in full
  void snapshot_edits(int64_t time, std::vector<EditSpec> edits);  // leaves pending entries alone
  void add_snapshot(SnapshotSpec snapshot);
  size_t snapshot_count() const { return snapshots_.size(); }
  // The entry list of snapshot n as the builder meant it (copies outside the previous list are skipped).
  std::vector<Entry> snapshot_list(size_t n) const;

  // ---- States.
  // Writes the open block, the index segment of every record since the base (all records for a full index) and
  // the footer.
  const StateLayout& commit(const StateOptions& options = {});
  // Writes the open block and nothing else: with nothing after it, an interrupted update.
  void write_blocks() { close_block(); }
  const StateLayout& state(size_t index) const;
  size_t state_count() const { return states_.size(); }

  // ---- The file and its damage.
  const Bytes& bytes() const { return out_; }
  Bytes& mutable_bytes() { return out_; }
  void truncate(uint64_t len);
  void flip(uint64_t offset, uint8_t mask = 0xFF);
  void append(std::span<const uint8_t> data);
  void set_header_magic(const Magic& magic);
  void set_header_version(uint16_t version);
  void put_u32_at(uint64_t offset, uint32_t value);
  void put_u64_at(uint64_t offset, uint64_t value);
  Status save(const std::filesystem::path& path) const;

 private:
  uint32_t write_block(Bytes raw, std::span<const uint8_t> stored, uint8_t codec);
  Bytes encode_block(std::span<const uint8_t> raw, Codec codec, int level) const;
  // Appends stored to the open block and lists record over it (block, offset and length filled in).
  uint32_t append_to_open(std::span<const uint8_t> stored, ChunkRecord record);
  const Bytes* block_data(uint32_t block) const;  // null when not known
  std::optional<Bytes> try_rebuild(const ChunkRecord& record) const;
  std::vector<const Entry*> list_of(size_t n) const;
  uint16_t segment_version(const StateOptions& options) const;

  ArchiveOptions options_;
  Bytes out_;
  std::vector<BlockRecord> blocks_;
  std::vector<std::optional<Bytes>> block_raw_;  // decoded bytes of each block, when retained
  std::vector<ChunkRecord> chunks_;
  Bytes open_raw_;
  bool has_open_ = false;
  std::map<Digest, uint32_t> dedup_;  // plain chunk digest -> chunk index
  std::vector<SnapshotSpec> snapshots_;
  std::vector<Entry> pending_;
  std::vector<StateLayout> states_;
};

// ---- Folders ----------------------------------------------------------------------------------------------

struct PackOptions {
  uint16_t version = 7;
  Codec codec = Codec::Zstd;
  int level = 3;
  uint64_t block_size = 4 << 20;
  uint32_t chunk_size = 1 << 20;
  bool dedup = true;
  int64_t time = 0;  // the snapshot's time
};

// Adds the tree under folder (not the folder itself) to the builder's pending entries, in name order, each folder
// before its contents: regular files, directories, symbolic links, and hard links (a later path of an inode seen
// before). Without entry metadata (segment versions below 7) only regular files can be stored: directories and
// symbolic links are left out and hard links become regular files.
Status add_folder(ArchiveBuilder& builder, const std::filesystem::path& folder);
// One snapshot of folder in a new archive of one state.
Result<Bytes> pack_folder(const std::filesystem::path& folder, const PackOptions& options = {});
Status pack_folder_to(const std::filesystem::path& folder, const std::filesystem::path& out,
                      const PackOptions& options = {});

}  // namespace ixo::test
