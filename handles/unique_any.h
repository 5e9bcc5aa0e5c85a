// Move-only ownership of one platform resource, in the manner of WIL's
// unique_any. A kind is named by its traits:
//   pointer            the raw type (a handle, a pointer, a descriptor);
//   Invalid()          the value that means "nothing held";
//   Close(pointer)     the call that releases a held value.
// The traits templates below name a kind by its invalid value; the headers
// beside this one give each kind the system uses its alias:
//   unique_handle.h   Win32 kinds and C runtime streams (both platforms);
//   unique_posix.h    descriptors and folder streams (Linux only).
// This header includes no platform header.
#pragma once

#include <cerrno>
#include <cstddef>
#include <utility>

namespace tarn {

// Keeps errno across a close, for KeepError below.
class KeepErrno {
 public:
  KeepErrno() noexcept : _saved(errno) {}
  ~KeepErrno() { errno = _saved; }
  KeepErrno(const KeepErrno&) = delete;
  KeepErrno& operator=(const KeepErrno&) = delete;

 private:
  int _saved;
};

// `KeepError` is an object alive across every close that puts the thread's
// error value back afterwards, so that a resource released on an error path
// never hides the error the caller is about to read.
template <typename Traits, typename KeepError>
class UniqueAny {
 public:
  using pointer = typename Traits::pointer;

  UniqueAny() noexcept = default;
  explicit UniqueAny(pointer value) noexcept : _value(value) {}
  ~UniqueAny() { reset(); }

  UniqueAny(UniqueAny&& other) noexcept : _value(other.release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;

  pointer get() const noexcept { return _value; }
  bool is_valid() const noexcept { return _value != Traits::Invalid(); }
  explicit operator bool() const noexcept { return is_valid(); }
  // "== nullptr" asks whether nothing is held, whatever the kind's invalid value.
  friend bool operator==(const UniqueAny& owner, std::nullptr_t) noexcept { return !owner.is_valid(); }

  // Closes what is held (if anything) and takes `value` instead.
  void reset(pointer value = Traits::Invalid()) noexcept {
    const pointer old = std::exchange(_value, value);
    if (old == Traits::Invalid()) return;
    const KeepError kept;
    Traits::Close(old);
  }

  // Gives what is held up without closing it; the caller owns it from then on.
  [[nodiscard]] pointer release() noexcept { return std::exchange(_value, Traits::Invalid()); }

  // For an out parameter: closes what is held and returns the storage for the
  // call to fill.
  pointer* put() noexcept {
    reset();
    return &_value;
  }

 private:
  pointer _value = Traits::Invalid();
};

// Kinds whose invalid value is null (or 0), closed with `CloseFunction`.
template <typename Pointer, auto CloseFunction>
struct NullInvalidTraits {
  using pointer = Pointer;
  static pointer Invalid() noexcept { return pointer{}; }
  static void Close(pointer value) noexcept { static_cast<void>(CloseFunction(value)); }
};

// Kinds whose invalid value is -1 (descriptors), closed with `CloseFunction`.
template <typename Pointer, auto CloseFunction>
struct MinusOneInvalidTraits {
  using pointer = Pointer;
  static pointer Invalid() noexcept { return pointer(-1); }
  static void Close(pointer value) noexcept { static_cast<void>(CloseFunction(value)); }
};

}  // namespace tarn
