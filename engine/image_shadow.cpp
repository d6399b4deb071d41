#include "image_shadow.h"

#include <cstring>

namespace talvex {

bool RecordFits(std::uint32_t address, std::int32_t count, std::uint32_t flashLimit) {
    const std::uint32_t absolute = address | kFlashBase;
    const std::uint32_t last = absolute + static_cast<std::uint32_t>(count) - 1u;
    if (count > 0 && last < absolute) return false;
    return absolute < flashLimit && last < flashLimit;
}

const ImageShadow::Page* ImageShadow::Find(std::uint32_t page) const {
    const auto it = pages_.find(page);
    return it == pages_.end() ? nullptr : it->second.get();
}

bool ImageShadow::Add(std::uint32_t address, const std::uint8_t* data, std::int32_t count,
                      std::uint32_t& conflict) {
    if (count <= 0 || !RecordFits(address, count, flashLimit_)) return true;
    const std::uint32_t first = FlashOffset(address);
    Page* page = nullptr;
    std::uint32_t pageIndex = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::uint32_t at = first + static_cast<std::uint32_t>(i);
        if (!page || at / kPageSize != pageIndex) {
            pageIndex = at / kPageSize;
            auto& slot = pages_[pageIndex];
            if (!slot) slot = std::make_unique<Page>();
            page = slot.get();
        }
        const std::uint32_t in = at % kPageSize;
        if (page->present[in]) {
            if (page->bytes[in] != data[i]) {
                conflict = at;
                return false;
            }
        } else {
            page->bytes[in] = data[i];
            page->present[in] = true;
        }
    }
    return true;
}

bool ImageShadow::Agrees(std::uint32_t address, const std::uint8_t* data,
                         std::int32_t count) const {
    if (count <= 0 || !RecordFits(address, count, flashLimit_)) return true;
    const std::uint32_t first = FlashOffset(address);
    const Page* page = nullptr;
    std::uint32_t pageIndex = 0;
    for (std::int32_t i = 0; i < count; ++i) {
        const std::uint32_t at = first + static_cast<std::uint32_t>(i);
        if (!page || at / kPageSize != pageIndex) {
            pageIndex = at / kPageSize;
            page = Find(pageIndex);
            if (!page) return false;
        }
        const std::uint32_t in = at % kPageSize;
        if (!page->present[in] || page->bytes[in] != data[i]) return false;
    }
    return true;
}

std::optional<std::uint8_t> ImageShadow::ByteAt(std::uint32_t address) const {
    if (!RecordFits(address, 1, flashLimit_)) return std::nullopt;
    const std::uint32_t at = FlashOffset(address);
    const Page* page = Find(at / kPageSize);
    if (!page || !page->present[at % kPageSize]) return std::nullopt;
    return page->bytes[at % kPageSize];
}

void ImageDigest::Add(const std::string& text) {
    // FNV-style, eight characters a step: every text of a multi-megabyte
    // image passes through here once per pass. Each step is a bijection of
    // the state, so one changed word always changes it; folding in the
    // length keeps "ab" "c" apart from "a" "bc".
    constexpr std::uint64_t kPrime = 0x100000001b3ull;
    const auto mix = [this](std::uint64_t word) {
        hash ^= word;
        hash *= kPrime;
        hash ^= hash >> 29;
    };
    std::size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, text.data() + i, 8);
        mix(word);
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, text.data() + i, text.size() - i);
    mix(tail);
    mix(text.size());
    ++texts;
    characters += text.size();
}

} // namespace talvex
