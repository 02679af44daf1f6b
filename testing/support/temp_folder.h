// A private folder under /tmp for one test, made when constructed and
// removed with all it holds when destroyed. Throws std::runtime_error when it
// cannot be made.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace testing_support {

class TempFolder {
public:
    // "/tmp/pondrel-WHAT-XXXXXX".
    explicit TempFolder(const std::string& what) {
        std::string name = "/tmp/pondrel-" + what + "-XXXXXX";
        if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("cannot make a folder " + name);
        path_ = name;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    // The path of `name` in the folder.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

}  // namespace testing_support
