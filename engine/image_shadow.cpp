#include "image_shadow.h"

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
    // FNV-1a; the separator keeps "ab" "c" apart from "a" "bc".
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    hash ^= 0x0A;
    hash *= 0x100000001b3ull;
    ++texts;
    characters += text.size();
}

} // namespace talvex
