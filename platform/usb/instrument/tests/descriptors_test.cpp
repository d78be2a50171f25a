// The descriptors as the host reads them.
#include "fake_bus_port.h"

namespace usb::test {
namespace {

TEST(Descriptors, DeviceIsHighSpeedTavrinInstrument) {
  Bench bench;
  EXPECT_EQ(bench.model.DeviceDescriptor(), (Bytes{18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x09, 0x12, 0x01, 0x57,
                                                   0x00, 0x01, 1, 2, 3, 1}));
}

TEST(Descriptors, ConfigurationHasTwoAlternateSettings) {
  Bench bench;
  const Bytes config = bench.model.ConfigurationDescriptor(0);
  ASSERT_EQ(config.size(), 9u + 9 + 3 * 7 + 9 + 4 * 7);
  EXPECT_EQ(config[2] | config[3] << 8, static_cast<int>(config.size()));
  EXPECT_EQ(config[4], 1);  // one interface
  EXPECT_EQ(config[5], 1);  // configuration value
  // Walk the set: per interface descriptor its alternate setting, then each
  // endpoint as address, attributes, packet size and interval.
  std::vector<std::vector<int>> found;
  for (std::size_t at = 9; at < config.size(); at += config[at]) {
    if (config[at + 1] == 4) {
      EXPECT_EQ(config[at + 5], 0xFF);  // vendor class
      found.push_back({config[at + 3], config[at + 4]});
    } else {
      ASSERT_EQ(config[at + 1], 5);
      found.push_back({config[at + 2], config[at + 3], config[at + 4] | config[at + 5] << 8, config[at + 6]});
    }
  }
  EXPECT_EQ(found, (std::vector<std::vector<int>>{{0, 3},
                                                  {0x01, 2, 512, 0},
                                                  {0x81, 2, 512, 0},
                                                  {0x82, 2, 512, 0},
                                                  {1, 4},
                                                  {0x01, 2, 512, 0},
                                                  {0x81, 2, 512, 0},
                                                  {0x82, 2, 512, 0},
                                                  {0x83, 1, 1024, 1}}));
  EXPECT_TRUE(bench.model.ConfigurationDescriptor(1).empty());
}

Bytes Utf16(std::string_view text) {
  Bytes out{static_cast<std::uint8_t>(2 + 2 * text.size()), 3};
  for (char c : text) out.insert(out.end(), {static_cast<std::uint8_t>(c), 0});
  return out;
}

TEST(Descriptors, StringsComeFromIdentityAndConfiguration) {
  Bench plain;
  EXPECT_EQ(plain.model.StringDescriptor(0, 0), (Bytes{4, 3, 0x09, 0x04}));
  EXPECT_EQ(plain.model.StringDescriptor(1, 0x0409), Utf16("Tavrin"));
  EXPECT_EQ(plain.model.StringDescriptor(2, 0x0409), Utf16("Tavrin 570x substitute instrument"));
  EXPECT_EQ(plain.model.StringDescriptor(3, 0x0409), Utf16("TVR00000"));
  EXPECT_EQ(plain.model.StringDescriptor(4, 0x0409), std::nullopt);
  Bench named({.serialNumber = "TVR4711"});
  EXPECT_EQ(named.model.StringDescriptor(3, 0x0409), Utf16("TVR4711"));
}

}  // namespace
}  // namespace usb::test
