// Chunked copy-on-write sequence: elements live in fixed-size chunks held under shared
// ownership, so a clone copies only the chunk handles and a write copies only the chunks it
// touches.
#pragma once

#include <algorithm>
#include <atomic>
#include <concepts>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <ostream>
#include <ranges>
#include <span>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "vessik_exchange/assert.hpp"

namespace vessik_exchange {

/// Elements per chunk; every chunk but the last is full.
inline constexpr std::size_t CHUNK_SIZE = 128;

/// A contiguous view of part of a `Chunked`: shares the one chunk it lies in, or owns a copy
/// when the part crosses a chunk boundary. It stays valid after the sequence is edited or
/// destroyed, because a shared chunk is copied before anyone writes to it.
template <typename T>
class ChunkedSlice {
 public:
  /// An empty view.
  ChunkedSlice() = default;
  /// A view of `view`, which lies inside the chunk `keep`.
  ChunkedSlice(std::shared_ptr<const std::vector<T>> keep, std::span<const T> view)
      : keep_(std::move(keep)), view_(view) {}
  /// A view owning `values`.
  explicit ChunkedSlice(std::vector<T> values)
      : owned_(std::move(values)), is_owned_(true), view_(owned_) {}

  ChunkedSlice(const ChunkedSlice& other)
      : keep_(other.keep_),
        owned_(other.owned_),
        is_owned_(other.is_owned_),
        view_(is_owned_ ? std::span<const T>(owned_) : other.view_) {}
  ChunkedSlice(ChunkedSlice&& other) noexcept
      : keep_(std::move(other.keep_)),
        owned_(std::move(other.owned_)),
        is_owned_(other.is_owned_),
        view_(is_owned_ ? std::span<const T>(owned_) : other.view_) {}
  ChunkedSlice& operator=(ChunkedSlice other) noexcept {
    keep_ = std::move(other.keep_);
    owned_ = std::move(other.owned_);
    is_owned_ = other.is_owned_;
    view_ = is_owned_ ? std::span<const T>(owned_) : other.view_;
    return *this;
  }
  ~ChunkedSlice() = default;

  /// True when the view shares a chunk instead of owning a copy.
  [[nodiscard]] bool is_borrowed() const { return !is_owned_; }
  /// The elements as a span, valid as long as this view.
  [[nodiscard]] std::span<const T> span() const { return view_; }
  /// Number of elements.
  [[nodiscard]] std::size_t size() const { return view_.size(); }
  /// True when the view holds no element.
  [[nodiscard]] bool empty() const { return view_.empty(); }
  /// Element `index`; out of range stops the program.
  [[nodiscard]] const T& operator[](std::size_t index) const {
    VX_ASSERT(index < view_.size());
    return view_[index];
  }
  /// First element.
  [[nodiscard]] auto begin() const { return view_.begin(); }
  /// Past the last element.
  [[nodiscard]] auto end() const { return view_.end(); }
  /// The elements as an owned vector.
  [[nodiscard]] std::vector<T> to_vec() const { return {view_.begin(), view_.end()}; }

 private:
  std::shared_ptr<const std::vector<T>> keep_;
  std::vector<T> owned_;
  bool is_owned_ = false;
  std::span<const T> view_;
};

/// Ordered sequence of copyable values stored in chunks of `CHUNK_SIZE`, each shared between
/// clones until one of them writes to it.
template <typename T>
class Chunked {
  using Chunk = std::vector<T>;
  using Handle = std::shared_ptr<Chunk>;

 public:
  /// Forward iterator over the elements, chunk by chunk.
  class const_iterator {
   public:
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using reference = const T&;
    using pointer = const T*;
    using iterator_category = std::forward_iterator_tag;

    const_iterator() = default;

    reference operator*() const { return (**chunk_)[offset_]; }
    pointer operator->() const { return &**this; }
    const_iterator& operator++() {
      // Every chunk but the last is full, so positions stay (index / 128, index % 128).
      if (++offset_ == CHUNK_SIZE) {
        ++chunk_;
        offset_ = 0;
      }
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator previous = *this;
      ++*this;
      return previous;
    }
    bool operator==(const const_iterator&) const = default;

   private:
    friend class Chunked;
    const_iterator(const Handle* chunk, std::size_t offset) : chunk_(chunk), offset_(offset) {}

    const Handle* chunk_ = nullptr;
    std::size_t offset_ = 0;
  };
  using iterator = const_iterator;
  using value_type = T;

