// Writing a whole file so that nobody ever sees half of it: the tool's
// images and the simulator's flash dumps. One implementation per platform,
// picked by the build.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kormelt::tool {

// Writes bytes to a temporary file next to path, forces them to the disk and
// renames the file over path, so that a failed or interrupted write never
// leaves a partial file under the final name, nor a crash an empty one. False
// with a reason naming path; the temporary file is removed then.
bool WriteFileReplacing(const std::string &path, const std::vector<uint8_t> &bytes, std::string *error);

}  // namespace kormelt::tool
