#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvane::tools {

// GIF images around the game's LZW section streams, and giflib as the reference decoder. Built
// as the library korvane_gif of its own, so that only the tests and the benchmarks need giflib.

// A GIF89a image of width x height 8-bit pixels (a 256-entry grey palette, no extensions, not
// interlaced) whose image data is the given LZW stream (minimum code size 8), cut into
// sub-blocks of at most 255 bytes.
std::vector<uint8_t> WrapInGif(std::span<const uint8_t> lzw, uint16_t width, uint16_t height);

// Decodes the first image of a GIF held in memory with giflib (DGifOpen with a memory read
// function) into `pixels`, resized to the image's width x height, rows in stream order. False
// with `error` filled (giflib's error text) when giflib fails. Reusing `pixels` keeps repeated
// decoding, as in a benchmark, down to giflib's own work.
bool GiflibDecodeInto(std::span<const uint8_t> gif, std::vector<uint8_t>& pixels,
                      std::string& error);

// The same, returning the pixels, or nothing with `error` filled.
std::optional<std::vector<uint8_t>> GiflibDecode(std::span<const uint8_t> gif, std::string& error);

}  // namespace korvane::tools
