// A set of names looked up by hash, for what a pass asks of one folder's
// names entry by entry (the sweep's source listing, the folder the mirror
// made last) and of the paths of the batch of waiting copies. The names lie one
// after another in one string and a flat table (open addressing, at most half
// full) points at them: filling and emptying it allocates nothing once its
// buffers have grown, where a node set would allocate and free a node, and
// often a string, for every name.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace fernwise::linux_os {

class NameTable {
 public:
  static constexpr size_t kNone = SIZE_MAX;

  size_t size() const { return names_.size(); }
  bool empty() const { return names_.empty(); }

  /// The index `name` was added at, or kNone.
  size_t Find(std::string_view name) const {
    if (names_.empty()) return kNone;
    const size_t slot = Look(name, Hash(name));
    return slots_[slot] == 0 ? kNone : slots_[slot] - 1;
  }

  /// The index of `name`, added first where the table does not hold it
  /// (its index is then the count of names added before it).
  size_t Add(std::string_view name) {
    if ((names_.size() + 1) * 2 > slots_.size()) Grow();
    const size_t hash = Hash(name);
    uint32_t& slot = slots_[Look(name, hash)];
    if (slot != 0) return slot - 1;
    names_.push_back({hash, static_cast<uint32_t>(text_.size()),
                      static_cast<uint32_t>(name.size())});
    text_ += name;
    slot = static_cast<uint32_t>(names_.size());
    return names_.size() - 1;
  }

  /// Empties the table, and shrinks it to what the names it held needed:
  /// after one wide folder, each small one clears a few slots, not all.
  void Clear() {
    slots_.assign(std::bit_ceil(std::max<size_t>(16, names_.size() * 2)), 0);
    text_.clear();
    names_.clear();
  }

 private:
  struct Name {
    size_t hash;
    uint32_t offset;
    uint32_t size;
  };

  static size_t Hash(std::string_view name) {
    return std::hash<std::string_view>{}(name);
  }

  // The slot that points at `name`, or the free one where it would go.
  size_t Look(std::string_view name, size_t hash) const {
    const size_t mask = slots_.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
      if (slots_[i] == 0) return i;
      const Name& held = names_[slots_[i] - 1];
      if (held.hash == hash &&
          std::string_view(text_).substr(held.offset, held.size) == name)
        return i;
    }
  }

  void Grow() {
    slots_.assign(std::max<size_t>(16, slots_.size() * 2), 0);
    const size_t mask = slots_.size() - 1;
    for (size_t n = 0; n < names_.size(); ++n) {
      size_t i = names_[n].hash & mask;
      while (slots_[i] != 0) i = (i + 1) & mask;
      slots_[i] = static_cast<uint32_t>(n + 1);
    }
  }

  std::string text_;
  std::vector<Name> names_;
  std::vector<uint32_t> slots_;  // 1 + an index into names_, or 0: free
};

}  // namespace fernwise::linux_os
