// Adapter descriptions from sysfs. A USB serial adapter's tty sits below the
// USB interface, which sits below the USB device that carries the strings
// its maker programmed in: manufacturer, product and serial number.

#include "port_info.h"

#include "serial_port.h"

#include <filesystem>
#include <fstream>

namespace talvex {

namespace {

namespace fs = std::filesystem;

// Device strings are whatever the adapter's firmware says; a cloned chip may
// send garbage. Keep them printable and short enough for a list line.
std::string CleanField(const std::string& raw) {
    constexpr std::size_t kMaxField = 64;
    std::string out;
    for (unsigned char c : raw) {
        if (c == '\n' || c == '\r') break;
        if (out.size() >= kMaxField) break;
        out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    std::size_t lead = 0;
    while (lead < out.size() && out[lead] == ' ') ++lead;
    return out.substr(lead);
}

std::string ReadField(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) return {};
    return CleanField(line);
}

// The tty node a port name stands for: "COMn" is ttyS(n-1) as when the port
// opens, a path is its last element.
std::string TtyNameOf(const std::string& port) {
    const std::string path = CSerialPort::DevicePath(port);
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::string DescribeTtyFromSysfs(const std::string& sysRoot, const std::string& ttyName) {
    if (ttyName.empty() || ttyName.find('/') != std::string::npos || ttyName == "." ||
        ttyName == "..")
        return {};
    std::error_code ec;
    const fs::path root = fs::weakly_canonical(fs::path(sysRoot), ec);
    if (ec) return {};
    fs::path dir = fs::canonical(fs::path(sysRoot) / "class" / "tty" / ttyName / "device", ec);
    if (ec) return {};
    // ttyUSB: device is the usb-serial port, two levels below the USB
    // device; ttyACM: device is the interface, one level below. Four levels
    // are plenty, and the walk never leaves the sysfs tree.
    for (int level = 0; level < 4 && dir != root && dir.has_parent_path(); ++level) {
        if (fs::exists(dir / "idVendor", ec)) {
            const std::string maker = ReadField(dir / "manufacturer");
            const std::string product = ReadField(dir / "product");
            const std::string serial = ReadField(dir / "serial");
            std::string text;
            if (!maker.empty() && product.compare(0, maker.size(), maker) != 0) text = maker;
            if (!product.empty()) text += (text.empty() ? "" : " ") + product;
            if (text.empty()) {
                text = "USB " + ReadField(dir / "idVendor") + ":" + ReadField(dir / "idProduct");
            }
            if (!serial.empty()) text += ", serial " + serial;
            return text;
        }
        dir = dir.parent_path();
    }
    return {};
}

std::vector<PortEntry> ListPortEntries() {
    std::vector<PortEntry> entries;
    for (const std::string& name : ListPorts())
        entries.push_back({name, DescribeTtyFromSysfs("/sys", TtyNameOf(name))});
    return entries;
}

} // namespace talvex
