#include "fixture.h"

#include <fcntl.h>
#include <ixo_cm.h>
#include <lzma.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include "platform/file.h"
#include "util/blake3.h"

namespace ixo::fixture {

std::vector<uint8_t> bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (const int v : values) out.push_back(uint8_t(v));
  return out;
}

std::vector<uint8_t> pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> out(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& b : out) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    b = uint8_t(x >> 7);
  }
  return out;
}

std::vector<uint8_t> text_like(size_t n, uint32_t seed) {
  static const char* words[] = {"block ", "chunk ", "feed ", "plan ", "worker ", "window ", "digest ", "\n"};
  std::vector<uint8_t> out;
  out.reserve(n);
  uint32_t x = seed + 7;
  while (out.size() < n) {
    x = x * 1103515245u + 12345u;
    for (const char* w = words[(x >> 16) % 8]; *w && out.size() < n; ++w) out.push_back(uint8_t(*w));
  }
  return out;
}

std::vector<uint8_t> zstd_encode(std::span<const uint8_t> raw) {
  std::vector<uint8_t> out(ZSTD_compressBound(raw.size()));
  const size_t n = ZSTD_compress(out.data(), out.size(), raw.data(), raw.size(), 3);
  if (ZSTD_isError(n)) throw std::runtime_error("zstd");
  out.resize(n);
  return out;
}

std::vector<uint8_t> xz_encode(std::span<const uint8_t> raw) {
  std::vector<uint8_t> out(lzma_stream_buffer_bound(raw.size()));
  size_t pos = 0;
  if (lzma_easy_buffer_encode(1, LZMA_CHECK_CRC64, nullptr, raw.data(), raw.size(), out.data(), &pos, out.size()) !=
      LZMA_OK)
    throw std::runtime_error("xz");
  out.resize(pos);
  return out;
}

std::vector<uint8_t> cm_stored(std::span<const uint8_t> raw) {
  std::vector<uint8_t> out = {'I', 'X', 'C', 'M', 1, 0, 1, 0};
  const uint64_t n = raw.size();
  for (int i = 0; i < 8; ++i) out.push_back(uint8_t(n >> (8 * i)));
  const uint32_t crc = raw.empty() ? 0 : uint32_t(crc32(0, raw.data(), uInt(raw.size())));
  for (int i = 0; i < 4; ++i) out.push_back(uint8_t(crc >> (8 * i)));
  out.insert(out.end(), raw.begin(), raw.end());
  return out;
}

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "ixo-pipe-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
  path_ = tmpl;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

uint32_t ArchiveBuilder::block(std::vector<uint8_t> raw, uint8_t codec) {
  std::vector<uint8_t> stored;
  switch (codec) {
    case 0: stored = raw; break;
    case 1: stored = zstd_encode(raw); break;
    case 2: stored = xz_encode(raw); break;
    default: stored = cm_stored(raw); break;
  }
  const uint64_t raw_len = raw.size();
  const uint32_t index = stored_block(std::move(stored), raw_len, codec);
  raw_[index] = std::move(raw);
  return index;
}

uint32_t ArchiveBuilder::stored_block(std::vector<uint8_t> stored, uint64_t raw_len, uint8_t codec) {
  format::BlockInfo info;
  info.raw_len = raw_len;
  info.stored_len = stored.size();
  info.codec = codec;
  blocks_.push_back(info);
  stored_.push_back(std::move(stored));
  raw_.emplace_back();
  return uint32_t(blocks_.size() - 1);
}

uint32_t ArchiveBuilder::chunk_with_digest(uint32_t block, uint32_t offset, uint32_t length,
                                           const format::Digest& digest) {
  format::ChunkRef c;
  c.block = block;
  c.offset = offset;
  c.length = length;
  c.digest = digest;
  chunks_.push_back(c);
  return uint32_t(chunks_.size() - 1);
}

uint32_t ArchiveBuilder::chunk(uint32_t block, uint32_t offset, uint32_t length) {
  const std::vector<uint8_t>& r = raw_[block];
  const std::span<const uint8_t> range(r.data() + offset, length);
  return chunk_with_digest(block, offset, length, blake3::hash(range));
}

uint32_t ArchiveBuilder::chunk(uint32_t block, uint32_t offset, uint32_t length, uint8_t recipe, uint32_t base,
                               std::span<const uint8_t> rebuilt) {
  const uint32_t c = chunk_with_digest(block, offset, length, blake3::hash(rebuilt));
  chunks_[c].recipe = recipe;
  chunks_[c].base = base;
  return c;
}

std::vector<uint8_t> ArchiveBuilder::chunk_bytes(uint32_t chunk) const {
  const format::ChunkRef& c = chunks_[chunk];
  const std::vector<uint8_t>& r = raw_[c.block];
  return std::vector<uint8_t>(r.begin() + c.offset, r.begin() + c.offset + c.length);
}

pack::Archive ArchiveBuilder::build(const std::filesystem::path& dir, uint16_t version, uint64_t cut) const {
  const std::filesystem::path file = dir / "blocks.bin";
  std::vector<format::BlockInfo> blocks = blocks_;
  std::vector<uint8_t> data(8, 'H');
  for (size_t i = 0; i < blocks.size(); ++i) {
    blocks[i].position = data.size();
    data.insert(data.end(), stored_[i].begin(), stored_[i].end());
  }
  data.resize(data.size() - std::min<uint64_t>(cut, data.size()));
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  auto opened = platform::File::open_read(file);
  if (!opened) throw std::runtime_error("open");
  format::Index index;
  index.blocks = std::move(blocks);
  index.chunks = chunks_;
  return pack::Archive(std::move(index), std::move(*opened), data.size(), version);
}

Files& Files::regular(std::vector<uint32_t> chunks, std::string path) {
  auto e = std::make_unique<format::FileEntry>();
  e->path = path.empty() ? "f" + std::to_string(entries.size()) : std::move(path);
  e->chunks = std::move(chunks);
  e->kind = format::Regular;
  list.push_back(e.get());
  entries.push_back(std::move(e));
  return *this;
}

Files& Files::other(uint8_t kind, std::string path) {
  auto e = std::make_unique<format::FileEntry>();
  e->path = path.empty() ? "e" + std::to_string(entries.size()) : std::move(path);
  e->kind = kind;
  list.push_back(e.get());
  entries.push_back(std::move(e));
  return *this;
}

}  // namespace ixo::fixture
