// Any text as a device setting: texts that parse reach InitSetting (which may
// throw the JSON library's exceptions, as specified); the others never do.
#include <cstdint>
#include <string>

#include <json/reader.h>

#include "fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 4) return 0;
    auto driver = fuzz_support::fresh_driver();
    std::uint32_t id;
    std::memcpy(&id, data, sizeof id);
    driver->data_id = id;
    const std::string text(reinterpret_cast<const char*>(data) + 4, size - 4);
    Json::Value setting;
    Json::Reader reader;
    if (!reader.parse(text, setting)) return 0;

    const int b_mode_before = driver->b_mode;
    bool threw = false;
    try {
        driver->InitSetting(setting);
    } catch (const Json::Exception&) {
        threw = true;
    }
    std::uint32_t stored;
    std::memcpy(&stored, driver->record_bytes(), sizeof stored);
    FUZZ_CHECK(stored == id);
    FUZZ_CHECK(recorder::host().calls_of("InitSetting").size() == (threw ? 0u : 1u));
    if (threw) FUZZ_CHECK(driver->b_mode == b_mode_before);
    // Nothing but the data id changes in the record.
    Pondrel_Data_t zero{};
    FUZZ_CHECK(std::memcmp(driver->record_bytes() + 4, reinterpret_cast<const unsigned char*>(&zero) + 4,
                           sizeof zero - 4) == 0);
    return 0;
}
