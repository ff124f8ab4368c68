// The view's page, built into the kit from sim/view/page/ (generated at
// build time; nothing is fetched at run time).
#pragma once

#include <cstddef>
#include <vector>

namespace pikit::sim::view {

struct Asset {
    const char* path;  // "/", "/view.js"
    const char* type;  // its content type
    const char* data;
    std::size_t size;
};

const std::vector<Asset>& page_assets();

}  // namespace pikit::sim::view
