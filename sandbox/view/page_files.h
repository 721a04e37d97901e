// The live view's page (HTML, script, style sheet), embedded into the
// program at build time from sandbox/view/page/.
#pragma once

#include <cstddef>
#include <string>

namespace kivsdk::sandbox::view {

struct PageFile {
    const char* path;  // "/", "/view.js", ...
    const char* type;  // its Content-Type
    const unsigned char* data;
    std::size_t size;
};

// The file served at `path`, or null.
const PageFile* find_page_file(const std::string& path);

}  // namespace kivsdk::sandbox::view
