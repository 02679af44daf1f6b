// Memory figures of drivers loaded as the host loads them: heap bytes (from
// the C library's own accounting, so jsoncpp's malloc'd strings count too)
// and object bytes, for one driver with its snapshot and text built and for
// 1,000 drivers in one host.
#include <malloc.h>

#include <cstdio>
#include <iostream>
#include <vector>

#include "bench_host.h"

namespace {

std::size_t heap_in_use() { return mallinfo2().uordblks; }

void build_everything(Pondrel& driver, const Pondrel_Data_t& values) {
    Json::Value setting(Json::objectValue);
    driver.InitSetting(setting);
    harness::complete_round(driver, values);
    char text[4096];
    int written = 0;
    driver.DeviceIoControl(801, nullptr, 0, text, sizeof text, written);
    const Json::Value* address = nullptr;
    driver.DeviceIoControl(803, nullptr, 0, &address, sizeof address, written);
}

}  // namespace

int main() {
    const Pondrel_Data_t values = bench_host::sample_record();
    // Console lines of the rounds go nowhere.
    std::cout.setstate(std::ios::badbit);
    // One-time costs (loading, static tables, stream buffers) before
    // measuring. The warm-up driver stays: memory it gave back would sit in
    // the allocator's caches, still counted, and be reused unseen.
    Pondrel* warm = bench_host::create_driver();
    build_everything(*warm, values);

    const std::size_t before_one = heap_in_use();
    Pondrel* one = bench_host::create_driver();
    build_everything(*one, values);
    const std::size_t heap_one = heap_in_use() - before_one;

    const std::size_t before_many = heap_in_use();
    std::vector<Pondrel*> many;
    many.reserve(1000);
    const std::size_t vector_bytes = heap_in_use() - before_many;
    for (int i = 0; i < 1000; ++i) {
        many.push_back(bench_host::create_driver());
        build_everything(*many.back(), values);
    }
    const std::size_t heap_many = heap_in_use() - before_many - vector_bytes;

    std::cout.clear();
    std::printf("target: %s\n", sizeof(void*) == 4 ? "32-bit (armhf)" : "64-bit (x86-64)");
    std::printf("object bytes of one driver (sizeof Pondrel): %zu\n", sizeof(Pondrel));
    std::printf("heap bytes of one driver, object and snapshot with its text: %zu\n", heap_one);
    std::printf("heap bytes of 1000 drivers: %zu (%zu a driver)\n", heap_many, heap_many / 1000);

    for (Pondrel* driver : many) bench_host::destroy(driver);
    bench_host::destroy(one);
    bench_host::destroy(warm);
    return 0;
}