  /// An empty sequence: no chunks.
  Chunked() = default;
  /// The elements of `values`, in order.
  Chunked(std::initializer_list<T> values) { extend(values); }

  /// Number of elements.
  [[nodiscard]] std::size_t len() const { return len_; }
  /// Number of elements.
  [[nodiscard]] std::size_t size() const { return len_; }
  /// True when the sequence holds no element.
  [[nodiscard]] bool empty() const { return len_ == 0; }

  /// Pointer to element `index`, or null when `index >= len()`. Valid until the next edit.
  [[nodiscard]] const T* get(std::size_t index) const {
    if (index >= len_) return nullptr;
    return &(*chunks_[index >> 7])[index & (CHUNK_SIZE - 1)];
  }
  /// Pointer to the last element, or null when empty.
  [[nodiscard]] const T* last() const { return get(len_ - 1); }
  /// Element `index`; out of range stops the program.
  [[nodiscard]] const T& operator[](std::size_t index) const {
    VX_ASSERT(index < len_);
    return (*chunks_[index >> 7])[index & (CHUNK_SIZE - 1)];
  }

  /// First element.
  [[nodiscard]] const_iterator begin() const { return at(0); }
  /// Past the last element.
  [[nodiscard]] const_iterator end() const { return at(len_); }
  /// Elements `start` to `end - 1`; `start <= end <= len()` or the program stops.
  [[nodiscard]] std::ranges::subrange<const_iterator> range(std::size_t start,
                                                            std::size_t end) const {
    check_range(start, end);
    return {at(start), at(end)};
  }

  /// Elements `start` to `end - 1`, shared when inside one chunk, else copied.
  [[nodiscard]] ChunkedSlice<T> slice(std::size_t start, std::size_t end) const {
    check_range(start, end);
    if (start == end) return {};
    const std::size_t chunk = start >> 7;
    if (chunk == (end - 1) >> 7) {
      const Handle& handle = chunks_[chunk];
      return {handle, std::span<const T>(*handle).subspan(start & (CHUNK_SIZE - 1), end - start)};
    }
    const auto part = range(start, end);
    return ChunkedSlice<T>(std::vector<T>(part.begin(), part.end()));
  }

  /// First position whose element fails `predicate`; the elements that pass must come first.
  template <typename Predicate>
  [[nodiscard]] std::size_t partition_point(Predicate&& predicate) const {
    std::size_t lo = 0;
    std::size_t hi = len_;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (predicate((*this)[mid]))
        lo = mid + 1;
      else
        hi = mid;
    }
    return lo;
  }

  /// Appends `value`, copying at most the last chunk.
  void push(T value) {
    if (len_ % CHUNK_SIZE == 0) chunks_.push_back(new_chunk());
    make_unique(chunks_.size() - 1).push_back(std::move(value));
    ++len_;
  }

  /// Inserts `value` before position `index` (`index == len()` appends); earlier chunks stay
  /// shared.
  void insert(std::size_t index, T value) {
    VX_ASSERT(index <= len_);
    if (index == len_) {
      push(std::move(value));
      return;
    }
    std::size_t chunk = index >> 7;
    std::size_t position = index & (CHUNK_SIZE - 1);
    for (;;) {
      if (chunk == chunks_.size()) chunks_.push_back(new_chunk());
      Chunk& target = make_unique(chunk);
      if (target.size() < CHUNK_SIZE) {
        target.insert(target.begin() + static_cast<std::ptrdiff_t>(position), std::move(value));
        break;
      }
      // A full chunk passes its last element on to the next one.
      T carried = std::move(target.back());
      target.pop_back();
      target.insert(target.begin() + static_cast<std::ptrdiff_t>(position), std::move(value));
      value = std::move(carried);
      ++chunk;
      position = 0;
    }
    ++len_;
  }

  /// Deletes element `index`; earlier chunks stay shared.
  void remove(std::size_t index) {
    VX_ASSERT(index < len_);
    const std::size_t first = index >> 7;
    Chunk& target = make_unique(first);
    target.erase(target.begin() + static_cast<std::ptrdiff_t>(index & (CHUNK_SIZE - 1)));
    for (std::size_t chunk = first + 1; chunk < chunks_.size(); ++chunk) {
      Chunk& next = make_unique(chunk);
      T moved = std::move(next.front());
      next.erase(next.begin());
      chunks_[chunk - 1]->push_back(std::move(moved));
    }
    --len_;
    if (len_ % CHUNK_SIZE == 0) chunks_.pop_back();
  }

