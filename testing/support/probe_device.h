// A test-only device built on the data device layer with a small record of
// its own, for behaviour the meter driver overrides or never shows: the
// default Get_Value, an overridden SendSP, a threshold hook that reports.
#pragma once

#include <cstdint>

#include "sp_modbus.h"
#include "recording_host.h"
#include "uni_data_device.h"

#pragma pack(push, 1)
struct Probe_Data_t {
    std::uint32_t data_id;
    float value;
    unsigned char record_time[7];
};
#pragma pack(pop)

class ProbeDevice : public UniDataDevice<Probe_Data_t, SPModbus, 4242> {
public:
    int process_payload(tab_type, unsigned int) override { return 1; }
    int DeviceIoControl(int, const void*, int, void*, int, int& out_written) override {
        out_written = 0;
        return 0;
    }
    // Never the one RoundDone uses: it publishes through the host's own.
    int SendSP(int type_code, const unsigned char* record, unsigned int len, bool urgent) override {
        recorder::HostCall c;
        c.op = "ProbeDevice::SendSP";
        c.ints = {type_code, len, urgent};
        c.bytes.assign(record, record + len);
        recorder::host().record(c);
        return 1;
    }
    void RunCheckThreshold() override {
        if (hook_reports) report_flag = true;
    }

    bool hook_reports = false;
};
