// What pondrel-host reads back from a polled device: its snapshot text and
// the state of its data in this program's words. Thread of the device's poller.
#pragma once

#include <string>

#include "kov_sp_device.h"

namespace pondrel {

// "fresh", "not ready", "timed out" or "has a value", from Get_Value's answer.
std::string data_status(const KovSPDevice& device);
// The device's snapshot text (request 801); empty when it gives none.
std::string snapshot_text(KovSPDevice& device);

}  // namespace pondrel
