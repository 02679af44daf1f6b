// Pondrel: the driver object of one 18-circuit meter on a Modbus RTU line.
//
// Each polling round reads four register blocks (100/2, 102/36, 138/36,
// 174/36) into `data` and completes the round; control requests answer a
// JSON snapshot of the record (801 text, 803 address) and two JSON commands
// (310, 320); Get_Value reports only whether the data is ready and fresh.
//
// Created by PondrelProvider, owned and deleted by the host. Polling calls
// come on the host's serial thread; DeviceIoControl may come on any host
// thread, and the host serialises it against the rounds (the record and
// update_time are written without a lock). snapshot_mutex makes concurrent
// 801/803 requests rebuild once and never see a torn snapshot.
#pragma once

#include <cstdint>
#include <string>

#include "pondrel_data.h"
#include "sp_modbus.h"
#include "uni_data_device.h"

constexpr int kPondrelRecordType = 5156;

class Pondrel : public UniDataDevice<Pondrel_Data_t, SPModbus, kPondrelRecordType> {
public:
    // Request codes answered by the driver itself.
    static constexpr int kCodeCommandA = 310;
    static constexpr int kCodeCommandB = 320;
    static constexpr int kCodeSnapshotText = 801;
    static constexpr int kCodeSnapshotAddress = 803;
    // Width of the address that 803 hands out: 4 bytes on the 32-bit board.
    static constexpr int kAddressBytes = static_cast<int>(sizeof(void*));

    // Polling steps: the block whose reply is awaited.
    static constexpr std::int32_t kStepVoltage = 11;
    static constexpr std::int32_t kStepCurrent = 12;
    static constexpr std::int32_t kStepPower = 13;
    static constexpr std::int32_t kStepEnergy = 14;

    Pondrel();

    // Always throws std::out_of_range: "数据未就绪" before any data,
    // "数据已超时" once the data is 61 s old or older, else "不支持变量".
    float Get_Value(unsigned int index, const std::string& name) const override;
    // 803: snapshot address; 801: snapshot text; 310/320: JSON commands;
    // any other code: control_result, then the host base's answer.
    int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                        int& out_written) override;
    ~Pondrel() override;
    // Copies the data id into the record; returns the data device layer's result.
    int InitSetting(const Json::Value& setting) override;
    // Starts a round at the voltage block. Always returns 1.
    int RefreshStatus() override;
    // Stores the awaited block; returns 0 when the round completed, else 1.
    int process_payload(tab_type table, unsigned int length) override;
    // The meter has no per-record threshold logic.
    void RunCheckThreshold() override;

    std::int32_t control_result;

private:
    // The writer's text of `snapshot` as it stands, or empty when the
    // snapshot changed since (the writer never writes an empty text).
    // Guarded by snapshot_mutex.
    std::string snapshot_text_;

    int answer_snapshot_text(void* out, int out_len, int& out_written);
    int answer_snapshot_address(void* out, int out_len, int& out_written);
    // REQUIRES: snapshot_mutex held.
    void refresh_snapshot();
};
