// pondrel-host as systemd runs it: the notifications it sends on the socket
// systemd names (NOTIFY_SOCKET, WATCHDOG_USEC), here one the test listens
// on: ready, a status that follows the meters, watchdog pings that stop while
// a line's worker is stuck in a request, reloading and stopping.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <thread>

#include "host_program_fixture.h"
#include "loopback_listener.h"

using namespace host_programs;

namespace {

using Clock = std::chrono::steady_clock;

// A datagram socket as systemd's notification socket.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        timeval wait{0, 100000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    }
    ~NotifySocket() { close(fd_); }
    struct Message {
        Clock::time_point at;
        std::string text;
    };
    // What came within `time`.
    std::vector<Message> read_for(std::chrono::milliseconds time) {
        std::vector<Message> messages;
        const auto until = Clock::now() + time;
        char buffer[4096];
        while (Clock::now() < until) {
            const ssize_t got = recv(fd_, buffer, sizeof buffer, 0);
            if (got > 0) messages.push_back({Clock::now(), std::string(buffer, static_cast<std::size_t>(got))});
        }
        return messages;
    }

private:
    int fd_ = -1;
};

bool has(const std::vector<NotifySocket::Message>& messages, const std::string& part) {
    return std::any_of(messages.begin(), messages.end(),
                       [&](const auto& m) { return m.text.find(part) != std::string::npos; });
}

// The longest time between two pings, from the first to the end of `span`.
std::chrono::milliseconds longest_silence(const std::vector<NotifySocket::Message>& messages, Clock::time_point end) {
    std::optional<Clock::time_point> last;
    Clock::duration longest{};
    for (const auto& m : messages) {
        if (m.text != "WATCHDOG=1") continue;
        if (last) longest = std::max(longest, m.at - *last);
        last = m.at;
    }
    if (last) longest = std::max(longest, end - *last);
    return std::chrono::duration_cast<std::chrono::milliseconds>(longest);
}

class ServiceTest : public HostProgramTest {
protected:
    void SetUp() override {
        HostProgramTest::SetUp();
        socket_ = std::make_unique<NotifySocket>(dir_ + "/notify");
        setenv("NOTIFY_SOCKET", (dir_ + "/notify").c_str(), 1);
        setenv("WATCHDOG_USEC", "1000000", 1);
    }
    void TearDown() override {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        socket_.reset();
        HostProgramTest::TearDown();
    }
    std::unique_ptr<NotifySocket> socket_;
};

}  // namespace

TEST_F(ServiceTest, ReadyStatusPingsReloadingAndStopping) {
    Meter meters({"--slave", "1-2", "--fault", "2=silent"});
    const std::string config = file("site.toml", "[history]\nfile = \"" + history_ + "\"\n[[line]]\nname = \"bus\"\n"
                                                 "device = \"" + meters.path + "\"\ntimeout_ms = 200\n"
                                                 "[[meter]]\nname = \"m1\"\nline = \"bus\"\nslave = 1\ninterval = 0.2\n"
                                                 "[[meter]]\nname = \"m2\"\nline = \"bus\"\nslave = 2\ninterval = 0.2\n");
    ChildProcess host({kHost, "--config", config});
    auto messages = socket_->read_for(3s);
    ASSERT_FALSE(messages.empty()) << host.error_text();
    EXPECT_EQ(messages.front().text.rfind("READY=1\nSTATUS=", 0), 0u) << messages.front().text;
    EXPECT_TRUE(has(messages, "STATUS=1 of 2 meters answering; last round ")) << host.error_text();
    EXPECT_LE(longest_silence(messages, Clock::now()), 900ms);
    host.send_signal(SIGHUP);
    messages = socket_->read_for(1s);
    ASSERT_TRUE(has(messages, "RELOADING=1"));
    const auto reloading = std::find_if(messages.begin(), messages.end(),
                                        [](const auto& m) { return m.text.rfind("RELOADING=1", 0) == 0; });
    EXPECT_TRUE(std::any_of(reloading, messages.end(), [](const auto& m) { return m.text.rfind("READY=1", 0) == 0; }));
    host.send_signal(SIGTERM);
    EXPECT_EQ(host.wait(10s), 0);
    EXPECT_TRUE(has(socket_->read_for(300ms), "STOPPING=1"));
}

