// Configuration descriptors that lie, each in a pool block of exactly its
// own size, run through every parsing routine: a routine must find what a
// careful reader finds, or nothing, and never read past the block (the
// pool poisons what follows under AddressSanitizer).
#include "descriptors.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

using namespace usbdtest;

struct Malformed {
  std::string name;
  Bytes bytes;
  long anyInterface;  // offset found by ParseConfigurationDescriptorEx with every criterion -1; -1: none
  long interfaceOne;  // offset of interface 1, beyond the defect when the defect ends the walk
  long endpoint;      // offset of the first endpoint found by ParseDescriptors over wTotalLength
  long listed;        // offset of the interface descriptor given to CreateConfigurationRequestEx; -1: none
  std::size_t urbSize;  // 0: CreateConfigurationRequestEx refuses
};

Bytes With(Bytes bytes, std::size_t offset, std::uint8_t value) {
  bytes[offset] = value;
  return bytes;
}

Bytes Truncated(Bytes bytes, std::size_t size) {
  bytes.resize(size);
  return bytes;
}

constexpr std::size_t kHeader = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);

std::size_t UrbFor(std::size_t endpoints) { return kHeader + 24 + 24 * endpoints; }

const Bytes kZeroLength = {0, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, 2, 64, 0, 0};

std::vector<Malformed> Cases() {
  return {
      {"ZeroLengthFirst", With(Join({Configuration(0), Interface(0, 0, 1), Endpoint(0x81)}), 0, 0), -1, -1, -1, 9,
       UrbFor(1)},
      {"LengthOneFirst", With(Join({Configuration(0), Interface(0, 0, 1), Endpoint(0x81)}), 0, 1), -1, -1, -1, 9,
       UrbFor(1)},
      {"ZeroLengthInTheMiddle",
       Join({Configuration(0), Interface(0, 0, 1), Endpoint(0x81), kZeroLength, Interface(1, 0, 1), Endpoint(0x82)}),
       9, -1, 18, 9, UrbFor(1)},
      {"LengthOneInTheMiddle",
       Join({Configuration(0), Interface(0, 0, 0), With(Endpoint(0x81), 0, 1), Interface(1, 0, 0)}), 9, -1, -1, 9,
       UrbFor(0)},
      {"LengthPastTheEnd", Join({Configuration(0), Interface(0, 0, 1), With(Endpoint(0x81), 0, 0x40)}), 9, -1, -1, 9,
       UrbFor(1)},
      {"LoneByteAtTheEnd", Join({Configuration(0), Interface(0, 0, 0), Bytes{9}}), 9, -1, -1, 9, UrbFor(0)},
      {"TotalLengthLargerThanTheData",
       Join({Configuration(0x1000), Interface(0, 0, 1), Endpoint(0x81), Interface(1, 0, 1), Endpoint(0x02)}, false),
       9, 25, 18, 25, UrbFor(1)},
      {"TotalLengthSmallerThanTheData",
       Join({Configuration(25), Interface(0, 0, 1), Endpoint(0x81), Interface(1, 0, 1), Endpoint(0x02)}, false), 9,
       -1, 18, 25, UrbFor(1)},
      {"TotalLengthCutsADescriptor",
       Join({Configuration(22), Interface(0, 0, 1), Endpoint(0x81), Interface(1, 0, 1)}, false), 9, -1, -1, 9,
       UrbFor(1)},
      {"TotalLengthShorterThanTheConfiguration", Join({Configuration(4), Interface(0, 0, 0)}, false), -1, -1, -1, 9,
       UrbFor(0)},
      {"ShortInterface", Join({Configuration(0), Truncated(With(Interface(0, 0, 1), 0, 6), 6), Interface(1, 0, 0)}),
       15, 15, -1, 9, 0},
      {"InterfaceCutByTheEnd", Join({Configuration(0), Truncated(Interface(0, 0, 1), 5)}), -1, -1, -1, 9, 0},
      {"ShortEndpoint",
       Join({Configuration(0), Interface(0, 0, 1), Truncated(With(Endpoint(0x81), 0, 4), 4), Interface(1, 0, 0)}), 9,
       22, 18, 9, UrbFor(1)},
      {"EndpointCutByTheEnd", Join({Configuration(0), Interface(0, 0, 1), Truncated(Endpoint(0x81), 4)}), 9, -1, -1,
       9, UrbFor(1)},
      {"MoreEndpointsDeclaredThanPresent", Join({Configuration(0), Interface(0, 0, 255)}), 9, -1, -1, 9, UrbFor(255)},
      {"FewerEndpointsThanDeclared", Join({Configuration(0), Interface(1, 0, 30), Endpoint(0x81)}), 9, 9, 18, 9,
       UrbFor(30)},
      {"OnlyTheConfiguration", Configuration(9), -1, -1, -1, -1, 0},
      {"OnlyTheConfigurationClaimingMore", Configuration(0xFFFF), -1, -1, -1, -1, 0},
      {"ShorterThanAConfiguration", Bytes{9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0xFF}, -1, -1, -1, -1, 0},
  };
}

