// Any sequence of RefreshStatus, replies with any bytes, errors and control
// requests.
#include "fuzz_session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using fuzz_support::Op;
    static const Op kOps[] = {Op::Refresh, Op::Reply, Op::Reply, Op::Reply, Op::Error, Op::Control, Op::Tick};
    fuzz_support::run_session(data, size, kOps, sizeof kOps / sizeof kOps[0]);
    return 0;
}