TEST_F(ServiceTest, AWorkerStuckInARequestStopsThePings) {
    // A gateway that takes the connection and never answers: each request
    // holds its line's worker for 3 s, three times the watchdog's interval.
    const testing_support::LoopbackListener gateway;
    ASSERT_NE(gateway.port(), 0);
    Meter meters({"--slave", "1"});
    const std::string config =
        file("site.toml", "[history]\nfile = \"" + history_ + "\"\n"
                          "[[line]]\nname = \"bus\"\ndevice = \"" + meters.path + "\"\ntimeout_ms = 200\n"
                          "[[line]]\nname = \"gateway\"\ntcp = \"" + gateway.address() + "\"\ntimeout_ms = 3000\n"
                          "[[meter]]\nname = \"m1\"\nline = \"bus\"\nslave = 1\ninterval = 0.2\n"
                          "[[meter]]\nname = \"far\"\nline = \"gateway\"\nslave = 1\ninterval = 0.2\n");
    ChildProcess host({kHost, "--config", config});
    const auto messages = socket_->read_for(5s);
    ASSERT_TRUE(has(messages, "READY=1")) << host.error_text();
    EXPECT_GE(longest_silence(messages, Clock::now()), 1800ms);
    // The healthy line went on all the while.
    EXPECT_TRUE(has(messages, "STATUS=1 of 2 meters answering"));
}

TEST_F(ServiceTest, OnTheJournalEachLineCarriesItsPriorityAndTheLevelChoosesWhichShow) {
    // No notifications here: nobody reads them while the program runs.
    unsetenv("NOTIFY_SOCKET");
    unsetenv("WATCHDOG_USEC");
    Meter meters({"--slave", "1-2", "--fault", "2=silent"});
    const std::string config = file("site.toml", "[history]\nfile = \"" + history_ + "\"\n[[line]]\nname = \"bus\"\n"
                                                 "device = \"" + meters.path + "\"\ntimeout_ms = 100\n"
                                                 "[[meter]]\nname = \"m1\"\nline = \"bus\"\nslave = 1\ninterval = 0.1\n"
                                                 "[[meter]]\nname = \"m2\"\nline = \"bus\"\nslave = 2\ninterval = 0.1\n");
    const struct {
        std::vector<std::string> level;
        bool info, warning;
    } cases[] = {{{}, true, true}, {{"--log-level", "warning"}, false, true}, {{"--quiet"}, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.level.empty() ? "info" : c.level.back());
        const std::string journal = dir_ + "/journal";
        std::string options;
        for (const std::string& o : c.level) options += " " + o;
        // Standard error is the file JOURNAL_STREAM names, as systemd sets it up.
        const auto run = run_program(
            {"sh", "-c", ": > " + journal + " && JOURNAL_STREAM=$(stat -c %d:%i " + journal + ") exec " + kHost +
                             " --config " + config + " --rounds 3 --max-failures 2" + options + " 2>>" + journal},
            30s);
        EXPECT_EQ(run.code, 8);
        const std::string text = bytes_of(journal);
        EXPECT_EQ(text.find("<6>pondrel-host: loaded plug-in") != std::string::npos, c.info) << text;
        EXPECT_EQ(text.find("<4>pondrel-host: meter m2 (line bus, slave 2) is failing") != std::string::npos,
                  c.warning) << text;
        EXPECT_NE(text.find("<3>pondrel-host: 1 of 2 meters did not answer as they should"), std::string::npos) << text;
    }
    // Elsewhere the lines stay plain.
    const auto plain = run_program({kHost, "--config", config, "--rounds", "1", "--max-failures", "1"}, 30s);
    EXPECT_EQ(plain.errors.find("<6>"), std::string::npos);
    EXPECT_NE(plain.errors.find("pondrel-host: loaded plug-in"), std::string::npos);
}
