// A growable list of int64 values kept either on the heap or in a NumPy array.
#pragma once

#include <cstddef>
#include <cstdint>

#include <pybind11/numpy.h>

namespace quorvix {

namespace py = pybind11;

// The subset of std::vector<int64_t> that sampling uses, with a choice of storage. A one-thread call
// records its results straight into NumPy arrays and hands them to the caller at the end, with no
// copy; lists filled on pool threads, which must not touch Python objects, keep heap storage.
class Int64List {
 public:
  // An empty list on the heap.
  Int64List() = default;
  // An empty list stored in a fresh NumPy array with room for `capacity` values. Such a list needs
  // the interpreter lock whenever it grows, is released or is destroyed.
  static Int64List in_numpy_array(std::size_t capacity);

  Int64List(Int64List&& other) noexcept;
  Int64List& operator=(Int64List&& other) noexcept;
  Int64List(const Int64List&) = delete;
  Int64List& operator=(const Int64List&) = delete;
  ~Int64List();

  // Always inlined: it runs once per sampled edge and node.
  __attribute__((always_inline)) void push_back(int64_t value) {
    if (size_ == capacity_) grow(size_ + 1);
    data_[size_++] = value;
  }

  int64_t operator[](std::size_t i) const { return data_[i]; }
  int64_t& operator[](std::size_t i) { return data_[i]; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  const int64_t* data() const { return data_; }
  void clear() { size_ = 0; }
  // Empties the list, and frees its storage where an earlier, much larger use left more than
  // four times its size plus `slack` values.
  void clear_or_release(std::size_t slack) {
    if (capacity_ > 4 * size_ + slack) {
      *this = Int64List();
    } else {
      clear();
    }
  }
  void reserve(std::size_t capacity) {
    if (capacity > capacity_) grow(capacity);
  }

  // Room for `count` more values, written through the pointer and then kept by commit(count): a
  // loop that knows its count up front writes through a local pointer instead of re-reading the
  // list after every store. Until commit, the list's size is unchanged.
  int64_t* open_tail(std::size_t count) {
    reserve(size_ + count);
    return data_ + size_;
  }
  void commit(std::size_t count) { size_ += count; }

  // The list's NumPy array, cut to its values and now the caller's alone. The list is left empty,
  // on the heap. Only for a list made by in_numpy_array.
  py::array_t<int64_t> release_array();
  // The list's values as a NumPy array without a copy, whatever the storage: heap storage passes to
  // an owner that the array frees. The list is left empty. Needs the interpreter lock.
  py::array_t<int64_t> into_array();

 private:
  // Raises the capacity to at least `needed`, doubling so that appends stay amortised O(1).
  void grow(std::size_t needed);
  void free_storage();

  int64_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  py::object array_;  // the owner of data_ when it is NumPy storage; else data_ is from malloc
};

}  // namespace quorvix
