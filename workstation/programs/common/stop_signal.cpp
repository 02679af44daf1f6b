#include "stop_signal.h"

#include <signal.h>

namespace pondrel {

namespace {

std::atomic<bool> g_stop{false};

void on_stop_signal(int) { g_stop = true; }

}  // namespace

std::atomic<bool>& stop_requested() { return g_stop; }

void install_stop_signals() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace pondrel
