// An image for the page: read once and checked as `check` does, firmware
// with addresses sealed from address 0 as `flash` would, with the private
// copy its workers upload.
#pragma once

#include <memory>
#include <string>

#include "tools/ui/ui_station.h"

namespace kormelt::ui {

// The image at path, shown under name; nullptr with the tool's sentence
// (which names path) and its exit code when it is refused.
std::shared_ptr<UiImage> LoadUiImage(const std::string &path, const std::string &name, std::string *message,
                                     int *exit_code);

}  // namespace kormelt::ui
