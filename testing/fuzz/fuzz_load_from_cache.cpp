// Any bytes as a stored image: taken only when exactly one record long, and
// then stored whole but for the time of the restore.
#include <cstdint>
#include <string>

#include "fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    for (int overload = 0; overload < 2; ++overload) {
        auto driver = fuzz_support::fresh_driver();
        driver->data.voltage = 1.5f;
        const Pondrel_Data_t before = driver->data;
        const int len = static_cast<int>(size);
        const int taken = overload == 0
                              ? driver->LoadFromCache(data, len)
                              : driver->LoadFromCache(std::string(reinterpret_cast<const char*>(data), size));
        if (size != sizeof(Pondrel_Data_t)) {
            FUZZ_CHECK(taken == 0);
            FUZZ_CHECK(fuzz_support::same_record(before, driver->data));
            FUZZ_CHECK(!driver->data_ready);
            FUZZ_CHECK(recorder::host().calls().empty());
        } else {
            FUZZ_CHECK(taken == 1);
            FUZZ_CHECK(std::memcmp(driver->record_bytes(), data, 224) == 0);
            FUZZ_CHECK(driver->data_ready);
            FUZZ_CHECK(recorder::host().calls_of("SendSP").size() == 1);
        }
    }
    return 0;
}
