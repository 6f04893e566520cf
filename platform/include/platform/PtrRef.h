// Reference-counted pointer of the platform.
//
// A PtrRef holds the object and a separately allocated plain int count.
// Copying a non-null PtrRef increments the count; releasing the last
// reference deletes the object and the count.
//
// Thread safety: the count is not atomic. A PtrRef and all its copies must
// stay on one thread at a time; hand one over between threads only under a
// lock that both sides take.
#pragma once

#include <utility>

template <class T>
class PtrRef {
 public:
  PtrRef() = default;
  // Takes ownership of p; the count starts at 1.
  explicit PtrRef(T* p) : mPtr(p), mCount(p != nullptr ? new int(1) : nullptr) {}

  PtrRef(const PtrRef& other) : mPtr(other.mPtr), mCount(other.mCount) { acquire(); }
  PtrRef(PtrRef&& other) noexcept : mPtr(other.mPtr), mCount(other.mCount) {
    other.mPtr = nullptr;
    other.mCount = nullptr;
  }
  // A PtrRef of a derived class converts to one of its base, sharing the count.
  template <class U>
  PtrRef(const PtrRef<U>& other) : mPtr(other.mPtr), mCount(other.mCount) {  // NOLINT: implicit like a pointer
    acquire();
  }

  PtrRef& operator=(PtrRef other) noexcept {
    swap(other);
    return *this;
  }

  ~PtrRef() { release(); }

  void reset() { PtrRef().swap(*this); }
  void reset(T* p) { PtrRef(p).swap(*this); }
  void swap(PtrRef& other) noexcept {
    std::swap(mPtr, other.mPtr);
    std::swap(mCount, other.mCount);
  }

  T* get() const { return mPtr; }
  T* operator->() const { return mPtr; }
  T& operator*() const { return *mPtr; }
  explicit operator bool() const { return mPtr != nullptr; }
  bool isNull() const { return mPtr == nullptr; }
  int useCount() const { return mCount != nullptr ? *mCount : 0; }

 private:
  template <class U>
  friend class PtrRef;

  void acquire() {
    if (mPtr == nullptr) return;
    if (mCount == nullptr) mCount = new int(0);
    ++*mCount;
  }
  void release() {
    if (mCount != nullptr && --*mCount <= 0) {
      delete mPtr;
      delete mCount;
    }
    mPtr = nullptr;
    mCount = nullptr;
  }

  T* mPtr = nullptr;
  int* mCount = nullptr;
};

// A new T built from args, owned by a fresh PtrRef from the line that makes it.
template <class T, class... Args>
PtrRef<T> makePtrRef(Args&&... args) {
  return PtrRef<T>(new T(std::forward<Args>(args)...));
}

// A unit of work with one operation.
class IHandler {
 public:
  virtual ~IHandler() = default;
  virtual void handle() = 0;
};
