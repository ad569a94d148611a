#pragma once

#include <array>
#include <cstddef>
#include <memory>
#include <string_view>

#include "capture/pointer_list.h"

namespace korvane {

// The frame of a table of elements found by a text key: a fixed number of buckets, each a list
// of the elements whose key falls in it (made on first use), and the list of all elements,
// newest first, which owns them. How a key is matched and spread over the buckets is left to
// the derived table.
template <typename T, size_t Buckets>
class HashedIndex {
  public:
    static constexpr size_t kBuckets = Buckets;

    HashedIndex() = default;
    virtual ~HashedIndex() = default;
    HashedIndex(const HashedIndex&) = delete;
    HashedIndex& operator=(const HashedIndex&) = delete;

    // The indexed element with this key, or null.
    virtual T* Find(std::string_view key) const = 0;
    // The bucket a key belongs in, below kBuckets.
    virtual size_t BucketOf(std::string_view key) const = 0;

    size_t count() const { return all_.count(); }

  protected:
    // Indexes a new element under `key`, at the front of its bucket and of the list of all.
    T& Insert(std::string_view key, std::unique_ptr<T> element) {
        std::unique_ptr<PointerList<T>>& bucket = buckets_[BucketOf(key)];
        if (bucket == nullptr) {
            bucket = std::make_unique<PointerList<T>>();
        }
        T* added = all_.AddFront(std::move(element));
        bucket->AddFront(added);
        return *added;
    }
    // Takes an element out of its bucket and destroys it.
    void Destroy(std::string_view key, T& element) {
        if (const auto& bucket = buckets_[BucketOf(key)]) {
            bucket->Remove(&element);
        }
        all_.Remove(&element);
    }
    const PointerList<T>* Bucket(size_t n) const { return buckets_[n].get(); }

    std::array<std::unique_ptr<PointerList<T>>, Buckets> buckets_;
    OwningPointerList<T> all_;
};

}  // namespace korvane
