// Port diagnosis on Windows: the error code of a fresh open. Windows does
// not tell which program holds a COM port, and the adapter's description
// would need the device installer's API; neither is given here.

#include "port_diagnosis.h"

#include <windows.h>

#include "system_error_text.h"

#include "port_diagnosis_detail.h"
#include "serial_port.h"
#include "unique_handle.h"
#include "utf16_win32.h"

namespace talvex {

PortDiagnosis DiagnosePort(const std::string& port, const std::string& baud, bool listOthers) {
    PortDiagnosis d;
    if (detail::DiagnoseSettings(port, baud, listOthers, d)) return d;
    std::string notConverted;
    const auto device = WideName(CSerialPort::DevicePath(port), &notConverted);
    if (!device) {
        d.problem = PortProblem::Missing;
        d.text = port + ": " + notConverted + "." + detail::OtherPorts(listOthers);
        return d;
    }
    const UniqueHandle h(CreateFileW(device->c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
    if (h.Valid()) return d; // and lets go of the port at once
    const DWORD code = GetLastError();
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
        d.problem = PortProblem::Missing;
        d.text = port + " does not exist." + detail::OtherPorts(listOthers);
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
