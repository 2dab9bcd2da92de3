// BaseArray: a growable array of values whose growth reports failure as
// OutOfMemoryError instead of throwing. It is move-only; copies are explicit
// (CopyFrom) because they can fail. Element types must not throw on copy or
// move, which holds for every value type of the framework.
#pragma once
#include <cstring>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "norvo/memory.h"
#include "norvo/result.h"
#include "norvo/types.h"

namespace norvo {

template <class T>
class BaseArray {
  static_assert(std::is_nothrow_move_constructible_v<T>);

 public:
  BaseArray() = default;
  BaseArray(const BaseArray&) = delete;
  BaseArray& operator=(const BaseArray&) = delete;
  BaseArray(BaseArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), count_(std::exchange(other.count_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  BaseArray& operator=(BaseArray&& other) noexcept {
    if (this != &other) {
      Reset();
      data_ = std::exchange(other.data_, nullptr);
      count_ = std::exchange(other.count_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  ~BaseArray() { Reset(); }

  Int GetCount() const noexcept { return count_; }
  Int GetCapacity() const noexcept { return capacity_; }
  bool IsEmpty() const noexcept { return count_ == 0; }

  T& operator[](Int i) noexcept { return data_[i]; }
  const T& operator[](Int i) const noexcept { return data_[i]; }
  T* begin() noexcept { return data_; }
  T* end() noexcept { return data_ + count_; }
  const T* begin() const noexcept { return data_; }
  const T* end() const noexcept { return data_ + count_; }

  // Makes room for at least `capacity` elements, allocating exactly that many
  // when the current storage is smaller. On failure nothing changes.
  Result<void> EnsureCapacity(Int capacity) noexcept {
    if (capacity <= capacity_) return {};
    if (UInt(capacity) > SIZE_MAX / sizeof(T)) return OutOfMemoryError();
    T* fresh = static_cast<T*>(Allocate(std::size_t(capacity) * sizeof(T)));
    if (!fresh) return OutOfMemoryError();
    for (Int i = 0; i < count_; ++i) {
      ::new (fresh + i) T(std::move(data_[i]));
      data_[i].~T();
    }
    Free(data_);
    data_ = fresh;
    capacity_ = capacity;
    return {};
  }

  // Appends one element, growing the storage geometrically.
  Result<void> Append(const T& value) noexcept {
    if (count_ == capacity_) NORVO_RETURN_IF_ERROR(Grow());
    ::new (data_ + count_) T(value);
    ++count_;
    return {};
  }
  Result<void> Append(T&& value) noexcept {
    if (count_ == capacity_) NORVO_RETURN_IF_ERROR(Grow());
    ::new (data_ + count_) T(std::move(value));
    ++count_;
    return {};
  }

  // Releases the elements, last to first, and keeps the storage.
  void Clear() noexcept {
    while (count_ > 0) data_[--count_].~T();
  }

  // Releases the elements, last to first, and the storage.
  void Reset() noexcept {
    Clear();
    Free(data_);
    data_ = nullptr;
    capacity_ = 0;
  }

  // Replaces the elements by copies of those of `source`. When more room is
  // needed, exactly source's count is allocated, before anything is released,
  // so a failure leaves this array as it was. Copying an empty array gives the
  // storage back. Copying the array onto itself changes nothing.
  Result<void> CopyFrom(const BaseArray& source) noexcept {
    if (&source == this) return {};
    if (source.count_ == 0) {
      Reset();
      return {};
    }
    if (source.count_ > capacity_) {
      T* fresh = static_cast<T*>(Allocate(std::size_t(source.count_) * sizeof(T)));
      if (!fresh) return OutOfMemoryError();
      Reset();
      data_ = fresh;
      capacity_ = source.count_;
    } else {
      Clear();
    }
    for (const T& value : source) ::new (data_ + count_++) T(value);
    return {};
  }

  // Removes the element at `index`, keeping the order of the others.
  void Erase(Int index) noexcept {
    for (Int i = index; i + 1 < count_; ++i) data_[i] = std::move(data_[i + 1]);
    data_[--count_].~T();
  }

 private:
  Result<void> Grow() noexcept { return EnsureCapacity(capacity_ < 4 ? 4 : capacity_ * 2); }

  T* data_ = nullptr;
  Int count_ = 0;
  Int capacity_ = 0;
};

// Builds an array from a list of values; for callers and tests.
template <class T>
Result<BaseArray<T>> MakeArray(std::initializer_list<T> values) noexcept {
  BaseArray<T> array;
  NORVO_RETURN_IF_ERROR(array.EnsureCapacity(Int(values.size())));
  for (const T& value : values) NORVO_RETURN_IF_ERROR(array.Append(value));
  return array;
}

}  // namespace norvo
