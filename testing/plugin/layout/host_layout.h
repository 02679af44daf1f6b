// The sizes and member offsets of the host's device classes and of Pondrel,
// as one translation unit compiled with given flags sees them. Compiled once
// with the C library's default time_t and once with 64-bit time, the two must
// agree: the plug-in and its host may be built either way.
#pragma once

#include <cstddef>
#include <vector>

std::vector<std::size_t> host_layout_default_time();
std::vector<std::size_t> host_layout_time64();
