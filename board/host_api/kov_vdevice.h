// The host's virtual device: publishing of records, threshold checks and
// history. Adds slots 15 to 22 after VDeviceInterface's (see that header):
//   15 GetChildVDevice  16 GetAllChildVDevices  17 SendSP  18 SendDelayData
//   19 SendDoData  20 ReadDi  21 ReadAi  22 Get_SP_Value
// The non-virtual operations are the host's and run on the calling thread.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/ptime.hpp>

#include "rule_value.h"
#include "vdevice_interface.h"

class KovVDevice : public VDeviceInterface {
public:
    KovVDevice();
    ~KovVDevice() override;

    int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                        int& out_written) override;
    int InitV(KovVDevice* parent, unsigned int id, const Json::Value& setting) override;
    int InitSetting(const Json::Value& setting) override;
    bool IsSupportDevice(const std::string& type) const override;

    // This device has no children: always an empty pointer.
    virtual std::shared_ptr<KovVDevice> GetChildVDevice(unsigned int /*index*/) {
        return std::shared_ptr<KovVDevice>();
    }
    // This device has no children: always an empty list.
    virtual std::vector<std::shared_ptr<KovVDevice>> GetAllChildVDevices() {
        return std::vector<std::shared_ptr<KovVDevice>>();
    }
    // Publishes `len` bytes of a record of type `type_code` to the host.
    virtual int SendSP(int type_code, const unsigned char* record, unsigned int len,
                       bool urgent);
    virtual int SendDelayData(int delay);
    virtual int SendDoData(int channel, char value);
    virtual int ReadDi(int channel);
    virtual float ReadAi(int channel);
    virtual float Get_SP_Value(unsigned int index, const std::string& name);

    // True when the variable `name` at `value` must be reported at once.
    bool CheckAOReport(const std::string& name, float value);
    // Runs the host's threshold rules for one variable; results go to rule_values.
    int CheckThreshold(const std::string& name, const std::string& text,
                       const float& value, int kind);
    // Checks the pending rule values as a batch; true when one must be reported.
    bool DoBatchCheckThreshold(const std::vector<rule_value>& values);
    // Appends `len` bytes of the device's record to its history.
    int SaveDeviceHistory(const unsigned char* record, unsigned int len);

    boost::posix_time::ptime update_time;  // local time of the last completed round
    bool data_ready;                       // the record holds data
    bool report_flag;                      // a check of the last round asked to report
    std::int16_t round_mark;               // set to 1 by each completed round
    std::vector<std::string> var_names;    // filled by the host
    std::map<std::string, float> var_values;  // filled by the host
    std::vector<rule_value> rule_values;   // filled by the host, cleared each round
    KovVDevice* parent;
    std::weak_ptr<KovController> controller;
};
