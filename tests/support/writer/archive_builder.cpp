// ArchiveBuilder: blocks, chunks, entries and snapshots gathered from a test, written out state by state.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "support/writer/archive_writer.h"
#include "support/writer/le_bytes.h"

namespace ixo::test {

namespace {

[[noreturn]] void misuse(const char* what) {
  std::fprintf(stderr, "archive writer: %s\n", what);
  std::abort();
}

// The rebuilt bytes of stored chunk bytes under a layout: the planes put back together.
Bytes join_planes(uint8_t layout, std::span<const uint8_t> stored) {
  layout &= 3;
  if (layout == 0) return Bytes(stored.begin(), stored.end());
  const size_t width = layout == 3 ? 4 : 2;
  const size_t n = stored.size() / width;
  Bytes out(stored.size());
  if (layout == 1) {
    for (size_t i = 0; i < n; ++i) {
      uint16_t v = static_cast<uint16_t>(((stored[n + i] & 0x80) << 8) | (stored[i] << 7) | (stored[n + i] & 0x7F));
      out[2 * i] = static_cast<uint8_t>(v);
      out[2 * i + 1] = static_cast<uint8_t>(v >> 8);
    }
    return out;
  }
  for (size_t i = 0; i < n; ++i)
    for (size_t k = 0; k < width; ++k) out[i * width + k] = stored[k * n + i];
  return out;
}

bool layout_fits(uint8_t recipe, size_t len) {
  const size_t mask = std::array<size_t, 4>{0, 1, 1, 3}[recipe & 3];
  return (len & mask) == 0;
}

Entry entry_with(std::string path, uint8_t k, const Meta& meta) {
  Entry e;
  e.path = std::move(path);
  e.kind = k;
  e.mode = meta.mode;
  e.mtime = meta.mtime;
  e.mtime_nanos = meta.mtime_nanos;
  return e;
}

}  // namespace

ArchiveBuilder::ArchiveBuilder(ArchiveOptions options) : options_(std::move(options)) {
  le::raw(out_, options_.header_magic);
  le::u16(out_, options_.version);
  le::raw(out_, options_.header_tail);
}

// ---- Blocks ----------------------------------------------------------------------------------------------

Bytes ArchiveBuilder::encode_block(std::span<const uint8_t> raw, Codec codec, int level) const {
  switch (codec) {
    case Codec::Store:
      return Bytes(raw.begin(), raw.end());
    case Codec::Zstd:
      return zstd_frame(raw, level);
    case Codec::Lzma2:
      return xz_stream(raw, static_cast<uint32_t>(std::clamp(level, 0, 9)));
    case Codec::Cm:
      return options_.cm_encoder ? options_.cm_encoder(raw) : cm_stored_stream(raw);
  }
  misuse("unknown codec");
}

uint32_t ArchiveBuilder::write_block(Bytes raw, std::span<const uint8_t> stored, uint8_t codec) {
  BlockRecord record{.codec = codec, .aux = 0, .raw_len = raw.size(), .stored_len = stored.size(),
                     .position = out_.size()};
  le::raw(out_, stored);
  blocks_.push_back(record);
  block_raw_.push_back(options_.retain_blocks ? std::optional<Bytes>(std::move(raw)) : std::nullopt);
  return static_cast<uint32_t>(blocks_.size() - 1);
}

uint32_t ArchiveBuilder::add_block(std::span<const uint8_t> raw) { return add_block(raw, options_.codec); }

uint32_t ArchiveBuilder::add_block(std::span<const uint8_t> raw, Codec codec, std::optional<int> level) {
  close_block();
  Bytes stored = encode_block(raw, codec, level.value_or(options_.level));
  return write_block(Bytes(raw.begin(), raw.end()), stored, static_cast<uint8_t>(codec));
}

uint32_t ArchiveBuilder::add_encoded_block(Codec codec, std::span<const uint8_t> raw,
                                           std::span<const uint8_t> stored) {
  close_block();
  return write_block(Bytes(raw.begin(), raw.end()), stored, static_cast<uint8_t>(codec));
}

uint32_t ArchiveBuilder::add_raw_block(std::span<const uint8_t> stored, const BlockRecord& record) {
  close_block();
  le::raw(out_, stored);
  blocks_.push_back(record);
  block_raw_.push_back(std::nullopt);
  return static_cast<uint32_t>(blocks_.size() - 1);
}

uint64_t ArchiveBuilder::data_end() const { return out_.size(); }

BlockRecord& ArchiveBuilder::block(uint32_t index) {
  if (index >= blocks_.size()) misuse("no such block (an open block is written by close_block)");
  return blocks_[index];
}

const Bytes* ArchiveBuilder::block_data(uint32_t block) const {
  if (block < block_raw_.size()) return block_raw_[block] ? &*block_raw_[block] : nullptr;
  if (block == blocks_.size() && has_open_) return &open_raw_;
  return nullptr;
}

// ---- The open block --------------------------------------------------------------------------------------

uint32_t ArchiveBuilder::append_to_open(std::span<const uint8_t> stored, ChunkRecord record) {
  if (has_open_ && open_raw_.size() + stored.size() > options_.block_size) close_block();
  has_open_ = true;
  record.block = static_cast<uint32_t>(blocks_.size());
  record.offset = static_cast<uint32_t>(open_raw_.size());
  record.length = static_cast<uint32_t>(stored.size());
  le::raw(open_raw_, stored);
  chunks_.push_back(record);
  uint32_t index = static_cast<uint32_t>(chunks_.size() - 1);
  if (open_raw_.size() >= options_.block_size) close_block();
  return index;
}

std::vector<uint32_t> ArchiveBuilder::put(std::span<const uint8_t> content) {
  std::vector<uint32_t> out;
  const size_t step = std::max<uint32_t>(options_.chunk_size, 1);
  for (size_t at = 0; at < content.size(); at += step) {
    auto piece = content.subspan(at, std::min(step, content.size() - at));
    Digest d = digest_of(piece);
    if (options_.dedup) {
      auto it = dedup_.find(d);
      if (it != dedup_.end()) {
        out.push_back(it->second);
        continue;
      }
    }
    uint32_t index = append_to_open(piece, ChunkRecord{.digest = d});
    if (options_.dedup) dedup_.emplace(d, index);
    out.push_back(index);
  }
  return out;
}

uint32_t ArchiveBuilder::put_chunk(std::span<const uint8_t> rebuilt, uint8_t recipe, uint32_t base) {
  if (!layout_fits(recipe, rebuilt.size())) misuse("chunk length does not fit its layout");
  Bytes planes(rebuilt.begin(), rebuilt.end());
  if (recipe & recipe::Delta) {
    Bytes b = rebuilt_chunk(base);
    for (size_t i = 0; i < std::min(b.size(), planes.size()); ++i) planes[i] ^= b[i];
  }
  Bytes stored = split_planes(recipe & 3, planes);
  return append_to_open(stored, ChunkRecord{.digest = digest_of(rebuilt), .recipe = recipe,
                                            .base = (recipe & recipe::Delta) ? base : 0});
}

void ArchiveBuilder::close_block() {
  if (!has_open_) return;
  has_open_ = false;
  Bytes raw = std::move(open_raw_);
  open_raw_.clear();
  Bytes stored = encode_block(raw, options_.codec, options_.level);
  write_block(std::move(raw), stored, static_cast<uint8_t>(options_.codec));
}

// ---- Chunks ----------------------------------------------------------------------------------------------

std::optional<Bytes> ArchiveBuilder::try_rebuild(const ChunkRecord& c) const {
  const Bytes* data = block_data(c.block);
  if (!data || uint64_t{c.offset} + c.length > data->size() || !layout_fits(c.recipe, c.length))
    return std::nullopt;
  Bytes out = join_planes(c.recipe & 3, std::span(*data).subspan(c.offset, c.length));
  if (c.recipe & recipe::Delta) {
    if (c.base >= chunks_.size() || &chunks_[c.base] == &c || (chunks_[c.base].recipe & recipe::Delta))
      return std::nullopt;
    std::optional<Bytes> base = try_rebuild(chunks_[c.base]);
    if (!base) return std::nullopt;
    for (size_t i = 0; i < std::min(base->size(), out.size()); ++i) out[i] ^= (*base)[i];
  }
  return out;
}

uint32_t ArchiveBuilder::add_chunk(uint32_t block, uint32_t offset, uint32_t length, uint8_t recipe,
                                   uint32_t base) {
  ChunkRecord c{.block = block, .offset = offset, .length = length, .recipe = recipe, .base = base};
  // A chunk that cannot be rebuilt (a test of a bad record) keeps an all-zero digest.
  if (std::optional<Bytes> rebuilt = try_rebuild(c)) c.digest = digest_of(*rebuilt);
  chunks_.push_back(c);
  return static_cast<uint32_t>(chunks_.size() - 1);
}

uint32_t ArchiveBuilder::add_chunk_record(const ChunkRecord& record) {
  chunks_.push_back(record);
  return static_cast<uint32_t>(chunks_.size() - 1);
}

ChunkRecord& ArchiveBuilder::chunk(uint32_t index) {
  if (index >= chunks_.size()) misuse("no such chunk");
  return chunks_[index];
}

Bytes ArchiveBuilder::rebuilt_chunk(uint32_t index) const {
  if (index >= chunks_.size()) misuse("no such chunk");
  std::optional<Bytes> out = try_rebuild(chunks_[index]);
  if (!out) misuse("chunk cannot be rebuilt (block not retained, or the record is invalid)");
  return *out;
}

// ---- Entries ---------------------------------------------------------------------------------------------

Entry ArchiveBuilder::file(std::string path, std::span<const uint8_t> content, const Meta& meta) {
  Entry e = entry_with(std::move(path), kind::Regular, meta);
  e.size = content.size();
  e.stored_len = content.size();
  e.digest = digest_of(content);
  e.chunks = put(content);
  return e;
}

Entry ArchiveBuilder::transformed(std::string path, uint8_t transform, std::span<const uint8_t> stored,
                                  uint64_t size, const Digest& digest, const Meta& meta) {
  Entry e = entry_with(std::move(path), kind::Regular, meta);
  e.size = size;
  e.stored_len = stored.size();
  e.digest = digest;
  e.transform = transform;
  e.chunks = put(stored);
  return e;
}

Entry ArchiveBuilder::file_of_chunks(std::string path, std::vector<uint32_t> chunks, const Meta& meta) {
  Bytes content;
  for (uint32_t c : chunks) le::raw(content, rebuilt_chunk(c));
  Entry e = entry_with(std::move(path), kind::Regular, meta);
  e.size = content.size();
  e.stored_len = content.size();
  e.digest = digest_of(content);
  e.chunks = std::move(chunks);
  return e;
}

Entry ArchiveBuilder::dir(std::string path, const Meta& meta) {
  Entry e = entry_with(std::move(path), kind::Directory, meta);
  e.digest = empty_digest();
  return e;
}

Entry ArchiveBuilder::symlink(std::string path, std::string target, const Meta& meta) {
  Entry e = entry_with(std::move(path), kind::Symlink, meta);
  e.digest = empty_digest();
  e.link_target = std::move(target);
  return e;
}

Entry ArchiveBuilder::hardlink(std::string path, std::string target, const Meta& meta) {
  Entry e = entry_with(std::move(path), kind::HardLink, meta);
  e.digest = empty_digest();
  e.link_target = std::move(target);
  return e;
}

void ArchiveBuilder::add(Entry entry) { pending_.push_back(std::move(entry)); }

void ArchiveBuilder::add_file(std::string path, std::span<const uint8_t> content, const Meta& meta) {
  add(file(std::move(path), content, meta));
}

void ArchiveBuilder::add_file(std::string path, std::string_view content, const Meta& meta) {
  Bytes b = bytes_of(content);
  add(file(std::move(path), b, meta));
}

std::vector<Entry> ArchiveBuilder::take_pending() { return std::exchange(pending_, {}); }

// ---- Snapshots -------------------------------------------------------------------------------------------

void ArchiveBuilder::snapshot(int64_t time) {
  snapshots_.push_back(SnapshotSpec{.time = time, .entries = take_pending()});
}

void ArchiveBuilder::snapshot_edits(int64_t time, std::vector<EditSpec> edits) {
  snapshots_.push_back(SnapshotSpec{.time = time, .edits = std::move(edits)});
}

void ArchiveBuilder::add_snapshot(SnapshotSpec snapshot) { snapshots_.push_back(std::move(snapshot)); }

std::vector<const Entry*> ArchiveBuilder::list_of(size_t n) const {
  if (n >= snapshots_.size()) misuse("no such snapshot");
  std::vector<const Entry*> list;
  for (size_t i = 0; i <= n; ++i) {
    const SnapshotSpec& s = snapshots_[i];
    std::vector<const Entry*> next;
    if (!s.edits) {
      for (const Entry& e : s.entries) next.push_back(&e);
    } else {
      for (const EditSpec& e : *s.edits) {
        if (e.tag == 1) {
          for (const Entry& x : e.entries) next.push_back(&x);
        } else if (e.tag == 0) {
          for (uint64_t p = e.start; p < uint64_t{e.start} + e.count && p < list.size(); ++p)
            next.push_back(list[p]);
        }
      }
    }
    list = std::move(next);
  }
  return list;
}

std::vector<Entry> ArchiveBuilder::snapshot_list(size_t n) const {
  std::vector<Entry> out;
  for (const Entry* e : list_of(n)) out.push_back(*e);
  return out;
}

// ---- States ----------------------------------------------------------------------------------------------

uint16_t ArchiveBuilder::segment_version(const StateOptions& options) const {
  if (options.segment_version) return *options.segment_version;
  if (options_.segment_version) return *options_.segment_version;
  return default_segment_version(options_.version);
}

const StateLayout& ArchiveBuilder::commit(const StateOptions& options) {
  close_block();
  StateLayout st;
  st.begin = states_.empty() ? HEADER_LEN : states_.back().end;
  st.segment_version = segment_version(options);
  const uint16_t v = st.segment_version;

  size_t from_blocks = 0, from_chunks = 0, from_snapshots = 0;
  if (options.form == IndexForm::Chained) {
    if (states_.empty()) misuse("a chained index needs an earlier state");
    size_t base = options.base_state.value_or(states_.size() - 1);
    if (base >= states_.size()) misuse("no such base state");
    const StateLayout& b = states_[base];
    st.chained = true;
    st.base = base;
    st.depth = b.depth + 1;
    st.data_start = b.end;
    from_blocks = b.blocks;
    from_chunks = b.chunks;
    from_snapshots = b.snapshots;
  } else {
    st.data_start = HEADER_LEN;
  }

  IndexSpec layout;
  layout.version = v;
  layout.blocks.assign(blocks_.begin() + from_blocks, blocks_.end());
  layout.chunks.assign(chunks_.begin() + from_chunks, chunks_.end());
  bool any_edits = false;
  for (size_t i = from_snapshots; i < snapshots_.size(); ++i) any_edits |= snapshots_[i].edits.has_value();
  uint64_t features = 0;
  if (v >= 7) {
    features = FEATURE_ENTRY_METADATA | (any_edits ? FEATURE_SNAPSHOT_EDITS : 0) |
               (st.chained ? FEATURE_CHAINED_INDEXES : 0);
  }
  features = options.features.value_or(features) | options.extra_features;
  layout.features = features;
  st.features = v >= 7 ? features : 0;
  for (size_t i = from_snapshots; i < snapshots_.size(); ++i) {
    SnapshotSpec s = snapshots_[i];
    // Without stored edits a snapshot is written as its whole entry list.
    if (s.edits && !(st.features & FEATURE_SNAPSHOT_EDITS)) {
      s.entries = snapshot_list(i);
      s.edits.reset();
    }
    layout.snapshots.push_back(std::move(s));
  }
  if (st.chained) {
    const StateLayout& b = states_[*st.base];
    ChainLinkRecord link{.base_end = b.end, .base_blocks = b.blocks, .base_chunks = b.chunks,
                         .base_snapshots = b.snapshots, .depth = st.depth};
    const ChainLinkOverride& o = options.link;
    link.base_end = o.base_end.value_or(link.base_end);
    link.base_blocks = o.base_blocks.value_or(link.base_blocks);
    link.base_chunks = o.base_chunks.value_or(link.base_chunks);
    link.base_snapshots = o.base_snapshots.value_or(link.base_snapshots);
    link.depth = o.depth.value_or(link.depth);
    layout.link = link;
  }
  if (options.edit_spec) options.edit_spec(layout);

  Bytes index = encode_index(layout, &st.map);
  if (options.patch_index) options.patch_index(index, st.map);
  if (options.raw_index) index = *options.raw_index;

  le::raw(out_, options.gap);
  st.index_offset = out_.size();
  Bytes stored = options.raw_stored ? *options.raw_stored : zstd_frame(index);
  le::raw(out_, stored);
  st.stored_len = stored.size();
  st.raw_len = index.size();

  FooterRecord footer{.index_offset = st.index_offset, .stored_len = stored.size(), .raw_len = index.size(),
                      .magic = footer_magic(v)};
  Digest d = digest_of(stored);
  std::copy_n(d.begin(), 16, footer.digest.begin());
  const FooterOverride& fo = options.footer;
  footer.index_offset = fo.index_offset.value_or(footer.index_offset);
  footer.stored_len = fo.stored_len.value_or(footer.stored_len);
  footer.raw_len = fo.raw_len.value_or(footer.raw_len);
  footer.digest = fo.digest.value_or(footer.digest);
  footer.magic = fo.magic.value_or(footer.magic);
  st.footer_offset = out_.size();
  le::raw(out_, encode_footer(footer));
  st.end = out_.size();

  st.blocks = static_cast<uint32_t>(blocks_.size());
  st.chunks = static_cast<uint32_t>(chunks_.size());
  st.snapshots = static_cast<uint32_t>(snapshots_.size());
  st.index = std::move(index);
  states_.push_back(std::move(st));
  return states_.back();
}

const StateLayout& ArchiveBuilder::state(size_t index) const {
  if (index >= states_.size()) misuse("no such state");
  return states_[index];
}

// ---- Damage ----------------------------------------------------------------------------------------------

void ArchiveBuilder::truncate(uint64_t len) {
  if (len < out_.size()) out_.resize(len);
}

void ArchiveBuilder::flip(uint64_t offset, uint8_t mask) {
  if (offset >= out_.size()) misuse("flip past the end of the archive");
  out_[offset] ^= mask;
}

void ArchiveBuilder::append(std::span<const uint8_t> data) { le::raw(out_, data); }

void ArchiveBuilder::set_header_magic(const Magic& magic) { std::copy(magic.begin(), magic.end(), out_.begin()); }

void ArchiveBuilder::set_header_version(uint16_t version) {
  out_[4] = static_cast<uint8_t>(version);
  out_[5] = static_cast<uint8_t>(version >> 8);
}

void ArchiveBuilder::put_u32_at(uint64_t offset, uint32_t value) {
  if (offset + 4 > out_.size()) misuse("write past the end of the archive");
  for (int i = 0; i < 4; ++i) out_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void ArchiveBuilder::put_u64_at(uint64_t offset, uint64_t value) {
  if (offset + 8 > out_.size()) misuse("write past the end of the archive");
  for (int i = 0; i < 8; ++i) out_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

Status ArchiveBuilder::save(const std::filesystem::path& path) const { return write_file(path, out_); }

Status write_file(const std::filesystem::path& path, std::span<const uint8_t> data) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return fail(Error::os(errno));
  size_t n = data.empty() ? 0 : std::fwrite(data.data(), 1, data.size(), f);
  int err = n == data.size() ? 0 : (errno != 0 ? errno : EIO);
  if (std::fclose(f) != 0 && err == 0) err = errno;
  if (err != 0) return fail(Error::os(err));
  return {};
}

}  // namespace ixo::test
