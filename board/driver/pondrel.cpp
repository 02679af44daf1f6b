#include "pondrel.h"

#include <cstdint>
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time_types.hpp>

static_assert(sizeof(boost::posix_time::time_duration::sec_type) == 8,
              "ages in whole seconds are 64 bits wide on every target");

Pondrel::Pondrel() : control_result(-1) {
    device_type = "pondrel";
    baud_rate = 9600;
    preset_flag = 1;
}

Pondrel::~Pondrel() = default;

int Pondrel::InitSetting(const Json::Value& setting) {
    data.data_id = DataId();
    return UniDataDevice::InitSetting(setting);
}

float Pondrel::Get_Value(unsigned int /*index*/, const std::string& /*name*/) const {
    if (!data_ready) throw std::out_of_range(pondrel_meter::kNotReady);
    // Data of an unknown time cannot be fresh.
    if (update_time.is_special()) throw std::out_of_range(pondrel_meter::kTimedOut);
    const boost::posix_time::time_duration age =
        boost::posix_time::second_clock::local_time() - update_time;
    // total_seconds() is 64 bits wide in the Boost this is built with, on
    // both targets.
    const std::int64_t age_seconds = age.total_seconds();
    if (age_seconds >= 61) throw std::out_of_range(pondrel_meter::kTimedOut);
    throw std::out_of_range(pondrel_meter::kNoSuchValue);
}