  /// Keeps the first `new_len` elements; only the new last chunk is copied.
  void truncate(std::size_t new_len) {
    VX_ASSERT(new_len <= len_);
    if (new_len == len_) return;
    const std::size_t kept = (new_len + CHUNK_SIZE - 1) / CHUNK_SIZE;
    chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(kept), chunks_.end());
    if (new_len % CHUNK_SIZE != 0) {
      Chunk& tail = make_unique(kept - 1);
      tail.erase(tail.begin() + static_cast<std::ptrdiff_t>(new_len & (CHUNK_SIZE - 1)),
                 tail.end());
    }
    len_ = new_len;
  }

  /// All elements, in order, as an owned vector.
  [[nodiscard]] std::vector<T> to_vec() const {
    std::vector<T> out;
    out.reserve(len_);
    for (const Handle& chunk : chunks_) out.insert(out.end(), chunk->begin(), chunk->end());
    return out;
  }

  /// Appends every element of `values`, in order.
  template <std::ranges::input_range R>
  void extend(R&& values) {
    for (auto&& value : values) push(static_cast<T>(value));
  }

  /// Number of chunks (for tests of the sharing).
  [[nodiscard]] std::size_t chunk_count() const { return chunks_.size(); }
  /// The elements of chunk `index` (for tests of the sharing: its address identifies it).
  [[nodiscard]] std::span<const T> chunk(std::size_t index) const {
    VX_ASSERT(index < chunks_.size());
    return *chunks_[index];
  }
  /// Number of holders of chunk `index` (for tests of the sharing).
  [[nodiscard]] long chunk_use_count(std::size_t index) const {
    VX_ASSERT(index < chunks_.size());
    return chunks_[index].use_count();
  }

  /// Equal lengths and equal elements in order; chunk boundaries and sharing do not matter.
  friend bool operator==(const Chunked& left,
                         const Chunked& right) requires std::equality_comparable<T> {
    if (left.len_ != right.len_) return false;
    // Equal lengths give equal chunk layouts, so chunks compare pairwise.
    for (std::size_t i = 0; i < left.chunks_.size(); ++i) {
      if (left.chunks_[i] != right.chunks_[i] && *left.chunks_[i] != *right.chunks_[i])
        return false;
    }
    return true;
  }

  /// Debug rendering: `Chunked { chunks: [[0, 1], [2]], len: 3 }`.
  friend std::ostream& operator<<(std::ostream& out, const Chunked& sequence) requires
      requires(std::ostream& o, const T& v) {
    o << v;
  }
  {
    out << "Chunked { chunks: [";
    for (std::size_t c = 0; c < sequence.chunks_.size(); ++c) {
      out << (c == 0 ? "[" : ", [");
      const Chunk& chunk = *sequence.chunks_[c];
      for (std::size_t i = 0; i < chunk.size(); ++i) {
        if (i != 0) out << ", ";
        out << chunk[i];
      }
      out << ']';
    }
    return out << "], len: " << sequence.len_ << " }";
  }

 private:
  const_iterator at(std::size_t position) const {
    return const_iterator(chunks_.data() + (position >> 7), position & (CHUNK_SIZE - 1));
  }

  void check_range(std::size_t start, std::size_t end) const {
    VX_ASSERT(start <= end);
    VX_ASSERT(end <= len_);
  }

  static Handle new_chunk() {
    auto chunk = std::make_shared<Chunk>();
    chunk->reserve(CHUNK_SIZE);
    return chunk;
  }

  // Copies chunk `index` first when another holder shares it.
  Chunk& make_unique(std::size_t index) {
    Handle& handle = chunks_[index];
    if (handle.use_count() == 1) {
      // Pairs with the release of the last other holder, whose reads must precede our writes.
      std::atomic_thread_fence(std::memory_order_acquire);
      return *handle;
    }
    Handle copy = new_chunk();
    copy->assign(handle->begin(), handle->end());
    handle = std::move(copy);
    return *handle;
  }

  std::vector<Handle> chunks_;
  std::size_t len_ = 0;
};

/// Debug rendering of a sequence whose elements print with `<<`.
template <typename T>
requires requires(std::ostream& o, const T& v) {
  o << v;
}
[[nodiscard]] std::string to_string(const Chunked<T>& sequence) {
  std::ostringstream out;
  out << sequence;
  return out.str();
}

}  // namespace vessik_exchange
