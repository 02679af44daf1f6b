#define HOST_LAYOUT_NAME host_layout_default_time
#include "host_layout.inc"
