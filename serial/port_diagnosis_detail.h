#pragma once
// What the port diagnosis of every system starts with; for the backends only.

#include <string>

#include "port_diagnosis.h"

namespace talvex::detail {

// " Ports that can be opened now: ...", to follow a sentence; empty when
// not asked for.
std::string OtherPorts(bool listOthers);

// The settings can tell what is wrong before the port is looked at: a baud
// rate that is no number, or no port at all. True, with d filled in, then.
bool DiagnoseSettings(const std::string& port, const std::string& baud, bool listOthers,
                      PortDiagnosis& d);

} // namespace talvex::detail
