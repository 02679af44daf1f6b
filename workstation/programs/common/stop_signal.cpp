#include "stop_signal.h"

#include <signal.h>

namespace pondrel {

namespace {

std::atomic<bool> g_stop{false};
std::atomic<bool> g_reload{false};

void on_stop_signal(int) { g_stop = true; }
void on_reload_signal(int) { g_reload = true; }

}  // namespace

std::atomic<bool>& stop_requested() { return g_stop; }
std::atomic<bool>& reload_requested() { return g_reload; }

void install_reload_signal() {
    struct sigaction action {};
    action.sa_handler = on_reload_signal;
    sigaction(SIGHUP, &action, nullptr);
}

void install_stop_signals() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace pondrel
