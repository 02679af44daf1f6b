// Built with _TIME_BITS=64 (and 64-bit file offsets, which it requires).
#define HOST_LAYOUT_NAME host_layout_time64
#include "host_layout.inc"
