// Ports for the Comms page: the standard ports as "COMn" first, so that
// settings files written on Windows keep working, then adapters by path.

#include "serial_port.h"
#include "unique_fd.h"

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace talvex {

namespace {

// Linux lists a ttyS node for every possible UART; "type" 0 means no chip
// sits behind it. Such a node cannot be used, and skipping it spares an open.
bool KernelSaysNoUart(const std::string& name) {
    std::ifstream in("/sys/class/tty/" + name + "/type");
    int type = -1;
    return in >> type && type == 0;
}

// Opens the device the way the port would, without waiting for carrier,
// without touching its settings, and lets go at once. A port another
// instance holds fails here on its lock, as it would on Open.
bool CanOpen(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    const UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) return false;
    termios tio{};
    return ::tcgetattr(fd.Get(), &tio) == 0 && ::flock(fd.Get(), LOCK_EX | LOCK_NB) == 0;
}

// Names in /dev that start with one of the prefixes, in natural order so
// that ttyUSB10 follows ttyUSB9.
std::vector<std::string> DevNodes(const std::vector<std::string>& prefixes) {
    std::vector<std::string> names;
    DIR* dir = ::opendir("/dev");
    if (dir == nullptr) return names;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): safe on a stream no other thread reads
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        for (const std::string& p : prefixes) {
            if (name.size() > p.size() && name.compare(0, p.size(), p) == 0) {
                names.push_back(name);
                break;
            }
        }
    }
    ::closedir(dir);
    auto key = [](const std::string& s) {
        std::size_t i = s.size();
        while (i > 0 && s[i - 1] >= '0' && s[i - 1] <= '9') --i;
        const std::string digits = s.substr(i);
        return std::make_pair(s.substr(0, i),
                              digits.empty() ? 0UL : std::stoul(digits.substr(0, 9)));
    };
    std::stable_sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        const auto ka = key(a);
        const auto kb = key(b);
        return ka != kb ? ka < kb : a < b;
    });
    return names;
}

} // namespace

std::vector<std::string> ListPorts() {
    std::vector<std::string> ports;
    // COM1..COM98 as on Windows.
    for (int n = 0; n < 98; ++n) {
        const std::string name = "ttyS" + std::to_string(n);
        if (KernelSaysNoUart(name)) continue;
        if (CanOpen("/dev/" + name)) ports.push_back("COM" + std::to_string(n + 1));
    }
    // USB adapters (FTDI, CP210x, CH340, PL2303), CDC-ACM boards, then the
    // on-board UARTs of embedded Linux boards.
    static const std::vector<std::string> kGroups[] = {
        {"ttyUSB"},
        {"ttyACM"},
        {"ttyAMA", "ttymxc", "ttySAC", "ttyO", "ttyTHS", "ttyHS"},
    };
    for (const auto& group : kGroups) {
        for (const std::string& name : DevNodes(group)) {
            const std::string path = "/dev/" + name;
            if (CanOpen(path)) ports.push_back(path);
        }
    }
    return ports;
}

} // namespace talvex
