#include "file_change.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

namespace testing_support {

namespace {

bool ends_with(const char* name, const char* end) {
    const std::size_t n = std::strlen(name), e = std::strlen(end);
    return n >= e && std::strcmp(name + n - e, end) == 0;
}

}  // namespace

bool wait_for_change(const std::string& path, const std::function<bool()>& holds, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    // Watched before the first check: a write in between wakes the wait.
    const int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0 || inotify_add_watch(fd, path.c_str(), IN_MODIFY | IN_CREATE | IN_MOVED_TO) < 0) {
        if (fd >= 0) ::close(fd);
        return holds();
    }
    bool held = holds();
    while (!held) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) break;
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, static_cast<int>(left.count())) <= 0) continue;
        bool written = false;
        alignas(inotify_event) char events[4096];
        for (ssize_t n; (n = ::read(fd, events, sizeof events)) > 0;) {
            for (const char* at = events; at < events + n;) {
                inotify_event event;  // copied: on some targets the buffer's alignment is not the event's
                std::memcpy(&event, at, sizeof event);
                const char* name = at + sizeof event;
                written = written || event.len == 0 || !ends_with(name, "-shm");
                at += sizeof event + event.len;
            }
        }
        if (written) held = holds();
    }
    ::close(fd);
    return held;
}

}  // namespace testing_support
