// Ports for the Comms page: every COMn from 1 to 98 that opens now.

#include "serial_port.h"

#include <windows.h>

#include "unique_handle.h"

namespace talvex {

std::vector<std::string> ListPorts() {
    std::vector<std::string> ports;
    for (int n = 1; n <= 98; ++n) {
        const std::string name = "COM" + std::to_string(n);
        // No access rights are asked for: existence and "not in use by
        // someone else" is all that matters, and the line stays as it is.
        const UniqueHandle h(
            CreateFileA(("//./" + name).c_str(), 0, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (h.Valid()) ports.push_back(name);
    }
    return ports;
}

} // namespace talvex
