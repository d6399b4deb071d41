// Port diagnosis on Windows: the error code of a fresh open. Windows does
// not tell which program holds a COM port, and the adapter's description
// would need the device installer's API; neither is given here.

#include "port_diagnosis.h"

#include <windows.h>

#include "system_error_text.h"

#include "serial_port.h"

namespace talvex {

namespace {

// " Ports that can be opened now: ...", to follow a sentence; empty when
// not asked for.
std::string Others(bool listOthers) {
    if (!listOthers) return {};
    const std::vector<std::string> ports = ListPorts();
    if (ports.empty()) return " No port can be opened now.";
    std::string text = " Ports that can be opened now:";
    for (std::size_t i = 0; i < ports.size(); ++i) text += (i == 0 ? " " : ", ") + ports[i];
    return text + ".";
}

} // namespace

PortDiagnosis DiagnosePort(const std::string& port, const std::string& baud, bool listOthers) {
    PortDiagnosis d;
    std::uint32_t rate = 0;
    if (!ParseBaud(baud, rate)) {
        d.problem = PortProblem::BadBaud;
        d.text = "The baud rate \"" + baud + "\" is not a positive whole number.";
        return d;
    }
    if (port.empty()) {
        d.problem = PortProblem::Missing;
        d.text = "No port is set." + Others(listOthers);
        return d;
    }
    HANDLE h = CreateFileA(CSerialPort::DevicePath(port).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return d;
    }
    const DWORD code = GetLastError();
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        d.problem = PortProblem::Missing;
        d.text = port + " does not exist." + Others(listOthers);
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        // A COM port is opened exclusively; this is what a second opener
        // gets. Windows does not say who has it.
        d.problem = PortProblem::Held;
        d.text = port + " is in use by another program; Windows does not say which.";
        break;
    default:
        d.problem = PortProblem::Busy;
        d.text = port + " is busy: " + SystemErrorText(code) + " (error " + std::to_string(code) +
                 "); the system gave no more.";
        break;
    }
    return d;
}

PortDescription DescribeTty(const std::string&, const std::string&) { return {}; }

PortDescription DescribePort(const std::string&) { return {}; }

} // namespace talvex
