#include "workstation_services.h"

namespace pondrel {

int WorkstationServices::restore(KovVDevice& device, const std::vector<unsigned char>& image) {
    struct Flag {
        bool& flag;
        explicit Flag(bool& f) : flag(f) { flag = true; }
        ~Flag() { flag = false; }
    } restoring(restoring_);
    return device.LoadFromCache(image.data(), static_cast<int>(image.size()));
}

int WorkstationServices::send_sp(KovVDevice&, int type_code, const unsigned char*, unsigned int, bool) {
    last_type_code_ = type_code;
    return 1;
}

int WorkstationServices::save_device_history(KovVDevice& device, const unsigned char* record,
                                             unsigned int len) {
    if (!restoring_) store_.append(device.DataId(), last_type_code_, device.update_time, record, len);
    return 1;
}

int WorkstationServices::modbus_read_registers(SPModbus&, int start, int count) {
    poller_.request(start, count);
    return 0;
}

}  // namespace pondrel
