// Port diagnosis on Linux (and, without /proc and sysfs, on other POSIX
// systems): errno of a fresh open, the device's owner and mode, the
// processes in /proc that hold it, and the adapter's attributes in sysfs.

#include "port_diagnosis.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "port_diagnosis_detail.h"
#include "serial_port.h"
#include "system_error_text.h"
#include "unique_fd.h"

namespace talvex {

namespace {

std::string ReadLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

std::string RealPath(const std::string& path) {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The user and group databases through their reentrant calls: the boards
// of a gang each have a worker, and two may diagnose their ports at once.
// The buffer grows while an entry (a group with many members) needs more.
template <typename Entry, typename Lookup>
const Entry* LookUp(Entry& entry, std::vector<char>& buffer, Lookup lookup) {
    constexpr std::size_t kLargestBuffer = std::size_t{1} << 20;
    buffer.resize(1024);
    for (;;) {
        Entry* found = nullptr;
        const int error = lookup(&entry, buffer.data(), buffer.size(), &found);
        if (error != ERANGE || buffer.size() >= kLargestBuffer) return error == 0 ? found : nullptr;
        buffer.resize(buffer.size() * 2);
    }
}

const passwd* UserById(uid_t uid, passwd& entry, std::vector<char>& buffer) {
    return LookUp(entry, buffer, [uid](passwd* e, char* b, std::size_t n, passwd** r) {
        return ::getpwuid_r(uid, e, b, n, r);
    });
}

const passwd* UserByName(const std::string& name, passwd& entry, std::vector<char>& buffer) {
    return LookUp(entry, buffer, [&name](passwd* e, char* b, std::size_t n, passwd** r) {
        return ::getpwnam_r(name.c_str(), e, b, n, r);
    });
}

const group* GroupById(gid_t gid, group& entry, std::vector<char>& buffer) {
    return LookUp(entry, buffer, [gid](group* e, char* b, std::size_t n, group** r) {
        return ::getgrgid_r(gid, e, b, n, r);
    });
}

std::string UserName(uid_t uid) {
    passwd entry{};
    std::vector<char> buffer;
    if (const passwd* pw = UserById(uid, entry, buffer)) return pw->pw_name;
    return "uid " + std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    group entry{};
    std::vector<char> buffer;
    if (const group* gr = GroupById(gid, entry, buffer)) return gr->gr_name;
    return "gid " + std::to_string(gid);
}

std::string ModeText(mode_t mode) {
    std::string text = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : "-";
    const mode_t bits[] = {S_IRUSR, S_IWUSR, S_IXUSR, S_IRGRP, S_IWGRP,
                           S_IXGRP, S_IROTH, S_IWOTH, S_IXOTH};
    const char letters[] = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) text += (mode & bits[i]) ? letters[i] : '-';
    return text;
}

// The process has the group now (its own, or one of its supplementary ones).
bool ProcessHasGroup(gid_t gid) {
    if (::getegid() == gid) return true;
    const int count = ::getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    const int got = ::getgroups(count, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// The group database lists the user in the group (a membership that the
// login in hand may not carry yet).
bool GroupListsUser(gid_t gid, const std::string& user) {
    group groupEntry{};
    std::vector<char> groupBuffer;
    const group* gr = GroupById(gid, groupEntry, groupBuffer);
    if (gr == nullptr) return false;
    for (char** member = gr->gr_mem; member != nullptr && *member != nullptr; ++member) {
        if (user == *member) return true;
    }
    passwd userEntry{};
    std::vector<char> userBuffer;
    const passwd* pw = UserByName(user, userEntry, userBuffer);
    return pw != nullptr && pw->pw_gid == gid;
}

std::string PermissionText(const std::string& label, const struct stat& st) {
    const std::string user = UserName(::geteuid());
    const std::string groupName = GroupName(st.st_gid);
    const bool groupMayUse = (st.st_mode & S_IRGRP) && (st.st_mode & S_IWGRP);
    std::string text = "Permission denied: " + label + " belongs to " + UserName(st.st_uid) +
                       " and group " + groupName + " (" + ModeText(st.st_mode) + "). ";
    if (ProcessHasGroup(st.st_gid)) {
        text += "User " + user + " is in group " + groupName + ", but the group may not " +
                "read and write it.";
    } else if (GroupListsUser(st.st_gid, user)) {
        text += "User " + user + " is in group " + groupName +
                ", but this login does not have the group yet: log out and in again.";
    } else if (groupMayUse) {
        text += "User " + user + " is not in group " + groupName + ": add it (sudo usermod -aG " +
                groupName + " " + user + ") and log in again.";
    } else {
        text += "User " + user + " is not in group " + groupName +
                ", and the group may not read and write it either; only " + UserName(st.st_uid) +
                " may open it.";
    }
    return text;
}

// Processes other than this one with the device open, found by comparing
// the device number of every descriptor in /proc. Processes of other users
// stay hidden from an ordinary user; hidden counts them.
std::vector<PortHolder> FindHolders(dev_t device, int& hidden) {
    std::vector<PortHolder> holders;
    hidden = 0;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return holders;
    const long self = static_cast<long>(::getpid());
    // NOLINTNEXTLINE(concurrency-mt-unsafe): safe on a stream no other thread reads
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid == self) continue;
        const std::string fdDir = "/proc/" + std::string(entry->d_name) + "/fd";
        DIR* fds = ::opendir(fdDir.c_str());
        if (fds == nullptr) {
            if (errno == EACCES) ++hidden;
            continue;
        }
        bool holds = false;
        // NOLINTNEXTLINE(concurrency-mt-unsafe): safe on a stream no other thread reads
        while (const dirent* fd = ::readdir(fds)) {
            if (fd->d_name[0] == '.') continue;
            struct stat st {};
            if (::stat((fdDir + "/" + fd->d_name).c_str(), &st) == 0 && S_ISCHR(st.st_mode) &&
                st.st_rdev == device) {
                holds = true;
                break;
            }
        }
        ::closedir(fds);
        if (holds) {
            holders.push_back({pid, ReadLine("/proc/" + std::string(entry->d_name) + "/comm")});
        }
    }
    ::closedir(proc);
    std::sort(holders.begin(), holders.end(),
              [](const PortHolder& a, const PortHolder& b) { return a.pid < b.pid; });
    return holders;
}

// The device /dev/tty is, whatever name it was reached by.
bool IsControllingTerminalDevice(const struct stat& st) {
    struct stat tty {};
    return ::stat("/dev/tty", &tty) == 0 && S_ISCHR(tty.st_mode) && tty.st_rdev == st.st_rdev;
}

PortDiagnosis Held(const std::string& label, const std::string& path, dev_t device) {
    PortDiagnosis d;
    d.problem = PortProblem::Held;
    int hidden = 0;
    d.holders = FindHolders(device, hidden);
    if (d.holders.empty() && hidden > 0) {
        d.text = label + " is held by another process; the system does not tell this user " +
                 "which (as root: fuser -v " + path + ").";
        return d;
    }
    if (d.holders.empty()) {
        d.text = label + " is held exclusively, but no process has it open now: it may have " +
                 "just been let go. Try again.";
        return d;
    }
    d.text = label + " is held by another process:";
    for (std::size_t i = 0; i < d.holders.size(); ++i) {
        d.text += (i == 0 ? " " : ", ") + std::string("process ") +
                  std::to_string(d.holders[i].pid) +
                  (d.holders[i].name.empty() ? "" : " (" + d.holders[i].name + ")");
    }
    d.text += ". Close it there, or end that program.";
    return d;
}

} // namespace

PortDiagnosis DiagnosePort(const std::string& port, const std::string& baud, bool listOthers) {
    PortDiagnosis d;
    if (detail::DiagnoseSettings(port, baud, listOthers, d)) return d;
    const std::string path = CSerialPort::DevicePath(port);
    const std::string label = port == path ? path : port + " (" + path + ")";

    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) {
            d.problem = PortProblem::Missing;
            struct stat link {};
            const bool dangling = ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
            d.text = label +
                     (dangling ? " is a link to a device that is gone." : " does not exist.") +
                     detail::OtherPorts(listOthers);
        } else if (err == EACCES) {
            d.problem = PortProblem::NoPermission;
            d.text = "Permission denied: a folder on the way to " + label + " is closed to user " +
                     UserName(::geteuid()) + ".";
        } else {
            d.problem = PortProblem::Busy;
            d.text = label + " cannot be looked at: " + ErrnoText(err) + ".";
        }
        return d;
    }
    if (!S_ISCHR(st.st_mode)) {
        d.problem = PortProblem::NotSerial;
        d.text = label + " is not a device, so it cannot be a serial port.";
        return d;
    }

    // Opened as the download opens it, but without taking it exclusively
    // and without changing its settings.
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (!fd.Valid()) {
        const int err = errno;
        if (err == EACCES || err == EPERM) {
            d.problem = PortProblem::NoPermission;
            d.text = PermissionText(label, st);
        } else if (err == EBUSY) {
            // The holder took it exclusively.
            return Held(label, path, st.st_rdev);
        } else if (err == ENXIO && IsControllingTerminalDevice(st)) {
            // /dev/tty stands for the controlling terminal of whoever opens
            // it; a process started by a service, cron or setsid has none.
            d.problem = PortProblem::Missing;
            d.text = label + " stands for the controlling terminal of the process that opens " +
                     "it, and this process has no controlling terminal (it was started without " +
                     "one, as by a service, cron or setsid)." + detail::OtherPorts(listOthers);
        } else if (err == ENXIO || err == ENODEV || err == ENOENT) {
            d.problem = PortProblem::Missing;
            d.text = label + " has no hardware behind it (no serial chip at this address, or " +
                     "the adapter was unplugged)." + detail::OtherPorts(listOthers);
        } else {
            d.problem = PortProblem::Busy;
            d.text = label + " is busy: " + ErrnoText(err) + "; the system gave no more.";
        }
        return d;
    }
    termios tio{};
    if (::tcgetattr(fd.Get(), &tio) != 0) {
        d.problem = PortProblem::NotSerial;
        d.text = label + " is a device, but not a serial port.";
        return d;
    }
    // A second TALVEX run as root passes the exclusive flag but not the lock.
    if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) {
        const int err = errno;
        // Let go of the device before the slow look through /proc.
        (void)fd.Close();
        if (err == EWOULDBLOCK) return Held(label, path, st.st_rdev);
        d.problem = PortProblem::Busy;
        d.text = label + " is busy: " + ErrnoText(err) + "; the system gave no more.";
        return d;
    }
    return d;
}

