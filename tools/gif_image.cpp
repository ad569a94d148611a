#include "tools/gif_image.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace korvane::tools {

namespace {

constexpr size_t kMaxSubBlock = 255;
constexpr uint8_t kMinimumCodeSize = 8;

void PutU16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

struct MemorySource {
    std::span<const uint8_t> bytes;
    size_t at = 0;
};

int ReadFromMemory(GifFileType* file, GifByteType* into, int wanted) {
    auto* source = static_cast<MemorySource*>(file->UserData);
    size_t count =
        std::min(static_cast<size_t>(std::max(wanted, 0)), source->bytes.size() - source->at);
    std::memcpy(into, source->bytes.data() + source->at, count);
    source->at += count;
    return static_cast<int>(count);
}

struct GifCloser {
    void operator()(GifFileType* file) const {
        int ignored = 0;
        DGifCloseFile(file, &ignored);
    }
};

std::string ErrorText(int code) {
    const char* text = GifErrorString(code);
    return text != nullptr ? text : "giflib error " + std::to_string(code);
}

// Skips an extension block and its sub-blocks.
bool SkipExtension(GifFileType* file) {
    int kind = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(file, &kind, &block) == GIF_ERROR) {
        return false;
    }
    while (block != nullptr) {
        if (DGifGetExtensionNext(file, &block) == GIF_ERROR) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<uint8_t> WrapInGif(std::span<const uint8_t> lzw, uint16_t width, uint16_t height) {
    std::vector<uint8_t> gif = {'G', 'I', 'F', '8', '9', 'a'};
    // Logical screen: global colour table of 2^(7+1) entries, colour resolution 8 bits.
    PutU16(gif, width);
    PutU16(gif, height);
    gif.push_back(0xF7);
    gif.push_back(0);  // background colour
    gif.push_back(0);  // no aspect ratio
    for (int grey = 0; grey < 256; ++grey) {
        gif.insert(gif.end(), 3, static_cast<uint8_t>(grey));
    }
    // Image descriptor at (0, 0), no local colour table, not interlaced.
    gif.push_back(0x2C);
    PutU16(gif, 0);
    PutU16(gif, 0);
    PutU16(gif, width);
    PutU16(gif, height);
    gif.push_back(0);
    gif.push_back(kMinimumCodeSize);
    for (size_t at = 0; at < lzw.size(); at += kMaxSubBlock) {
        size_t length = std::min(kMaxSubBlock, lzw.size() - at);
        gif.push_back(static_cast<uint8_t>(length));
        gif.insert(gif.end(), lzw.begin() + static_cast<long>(at),
                   lzw.begin() + static_cast<long>(at + length));
    }
    gif.push_back(0);     // end of the image data
    gif.push_back(0x3B);  // trailer
    return gif;
}

bool GiflibDecodeInto(std::span<const uint8_t> gif, std::vector<uint8_t>& pixels,
                      std::string& error) {
    MemorySource source{gif};
    int openError = 0;
    std::unique_ptr<GifFileType, GifCloser> file(DGifOpen(&source, ReadFromMemory, &openError));
    if (!file) {
        error = ErrorText(openError);
        return false;
    }
    auto failed = [&] {
        error = ErrorText(file->Error);
        return false;
    };
    for (;;) {
        GifRecordType record = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(file.get(), &record) == GIF_ERROR) {
            return failed();
        }
        if (record == EXTENSION_RECORD_TYPE) {
            if (!SkipExtension(file.get())) {
                return failed();
            }
            continue;
        }
        if (record != IMAGE_DESC_RECORD_TYPE) {
            error = "no image in the GIF";
            return false;
        }
        if (DGifGetImageDesc(file.get()) == GIF_ERROR) {
            return failed();
        }
        size_t count =
            static_cast<size_t>(file->Image.Width) * static_cast<size_t>(file->Image.Height);
        pixels.resize(count);
        // One call for the whole image: giflib decodes any number of pixels at once.
        if (count > 0 &&
            DGifGetLine(file.get(), pixels.data(), static_cast<int>(count)) == GIF_ERROR) {
            return failed();
        }
        return true;
    }
}

std::optional<std::vector<uint8_t>> GiflibDecode(std::span<const uint8_t> gif, std::string& error) {
    std::vector<uint8_t> pixels;
    if (!GiflibDecodeInto(gif, pixels, error)) {
        return std::nullopt;
    }
    return pixels;
}

}  // namespace korvane::tools
