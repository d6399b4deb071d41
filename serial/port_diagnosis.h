#pragma once
// Why a port cannot be opened, and what is known of the adapter behind it,
// told after the fact from the port's name, so that the port itself keeps
// no more state than it needs. Backends: port_diagnosis_linux.cpp (any
// POSIX system; /proc and sysfs where there are) and port_diagnosis_win32.cpp.

#include <string>
#include <vector>

namespace talvex {

enum class PortProblem {
    None,         // it opens now
    BadBaud,      // the baud setting is not a positive whole number
    Missing,      // no such device (or no hardware behind the name)
    NotSerial,    // exists, but is no serial port
    NoPermission, // the user may not open it
    Held,         // another process has it
    Busy,         // it did not open, and the system did not say why
};

struct PortHolder {
    long pid = 0;
    std::string name; // the program's name, as the system gives it
};

struct PortDiagnosis {
    PortProblem problem = PortProblem::None;
    // One or more sentences for the operator; empty for None.
    std::string text;
    std::vector<PortHolder> holders; // for Held, where the system tells
};

// Opens the port as the download does, without taking it exclusively and
// without changing its settings, and when that fails finds out why. A port
// that does not exist is told with the ports that can be opened now unless
// listOthers is false: finding them opens every port of the system, which a
// run that only records its failure should not do behind the user's back.
PortDiagnosis DiagnosePort(const std::string& port, const std::string& baud,
                           bool listOthers = true);

// What the system knows of the adapter behind a port.
struct PortDescription {
    std::string text;        // "FTDI FT232R USB UART (0403:6001), serial A10K3XYZ"
    int latencyTimerMs = -1; // a USB adapter's latency timer, -1 when it has none
    std::string latencyTimerPath;
};

PortDescription DescribePort(const std::string& port);

// Linux: the description of /dev/<ttyName> read from the sysfs tree at
// sysRoot ("/sys" on a running system). Empty elsewhere.
PortDescription DescribeTty(const std::string& sysRoot, const std::string& ttyName);

// Every frame's answer waits for the latency timer; above 1 ms it is worth a
// warning. Empty when there is nothing to warn about.
std::string LatencyWarning(const std::string& port, const PortDescription& description);

} // namespace talvex
