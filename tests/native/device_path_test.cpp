// toDevicePath: which port names get the \\.\ prefix and which pass unchanged.
#include "serial.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct DevicePathCase {
    const char *label;
    std::string name;
    std::string expected;
};

std::ostream &operator<<(std::ostream &out, const DevicePathCase &c) {
    return out << c.label;
}

class DevicePath : public testing::TestWithParam<DevicePathCase> {};

TEST_P(DevicePath, IsFormedFromTheName) {
    EXPECT_EQ(tarvolex::toDevicePath(GetParam().name), GetParam().expected);
}

const std::string longName(4096, 'A');

INSTANTIATE_TEST_SUITE_P(
    Names, DevicePath,
    testing::Values(
        DevicePathCase{"Plain", "COM3", R"(\\.\COM3)"}, DevicePathCase{"Empty", "", ""},
        DevicePathCase{"AlreadyInTheNamespace", R"(\\.\COM12)", R"(\\.\COM12)"},
        // Only the first three characters decide, so a malformed prefix is kept as it stands.
        DevicePathCase{"ThreeCharacterPrefixOnly", R"(\\.COM1)", R"(\\.COM1)"},
        // Shorter than the prefix, and a prefix of it.
        DevicePathCase{"TwoBackslashes", R"(\\)", R"(\\.\\\)"},
        DevicePathCase{"Win32FileNamespace", R"(\\?\COM1)", R"(\\.\\\?\COM1)"},
        DevicePathCase{"ForwardSlashes", "//./COM1", R"(\\.\//./COM1)"},
        DevicePathCase{"AbsolutePosixPath", "/dev/ttyUSB0", R"(\\.\/dev/ttyUSB0)"},
        DevicePathCase{"LongName", longName, R"(\\.\)" + longName},
        // Modified UTF-8 of non-ASCII characters passes byte for byte.
        DevicePathCase{"NonAsciiBytes", "COM\xC3\xA9\xE2\x82\xAC\xC0\x80",
                       "\\\\.\\COM\xC3\xA9\xE2\x82\xAC\xC0\x80"}),
    [](const testing::TestParamInfo<DevicePathCase> &p) { return p.param.label; });

} // namespace
