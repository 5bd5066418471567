// The files of the panel's page (tools/kora-run/panel), built into kora-run so that the page
// needs nothing but the command.
#pragma once

#include <vector>

namespace kora::run {

struct PanelAsset {
    const char* path; // "/index.html"
    const char* type; // its media type
    const char* text;
};

const std::vector<PanelAsset>& PanelAssets();

} // namespace kora::run
