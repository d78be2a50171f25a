// Device names and slots: "\Device\Tavrin-<c>" and "\DosDevices\Tavrin-<c>"
// with c = '0' + slot, sixteen one-character slots, the first free one taken,
// and slots whose names are already taken skipped.
#include "driver_test_support.h"

#include <set>

namespace drivertest {
namespace {

using NamesAndSlotsTest = DriverTest;

std::shared_ptr<usb::SubstituteInstrument> Instrument() { return std::make_shared<usb::SubstituteInstrument>(); }

TEST_F(NamesAndSlotsTest, OneInstrumentGetsTheSlotZeroNamesAndOpensWhateverTheCase) {
  host::DeviceId id = Attach(Instrument());
  ASSERT_TRUE(host::Started(id));
  PDEVICE_OBJECT top = host::TopDevice(id);
  ASSERT_NE(top, host::PhysicalDevice(id)) << "the driver's device sits above the bus's";
  EXPECT_EQ(km::LookupDevice(u"\\Device\\Tavrin-0"), top);
  EXPECT_EQ(km::LookupDevice(u"\\DosDevices\\Tavrin-0"), top);
  EXPECT_FALSE(km::NameExists(u"\\Device\\Tavrin-1"));
  EXPECT_FALSE(km::NameExists(u"\\DosDevices\\Tavrin-1"));

  for (const char *path : {"\\\\.\\TAVRIN-0", "\\\\.\\tavrin-0", "\\\\.\\Tavrin-0"}) {
    Handle handle = Handle::Open(path);
    EXPECT_TRUE(handle.valid()) << path << ": error " << GetLastError();
  }
  for (const char *path : {"\\\\.\\TAVRIN-1", "\\\\.\\TAVRIN-00", "\\\\.\\TAVRIN0"}) {
    Handle handle = Handle::Open(path);
    EXPECT_FALSE(handle.valid()) << path;
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << path;
  }
}

// The moment the link appears an open may come through it: the device it
// leads to is whole by then (attached above the bus's, no longer
// initializing), and the open is refused as any open before start is.
TEST_F(NamesAndSlotsTest, LinkAppearsOnlyOnceTheDeviceIsBuiltAndAnOpenThenIsRefusedUntilStart) {
  bool seen = false, whole = false;
  DWORD openError = 0;
  km::EnsureBooted();  // an open from inside the first boot would wait for that boot
  km::SetSymbolicLinkHook([&](std::u16string_view link) {
    if (link != LinkName(0)) return;
    seen = true;
    PDEVICE_OBJECT device = km::LookupDevice(link);
    whole = device != nullptr && (device->Flags & DO_DEVICE_INITIALIZING) == 0 && device->StackSize > 1;
    Handle early = Handle::Open(DevicePath(0));
    openError = early.valid() ? 0 : GetLastError();
  });
  host::DeviceId id = Attach(Instrument());
  km::SetSymbolicLinkHook({});
  ASSERT_TRUE(seen);
  EXPECT_TRUE(whole) << "the link led to a device still being built";
  EXPECT_EQ(openError, static_cast<DWORD>(ERROR_GEN_FAILURE));
  EXPECT_TRUE(host::Started(id));
  EXPECT_TRUE(Handle::Open(DevicePath(0)).valid());
}

TEST_F(NamesAndSlotsTest, EleventhInstrumentGetsTheColonSlotThatNoDecimalNameReaches) {
  std::vector<host::DeviceId> ids;
  for (int k = 0; k < 11; ++k) ids.push_back(Attach(Instrument()));
  for (int k = 0; k < 11; ++k) {
    ASSERT_TRUE(host::Started(ids[k])) << "instrument " << k;
    EXPECT_EQ(km::LookupDevice(DeviceName(k)), host::TopDevice(ids[k])) << "instrument " << k;
    EXPECT_EQ(km::LookupDevice(LinkName(k)), host::TopDevice(ids[k])) << "instrument " << k;
  }
  EXPECT_EQ(km::LookupDevice(u"\\Device\\Tavrin-:"), host::TopDevice(ids[10]));

  Handle colon = Handle::Open("\\\\.\\TAVRIN-:");
  EXPECT_TRUE(colon.valid()) << "error " << GetLastError();
  Handle decimal = Handle::Open("\\\\.\\TAVRIN-10");
  EXPECT_FALSE(decimal.valid());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // A probe of the decimal names 0 to 31, as the device-access library
  // makes it, finds the first ten and only those.
  std::set<int> found;
  for (int n = 0; n < 32; ++n) {
    Handle probe = Handle::Open("\\\\.\\TAVRIN-" + std::to_string(n));
    if (probe.valid()) found.insert(n);
  }
  EXPECT_EQ(found, (std::set<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(NamesAndSlotsTest, SeventeenthInstrumentGetsNoDeviceAndAFreedSlotIsTakenAgain) {
  std::vector<host::DeviceId> ids;
  for (int k = 0; k < 17; ++k) ids.push_back(Attach(Instrument()));
  for (int k = 0; k < 16; ++k) {
    ASSERT_TRUE(host::Started(ids[k])) << "instrument " << k;
    EXPECT_EQ(km::LookupDevice(DeviceName(k)), host::TopDevice(ids[k])) << "slot " << k;
    EXPECT_EQ(km::LookupDevice(LinkName(k)), host::TopDevice(ids[k])) << "slot " << k;
  }
  EXPECT_EQ(km::LookupDevice(u"\\DosDevices\\Tavrin-?"), host::TopDevice(ids[15]));
  EXPECT_FALSE(host::Started(ids[16]));
  EXPECT_EQ(host::TopDevice(ids[16]), host::PhysicalDevice(ids[16])) << "no device object above the seventeenth";
  EXPECT_FALSE(km::NameExists(DeviceName(16)));
  EXPECT_FALSE(km::NameExists(LinkName(16)));

  host::Detach(ids[5]);
  host::WaitForPnp();
  EXPECT_FALSE(km::NameExists(DeviceName(5)));
  EXPECT_FALSE(km::NameExists(LinkName(5)));
  host::DeviceId next = Attach(Instrument());
  ASSERT_TRUE(host::Started(next));
  EXPECT_EQ(km::LookupDevice(DeviceName(5)), host::TopDevice(next));
  EXPECT_EQ(km::LookupDevice(LinkName(5)), host::TopDevice(next));
}

TEST_F(NamesAndSlotsTest, InstrumentAddedAfterARemovalTakesTheFirstFreeSlot) {
  host::DeviceId first = Attach(Instrument());
  host::DeviceId second = Attach(Instrument());
  ASSERT_EQ(km::LookupDevice(DeviceName(1)), host::TopDevice(second));
  host::Detach(first);
  host::WaitForPnp();

  host::DeviceId third = Attach(Instrument());
  ASSERT_TRUE(host::Started(third));
  EXPECT_EQ(km::LookupDevice(DeviceName(0)), host::TopDevice(third));
  EXPECT_EQ(km::LookupDevice(DeviceName(1)), host::TopDevice(second));
  EXPECT_FALSE(km::NameExists(DeviceName(2)));
  Handle handle = Handle::Open(DevicePath(0));
  EXPECT_TRUE(handle.valid());
}

TEST_F(NamesAndSlotsTest, SlotWhoseLinkNameIsTakenIsSkippedAndLeavesNoDeviceObject) {
  NameSquatter squatter(LinkName(0));
  ASSERT_TRUE(squatter.held());
  host::DeviceId id = Attach(Instrument());
  ASSERT_TRUE(host::Started(id));
  EXPECT_EQ(km::LookupDevice(DeviceName(1)), host::TopDevice(id));
  EXPECT_EQ(km::LookupDevice(LinkName(1)), host::TopDevice(id));
  EXPECT_FALSE(km::NameExists(DeviceName(0))) << "the device object made for slot 0 stays behind";

  Handle handle = Handle::Open(DevicePath(1));
  ASSERT_TRUE(handle.valid()) << "error " << GetLastError();
  EXPECT_TRUE(Call(handle.get(), IOCTL_INSTR_NOP, {}, 0).ok);
  handle.Close();

  host::Detach(id);
  host::WaitForPnp();
  EXPECT_FALSE(km::NameExists(DeviceName(1)));
  EXPECT_FALSE(km::NameExists(LinkName(1)));
  EXPECT_TRUE(km::NameExists(LinkName(0))) << "removal deletes only the driver's own link";
}

TEST_F(NamesAndSlotsTest, SlotWhoseDeviceNameIsTakenIsSkipped) {
  NameSquatter squatter(DeviceName(0));
  ASSERT_TRUE(squatter.held());
  host::DeviceId id = Attach(Instrument());
  ASSERT_TRUE(host::Started(id));
  EXPECT_EQ(km::LookupDevice(DeviceName(1)), host::TopDevice(id));
  EXPECT_FALSE(km::NameExists(LinkName(0)));
  Handle handle = Handle::Open(DevicePath(1));
  EXPECT_TRUE(handle.valid()) << "error " << GetLastError();
}

}  // namespace
}  // namespace drivertest
