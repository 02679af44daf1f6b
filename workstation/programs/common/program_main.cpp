#include "program_main.h"

#include <iostream>
#include <mutex>
#include <new>

namespace pondrel {

void report(const char* program, const std::string& line) {
    // Lines of several threads stay whole.
    static std::mutex mutex;
    std::lock_guard<std::mutex> lock(mutex);
    std::cerr << program << ": " << line << std::endl;
}

int guarded_main(const char* program, const std::function<int()>& body) {
    try {
        return body();
    } catch (const Failure& failure) {
        report(program, failure.what());
        return failure.code;
    } catch (const std::bad_alloc&) {
        report(program, "out of memory");
    } catch (const std::exception& e) {
        report(program, e.what());
    } catch (...) {
        report(program, "an unknown failure");
    }
    return kExitInternal;
}

}  // namespace pondrel
