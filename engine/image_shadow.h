#pragma once
// What the count pass learns of an image besides its size: the bytes it puts
// into the flash and a fingerprint of its record texts. The file is read
// again for every later pass; checking each pass against these is how the
// image flashed is known to be the image that was checked.

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace talvex {

constexpr std::uint32_t kFlashBase = 0x80000;
constexpr std::uint32_t kPageSize = 512;

// The record lies wholly below flashLimit. Record addresses are offsets; the
// check is made on their absolute addresses, and a record that would wrap
// past the top of the address space fits nowhere.
bool RecordFits(std::uint32_t address, std::int32_t count, std::uint32_t flashLimit);

// The flash offset a record address lands on: bit 19 is the flash's own base.
inline std::uint32_t FlashOffset(std::uint32_t address) {
    return (address | kFlashBase) - kFlashBase;
}

// The image's bytes, per flash offset, for the records that fit the flash.
// Pages are kept only where the image puts bytes, so its size is bounded by
// the flash, never by the file.
class ImageShadow {
public:
    explicit ImageShadow(std::uint32_t flashLimit) : flashLimit_(flashLimit) {}

    std::uint32_t FlashLimit() const { return flashLimit_; }

    // Takes in the bytes of a record that fits the flash; other records are
    // left out. False when a byte differs from the one an earlier record put
    // at the same place; conflict is then that byte's flash offset.
    bool Add(std::uint32_t address, const std::uint8_t* data, std::int32_t count,
             std::uint32_t& conflict);

    // False when a record that fits the flash is not made of bytes taken in
    // before, at the same places.
    bool Agrees(std::uint32_t address, const std::uint8_t* data, std::int32_t count) const;

    // The byte the image puts at a record address, when it puts one there.
    std::optional<std::uint8_t> ByteAt(std::uint32_t address) const;

    std::size_t PageCount() const { return pages_.size(); }

private:
    struct Page {
        std::array<std::uint8_t, kPageSize> bytes{};
        std::bitset<kPageSize> present;
    };
    const Page* Find(std::uint32_t page) const;

    std::uint32_t flashLimit_;
    std::unordered_map<std::uint32_t, std::unique_ptr<Page>> pages_;
};

// A fingerprint of the record texts of one pass, up to the end record. Two
// passes over an unchanged file give equal fingerprints.
struct ImageDigest {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    std::uint64_t texts = 0;
    std::uint64_t characters = 0;
    // The pass ended at the exact end record, not at the end of the file.
    bool endRecord = false;

    void Add(const std::string& text);
    bool operator==(const ImageDigest&) const = default;
};

} // namespace talvex