void PrintTo(const Malformed &c, std::ostream *out) { *out << c.name; }

class MalformedConfiguration : public testing::TestWithParam<Malformed> {};

TEST_P(MalformedConfiguration, EveryRoutineStaysInsideTheBlock) {
  const Malformed &c = GetParam();
  PoolCopy block(c.bytes);
  ASSERT_NE(block.data(), nullptr);
  ASSERT_EQ(km::PoolBytesFrom(block.data()), c.bytes.size());
  PUSB_CONFIGURATION_DESCRIPTOR configuration = block.configuration();
  // What a driver passes: wTotalLength, when the bytes hold it.
  ULONG totalLength = c.bytes.size() >= 4 ? c.bytes[2] | (c.bytes[3] << 8) : c.bytes.size();

  EXPECT_EQ(block.OffsetOf(USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, -1, -1, -1)),
            c.anyInterface);
  EXPECT_EQ(block.OffsetOf(USBD_ParseConfigurationDescriptorEx(configuration, configuration, 1, -1, -1, -1, -1)),
            c.interfaceOne);
  EXPECT_EQ(block.OffsetOf(USBD_ParseConfigurationDescriptorEx(configuration, configuration, 7, -1, -1, -1, -1)), -1)
      << "no interface 7 anywhere: the search runs to the end of what it may read";

  EXPECT_EQ(block.OffsetOf(USBD_ParseDescriptors(block.data(), totalLength, block.data(),
                                                 USB_ENDPOINT_DESCRIPTOR_TYPE)),
            c.endpoint);
  EXPECT_EQ(block.OffsetOf(USBD_ParseDescriptors(block.data(), 0xFFFFFFFF, block.data(), 0x21)), -1)
      << "a type that is not there, with a length only the pool block bounds";

  km::PoolUsage before = km::PoolInUse();
  USBD_INTERFACE_LIST_ENTRY list[2] = {};
  if (c.listed >= 0) list[0].InterfaceDescriptor = block.as<USB_INTERFACE_DESCRIPTOR>(c.listed);
  PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
  if (c.urbSize == 0) {
    EXPECT_EQ(urb, nullptr);
    EXPECT_EQ(list[0].Interface, nullptr);
    EXPECT_EQ(km::PoolInUse().allocations, before.allocations);
    return;
  }
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Length, c.urbSize);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, configuration);
  ASSERT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(list[0].Interface->Length, c.urbSize - kHeader);
  EXPECT_EQ(list[0].Interface->NumberOfPipes, block.data()[c.listed + 4]);
  EXPECT_EQ(km::PoolBytesFrom(urb), c.urbSize);
  ExFreePool(urb);
}

INSTANTIATE_TEST_SUITE_P(Table, MalformedConfiguration, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<Malformed> &info) { return info.param.name; });

}  // namespace
