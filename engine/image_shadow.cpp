#include "image_shadow.h"

#include "hex_reader.h"
#include "sha256.h"

#include <algorithm>
#include <cstring>

namespace talvex {

namespace {

// The pieces of a run of flash offsets, one per page it touches.
template <typename Visit>
bool ForEachPiece(std::uint32_t first, const std::uint8_t* data, std::int32_t count,
                  Visit&& visit) {
    std::uint32_t done = 0;
    while (done < static_cast<std::uint32_t>(count)) {
        const std::uint32_t at = first + done;
        const std::uint32_t page = at / kPageSize;
        const std::uint32_t in = at % kPageSize;
        const std::uint32_t n = std::min(static_cast<std::uint32_t>(count) - done, kPageSize - in);
        if (!visit(page, in, data + done, n)) return false;
        done += n;
    }
    return true;
}

} // namespace

bool RecordFits(std::uint32_t address, std::int32_t count, std::uint32_t flashLimit) {
    const std::uint32_t absolute = address | kFlashBase;
    const std::uint32_t last = absolute + static_cast<std::uint32_t>(count) - 1u;
    if (count > 0 && last < absolute) return false;
    return absolute < flashLimit && last < flashLimit;
}

void PageDigest::Add(std::uint32_t offsetInPage, const std::uint8_t* data, std::uint32_t count) {
    const std::uint8_t head[8] = {
        static_cast<std::uint8_t>(offsetInPage), static_cast<std::uint8_t>(offsetInPage >> 8),
        static_cast<std::uint8_t>(count),        static_cast<std::uint8_t>(count >> 8),
        static_cast<std::uint8_t>(pieces),       static_cast<std::uint8_t>(pieces >> 8),
        static_cast<std::uint8_t>(pieces >> 16), static_cast<std::uint8_t>(pieces >> 24),
    };
    Sha256 hash;
    hash.Add(head, sizeof head);
    hash.Add(data, count);
    const std::array<std::uint8_t, 32> piece = hash.Finish();
    for (std::size_t lane = 0; lane < sum.size(); ++lane) {
        std::uint64_t word = 0;
        for (std::size_t i = 0; i < 8; ++i) word |= std::uint64_t(piece[lane * 8 + i]) << (8 * i);
        sum[lane] += word;
    }
    ++pieces;
}

ImageShadow::ImageShadow(std::uint32_t flashLimit, std::size_t keptPages)
    : flashLimit_(flashLimit), keptLimit_(keptPages) {}

const ImageShadow::KeptPage* ImageShadow::FindKept(std::uint32_t page) const {
    const auto it = kept_.find(page);
    return it == kept_.end() ? nullptr : &*it->second;
}

ImageShadow::KeptPage* ImageShadow::Keep(std::uint32_t page, bool isNew) {
    if (const auto it = kept_.find(page); it != kept_.end()) {
        keptOrder_.splice(keptOrder_.begin(), keptOrder_, it->second);
        return &*it->second;
    }
    // Bytes let go cannot be had back: the page would hold only part of
    // what the image puts there.
    if (!isNew || keptLimit_ == 0) return nullptr;
    if (kept_.size() == keptLimit_) {
        kept_.erase(keptOrder_.back().page);
        // The oldest page's storage becomes the new one's.
        keptOrder_.splice(keptOrder_.begin(), keptOrder_, std::prev(keptOrder_.end()));
        keptOrder_.front() = KeptPage{};
    } else {
        keptOrder_.emplace_front();
    }
    keptOrder_.front().page = page;
    kept_[page] = keptOrder_.begin();
    return &keptOrder_.front();
}

bool ImageShadow::Add(std::uint32_t address, const std::uint8_t* data, std::int32_t count,
                      std::uint32_t& conflict) {
    if (count <= 0 || !RecordFits(address, count, flashLimit_)) return true;
    return ForEachPiece(
        FlashOffset(address), data, count,
        [&](std::uint32_t page, std::uint32_t in, const std::uint8_t* bytes, std::uint32_t n) {
            auto& slot = groups_[page / kGroup];
            if (!slot) slot = std::make_unique<Group>();
            const std::uint32_t bit = 1u << (page % kGroup);
            const bool isNew = (slot->used & bit) == 0;
            if (isNew) {
                slot->used |= bit;
                ++pageCount_;
            }
            slot->digests[page % kGroup].Add(in, bytes, n);
            KeptPage* kept = Keep(page, isNew);
            if (!kept) {
                if (!isNew) slot->recheck |= bit;
                return true;
            }
            for (std::uint32_t i = 0; i < n; ++i) {
                if (kept->present[in + i]) {
                    if (kept->bytes[in + i] != bytes[i]) {
                        conflict = page * kPageSize + in + i;
                        return false;
                    }
                } else {
                    kept->bytes[in + i] = bytes[i];
                    kept->present[in + i] = true;
                }
            }
            return true;
        });
}

std::vector<std::uint32_t> ImageShadow::PagesToRecheck() const {
    std::vector<std::uint32_t> pages;
    for (const auto& [index, group] : groups_) {
        for (std::uint32_t i = 0; i < kGroup; ++i) {
            if (group->recheck & (1u << i)) pages.push_back(index * kGroup + i);
        }
    }
    std::sort(pages.begin(), pages.end());
    return pages;
}

const PageDigest* ImageShadow::DigestOf(std::uint32_t page) const {
    const auto it = groups_.find(page / kGroup);
    if (it == groups_.end() || !(it->second->used & (1u << (page % kGroup)))) return nullptr;
    return &it->second->digests[page % kGroup];
}

bool ImageShadow::Agrees(std::uint32_t address, const std::uint8_t* data,
                         std::int32_t count) const {
    if (count <= 0 || !RecordFits(address, count, flashLimit_)) return true;
    return ForEachPiece(
        FlashOffset(address), data, count,
        [this](std::uint32_t page, std::uint32_t in, const std::uint8_t* bytes, std::uint32_t n) {
            if (!DigestOf(page)) return false;
            const KeptPage* kept = FindKept(page);
            if (!kept) return true;
            for (std::uint32_t i = 0; i < n; ++i) {
                if (!kept->present[in + i] || kept->bytes[in + i] != bytes[i]) return false;
            }
            return true;
        });
}

std::optional<std::uint8_t> ImageShadow::ByteAt(std::uint32_t address) const {
    if (!RecordFits(address, 1, flashLimit_)) return std::nullopt;
    const std::uint32_t at = FlashOffset(address);
    const KeptPage* page = FindKept(at / kPageSize);
    if (!page || !page->present[at % kPageSize]) return std::nullopt;
    return page->bytes[at % kPageSize];
}

ShadowPass::ShadowPass(const ImageShadow& shadow, bool keepPageBytes, std::size_t maxHeldBytes)
    : shadow_(shadow), keepPageBytes_(keepPageBytes), maxHeldBytes_(maxHeldBytes) {}

bool ShadowPass::IsConfirmed(std::uint32_t page) const {
    const auto it = confirmed_.find(page / 32);
    return it != confirmed_.end() && (it->second & (1u << (page % 32)));
}

void ShadowPass::Confirm(std::uint32_t page) {
    confirmed_[page / 32] |= 1u << (page % 32);
    ++completed_;
    running_.erase(page);
    if (const auto it = assembled_.find(page); it != assembled_.end() && !it->second.references)
        assembled_.erase(it);
}

void ShadowPass::DropLastOut() {
    if (!lastOut_) return;
    if (keepPageBytes_) {
        for (std::uint8_t i = 0; i < lastOut_->pageCount; ++i) {
            const auto it = assembled_.find(lastOut_->pages[i]);
            if (it == assembled_.end()) continue;
            // An unconfirmed page keeps its bytes for the pads of the
            // records still to come.
            if (--it->second.references == 0 && IsConfirmed(it->first)) assembled_.erase(it);
        }
    }
    lastOut_.reset();
}

bool ShadowPass::Take(const HexRecord& record) {
    DropLastOut();
    Held held;
    held.address = record.address;
    held.count = record.count;
    const std::uint32_t limit = shadow_.FlashLimit();
    if (record.count > 0 && RecordFits(record.address, record.count, limit)) {
        const bool agrees = ForEachPiece(
            FlashOffset(record.address), record.data, record.count,
            [&](std::uint32_t page, std::uint32_t in, const std::uint8_t* bytes, std::uint32_t n) {
                const PageDigest* expected = shadow_.DigestOf(page);
                // A page the image puts nothing into, or a piece more than
                // it had.
                if (!expected || IsConfirmed(page)) return false;
                const bool kept = shadow_.Keeps(page);
                if (kept &&
                    !shadow_.Agrees(page * kPageSize + in, bytes, static_cast<std::int32_t>(n))) {
                    return false;
                }
                if (!kept) {
                    held.pages[held.pageCount++] = page;
                    if (keepPageBytes_) {
                        Assembled& a = assembled_[page];
                        for (std::uint32_t i = 0; i < n; ++i) {
                            a.bytes[in + i] = bytes[i];
                            a.present[in + i] = true;
                        }
                        ++a.references;
                    }
                }
                // A kept page's bytes were compared as they came; its pieces
                // are only counted, and their order is left to the pass's
                // fingerprint of the record texts.
                PageDigest& running = running_[page];
                if (kept) {
                    ++running.pieces;
                } else {
                    running.Add(in, bytes, n);
                }
                if (running.pieces == expected->pieces) {
                    if (!kept && !(running == *expected)) return false;
                    Confirm(page);
                }
                return true;
            });
        if (!agrees) return false;
    }
    held_.push_back(held);
    if (record.count > 0)
        heldData_.insert(heldData_.end(), record.data, record.data + record.count);
    return true;
}

bool ShadowPass::Next(HexRecord& record) {
    DropLastOut();
    if (held_.empty()) return false;
    const Held& front = held_.front();
    // Past the limit the oldest goes on unconfirmed; many records without
    // data count as well, as each costs its entry.
    if (heldData_.size() <= maxHeldBytes_ && held_.size() <= maxHeldBytes_ / 16) {
        for (std::uint8_t i = 0; i < front.pageCount; ++i) {
            if (!IsConfirmed(front.pages[i])) return false;
        }
    }
    record.address = front.address;
    record.count = front.count;
    if (front.count > 0) {
        const auto end = heldData_.begin() + front.count;
        std::copy(heldData_.begin(), end, record.data);
        heldData_.erase(heldData_.begin(), end);
    }
    lastOut_ = front;
    held_.pop_front();
    return true;
}

std::optional<std::uint8_t> ShadowPass::ByteAt(std::uint32_t address) const {
    if (!RecordFits(address, 1, shadow_.FlashLimit())) return std::nullopt;
    const std::uint32_t at = FlashOffset(address);
    if (shadow_.Keeps(at / kPageSize)) return shadow_.ByteAt(address);
    const auto it = assembled_.find(at / kPageSize);
    if (it == assembled_.end() || !it->second.present[at % kPageSize]) return std::nullopt;
    return it->second.bytes[at % kPageSize];
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
