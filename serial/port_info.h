#pragma once
// Ports with a description of the adapter behind each, for a person choosing
// among several: the name is what the settings store and the port opens, the
// description only helps to tell adapters apart.

#include <string>
#include <vector>

namespace talvex {

struct PortEntry {
    std::string name;        // as ListPorts() gives it: "COM3", "/dev/ttyUSB0"
    std::string description; // empty when the system tells nothing
};

// ListPorts() in its order, each with what the system knows of the adapter
// (Linux: USB manufacturer, product and serial number from sysfs; Windows:
// the device's friendly name).
std::vector<PortEntry> ListPortEntries();

#ifndef _WIN32
// Linux: the description of tty device ttyName (e.g. "ttyUSB0") as read from
// the sysfs tree under sysRoot ("/sys" normally): the USB device above it,
// "Manufacturer Product, serial S". Empty for a port that is not on USB.
// Every field is cut to a sane length and stripped of control characters,
// as devices report what they like.
std::string DescribeTtyFromSysfs(const std::string& sysRoot, const std::string& ttyName);
#endif

} // namespace talvex
