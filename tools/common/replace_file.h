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
//
// A symlink at path is followed and the file it leads to replaced; an
// existing path that is not a regular file (a device, FIFO or directory) is
// refused. When stop is given and answers true once the bytes are written,
// path is left as it was and the call fails.
bool WriteFileReplacing(const std::string &path, const std::vector<uint8_t> &bytes, std::string *error,
                        bool (*stop)() = nullptr);

}  // namespace kormelt::tool
