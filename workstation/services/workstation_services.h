// The workstation's host services for one device: its read requests go to
// its poller's line, its stored records go to a record store with the type
// code it last published and its round's time. Everything else answers as a
// quiet, healthy host. Register one instance per device
// (ServicesRegistration); calls come on the thread that polls the device.
#pragma once

#include <vector>

#include "host_services.h"
#include "poller.h"
#include "record_store.h"

namespace pondrel {

class WorkstationServices : public HostServices {
public:
    // `poller` and `store` must outlive this object.
    WorkstationServices(Poller& poller, RecordStore& store) : poller_(poller), store_(store) {}

    // Hands `image` to the device's LoadFromCache without storing the round
    // that restoring completes (the image is already stored). Returns what
    // LoadFromCache returns.
    int restore(KovVDevice& device, const std::vector<unsigned char>& image);

    int send_sp(KovVDevice& device, int type_code, const unsigned char* record, unsigned int len,
                bool urgent) override;
    // Throws what the store throws.
    int save_device_history(KovVDevice& device, const unsigned char* record, unsigned int len) override;
    int modbus_read_registers(SPModbus& device, int start, int count) override;

private:
    Poller& poller_;
    RecordStore& store_;
    int last_type_code_ = 0;
    bool restoring_ = false;
};

}  // namespace pondrel
