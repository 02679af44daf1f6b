#include "setting_file.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include <json/reader.h>

namespace pondrel {

DeviceSetting read_setting(const std::string& path) {
    DeviceSetting setting;
    setting.json = Json::Value(Json::objectValue);
    setting.json["data_id"] = 1;
    if (path.empty()) return setting;

    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        throw SettingError("cannot read setting file " + path + ": " + std::strerror(errno));
    }
    if (!S_ISREG(info.st_mode)) throw SettingError("setting file " + path + " is not a regular file");
    if (info.st_size > kMaxSettingBytes) throw SettingError("setting file " + path + " is larger than 1 MiB");
    std::ifstream file(path, std::ios::binary);
    std::string text;
    if (file) {
        text.reserve(static_cast<std::size_t>(info.st_size));
        text.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    }
    if (!file && !file.eof()) throw SettingError("cannot read setting file " + path);
    if (text.size() > static_cast<std::size_t>(kMaxSettingBytes)) {
        throw SettingError("setting file " + path + " is larger than 1 MiB");
    }

    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    builder["failIfExtra"] = true;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &setting.json, &errors);
    } catch (const Json::Exception& e) {
        errors = e.what();  // nested beyond the reader's depth limit
    }
    if (!parsed) {
        // The reader's report, on one line.
        std::string reason;
        for (const char c : errors) {
            const bool space = c == '\n' || c == ' ' || c == '\t';
            if (space && (reason.empty() || reason.back() == ' ')) continue;
            reason += space ? ' ' : c;
        }
        while (!reason.empty() && reason.back() == ' ') reason.pop_back();
        if (!reason.empty() && reason[0] == '*') reason.erase(0, reason.find_first_not_of("* "));
        throw SettingError("invalid setting file " + path + ": " + reason);
    }
    if (!setting.json.isObject()) throw SettingError("setting file " + path + " is not a JSON object");
    const Json::Value& id = setting.json["data_id"];
    if (!id.isNull()) {
        if (!id.isUInt()) {
            throw SettingError("setting file " + path + ": data_id must be a whole number from 0 to 4294967295");
        }
        setting.data_id = id.asUInt();
    }
    return setting;
}

}  // namespace pondrel
