// The select-configuration URB: its size and contents for the listed
// interfaces, the driver it is charged to, and the lists it refuses.
#include "descriptors.h"
#include "test_driver.h"

#include <gtest/gtest.h>

namespace {

using namespace usbdtest;

constexpr std::size_t kHeader = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);

Bytes ThreeInterfaces() {
  return Join({
      Configuration(0, 3),
      Interface(0, 0, 2), Endpoint(0x81), Endpoint(0x02),                  // 9
      Interface(1, 0, 3), Endpoint(0x83), Endpoint(0x04), Endpoint(0x85),  // 32
      Interface(2, 1, 0),                                                  // 62
  });
}

class ConfigurationRequest : public testing::Test {
 protected:
  PUSB_INTERFACE_DESCRIPTOR At(std::size_t offset) { return block_.as<USB_INTERFACE_DESCRIPTOR>(offset); }

  PoolCopy block_{ThreeInterfaces()};
  PUSB_CONFIGURATION_DESCRIPTOR config_ = block_.configuration();
};

TEST_F(ConfigurationRequest, FillsOneRecordPerListedInterface) {
  USBD_INTERFACE_LIST_ENTRY list[] = {{At(9), nullptr}, {At(62), nullptr}, {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(config_, list);
  ASSERT_NE(urb, nullptr);
  std::size_t size = kHeader + (24 + 24 * 2) + 24;
  EXPECT_EQ(size, GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 2));
  EXPECT_EQ(urb->UrbHeader.Length, size);
  EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
  EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_SUCCESS);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, config_);
  EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationHandle, nullptr);

  // The records follow one another, each Length bytes, as the bus walks them.
  auto *base = reinterpret_cast<std::uint8_t *>(urb);
  auto *first = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + kHeader);
  auto *second = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(base + kHeader + 72);
  EXPECT_EQ(list[0].Interface, first);
  EXPECT_EQ(list[1].Interface, second);
  EXPECT_EQ(list[2].Interface, nullptr);
  EXPECT_EQ(first->Length, 72);
  EXPECT_EQ(first->InterfaceNumber, 0);
  EXPECT_EQ(first->AlternateSetting, 0);
  EXPECT_EQ(first->NumberOfPipes, 2u);
  EXPECT_EQ(first->InterfaceHandle, nullptr);
  for (ULONG k = 0; k < 2; ++k) {
    EXPECT_EQ(first->Pipes[k].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
    EXPECT_EQ(first->Pipes[k].PipeFlags, 0u);
    EXPECT_EQ(first->Pipes[k].PipeHandle, nullptr);
    EXPECT_EQ(first->Pipes[k].EndpointAddress, 0) << "the bus fills in the endpoints";
  }
  EXPECT_EQ(second->Length, 24);
  EXPECT_EQ(second->InterfaceNumber, 2);
  EXPECT_EQ(second->AlternateSetting, 1);
  EXPECT_EQ(second->NumberOfPipes, 0u);
  EXPECT_EQ(kHeader + first->Length + second->Length, urb->UrbHeader.Length);
  ExFreePool(urb);
}

TEST_F(ConfigurationRequest, ThreeEndpointsTakeThreePipeRecords) {
  USBD_INTERFACE_LIST_ENTRY list[] = {{At(32), nullptr}, {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(config_, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Length, kHeader + 24 + 24 * 3);
  EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 3));
  EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(3));
  EXPECT_EQ(list[0].Interface->InterfaceNumber, 1);
  EXPECT_EQ(list[0].Interface->NumberOfPipes, 3u);
  EXPECT_EQ(list[0].Interface->Pipes[2].MaximumTransferSize, USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE);
  EXPECT_EQ(km::PoolBytesFrom(urb), kHeader + 24 + 24 * 3);
  ExFreePool(urb);
}

