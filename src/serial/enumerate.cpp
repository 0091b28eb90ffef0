#include "serial.h"

namespace tarvolex {

std::string portName(int number) {
    return "COM" + std::to_string(number);
}

std::array<bool, portCount> probePorts() {
    std::array<bool, portCount> available{};
    for (int number = 1; number <= portCount; ++number) {
        available[number - 1] = platform::probeDevice(toDevicePath(portName(number)).c_str());
    }
    return available;
}

} // namespace tarvolex
