#include "device_holder.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace pondrel {

namespace {

std::string describe(const std::string& pid) {
    std::string name;
    std::ifstream("/proc/" + pid + "/comm") >> name;
    return "process " + pid + (name.empty() ? "" : " (" + name + ")");
}

// The process holding a lock on the file `device` names, from /proc/locks:
// "1: FLOCK  ADVISORY  WRITE 1234 00:19:3 0 EOF".
std::string lock_holder(const struct stat& device) {
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string id, kind, advisory, mode, pid, file;
        if (!(fields >> id >> kind)) continue;
        if (kind == "->") fields >> kind;  // a waiter on the lock before it
        if (!(fields >> advisory >> mode >> pid >> file)) continue;
        unsigned int major_number = 0, minor_number = 0;
        unsigned long inode = 0;
        if (std::sscanf(file.c_str(), "%x:%x:%lu", &major_number, &minor_number, &inode) != 3) continue;
        if (major_number == major(device.st_dev) && minor_number == minor(device.st_dev) && inode == device.st_ino &&
            pid != std::to_string(getpid())) {
            return describe(pid);
        }
    }
    return "";
}

// The first other process that has the device open.
std::string opener(const struct stat& device) {
    namespace fs = std::filesystem;
    const std::string self = std::to_string(getpid());
    std::error_code error;
    for (const fs::directory_entry& process : fs::directory_iterator("/proc", error)) {
        const std::string pid = process.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
        std::error_code fd_error;
        for (const fs::directory_entry& fd : fs::directory_iterator(process.path() / "fd", fd_error)) {
            struct stat open_file {};
            if (stat(fd.path().c_str(), &open_file) != 0) continue;
            if (open_file.st_dev == device.st_dev && open_file.st_ino == device.st_ino) return describe(pid);
        }
    }
    return "";
}

}  // namespace

std::string device_holder(const std::string& path) {
    struct stat device {};
    if (stat(path.c_str(), &device) != 0) return "";
    const std::string locker = lock_holder(device);
    return locker.empty() ? opener(device) : locker;
}

}  // namespace pondrel