PortDescription DescribeTty(const std::string& sysRoot, const std::string& ttyName) {
    PortDescription description;
    const std::string classDir = sysRoot + "/class/tty/" + ttyName;
    const std::string device = RealPath(classDir + "/device");
    if (device.empty()) return description; // a pseudo-terminal or a virtual console

    const std::string latency = ReadLine(device + "/latency_timer");
    if (!latency.empty() && latency.find_first_not_of("0123456789") == std::string::npos &&
        latency.size() < 6) {
        description.latencyTimerMs = std::atoi(latency.c_str());
        description.latencyTimerPath = device + "/latency_timer";
        if (sysRoot == "/sys") {
            // The stable name is the one to give in advice.
            description.latencyTimerPath =
                "/sys/bus/usb-serial/devices/" + ttyName + "/latency_timer";
        }
    }

    // The USB device is the nearest folder above that carries a vendor id.
    std::string dir = device;
    for (int level = 0; level < 6 && dir.size() > sysRoot.size(); ++level) {
        const std::string vendor = ReadLine(dir + "/idVendor");
        if (!vendor.empty()) {
            const std::string maker = ReadLine(dir + "/manufacturer");
            const std::string product = ReadLine(dir + "/product");
            const std::string serial = ReadLine(dir + "/serial");
            std::string text = maker;
            if (!product.empty()) text += (text.empty() ? "" : " ") + product;
            if (text.empty()) text = "USB adapter";
            text += " (" + vendor + ":" + ReadLine(dir + "/idProduct") + ")";
            if (!serial.empty()) text += ", serial " + serial;
            description.text = text;
            return description;
        }
        dir = dir.substr(0, dir.find_last_of('/'));
    }
    // An on-board UART has nothing to tell beyond its name.
    return description;
}

PortDescription DescribePort(const std::string& port) {
    const std::string path = CSerialPort::DevicePath(port);
    const std::string real = RealPath(path);
    return DescribeTty("/sys", BaseName(real.empty() ? path : real));
}

} // namespace talvex
