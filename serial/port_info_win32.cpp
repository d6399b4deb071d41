// Adapter descriptions from the device manager's "Ports" class: each present
// port device names its COM port in its registry key and carries the
// friendly name the driver gave it ("USB Serial Port (COM3)").

#include "port_info.h"

#include "serial_port.h"

#include <cstring>
#include <cwchar>
#include <map>

#include <windows.h>
#include <setupapi.h>

#include "utf16_win32.h"

namespace talvex {

namespace {

// The device manager's "Ports (COM & LPT)" class, spelled out so that no
// import library has to supply it.
const GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::string ReadPortName(HDEVINFO set, SP_DEVINFO_DATA& device) {
    HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (key == INVALID_HANDLE_VALUE) return {};
    char value[64] = {};
    DWORD size = sizeof value - 1;
    DWORD type = 0;
    const LONG rc =
        RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ) return {};
    return std::string(value, strnlen(value, sizeof value));
}

std::string ReadProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
    // Wide: drivers name their adapters in the user's language.
    wchar_t value[256] = {};
    if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr,
                                           reinterpret_cast<BYTE*>(value), sizeof value - 2,
                                           nullptr))
        return {};
    return Utf8Name(std::wstring_view(value, wcsnlen(value, 256))).value_or(std::string());
}

// Port name to description, for the port devices present now.
std::map<std::string, std::string> Descriptions() {
    std::map<std::string, std::string> out;
    HDEVINFO set = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return out;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        const std::string port = ReadPortName(set, device);
        if (port.empty()) continue;
        std::string text = ReadProperty(set, device, SPDRP_FRIENDLYNAME);
        // The friendly name ends in the port name, which the list shows anyway.
        const std::string suffix = " (" + port + ")";
        if (text.size() > suffix.size() &&
            text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0)
            text.erase(text.size() - suffix.size());
        const std::string maker = ReadProperty(set, device, SPDRP_MFG);
        if (!maker.empty() && maker[0] != '(' && text.find(maker) == std::string::npos)
            text = maker + " " + text;
        out[port] = text;
    }
    SetupDiDestroyDeviceInfoList(set);
    return out;
}

} // namespace

std::vector<PortEntry> ListPortEntries() {
    const std::map<std::string, std::string> known = Descriptions();
    std::vector<PortEntry> entries;
    for (const std::string& name : ListPorts()) {
        const auto it = known.find(name);
        entries.push_back({name, it == known.end() ? std::string() : it->second});
    }
    return entries;
}

} // namespace talvex
