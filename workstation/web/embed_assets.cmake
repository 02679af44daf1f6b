# Writes OUTPUT, a C++ file holding each of ASSETS (files separated by "|") as a
# WebAsset, so that the program serves the pages without files beside it.
string(REPLACE "|" ";" ASSETS "${ASSETS}")
set(body "")
foreach(asset IN LISTS ASSETS)
    get_filename_component(name "${asset}" NAME)
    get_filename_component(extension "${asset}" LAST_EXT)
    if(extension STREQUAL ".html")
        set(type "text/html; charset=utf-8")
    elseif(extension STREQUAL ".css")
        set(type "text/css; charset=utf-8")
    else()
        set(type "text/javascript; charset=utf-8")
    endif()
    file(READ "${asset}" text)
    string(FIND "${text}" ")ASSET\"" clash)
    if(NOT clash EQUAL -1)
        message(FATAL_ERROR "${asset} holds the text that ends its literal")
    endif()
    string(APPEND body "    {\"${name}\", \"${type}\", R\"ASSET(${text})ASSET\"},\n")
endforeach()
file(WRITE "${OUTPUT}.new" "// Made by embed_assets.cmake from workstation/web/assets; do not edit.
#include \"web_assets.h\"

namespace pondrel {

namespace {
const WebAsset kAssets[] = {
${body}};
}  // namespace

const WebAsset* find_web_asset(const std::string& name) {
    for (const WebAsset& asset : kAssets) {
        if (name == asset.name) return &asset;
    }
    return nullptr;
}

}  // namespace pondrel
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
