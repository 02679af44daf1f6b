// What a device's host calls reach: the host framework's out-of-line
// operations (SendSP, SaveDeviceHistory, modbus_read_registers, ...) do their
// own small part of the work (set data_id, call InitSetting, ...) and forward
// the rest here, to the services registered for the device that made the
// call, or to the default services when nobody registered it.
//
// A program that hosts plug-ins implements HostServices once (the
// workstation host, the tests' recorder, an empty host for benchmarks) and
// registers an instance per device or as the default. Every operation of this
// base is that of a quiet, healthy host: it accepts, reports success, answers
// "no", and allocates nothing.
//
// Threads: operations run on whichever thread the device's caller is on.
// Looking a device's services up takes no lock and never allocates, so the
// devices of several lines' threads never wait for each other there;
// registering and unregistering take a mutex, and a device's registration
// must not change while its own calls run. At most 4096 devices are
// registered at once.
#pragma once

#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>
#include <json/value.h>

#include "kov_time.h"
#include "rule_value.h"
#include "sp_modbus.h"

namespace pondrel {

class HostServices {
public:
    HostServices() = default;
    virtual ~HostServices();
    HostServices(const HostServices&) = delete;
    HostServices& operator=(const HostServices&) = delete;

    // ---- KovVDevice: publishing, checks, history --------------------------
    // The base DeviceIoControl; may write up to out_len bytes to out.
    virtual int device_io_control(KovVDevice& device, int code, const void* in, int in_len, void* out,
                                  int out_len, int& out_written);
    // InitV has set parent and data_id and will call InitSetting next.
    virtual void init_v(KovVDevice& device, KovVDevice* parent, unsigned int id);
    // The base KovVDevice::InitSetting.
    virtual int vdevice_init_setting(KovVDevice& device, const Json::Value& setting);
    virtual bool is_support_device(const KovVDevice& device, const std::string& type);
    virtual int send_sp(KovVDevice& device, int type_code, const unsigned char* record, unsigned int len,
                        bool urgent);
    virtual int send_delay_data(KovVDevice& device, int delay);
    virtual int send_do_data(KovVDevice& device, int channel, char value);
    virtual int read_di(KovVDevice& device, int channel);
    virtual float read_ai(KovVDevice& device, int channel);
    // Get_SP_Value is about to answer with the device's own Get_Value.
    virtual void get_sp_value(KovVDevice& device, unsigned int index, const std::string& name);
    virtual bool check_ao_report(KovVDevice& device, const std::string& name, float value);
    virtual int check_threshold(KovVDevice& device, const std::string& name, const std::string& text,
                                const float& value, int kind);
    virtual bool do_batch_check_threshold(KovVDevice& device, const std::vector<rule_value>& values);
    virtual int save_device_history(KovVDevice& device, const unsigned char* record, unsigned int len);

    // ---- KovSPDevice: the serial port ---------------------------------------
    virtual int reset(KovSPDevice& device);
    // Init has set controller and data_id and will call InitSetting next.
    virtual void init(KovSPDevice& device, unsigned int id);
    virtual int refresh_status(KovSPDevice& device);
    virtual int send_data(KovSPDevice& device, const unsigned char* bytes, unsigned int len);
    virtual int send_parity_data(KovSPDevice& device, const unsigned char* bytes, unsigned int len,
                                 EnumParity parity);
    virtual int open_port(KovSPDevice& device);
    virtual int close_port(KovSPDevice& device);

    // ---- SPModbus: the Modbus master ----------------------------------------
    // The base SPModbus::InitSetting.
    virtual int modbus_init_setting(SPModbus& device, const Json::Value& setting);
    virtual int process(SPModbus& device, unsigned char* bytes, unsigned int len);
    // Queues a read of `count` holding registers from `start` for `device`.
    virtual int modbus_read_registers(SPModbus& device, int start, int count);

    // ---- Functions that belong to no device (default services only) --------
    // get_ttime has broken `t` into `calendar`.
    virtual void get_ttime(boost::posix_time::ptime t, const ttime_t& calendar);
};

// The services of `device`: those registered for it, else the default.
HostServices& services_for(const KovVDevice* device);
// The services of calls that belong to no device, and of devices nobody
// registered. nullptr restores the built-in quiet, healthy host.
void set_default_services(HostServices* services);
HostServices& default_services();
// `services` answer for `device` until unregistered; they must outlive that.
void register_services(const KovVDevice* device, HostServices* services);
void unregister_services(const KovVDevice* device);

// Registers services for one device for the life of this object.
class ServicesRegistration {
public:
    ServicesRegistration(const KovVDevice* device, HostServices& services) : device_(device) {
        register_services(device, &services);
    }
    ~ServicesRegistration() { unregister_services(device_); }
    ServicesRegistration(const ServicesRegistration&) = delete;
    ServicesRegistration& operator=(const ServicesRegistration&) = delete;

private:
    const KovVDevice* device_;
};

}  // namespace pondrel
