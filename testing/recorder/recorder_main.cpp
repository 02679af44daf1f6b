// The main of the tests that host the plug-in: the recorder answers every
// device's host calls, then GoogleTest runs the tests.
#include <gtest/gtest.h>

#include "recording_host.h"

int main(int argc, char** argv) {
    recorder::install_recorder();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
