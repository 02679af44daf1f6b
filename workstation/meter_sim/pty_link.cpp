#include "pty_link.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace pondrel {

void make_pty_link(const std::string& device, const std::string& link) {
    struct stat info {};
    if (lstat(link.c_str(), &info) == 0) {
        char target[PATH_MAX] = {};
        const ssize_t length = S_ISLNK(info.st_mode) ? readlink(link.c_str(), target, sizeof target - 1) : -1;
        if (length <= 0 || std::strncmp(target, "/dev/pts/", 9) != 0) {
            throw std::runtime_error("--link " + link + " exists and is not a link to a pseudo-terminal; not replacing it");
        }
        if (unlink(link.c_str()) != 0) {
            throw std::runtime_error("cannot replace the link " + link + ": " + std::strerror(errno));
        }
    }
    if (symlink(device.c_str(), link.c_str()) != 0) {
        throw std::runtime_error("cannot make the link " + link + ": " + std::strerror(errno));
    }
}

}  // namespace pondrel
