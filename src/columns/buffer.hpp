// A growable byte buffer on malloc/realloc, whose memory an exported Arrow
// array can own and free.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace vesk::columns {

// Move-only. Grows geometrically; large blocks are moved by the C library's
// realloc without copying their pages, and pages never written are never
// made resident. Throws std::bad_alloc.
class Buffer {
 public:
  Buffer() noexcept = default;
  explicit Buffer(std::size_t capacity) { reserve(capacity); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  Buffer& operator=(Buffer&& other) noexcept {
    Buffer moved(std::move(other));
    std::swap(data_, moved.data_);
    std::swap(size_, moved.size_);
    std::swap(capacity_, moved.capacity_);
    return *this;
  }
  ~Buffer() { std::free(data_); }

  // A buffer of `count` zero bytes.
  static Buffer zeroed(std::size_t count) {
    Buffer buffer;
    if (count == 0) return buffer;
    buffer.data_ = static_cast<char*>(std::calloc(count, 1));
    if (buffer.data_ == nullptr) throw std::bad_alloc();
    buffer.size_ = buffer.capacity_ = count;
    return buffer;
  }
  // A buffer of `count` bytes whose contents the caller writes.
  static Buffer sized(std::size_t count) {
    Buffer buffer(count);
    buffer.size_ = count;
    return buffer;
  }

  void reserve(std::size_t capacity) {
    if (capacity <= capacity_) return;
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
  }
  // Room for `more` bytes past the end; gives where they go.
  char* room(std::size_t more) {
    if (capacity_ - size_ < more) {
      std::size_t wanted = capacity_ + capacity_ / 2;
      if (wanted < size_ + more) wanted = size_ + more;
      if (wanted < 256) wanted = 256;
      reserve(wanted);
    }
    return data_ + size_;
  }
  void commit(std::size_t written) noexcept { size_ += written; }
  // Keeps the first `size` bytes (no more than there are).
  void truncate(std::size_t size) noexcept {
    if (size < size_) size_ = size;
  }
  void append(const char* bytes, std::size_t count) {
    if (count == 0) return;
    std::memcpy(room(count), bytes, count);
    size_ += count;
  }
  // Gives unused capacity back (a large block shrinks in place).
  void shrink() {
    if (size_ == capacity_ || data_ == nullptr) return;
    if (size_ == 0) {
      std::free(std::exchange(data_, nullptr));
      capacity_ = 0;
      return;
    }
    if (void* shrunk = std::realloc(data_, size_); shrunk != nullptr) {
      data_ = static_cast<char*>(shrunk);
      capacity_ = size_;
    }
  }

  [[nodiscard]] char* data() noexcept { return data_; }
  [[nodiscard]] const char* data() const noexcept { return data_; }
  [[nodiscard]] std::size_t size() const noexcept { return size_; }
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }
  template <class T>
  [[nodiscard]] T* as() noexcept {
    return reinterpret_cast<T*>(data_);
  }
  template <class T>
  [[nodiscard]] const T* as() const noexcept {
    return reinterpret_cast<const T*>(data_);
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace vesk::columns
