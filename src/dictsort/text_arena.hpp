// Stable storage for many short texts that live exactly as long as one sort.
#pragma once

#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

namespace vesk::dictsort {

// Copies texts into large blocks instead of one heap allocation per text.
// A stored text is a handle (a pointer to its length followed by its bytes)
// that stays valid until the arena is destroyed; moving the arena keeps it
// valid too.
class TextArena {
 public:
  using Handle = const char*;

  Handle store(std::string_view text) {
    const std::size_t need = sizeof(std::size_t) + text.size();
    if (need > room_) {
      if (need > kBlockSize / 4) {
        // Long texts get a block of their own, so they never waste the rest of
        // a shared block.
        return fill(allocate(need), text);
      }
      cursor_ = allocate(kBlockSize);
      room_ = kBlockSize;
    }
    char* record = cursor_;
    cursor_ += need;
    room_ -= need;
    return fill(record, text);
  }

  static std::string_view load(Handle handle) noexcept {
    std::size_t size;
    std::memcpy(&size, handle, sizeof size);
    return {handle + sizeof size, size};
  }

 private:
  static constexpr std::size_t kBlockSize = 64 * 1024;

  char* allocate(std::size_t size) {
    blocks_.push_back(std::make_unique_for_overwrite<char[]>(size));
    return blocks_.back().get();
  }

  static Handle fill(char* record, std::string_view text) noexcept {
    const std::size_t size = text.size();
    std::memcpy(record, &size, sizeof size);
    if (size != 0) std::memcpy(record + sizeof size, text.data(), size);
    return record;
  }

  std::vector<std::unique_ptr<char[]>> blocks_;
  char* cursor_ = nullptr;
  std::size_t room_ = 0;
};

}  // namespace vesk::dictsort
