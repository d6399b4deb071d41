#pragma once
// What the count pass learns of an image besides its size: a digest of what
// it puts into each 512-byte page of the flash, the bytes themselves of a
// bounded number of pages, and a fingerprint of its record texts. The file is
// read again for every later pass; checking each pass against these is how
// the image flashed is known to be the image that was checked, without
// holding an image of several megabytes in memory.

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace talvex {

struct HexRecord;

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

// Where the image's own bytes can be looked up, for the pads of halfword
// verify frames.
class ImageBytes {
public:
    virtual ~ImageBytes() = default;
    // The byte the image puts at a record address, when it puts one there
    // and it is known here.
    virtual std::optional<std::uint8_t> ByteAt(std::uint32_t address) const = 0;
};

// What the records of one pass put into one page, in the order read: each
// piece (its place in the page, its rank among the page's pieces, its bytes)
// hashed with SHA-256, and the hashes summed in four 64-bit lanes. A sum can
// grow piece by piece while pages are visited in any order, so no page needs
// its bytes held; a changed, missing, added or reordered piece changes the
// sum or the number of pieces.
struct PageDigest {
    std::array<std::uint64_t, 4> sum{};
    std::uint32_t pieces = 0;

    void Add(std::uint32_t offsetInPage, const std::uint8_t* data, std::uint32_t count);
    bool operator==(const PageDigest&) const = default;
};

// The count pass's record of the image, per flash page. Every page the image
// puts bytes into has a digest (40 bytes). The bytes themselves are kept for
// up to keptPages pages, the ones most recently touched: enough for the
// whole flash of the single-block parts, so that on those every record is
// compared byte by byte as it is read, and contradictions between records
// are found as the file is counted. Pages are kept only where the image puts
// bytes, so the shadow is bounded by the flash, never by the file.
class ImageShadow : public ImageBytes {
public:
    static constexpr std::size_t kKeptPages = 128;

    explicit ImageShadow(std::uint32_t flashLimit, std::size_t keptPages = kKeptPages);

    std::uint32_t FlashLimit() const { return flashLimit_; }

    // Takes in the bytes of a record that fits the flash; other records are
    // left out. False when a byte differs from the one an earlier record put
    // at the same place, in a page whose bytes are at hand; conflict is then
    // that byte's flash offset. A page touched again after its bytes were let
    // go cannot be compared here; it is listed in PagesToRecheck.
    bool Add(std::uint32_t address, const std::uint8_t* data, std::int32_t count,
             std::uint32_t& conflict);

    // Pages (flash offset / 512) whose bytes another reading of the file
    // must compare, in increasing order.
    std::vector<std::uint32_t> PagesToRecheck() const;

    // False when a record that fits the flash puts a byte where the image
    // puts none, or, in a page whose bytes are kept, a byte other than the
    // image's. Other pages are left to their digests.
    bool Agrees(std::uint32_t address, const std::uint8_t* data, std::int32_t count) const;

    // The byte the image puts at a record address, in a page whose bytes are
    // kept.
    std::optional<std::uint8_t> ByteAt(std::uint32_t address) const override;

    // Pages the image puts bytes into.
    std::size_t PageCount() const { return pageCount_; }
    // The digest of a page, or null when the image puts nothing there.
    const PageDigest* DigestOf(std::uint32_t page) const;
    // Whether every byte the image puts into the page is at hand.
    bool Keeps(std::uint32_t page) const { return kept_.count(page) != 0; }

private:
    // Pages in groups, so that a large image costs little more than its
    // digests.
    static constexpr std::uint32_t kGroup = 32;
    struct Group {
        std::array<PageDigest, kGroup> digests{};
        std::uint32_t used = 0;
        std::uint32_t recheck = 0; // touched again after its bytes were let go
    };
    struct KeptPage {
        std::uint32_t page = 0;
        std::array<std::uint8_t, kPageSize> bytes{};
        std::bitset<kPageSize> present;
    };
    using KeptList = std::list<KeptPage>;

    const KeptPage* FindKept(std::uint32_t page) const;
    // The kept bytes of the page, made the most recent; null when they are
    // not at hand. A page met for the first time is taken in.
    KeptPage* Keep(std::uint32_t page, bool isNew);

    std::uint32_t flashLimit_;
    std::size_t keptLimit_;
    std::size_t pageCount_ = 0;
    std::unordered_map<std::uint32_t, std::unique_ptr<Group>> groups_;
    KeptList keptOrder_; // most recent first
    std::unordered_map<std::uint32_t, KeptList::iterator> kept_;
};

// One later pass over the image, checked against the count pass's shadow.
// A record is handed on only once every byte it carries is known to be the
// image's: at once in a page whose bytes the shadow keeps, otherwise once
// the page's last piece has been read and its digest agrees; records wait
// for that in the order read. For a file in address order that is at most
// a page of records; past maxHeldBytes of waiting data (records of one page
// scattered over the whole file) the oldest goes on unconfirmed, and its
// page is still checked when its last piece comes.
class ShadowPass : public ImageBytes {
public:
    static constexpr std::size_t kMaxHeldBytes = std::size_t{64} * 1024;

    // keepPageBytes: assemble the pages that the shadow does not keep, so
    // that ByteAt can give pads from them.
    ShadowPass(const ImageShadow& shadow, bool keepPageBytes,
               std::size_t maxHeldBytes = kMaxHeldBytes);

    // Takes the next record the pass read (unpadded). False when it shows
    // that the file is not the image that was counted.
    bool Take(const HexRecord& record);
    // The oldest record read that may be used now.
    bool Next(HexRecord& record);
    // At the end of the file: every page had all its pieces.
    bool Complete() const { return completed_ == shadow_.PageCount(); }

    // From the shadow's kept pages, or from the pages of this pass while a
    // record handed on by Next may need them.
    std::optional<std::uint8_t> ByteAt(std::uint32_t address) const override;

    // Data bytes of the records waiting now.
    std::size_t HeldBytes() const { return heldData_.size(); }

private:
    struct Held {
        std::uint32_t address = 0;
        std::int32_t count = 0;
        // The pages it touches whose bytes the shadow does not keep: it
        // waits for them, and holds their assembled bytes.
        std::array<std::uint32_t, 2> pages{};
        std::uint8_t pageCount = 0;
    };
    struct Assembled {
        std::array<std::uint8_t, kPageSize> bytes{};
        std::bitset<kPageSize> present;
        std::uint32_t references = 0;
    };

    bool IsConfirmed(std::uint32_t page) const;
    void Confirm(std::uint32_t page);
    void DropLastOut();

    const ImageShadow& shadow_;
    bool keepPageBytes_;
    std::size_t maxHeldBytes_;
    std::unordered_map<std::uint32_t, PageDigest> running_;
    std::unordered_map<std::uint32_t, std::uint32_t> confirmed_; // bit per page, 32 per word
    std::size_t completed_ = 0;
    std::deque<Held> held_;
    std::deque<std::uint8_t> heldData_; // their bytes, in the same order
    std::unordered_map<std::uint32_t, Assembled> assembled_;
    // The record Next handed on last: its pages stay assembled until the
    // next call, for its pads.
    std::optional<Held> lastOut_;
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
