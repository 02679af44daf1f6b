// Root of the host's device classes: what the host's controller sees of every
// virtual device. The order of the virtual operations below is the binary
// contract between the host and every plug-in; it must never change.
// Slots (the destructor takes two, as the C++ ABI gives it):
//   0 Get_Value  1 LoadFromCache(string)  2 LoadFromCache(bytes)  3 DataId
//   4 DeviceType  5 DeviceIoControl  6 RoundDone  7 UseControllerDb
//   8-9 destructor  10 Reset  11 InitV  12 Init  13 InitSetting
//   14 IsSupportDevice  (KovVDevice, KovSPDevice and SPModbus continue).
// The inline bodies here are compiled into each plug-in; all else is the host's.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include <json/value.h>

class KovController;
class KovVDevice;

class VDeviceInterface {
public:
    VDeviceInterface();

    // Named-value query. This default has no values and always throws
    // std::out_of_range("数据未就绪").
    virtual float Get_Value(unsigned int /*index*/, const std::string& /*name*/) const {
        throw std::out_of_range("数据未就绪");
    }
    // Restores the device's record from a stored image held as text; the same
    // as the byte form with the text's bytes, embedded zero bytes included.
    virtual int LoadFromCache(const std::string& image) {
        return LoadFromCache(reinterpret_cast<const unsigned char*>(image.data()),
                             static_cast<int>(image.size()));
    }
    // Restores the record from `len` bytes at `buf`. Returns 1 if taken, 0 if refused.
    virtual int LoadFromCache(const unsigned char* buf, int len) = 0;
    virtual unsigned int DataId() const { return data_id; }
    virtual const std::string& DeviceType() const { return device_type; }
    // A numbered control request. Returns 0 on success, -1 on failure; the
    // number of bytes placed in `out` goes to `out_written`.
    virtual int DeviceIoControl(int code, const void* in, int in_len, void* out,
                                int out_len, int& out_written) = 0;
    // Completes a polling round: stamp, publish, check and store the record.
    virtual void RoundDone() = 0;
    virtual bool UseControllerDb() { return use_controller_db; }
    virtual ~VDeviceInterface();
    virtual int Reset() = 0;
    virtual int InitV(KovVDevice* parent, unsigned int id, const Json::Value& setting) = 0;
    virtual int Init(std::weak_ptr<KovController> controller, unsigned int id,
                     const Json::Value& setting) = 0;
    virtual int InitSetting(const Json::Value& setting) = 0;
    virtual bool IsSupportDevice(const std::string& type) const = 0;

    // Host-only operations that a plug-in never calls.
    static unsigned int LiveDevices();
    const char* TypeName() const;
    using id_type = std::uint32_t;

    std::uint32_t data_id;       // the device's id in the host's database
    std::string device_type;     // set by the concrete driver's constructor
    bool use_controller_db;      // whether history goes to the controller's database

protected:
    VDeviceInterface(const VDeviceInterface&) = default;
    VDeviceInterface& operator=(const VDeviceInterface&) = default;
};
