// The binary contract with the host: the record's layout and the slot of
// every virtual operation in Pondrel's table. Both must hold on the 32-bit
// board and on x86-64.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "host_layout.h"
#include "pondrel.h"

namespace {

// The vtable slot that a pointer to a virtual member function encodes, or -1
// for a non-virtual one. Itanium C++ ABI: {ptr, adj}; a virtual function has
// ptr = 1 + byte offset. 32-bit ARM C++ ABI: the virtual flag is adj's low bit
// and ptr is the byte offset.
template <typename MemberFn>
std::ptrdiff_t slot_of(MemberFn fn) {
    struct Representation {
        std::ptrdiff_t ptr;
        std::ptrdiff_t adj;
    } rep;
    static_assert(sizeof(MemberFn) == sizeof(Representation), "two-word member pointers");
    std::memcpy(&rep, &fn, sizeof rep);
#if defined(__arm__)
    if ((rep.adj & 1) == 0) return -1;
    return rep.ptr / static_cast<std::ptrdiff_t>(sizeof(void*));
#else
    if ((rep.ptr & 1) == 0) return -1;
    return (rep.ptr - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
#endif
}

using P = Pondrel;

}  // namespace

TEST(BinaryContract, RecordIsPacked231BytesWithFixedOffsets) {
    EXPECT_EQ(sizeof(Pondrel_Data_t), 231u);
    EXPECT_EQ(offsetof(Pondrel_Data_t, data_id), 0u);
    EXPECT_EQ(offsetof(Pondrel_Data_t, voltage), 4u);
    EXPECT_EQ(offsetof(Pondrel_Data_t, current), 8u);
    EXPECT_EQ(offsetof(Pondrel_Data_t, power), 80u);
    EXPECT_EQ(offsetof(Pondrel_Data_t, energy), 152u);
    EXPECT_EQ(offsetof(Pondrel_Data_t, record_time), 224u);

    Pondrel_Data_t record{};
    record.record_time.year = 2024;
    record.record_time.second = 9;
    unsigned char bytes[sizeof record];
    std::memcpy(bytes, &record, sizeof record);
    EXPECT_EQ(bytes[224], 2024 & 0xff);  // little-endian on both targets
    EXPECT_EQ(bytes[225], 2024 >> 8);
    EXPECT_EQ(bytes[230], 9);
}

TEST(BinaryContract, HostCalendarTimeLeadsWithItsSevenBytes) {
    ttime_t t{};
    t.year = 0x07e8;
    t.month = 3;
    t.second = 9;
    unsigned char bytes[sizeof t];
    std::memcpy(bytes, &t, sizeof t);
    EXPECT_EQ(bytes[0], 0xe8);
    EXPECT_EQ(bytes[1], 0x07);
    EXPECT_EQ(bytes[2], 3);
    EXPECT_EQ(bytes[6], 9);
}

TEST(BinaryContract, EveryVirtualOperationSitsInItsSlot) {
    struct Row {
        const char* name;
        std::ptrdiff_t slot;
        std::ptrdiff_t expected;
    };
    // Slots 8 and 9 are the two destructor entries of the C++ ABI.
    const Row rows[] = {
        {"Get_Value", slot_of(&P::Get_Value), 0},
        {"LoadFromCache(string)",
         slot_of(static_cast<int (P::*)(const std::string&)>(&P::LoadFromCache)), 1},
        {"LoadFromCache(bytes)",
         slot_of(static_cast<int (P::*)(const unsigned char*, int)>(&P::LoadFromCache)), 2},
        {"DataId", slot_of(&P::DataId), 3},
        {"DeviceType", slot_of(&P::DeviceType), 4},
        {"DeviceIoControl", slot_of(&P::DeviceIoControl), 5},
        {"RoundDone", slot_of(&P::RoundDone), 6},
        {"UseControllerDb", slot_of(&P::UseControllerDb), 7},
        {"Reset", slot_of(&P::Reset), 10},
        {"InitV", slot_of(&P::InitV), 11},
        {"Init", slot_of(&P::Init), 12},
        {"InitSetting", slot_of(&P::InitSetting), 13},
        {"IsSupportDevice", slot_of(&P::IsSupportDevice), 14},
        {"GetChildVDevice", slot_of(&P::GetChildVDevice), 15},
        {"GetAllChildVDevices", slot_of(&P::GetAllChildVDevices), 16},
        {"SendSP", slot_of(&P::SendSP), 17},
        {"SendDelayData", slot_of(&P::SendDelayData), 18},
        {"SendDoData", slot_of(&P::SendDoData), 19},
        {"ReadDi", slot_of(&P::ReadDi), 20},
        {"ReadAi", slot_of(&P::ReadAi), 21},
        {"Get_SP_Value", slot_of(&P::Get_SP_Value), 22},
        {"RefreshStatus", slot_of(&P::RefreshStatus), 23},
        {"process", slot_of(&P::process), 24},
        {"IsProcessing", slot_of(&P::IsProcessing), 25},
        {"IsStalled", slot_of(&P::IsStalled), 26},
        {"SendData", slot_of(&P::SendData), 27},
        {"SendParityData", slot_of(&P::SendParityData), 28},
        {"OpenPort", slot_of(&P::OpenPort), 29},
        {"ClosePort", slot_of(&P::ClosePort), 30},
        {"process_payload", slot_of(&P::process_payload), 31},
        {"on_error", slot_of(&P::on_error), 32},
        {"RunCheckThreshold", slot_of(&P::RunCheckThreshold), 33},
    };
    for (const Row& row : rows) EXPECT_EQ(row.slot, row.expected) << row.name;
}

TEST(BinaryContract, HostCallsThatMustNotBeVirtualAreNot) {
    EXPECT_EQ(slot_of(&P::modbus_read_registers), -1);
    EXPECT_EQ(slot_of(&P::CheckAOReport), -1);
    EXPECT_EQ(slot_of(&P::SaveDeviceHistory), -1);
}

TEST(BinaryContract, TheLayoutIsTheSameWith32And64BitTime) {
    const std::vector<std::size_t> time_default = host_layout_default_time();
    const std::vector<std::size_t> time64 = host_layout_time64();
    EXPECT_EQ(time64[0], 1u);  // the second build really has 64-bit time
    EXPECT_EQ(std::vector<std::size_t>(time_default.begin() + 1, time_default.end()),
              std::vector<std::size_t>(time64.begin() + 1, time64.end()));
}
