#include "serial.h"

namespace tarvolex {

ReadResult readByte(Handle handle) {
    std::uint8_t byte = 0;
    std::uint32_t moved = 0;
    if (!platform::readBytes(handle, &byte, 1, moved)) {
        return {false, noByte};
    }
    return {true, moved == 0 ? noByte : static_cast<int>(byte)};
}

WriteStatus writeBytes(Handle handle, const std::uint8_t *data, std::uint32_t length) {
    std::uint32_t moved = 0;
    if (!platform::writeBytes(handle, data, length, moved)) {
        return WriteStatus::notStarted;
    }
    return moved == length ? WriteStatus::written : WriteStatus::incomplete;
}

} // namespace tarvolex
