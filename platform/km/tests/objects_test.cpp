// Device objects, the namespace and symbolic links, stacking.
#include "test_driver.h"

#include <gtest/gtest.h>

using kmtest::Name;
using kmtest::TestDriver;

namespace {

TEST(Names, SymbolicLinksResolveWithoutRegardToCase) {
  TestDriver driver;
  PDEVICE_OBJECT device = driver.AddDevice(u"\\Device\\Tavrin-0");
  ASSERT_NE(device, nullptr);
  UNICODE_STRING link = Name(u"\\DosDevices\\Tavrin-0");
  UNICODE_STRING target = Name(u"\\Device\\Tavrin-0");
  ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
  EXPECT_EQ(km::LookupDevice(u"\\??\\TAVRIN-0"), device);
  EXPECT_EQ(km::LookupDevice(u"\\dosdevices\\tavrin-0"), device);
  EXPECT_EQ(km::LookupDevice(u"\\DEVICE\\TAVRIN-0"), device);
  EXPECT_EQ(km::LookupDevice(u"\\??\\TAVRIN-1"), nullptr);

  EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);
  UNICODE_STRING upper = Name(u"\\DOSDEVICES\\TAVRIN-0");
  EXPECT_EQ(IoCreateSymbolicLink(&upper, &target), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoDeleteSymbolicLink(&upper), STATUS_SUCCESS);
  EXPECT_EQ(km::LookupDevice(u"\\??\\TAVRIN-0"), nullptr);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(Names, TakenDeviceNameIsRefusedAndFreedByDeletion) {
  TestDriver driver;
  PDEVICE_OBJECT first = driver.AddDevice(u"\\Device\\Tavrin-0");
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(driver.AddDevice(u"\\device\\TAVRIN-0"), nullptr);
  UNICODE_STRING name = Name(u"\\Device\\Tavrin-0");
  PDEVICE_OBJECT second = nullptr;
  EXPECT_EQ(IoCreateDevice(driver.object(), 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(second, nullptr);
  driver.DeleteDevice(first);
  EXPECT_FALSE(km::NameExists(u"\\Device\\Tavrin-0"));
  EXPECT_NE(driver.AddDevice(u"\\Device\\Tavrin-0"), nullptr);
}

TEST(Names, MalformedCountedStringsAreRefused) {
  TestDriver driver;
  char16_t text[] = u"\\Device\\X";
  UNICODE_STRING odd{3, 20, text};
  UNICODE_STRING tooLong{20, 10, text};
  UNICODE_STRING noBuffer{4, 4, nullptr};
  UNICODE_STRING relative = Name(u"Device\\X");
  UNICODE_STRING target = Name(u"\\Device\\X");
  PDEVICE_OBJECT device = nullptr;
  EXPECT_EQ(IoCreateDevice(driver.object(), 0, &odd, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoCreateSymbolicLink(&tooLong, &target), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoCreateSymbolicLink(&noBuffer, &target), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(IoCreateSymbolicLink(&relative, &target), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(IoCreateDevice(driver.object(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, nullptr),
            STATUS_INVALID_PARAMETER);
}

TEST(Devices, ExtensionIsZeroedAlignedAndFlagsAreSet) {
  TestDriver driver;
  PDEVICE_OBJECT device = nullptr;
  UNICODE_STRING name = Name(u"\\Device\\Fresh");
  ASSERT_EQ(IoCreateDevice(driver.object(), 100, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  auto *extension = static_cast<unsigned char *>(device->DeviceExtension);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(extension) % 16, 0u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(extension[i], 0) << i;
  EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_EQ(device->StackSize, 1);
  EXPECT_EQ(device->DriverObject, driver.object());
  EXPECT_EQ(driver.object()->DeviceObject, device);
  IoDeleteDevice(device);
  EXPECT_EQ(driver.object()->DeviceObject, nullptr);
}

TEST(Devices, AttachingStacksAndDetachingUnstacks) {
  TestDriver bus{u"\\Driver\\Bus"};
  TestDriver function{u"\\Driver\\Function"};
  PDEVICE_OBJECT pdo = bus.AddDevice();
  PDEVICE_OBJECT fdo = function.AddDevice(nullptr, pdo);
  EXPECT_EQ(pdo->AttachedDevice, fdo);
  EXPECT_EQ(fdo->StackSize, 2);
  EXPECT_EQ(*static_cast<PDEVICE_OBJECT *>(fdo->DeviceExtension), pdo);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  EXPECT_EQ(top, fdo);
  ObDereferenceObject(top);
  function.DeleteDevice(fdo);
  EXPECT_EQ(pdo->AttachedDevice, nullptr);
}

TEST(Rtl, CountedStringsCompareAndCopy) {
  UNICODE_STRING a = Name(u"Tavrin-0");
  UNICODE_STRING b = Name(u"TAVRIN-0");
  EXPECT_EQ(a.Length, 16);
  EXPECT_EQ(a.MaximumLength, 18);
  EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
  EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
  char16_t storage[4];
  UNICODE_STRING small{0, sizeof storage, storage};
  RtlCopyUnicodeString(&small, &a);
  EXPECT_EQ(small.Length, sizeof storage) << "the copy is cut to the destination";
  EXPECT_EQ(std::u16string(storage, 4), u"Tavr");
  const char x[] = "abcd", y[] = "abXd";
  EXPECT_EQ(RtlCompareMemory(x, y, 4), 2u);
  UNICODE_STRING none;
  RtlInitUnicodeString(&none, nullptr);
  EXPECT_EQ(none.Length, 0);
  EXPECT_EQ(none.Buffer, nullptr);
}

}  // namespace
