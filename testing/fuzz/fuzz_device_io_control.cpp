// Control requests with any code, bytes and lengths, interleaved with rounds.
#include "fuzz_session.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using fuzz_support::Op;
    static const Op kOps[] = {Op::Control, Op::Control, Op::Control, Op::FullRound, Op::Tick};
    fuzz_support::run_session(data, size, kOps, sizeof kOps / sizeof kOps[0]);
    return 0;
}
