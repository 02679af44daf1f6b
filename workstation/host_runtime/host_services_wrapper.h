// Host services that pass every call on to other services: a test (or a
// program) derives from it and changes the one call it needs, keeping all
// else as the wrapped services do, as an Env wrapper does for an Env.
// Threads: as the wrapped services.
#pragma once

#include "host_services.h"

namespace pondrel {

class HostServicesWrapper : public HostServices {
public:
    // `target` must outlive this object.
    explicit HostServicesWrapper(HostServices& target) : target_(target) {}
    HostServices& target() { return target_; }

    int device_io_control(KovVDevice& device, int code, const void* in, int in_len, void* out, int out_len,
        int& out_written) override {
        return target_.device_io_control(device, code, in, in_len, out, out_len, out_written);
    }
    void init_v(KovVDevice& device, KovVDevice* parent, unsigned int id) override {
        target_.init_v(device, parent, id);
    }
    int vdevice_init_setting(KovVDevice& device, const Json::Value& setting) override {
        return target_.vdevice_init_setting(device, setting);
    }
    bool is_support_device(const KovVDevice& device, const std::string& type) override {
        return target_.is_support_device(device, type);
    }
    int send_sp(KovVDevice& device, int type_code, const unsigned char* record, unsigned int len,
        bool urgent) override {
        return target_.send_sp(device, type_code, record, len, urgent);
    }
    int send_delay_data(KovVDevice& device, int delay) override {
        return target_.send_delay_data(device, delay);
    }
    int send_do_data(KovVDevice& device, int channel, char value) override {
        return target_.send_do_data(device, channel, value);
    }
    int read_di(KovVDevice& device, int channel) override {
        return target_.read_di(device, channel);
    }
    float read_ai(KovVDevice& device, int channel) override {
        return target_.read_ai(device, channel);
    }
    void get_sp_value(KovVDevice& device, unsigned int index, const std::string& name) override {
        target_.get_sp_value(device, index, name);
    }
    bool check_ao_report(KovVDevice& device, const std::string& name, float value) override {
        return target_.check_ao_report(device, name, value);
    }
    int check_threshold(KovVDevice& device, const std::string& name, const std::string& text,
        const float& value, int kind) override {
        return target_.check_threshold(device, name, text, value, kind);
    }
    bool do_batch_check_threshold(KovVDevice& device, const std::vector<rule_value>& values) override {
        return target_.do_batch_check_threshold(device, values);
    }
    int save_device_history(KovVDevice& device, const unsigned char* record, unsigned int len) override {
        return target_.save_device_history(device, record, len);
    }
    int reset(KovSPDevice& device) override {
        return target_.reset(device);
    }
    void init(KovSPDevice& device, unsigned int id) override {
        target_.init(device, id);
    }
    int refresh_status(KovSPDevice& device) override {
        return target_.refresh_status(device);
    }
    int send_data(KovSPDevice& device, const unsigned char* bytes, unsigned int len) override {
        return target_.send_data(device, bytes, len);
    }
    int send_parity_data(KovSPDevice& device, const unsigned char* bytes, unsigned int len,
        EnumParity parity) override {
        return target_.send_parity_data(device, bytes, len, parity);
    }
    int open_port(KovSPDevice& device) override {
        return target_.open_port(device);
    }
    int close_port(KovSPDevice& device) override {
        return target_.close_port(device);
    }
    int modbus_init_setting(SPModbus& device, const Json::Value& setting) override {
        return target_.modbus_init_setting(device, setting);
    }
    int process(SPModbus& device, unsigned char* bytes, unsigned int len) override {
        return target_.process(device, bytes, len);
    }
    int modbus_read_registers(SPModbus& device, int start, int count) override {
        return target_.modbus_read_registers(device, start, count);
    }
    void get_ttime(boost::posix_time::ptime t, const ttime_t& calendar) override {
        target_.get_ttime(t, calendar);
    }

private:
    HostServices& target_;
};

}  // namespace pondrel
