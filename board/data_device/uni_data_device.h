// UniDataDevice: a device whose readings fit one fixed-size record.
//
// It owns the record, reads the "appSetting"/"b_mode" setting, completes a
// polling round (stamp, publish, check, store) and restores the record from a
// stored image. The concrete driver fills the record and supplies
// process_payload; snapshot members are for its control requests.
//
// Record requirements: trivially copyable, first field the u32 `data_id`,
// a field `record_time` of 7 bytes (the calendar bytes of
// get_ttime()). The whole record is what the host publishes and stores.
//
// Threads: everything runs on the host thread that calls it; nothing here
// takes a lock. snapshot_mutex guards snapshot and snapshot_time only.
#pragma once

#include <climits>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <type_traits>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <json/value.h>

#include "kov_time.h"

namespace uni_data_detail {

// The value truncated toward zero; beyond int's range it saturates and NaN
// gives 0, so that no setting text can make the conversion undefined.
inline int truncate_to_int(double value) {
    if (!(value == value)) return 0;
    if (value >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (value <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace uni_data_detail

template <typename Record, typename Base, int TypeCode>
class UniDataDevice : public Base {
    static_assert(std::is_trivially_copyable<Record>::value,
                  "records are copied as whole blocks of bytes");
    static_assert(sizeof(Record::data_id) == 4, "a record starts with its u32 data id");
    static_assert(sizeof(Record::record_time) == kTTimeCalendarBytes,
                  "a record carries the host's 7 calendar bytes");

public:
    static constexpr int kRecordSize = static_cast<int>(sizeof(Record));

    UniDataDevice() : b_mode(1) { std::memset(&data, 0, sizeof data); }
    ~UniDataDevice() override = default;

    using Base::LoadFromCache;

    // Takes the image only when it is exactly one record long, then completes
    // a round with it. Returns 1 if taken; 0, with nothing changed, if not.
    int LoadFromCache(const unsigned char* buf, int len) override {
        if (len != kRecordSize || buf == nullptr) return 0;
        // The host may hand back the record's own bytes: the copy may overlap.
        std::memmove(&data, buf, sizeof data);
        this->data_ready = true;
        RoundDone();
        return 1;
    }

    // Stamps the record with the local time, publishes it, runs the host's
    // checks (report_flag is recomputed from false), prints the pending rule
    // count and stores the record. An exception from the host leaves the
    // round unfinished and rule_values as they were.
    void RoundDone() override {
        this->data_ready = true;
        this->update_time = boost::posix_time::second_clock::local_time();
        const ttime_t now = get_ttime(this->update_time);
        std::memcpy(&data.record_time, &now, kTTimeCalendarBytes);
        this->KovVDevice::SendSP(TypeCode, record_bytes(), sizeof data, false);
        this->Reset();
        this->round_mark = 1;
        this->report_flag = false;
        RunCheckThreshold();
        for (const std::string& name : this->var_names) {
            const auto found = this->var_values.find(name);
            if (found == this->var_values.end()) continue;
            // Every name is checked, so no short-circuit here.
            const bool report = this->CheckAOReport(name, found->second);
            this->report_flag = report || this->report_flag;
            this->CheckThreshold(name, "", found->second, 1);
        }
        std::cout << "rvSize is " << static_cast<int>(this->rule_values.size()) << std::endl;
        this->report_flag = this->report_flag | this->DoBatchCheckThreshold(this->rule_values);
        this->SaveDeviceHistory(record_bytes(), sizeof data);
        this->rule_values.clear();
    }

    // Copies the data id into the record, takes "appSetting"/"b_mode" when it
    // is usable (else b_mode keeps its value), then returns the base's
    // InitSetting result. JSON exceptions pass out before the base runs.
    int InitSetting(const Json::Value& setting) override {
        data.data_id = this->data_id;
        const Json::Value& app = setting["appSetting"];
        if (app != Json::Value() && app.type() == Json::objectValue) {
            const Json::Value& mode = app["b_mode"];
            if (mode != Json::Value()) {
                b_mode = uni_data_detail::truncate_to_int(std::atof(mode.asString().c_str()));
            }
        }
        return Base::InitSetting(setting);
    }

    // Per-record threshold hook, called once by every completed round.
    virtual void RunCheckThreshold() {}

    const unsigned char* record_bytes() const {
        return reinterpret_cast<const unsigned char*>(&data);
    }
    unsigned char* record_bytes() { return reinterpret_cast<unsigned char*>(&data); }

    Record data;
    int b_mode;
    boost::posix_time::ptime snapshot_time;  // update_time the snapshot was built from
    std::mutex snapshot_mutex;
    Json::Value snapshot;
};
