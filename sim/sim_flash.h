#pragma once
// The target's flash: user flash from 0x80000, erased to 0xFF, programmed by
// AND as real flash cells are, with the bootloader kernel out of reach.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zarq {

class FlashModel {
public:
    // size: bytes from 0x80000; kernelOffset: where the kernel begins. A
    // board fresh from the factory reads 0xFF everywhere; one that held a
    // program before reads whatever fill and preset leave, with preset's
    // bytes from 0x80000 on (at most size of them).
    FlashModel(std::uint32_t size, std::uint32_t kernelOffset, std::uint8_t fill = 0xFF,
               const std::vector<std::uint8_t>& preset = {});

    // Each returns false with the reason (absolute addresses) when refused;
    // a refused command changes nothing.
    bool MassErase(std::string& why);
    bool ErasePages(std::uint32_t offset, std::uint32_t pages, std::string& why);
    bool Write(std::uint32_t offset, const std::uint8_t* data, std::size_t count, std::string& why);
    // data as sent: each byte rotated left by 3.
    bool Verify(std::uint32_t offset, const std::uint8_t* rotated, std::size_t count,
                std::string& why);

    const std::vector<std::uint8_t>& Bytes() const { return cells_; }
    std::uint32_t KernelOffset() const { return kernel_; }

private:
    bool InUserFlash(std::uint64_t offset, std::uint64_t count, const char* what,
                     std::string& why) const;
    std::vector<std::uint8_t> cells_;
    std::uint32_t kernel_;
};

struct FlashGeometry {
    std::uint32_t size = 0;        // bytes from 0x80000
    std::uint32_t kernelStart = 0; // absolute
};

// Reads ROMStart, ROMEnd, KStart and KEnd of one part from a zelchip.ini.
// Section and key names match without regard to case, as the host's ini
// reader does.
bool ReadPartGeometry(const std::string& path, const std::string& part, FlashGeometry& out,
                      std::string& error);

// Reads a raw flash image (offset 0 = 0x80000, as --dump writes one) of at
// most size bytes; false with the file and the reason otherwise.
bool ReadFlashPreset(const std::string& path, std::uint32_t size, std::vector<std::uint8_t>& out,
                     std::string& error);

std::string Hex(std::uint64_t v);

} // namespace zarq
