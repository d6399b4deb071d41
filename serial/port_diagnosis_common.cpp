// The parts of the port diagnosis that are the same on every system.

#include "port_diagnosis.h"

#include <cstdint>
#include <vector>

#include "port_diagnosis_detail.h"
#include "serial_port.h"

namespace talvex {

namespace detail {

std::string OtherPorts(bool listOthers) {
    if (!listOthers) return {};
    const std::vector<std::string> ports = ListPorts();
    if (ports.empty()) return " No port can be opened now.";
    std::string text = " Ports that can be opened now:";
    for (std::size_t i = 0; i < ports.size(); ++i) text += (i == 0 ? " " : ", ") + ports[i];
    return text + ".";
}

bool DiagnoseSettings(const std::string& port, const std::string& baud, bool listOthers,
                      PortDiagnosis& d) {
    std::uint32_t rate = 0;
    if (!ParseBaud(baud, rate)) {
        d.problem = PortProblem::BadBaud;
        d.text = "The baud rate \"" + baud + "\" is not a positive whole number.";
        return true;
    }
    if (port.empty()) {
        d.problem = PortProblem::Missing;
        d.text = "No port is set." + OtherPorts(listOthers);
        return true;
    }
    return false;
}

} // namespace detail

std::string LatencyWarning(const std::string& port, const PortDescription& description) {
    const int ms = description.latencyTimerMs;
    if (ms <= 1) return {};
    // A target answers each frame at once, but the adapter holds the answer
    // until its timer runs out: one 16-byte record per timer period at best.
    const int tenthsKBps = (160 + ms - 1) / ms; // 16 bytes per period, rounded up
    std::string text = port + ": the USB adapter's latency timer is " + std::to_string(ms) +
                       " ms. Every frame waits for it, so a download of 16-byte records runs at "
                       "under " +
                       std::to_string(tenthsKBps / 10) + "." + std::to_string(tenthsKBps % 10) +
                       " kB/s.";
    if (!description.latencyTimerPath.empty()) {
        text += " As root: echo 1 > " + description.latencyTimerPath;
    }
    return text;
}

} // namespace talvex
