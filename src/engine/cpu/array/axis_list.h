#pragma once
// AxisList<T>: the list type of shapes and strides. It behaves as the part of
// std::vector the engine uses, but keeps up to kInlineAxes entries inside the
// object: every operation copies a few of these lists, and on small tensors
// allocating them cost more than the arithmetic. Longer lists go to the heap.

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <iterator>
#include <type_traits>

namespace vessik {

template <class T>
  requires std::is_trivially_copyable_v<T>
class AxisList {
 public:
  static constexpr std::size_t kInlineAxes = 6;

  using value_type = T;
  using size_type = std::size_t;
  using difference_type = std::ptrdiff_t;
  using reference = T&;
  using const_reference = const T&;
  using iterator = T*;
  using const_iterator = const T*;

  AxisList() noexcept = default;
  explicit AxisList(std::size_t n, const T& value = T{}) { resize(n, value); }
  AxisList(std::initializer_list<T> values) { append(values.begin(), values.end()); }
  template <std::input_iterator It>
  AxisList(It first, It last) {
    append(first, last);
  }
  AxisList(const AxisList& other) { copy_from(other); }
  AxisList(AxisList&& other) noexcept { take(other); }
  AxisList& operator=(const AxisList& other) {
    if (this != &other) {
      size_ = 0;
      copy_from(other);
    }
    return *this;
  }
  AxisList& operator=(AxisList&& other) noexcept {
    if (this != &other) {
      release();
      take(other);
    }
    return *this;
  }
  ~AxisList() { release(); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return data_; }
  const T* data() const noexcept { return data_; }
  T& operator[](std::size_t i) noexcept { return data_[i]; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  const T& back() const noexcept { return data_[size_ - 1]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + size_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + size_; }
  auto rbegin() const noexcept { return std::reverse_iterator<const T*>(end()); }
  auto rend() const noexcept { return std::reverse_iterator<const T*>(begin()); }

  void push_back(const T& value) {
    if (size_ == capacity_) grow(size_ + 1);
    data_[size_++] = value;
  }
  void resize(std::size_t n, const T& value = T{}) {
    if (n > capacity_) grow(n);
    if (n > size_) std::fill(data_ + size_, data_ + n, value);
    size_ = n;
  }
  template <std::input_iterator It>
  void append(It first, It last) {
    if constexpr (std::random_access_iterator<It>) {
      const auto n = static_cast<std::size_t>(last - first);
      if (size_ + n > capacity_) grow(size_ + n);
      std::copy(first, last, data_ + size_);
      size_ += n;
    } else {
      for (; first != last; ++first) push_back(*first);
    }
  }

  friend bool operator==(const AxisList& a, const AxisList& b) noexcept {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  void grow(std::size_t needed) {
    const std::size_t capacity = std::max(needed, 2 * capacity_);
    T* heap = new T[capacity]();
    std::copy(data_, data_ + size_, heap);
    release();
    data_ = heap;
    capacity_ = capacity;
  }

  void release() noexcept {
    if (data_ != inline_) delete[] data_;
    data_ = inline_;
    capacity_ = kInlineAxes;
  }

  // Short lists are copied whole, a fixed-size copy the compiler inlines: the
  // entries past the size are initialised (inline and heap arrays alike), so
  // reading them is safe.
  void copy_from(const AxisList& other) {
    if (other.size_ <= kInlineAxes && data_ == inline_) {
      std::copy_n(other.data_, kInlineAxes, inline_);
      size_ = other.size_;
    } else {
      append(other.begin(), other.end());
    }
  }

  // Leaves `other` empty and inline.
  void take(AxisList& other) noexcept {
    if (other.data_ == other.inline_) {
      std::copy_n(other.inline_, kInlineAxes, inline_);
    } else {
      data_ = other.data_;
      capacity_ = other.capacity_;
      other.data_ = other.inline_;
      other.capacity_ = kInlineAxes;
    }
    size_ = other.size_;
    other.size_ = 0;
  }

  T* data_ = inline_;
  std::size_t size_ = 0;
  std::size_t capacity_ = kInlineAxes;
  T inline_[kInlineAxes] = {};
};

}  // namespace vessik
