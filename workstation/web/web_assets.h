// The pages' own files (HTML, style, scripts), built into the program from
// assets/ so that it serves them wherever it runs.
#pragma once

#include <string>

namespace pondrel {

struct WebAsset {
    const char* name;  // "index.html"
    const char* type;  // its Content-Type
    const char* text;
};

// The asset named `name`, or nullptr.
const WebAsset* find_web_asset(const std::string& name);

}  // namespace pondrel
