#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/gif_image.h"
#include "tools/variant_builder.h"

namespace korvane::tools {

// The bytes of a text, without a terminator.
inline std::vector<uint8_t> Bytes(std::string_view text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

// What giflib makes of an LZW section stream holding `pixels` bytes: the stream is wrapped in
// a GIF image of exactly that many pixels (as one row, or as rows of a width that divides
// it). Nothing, with the failure reported, when giflib fails or no such image exists.
inline std::optional<std::vector<uint8_t>> GiflibExpand(std::span<const uint8_t> lzw,
                                                        size_t pixels) {
    size_t height = 1;
    while (height <= 0xFFFF && (pixels % height != 0 || pixels / height > 0xFFFF)) {
        ++height;
    }
    if (pixels == 0 || height > 0xFFFF) {
        ADD_FAILURE() << "no GIF image has exactly " << pixels << " pixels";
        return std::nullopt;
    }
    std::string error;
    auto decoded = GiflibDecode(
        WrapInGif(lzw, static_cast<uint16_t>(pixels / height), static_cast<uint16_t>(height)),
        error);
    if (!decoded) {
        ADD_FAILURE() << "giflib: " << error;
    }
    return decoded;
}

// A variant in one expression (aggregate initialisation of VariantSpec warns about the fields
// it leaves out).
inline VariantSpec Variant(uint32_t chassisId, std::vector<ComponentSpec> components = {},
                           std::string name = "", size_t totalSize = 0, LzwOptions lzw = {}) {
    VariantSpec built;
    built.chassisId = chassisId;
    built.components = std::move(components);
    built.name = std::move(name);
    built.totalSize = totalSize;
    built.lzw = lzw;
    return built;
}

// `count` components of the lengths the game uses, in turn, with ids from 800 in steps of 7.
inline std::vector<ComponentSpec> ManyComponents(size_t count) {
    const int16_t lengths[] = {108, 112, 152, 236, 376};
    std::vector<ComponentSpec> components;
    for (size_t i = 0; i < count; ++i) {
        components.push_back({static_cast<uint16_t>(800 + i * 7), lengths[i % 5]});
    }
    return components;
}

}  // namespace korvane::tools
