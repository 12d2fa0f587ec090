#include "graph/int64_list.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <utility>

namespace quorvix {

namespace {

constexpr std::size_t kMinCapacity = 16;

}  // namespace

Int64List Int64List::in_numpy_array(std::size_t capacity) {
  Int64List list;
  // Made like numpy.empty: NumPy's allocator, no fill, and the array owns its data.
  py::array_t<int64_t> array(static_cast<py::ssize_t>(capacity));
  list.data_ = array.mutable_data();
  list.capacity_ = capacity;
  list.array_ = std::move(array);
  return list;
}

Int64List::Int64List(Int64List&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      array_(std::move(other.array_)) {}

Int64List& Int64List::operator=(Int64List&& other) noexcept {
  if (this != &other) {
    free_storage();
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    array_ = std::move(other.array_);
  }
  return *this;
}

Int64List::~Int64List() { free_storage(); }

void Int64List::free_storage() {
  if (array_) {
    array_ = py::object();
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
}

void Int64List::grow(std::size_t needed) {
  // Sizes in bytes must fit a ptrdiff_t, the most any allocator hands out; the doubling is capped
  // there too, so that neither it nor capacity * 8 wraps.
  constexpr std::size_t kMaxCapacity = static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(int64_t);
  if (needed > kMaxCapacity) throw std::bad_alloc();
  std::size_t capacity = capacity_ < kMinCapacity ? kMinCapacity : std::min(2 * capacity_, kMaxCapacity);
  if (capacity < needed) capacity = needed;
  if (array_) {
    // Resized in place where the allocator can; NumPy zero-fills the new part.
    py::array array = py::reinterpret_borrow<py::array>(array_);
    try {
      array.resize({static_cast<py::ssize_t>(capacity)}, false);
    } catch (py::error_already_set& error) {
      // Out of memory is the same error whichever storage the list has.
      if (error.matches(PyExc_MemoryError)) throw std::bad_alloc();
      throw;
    }
    data_ = static_cast<int64_t*>(array.mutable_data());
    array_ = std::move(array);
  } else {
    void* grown = std::realloc(data_, capacity * sizeof(int64_t));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<int64_t*>(grown);
  }
  capacity_ = capacity;
}

py::array_t<int64_t> Int64List::release_array() {
  py::array array = py::reinterpret_borrow<py::array>(array_);
  if (capacity_ != size_) array.resize({static_cast<py::ssize_t>(size_)}, false);
  array_ = py::object();
  data_ = nullptr;
  size_ = 0;
  capacity_ = 0;
  return py::reinterpret_steal<py::array_t<int64_t>>(array.release());
}

py::array_t<int64_t> Int64List::into_array() {
  if (array_) return release_array();
  if (size_ == 0) {
    *this = Int64List();
    return py::array_t<int64_t>(0);
  }
  auto* owned = new Int64List(std::move(*this));
  const py::capsule owner(owned, [](void* list) { delete static_cast<Int64List*>(list); });
  return py::array_t<int64_t>(static_cast<py::ssize_t>(owned->size()), owned->data(), owner);
}

}  // namespace quorvix
