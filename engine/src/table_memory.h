// Owned, page-backed arrays for the model's tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace ixo::cm {

// Maps zeroed anonymous memory; throws std::bad_alloc when the size overflows or the
// mapping fails. Large regions are offered to transparent huge pages, which matters for
// tables that are read at random once per nibble.
void* map_zeroed(size_t bytes);
void unmap(void* p, size_t bytes) noexcept;

template <class T>
class Table {
 public:
  Table() = default;
  Table(size_t count, T init) {
    if (count == 0) return;
    if (count > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    data_ = static_cast<T*>(map_zeroed(count * sizeof(T)));
    count_ = count;
    if (init != T{})
      for (size_t i = 0; i < count; ++i) data_[i] = init;
  }
  Table(const Table&) = delete;
  Table& operator=(const Table&) = delete;
  Table(Table&& o) noexcept : data_(std::exchange(o.data_, nullptr)), count_(std::exchange(o.count_, 0)) {}
  Table& operator=(Table&& o) noexcept {
    if (this != &o) {
      release();
      data_ = std::exchange(o.data_, nullptr);
      count_ = std::exchange(o.count_, 0);
    }
    return *this;
  }
  ~Table() { release(); }

  T* data() { return data_; }
  const T* data() const { return data_; }
  size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }

 private:
  void release() noexcept {
    if (data_ != nullptr) unmap(data_, count_ * sizeof(T));
    data_ = nullptr;
    count_ = 0;
  }

  T* data_ = nullptr;
  size_t count_ = 0;
};

}  // namespace ixo::cm
