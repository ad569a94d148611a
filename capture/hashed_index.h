#pragma once

#include <array>
#include <cstddef>
#include <string_view>

#include "capture/pointer_list.h"

namespace korvane {

// The frame of a table of elements found by a text key: a fixed number of buckets, each
// holding the elements whose key falls in it, and the list of all elements, newest first,
// which owns them. What a bucket is, how a key is matched and how keys spread over the buckets
// is left to the derived table.
template <typename T, typename Bucket, size_t Buckets>
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
    std::array<Bucket, Buckets> buckets_;
    OwningPointerList<T> all_;
};

}  // namespace korvane
