// Searching a well-formed configuration: interfaces by number, alternate
// setting and class, continuing from StartPosition, descriptors by type;
// null arguments; memory outside the pool; and the version query.
#include "descriptors.h"

#include <gtest/gtest.h>

#include <array>

namespace {

using namespace usbdtest;

// Interface 0 with alternate settings 0 (2 endpoints) and 1 (3 endpoints),
// and interface 1 (HID, with a class descriptor before its endpoint).
Bytes TwoInterfaces() {
  return Join({
      Configuration(0, 2),                 // 0
      Interface(0, 0, 2, 0xFF, 1, 2),      // 9
      Endpoint(0x81), Endpoint(0x02),      // 18, 25
      Interface(0, 1, 3, 0xFF, 1, 3),      // 32
      Endpoint(0x81), Endpoint(0x02),      // 41, 48
      Endpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT),  // 55
      Interface(1, 0, 1, USB_DEVICE_CLASS_HUMAN_INTERFACE),  // 62
      Bytes{9, 0x21, 0x11, 0x01, 0, 1, 0x22, 50, 0},           // 71
      Endpoint(0x84, USB_ENDPOINT_TYPE_INTERRUPT),             // 80
  });
}

class WellFormed : public testing::Test {
 protected:
  long Find(LONG number, LONG alternate, LONG cls = -1, LONG subClass = -1, LONG protocol = -1,
            std::size_t from = 0) {
    return block_.OffsetOf(
        USBD_ParseConfigurationDescriptorEx(config_, block_.at(from), number, alternate, cls, subClass, protocol));
  }
  long FindType(LONG type, std::size_t from = 0, ULONG totalLength = 87) {
    return block_.OffsetOf(USBD_ParseDescriptors(block_.data(), totalLength, block_.at(from), type));
  }

  PoolCopy block_{TwoInterfaces()};
  PUSB_CONFIGURATION_DESCRIPTOR config_ = block_.configuration();
};

TEST_F(WellFormed, FindsInterfacesByNumberAndAlternateSetting) {
  ASSERT_EQ(block_.size(), 87u);
  EXPECT_EQ(Find(0, 0), 9);
  EXPECT_EQ(Find(0, 1), 32);
  EXPECT_EQ(Find(1, 0), 62);
  EXPECT_EQ(Find(1, 1), -1);
  EXPECT_EQ(Find(2, -1), -1);
  EXPECT_EQ(Find(-1, 1), 32);
  EXPECT_EQ(Find(0x100, -1), -1) << "a number no byte can hold matches nothing";
}

TEST_F(WellFormed, FindsInterfacesByClassSubClassAndProtocol) {
  EXPECT_EQ(Find(-1, -1, USB_DEVICE_CLASS_HUMAN_INTERFACE), 62);
  EXPECT_EQ(Find(-1, -1, 0xFF), 9);
  EXPECT_EQ(Find(-1, -1, -1, -1, 3), 32);
  EXPECT_EQ(Find(-1, -1, 0xFF, 1, 2), 9);
  EXPECT_EQ(Find(-1, -1, 0xFF, 2), -1);
  EXPECT_EQ(Find(1, -1, 0xFF), -1) << "every criterion must match";
}

TEST_F(WellFormed, StartPositionContinuesTheSearch) {
  std::vector<long> all;
  // At most a few more rounds than there are interfaces, should the search not move on.
  for (auto *found = USBD_ParseConfigurationDescriptorEx(config_, config_, -1, -1, -1, -1, -1);
       found != nullptr && all.size() < 5;
       found = USBD_ParseConfigurationDescriptorEx(config_, reinterpret_cast<PUCHAR>(found) + found->bLength, -1,
                                                   -1, -1, -1, -1)) {
    all.push_back(block_.OffsetOf(found));
  }
  EXPECT_EQ(all, (std::vector<long>{9, 32, 62}));
  EXPECT_EQ(Find(0, -1, -1, -1, -1, 18), 32) << "the alternate setting after the first";
  EXPECT_EQ(Find(0, -1, -1, -1, -1, 41), -1);
  EXPECT_EQ(Find(-1, -1, -1, -1, -1, 32), 32) << "a descriptor at StartPosition is a candidate";
  EXPECT_EQ(Find(-1, -1, -1, -1, -1, 10), 32) << "a position inside a descriptor moves on to the next one";
  EXPECT_EQ(Find(-1, -1, -1, -1, -1, 86), -1);
}

