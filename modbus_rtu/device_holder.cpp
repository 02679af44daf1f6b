#include "device_holder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

std::string device_holder(const std::string& path) {
    namespace fs = std::filesystem;
    struct stat device {};
    if (stat(path.c_str(), &device) != 0) return "";
    const std::string self = std::to_string(getpid());
    std::error_code error;
    for (const fs::directory_entry& process : fs::directory_iterator("/proc", error)) {
        const std::string pid = process.path().filename().string();
        if (pid.find_first_not_of("0123456789") != std::string::npos || pid == self) continue;
        std::error_code fd_error;
        for (const fs::directory_entry& fd : fs::directory_iterator(process.path() / "fd", fd_error)) {
            struct stat open_file {};
            if (stat(fd.path().c_str(), &open_file) != 0) continue;
            const bool same = S_ISCHR(device.st_mode) ? S_ISCHR(open_file.st_mode) && open_file.st_rdev == device.st_rdev
                                                      : open_file.st_dev == device.st_dev && open_file.st_ino == device.st_ino;
            if (!same) continue;
            std::string name;
            std::ifstream(process.path() / "comm") >> name;
            return "process " + pid + (name.empty() ? "" : " (" + name + ")");
        }
    }
    return "";
}
