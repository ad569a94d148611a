#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace korvane {

// A zero-terminated text in a field of fixed capacity, the terminator included. A longer
// value is cut to the first capacity - 1 characters.
template <typename Char, size_t Capacity>
class BasicFixedText {
  public:
    static_assert(Capacity > 0);
    static constexpr size_t kCapacity = Capacity;
    using View = std::basic_string_view<Char>;

    BasicFixedText() = default;
    explicit BasicFixedText(View text) { Set(text); }

    void Set(View text) {
        length_ = std::min(text.size(), Capacity - 1);
        std::copy_n(text.begin(), length_, chars_.begin());
        chars_[length_] = Char{};
    }
    View view() const { return View(chars_.data(), length_); }
    const Char* c_str() const { return chars_.data(); }
    size_t size() const { return length_; }
    bool operator==(View other) const { return view() == other; }

  private:
    std::array<Char, Capacity> chars_{};
    size_t length_ = 0;
};

template <size_t Capacity>
using FixedText = BasicFixedText<char, Capacity>;
template <size_t Capacity>
using FixedWideText = BasicFixedText<char16_t, Capacity>;

}  // namespace korvane
