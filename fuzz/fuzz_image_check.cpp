// The image check over a real file must agree with the block CRC of the
// same bytes, whatever their length and content.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include "device/api.h"
#include "protocol/crc16.h"
#include "protocol/status_names.h"

namespace {
std::string ImagePath() {
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/kormelt-fuzz-image-" +
           std::to_string(getpid());
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::string path = ImagePath();
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(data, 1, size, file) != size || std::fclose(file) != 0) {
        std::abort();
    }
    const int32_t expected = kormelt::CrcBlock(data, size) == 0 ? STATUS_OK : STATUS_CRC;
    if (KORMELT_CheckCRC(path.c_str()) != expected) {
        std::abort();
    }
    std::remove(path.c_str());
    return 0;
}