TEST_F(ConfigurationRequest, TheListEndsAtTheFirstNullDescriptor) {
  USBD_INTERFACE_LIST_ENTRY list[] = {{At(9), nullptr}, {nullptr, nullptr}, {At(32), nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(config_, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Length, kHeader + 72);
  EXPECT_EQ(list[2].Interface, nullptr);
  ExFreePool(urb);
}

TEST_F(ConfigurationRequest, IsChargedToTheCallingDriver) {
  kmtest::TestDriver driver;
  USBD_INTERFACE_LIST_ENTRY list[] = {{At(9), nullptr}, {At(32), nullptr}, {nullptr, nullptr}};
  PURB urb;
  {
    km::DriverScope scope(driver.object());
    urb = USBD_CreateConfigurationRequestEx(config_, list);
  }
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(km::PoolInUseBy(driver.object()).allocations, 1u);
  EXPECT_EQ(km::PoolInUseBy(driver.object()).bytes, kHeader + 72 + 96);
  ExFreePool(urb);
  EXPECT_EQ(km::PoolInUseBy(driver.object()).allocations, 0u);
  EXPECT_EQ(km::PoolInUseBy(driver.object()).bytes, 0u);
}

TEST_F(ConfigurationRequest, AllocationFailureReturnsNull) {
  USBD_INTERFACE_LIST_ENTRY list[] = {{At(9), nullptr}, {nullptr, nullptr}};
  km::PoolUsage before = km::PoolInUse();
  km::FailNthAllocation(1);
  PURB urb = USBD_CreateConfigurationRequestEx(config_, list);
  km::ClearAllocationFailures();
  EXPECT_EQ(urb, nullptr);
  EXPECT_EQ(list[0].Interface, nullptr);
  EXPECT_EQ(km::PoolInUse().allocations, before.allocations);
}

TEST_F(ConfigurationRequest, RefusesMissingOrEmptyArguments) {
  USBD_INTERFACE_LIST_ENTRY list[] = {{At(9), nullptr}, {nullptr, nullptr}};
  USBD_INTERFACE_LIST_ENTRY empty[] = {{nullptr, nullptr}};
  km::PoolUsage before = km::PoolInUse();
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(config_, nullptr), nullptr);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(config_, empty), nullptr);
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(nullptr, list), nullptr);
  EXPECT_EQ(km::PoolInUse().allocations, before.allocations);
}

TEST_F(ConfigurationRequest, RefusesAShortInterfaceAnywhereInTheList) {
  Bytes shortInterface = Interface(3, 0, 1);
  shortInterface[0] = 8;
  PoolCopy shortBlock(shortInterface);
  PoolCopy cut(Bytes(shortInterface.begin(), shortInterface.begin() + 5));
  for (void *bad : {static_cast<void *>(shortBlock.data()), static_cast<void *>(cut.data())}) {
    USBD_INTERFACE_LIST_ENTRY list[] = {
        {At(9), nullptr}, {static_cast<PUSB_INTERFACE_DESCRIPTOR>(bad), nullptr}, {nullptr, nullptr}};
    km::PoolUsage before = km::PoolInUse();
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(config_, list), nullptr);
    EXPECT_EQ(list[0].Interface, nullptr) << "nothing is filled in for a refused list";
    EXPECT_EQ(km::PoolInUse().allocations, before.allocations);
  }
}

TEST_F(ConfigurationRequest, RefusesASizeTheHeaderLengthCannotHold) {
  // 255 endpoints take 24 + 24 * 255 = 6144 bytes: ten interfaces fit in
  // 16 bits (61480 bytes), eleven (67624) do not.
  PoolCopy wide(Join({Configuration(0), Interface(0, 0, 255)}));
  std::vector<USBD_INTERFACE_LIST_ENTRY> list(12, USBD_INTERFACE_LIST_ENTRY{});
  for (std::size_t k = 0; k < 10; ++k) list[k].InterfaceDescriptor = wide.as<USB_INTERFACE_DESCRIPTOR>(9);
  PURB urb = USBD_CreateConfigurationRequestEx(wide.configuration(), list.data());
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(urb->UrbHeader.Length, kHeader + 10 * 6144);
  EXPECT_EQ(list[9].Interface->NumberOfPipes, 255u);
  ExFreePool(urb);

  list[10].InterfaceDescriptor = wide.as<USB_INTERFACE_DESCRIPTOR>(9);
  for (auto &entry : list) entry.Interface = nullptr;
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(wide.configuration(), list.data()), nullptr);
  EXPECT_EQ(list[0].Interface, nullptr);
}

TEST_F(ConfigurationRequest, RefusesAListInPoolWithoutItsTerminator) {
  void *memory = ExAllocatePoolWithTag(NonPagedPool, 2 * sizeof(USBD_INTERFACE_LIST_ENTRY), 0x74736554);
  ASSERT_NE(memory, nullptr);
  auto *list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(memory);
  list[0] = {At(9), nullptr};
  list[1] = {At(32), nullptr};
  EXPECT_EQ(USBD_CreateConfigurationRequestEx(config_, list), nullptr);
  list[1] = {nullptr, nullptr};
  PURB urb = USBD_CreateConfigurationRequestEx(config_, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  ExFreePool(urb);
  ExFreePool(memory);
}

}  // namespace