TEST_F(WellFormed, StartPositionOutsideTheConfigurationFindsNothing) {
  std::uint8_t elsewhere[9] = {9, USB_INTERFACE_DESCRIPTOR_TYPE};
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config_, elsewhere, -1, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(block_.data(), 87, elsewhere, USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(block_.data(), 87, block_.at(87), USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
}

TEST_F(WellFormed, FindsDescriptorsByType) {
  EXPECT_EQ(FindType(USB_CONFIGURATION_DESCRIPTOR_TYPE), 0);
  EXPECT_EQ(FindType(USB_ENDPOINT_DESCRIPTOR_TYPE), 18);
  EXPECT_EQ(FindType(USB_ENDPOINT_DESCRIPTOR_TYPE, 32), 41) << "the first endpoint of alternate setting 1";
  EXPECT_EQ(FindType(0x21, 62), 71);
  EXPECT_EQ(FindType(USB_ENDPOINT_DESCRIPTOR_TYPE, 71), 80);
  EXPECT_EQ(FindType(USB_ENDPOINT_DESCRIPTOR_TYPE, 81), -1);
  EXPECT_EQ(FindType(USB_DEVICE_DESCRIPTOR_TYPE), -1);
  EXPECT_EQ(FindType(0x100 | USB_INTERFACE_DESCRIPTOR_TYPE), -1);
  EXPECT_EQ(FindType(-1), -1);
}

TEST_F(WellFormed, ParseDescriptorsSearchesOnlyTotalLength) {
  EXPECT_EQ(FindType(USB_INTERFACE_DESCRIPTOR_TYPE, 33, 71), 62) << "a descriptor that ends at the bound is whole";
  EXPECT_EQ(FindType(USB_INTERFACE_DESCRIPTOR_TYPE, 33, 70), -1);
  EXPECT_EQ(FindType(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0), -1);
  EXPECT_EQ(FindType(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 8), -1);
}

TEST(OutsideThePool, TheStatedLengthIsTrusted) {
  Bytes bytes = TwoInterfaces();
  std::array<std::uint8_t, 87> stack{};
  ASSERT_EQ(bytes.size(), stack.size());
  std::copy(bytes.begin(), bytes.end(), stack.begin());
  ASSERT_EQ(km::PoolBytesFrom(stack.data()), 0u);
  auto *config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(stack.data());
  auto *found = USBD_ParseConfigurationDescriptorEx(config, config, 1, 0, -1, -1, -1);
  EXPECT_EQ(reinterpret_cast<std::uint8_t *>(found), stack.data() + 62);
  EXPECT_EQ(reinterpret_cast<std::uint8_t *>(
                USBD_ParseDescriptors(stack.data(), 87, stack.data() + 62, USB_ENDPOINT_DESCRIPTOR_TYPE)),
            stack.data() + 80);
}

TEST(NullArguments, FindNothing) {
  PoolCopy block(TwoInterfaces());
  PUSB_CONFIGURATION_DESCRIPTOR config = block.configuration();
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(nullptr, config, -1, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, nullptr, -1, -1, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(nullptr, 87, config, USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
  EXPECT_EQ(USBD_ParseDescriptors(config, 87, nullptr, USB_INTERFACE_DESCRIPTOR_TYPE), nullptr);
}

TEST(Version, IsUsbdInterface600OnUsb20) {
  USBD_VERSION_INFORMATION version{};
  USBD_GetUSBDIVersion(&version);
  EXPECT_EQ(version.USBDI_Version, 0x600u);
  EXPECT_EQ(version.Supported_USB_Version, 0x200u);
  USBD_GetUSBDIVersion(nullptr);  // ignored
}

}  // namespace
