// Fuzzes Tavrin.sys's device-control interface on an open handle to a
// substitute instrument. Each input is a short script: device-control calls
// (the code mostly from the driver's own table, sometimes any value; input
// bytes from the script; input and output lengths of 0, short, exact or
// huge), interleaved with closing and reopening the handle, selecting an
// alternate setting, starting and stopping a stream, commands to the
// instrument, stop and start cycles, sleep and wake, and pulling and
// re-plugging it. Every input starts from an instrument in the state a
// freshly attached one has (see Restore), so that a finding replays on its
// own.
#include "fuzz_rig.h"

#include <substitute_instrument.h>
#include <tavrin_ioctl.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

using tavrinfuzz::Rig;

struct Code {
  ULONG code;
  ULONG record;  // the exact length of its input record (0: none)
  ULONG answer;  // the exact length of a whole answer (0: any)
};

constexpr std::array<Code, 24> kCodes = {{
    {IOCTL_INSTR_GET_INTERFACE_RECORD, 0, 96},
    {IOCTL_INSTR_GET_DEVICE_DESCRIPTOR, 0, 18},
    {IOCTL_INSTR_GET_CONFIG_DESCRIPTOR, 0, 64},
    {IOCTL_INSTR_VENDOR_DEVICE_REQUEST, sizeof(VendorDeviceRequest), 16},
    {IOCTL_INSTR_NOP, 0, 0},
    {IOCTL_INSTR_RESET_PORT, 0, 0},
    {IOCTL_INSTR_RESET_PIPE, 4, 0},
    {IOCTL_INSTR_ABORT_PIPE, 4, 0},
    {IOCTL_INSTR_SELECT_INTERFACE, sizeof(InterfaceSelection), 0},
    {IOCTL_INSTR_GET_STRING_DESCRIPTOR, sizeof(StringDescriptorRequest), 64},
    {IOCTL_INSTR_BULK_READ, 4, 512},
    {IOCTL_INSTR_BULK_WRITE, 4, 16},
    {IOCTL_INSTR_GET_FRAME_NUMBER, 0, 4},
    {IOCTL_INSTR_CONTROL_REQUEST, sizeof(ControlRequest), 8},
    {IOCTL_INSTR_GET_LAST_USBD_STATUS, 0, 4},
    {IOCTL_INSTR_ISO_READ, sizeof(IsoTransferRequest), 8 * (1024 + 12)},
    {IOCTL_INSTR_ISO_WRITE, sizeof(IsoTransferRequest), 8 * (1024 + 12)},
    {IOCTL_INSTR_GET_DRIVER_VERSION, 0, 6},
    {IOCTL_INSTR_START_ISO_STREAM, sizeof(IsoTransferRequest), 0},
    {IOCTL_INSTR_STOP_ISO_STREAM, 0, 0},
    {IOCTL_INSTR_READ_ISO_STREAM, sizeof(IsoTransferRequest), 4 * (1024 + 12)},
    {IOCTL_INSTR_SET_FEATURE, sizeof(FeatureRequest), 0},
    {IOCTL_INSTR_BULK_READ_TIMED, 4, 512},
    {IOCTL_INSTR_NOP_DIRECT, 0, 0},
}};

// Past the largest transfer a pipe allows (65535) and the sizes the answers
// have; larger ones only cost the kernel's buffer copies.
constexpr ULONG kHugeLengths[] = {4096, 65535, 65536, 70000};
constexpr std::size_t kLargestBuffer = 70000;

const char *const kCommands[] = {"*IDN?\n", "MEAS?\n", "FMT 3\n", "ECHO fuzz\n", "FW?\n",
                                 "*RST\n",  "FMT:STREAM 2\n", "DL,DSP,NORESET\n", "BOGUS\n"};

// A length for one buffer: none, short of the exact one, exact, or huge.
ULONG ChooseLength(FuzzedDataProvider &in, ULONG exact) {
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0:
      return 0;
    case 1:
      return exact > 1 ? in.ConsumeIntegralInRange<ULONG>(1, exact - 1) : in.ConsumeIntegralInRange<ULONG>(1, 8);
    case 2:
      return exact != 0 ? exact : in.ConsumeIntegralInRange<ULONG>(1, 64);
    default:
      return kHugeLengths[in.ConsumeIntegralInRange<int>(0, 3)];
  }
}

// A stream start whose sizes stay small: the driver's own bounds on what one
// start may take are another matter than what this target looks for.
IsoTransferRequest SmallStream(FuzzedDataProvider &in) {
  IsoTransferRequest request{};
  request.PipeIndex = in.ConsumeIntegralInRange<std::uint32_t>(0, 4);
  request.PacketSize = in.ConsumeIntegralInRange<std::uint32_t>(0, 1100);
  request.PacketsPerTransfer = in.ConsumeIntegralInRange<std::uint32_t>(0, 8);
  request.TransfersInFlight = in.ConsumeIntegralInRange<std::uint32_t>(0, 4);
  request.PacketCount = in.ConsumeIntegralInRange<std::uint32_t>(0, 64);
  return request;
}

std::vector<std::uint8_t> &Buffer() {
  static std::vector<std::uint8_t> buffer(kLargestBuffer);
  return buffer;
}

std::vector<std::uint8_t> &InputBuffer() {
  static std::vector<std::uint8_t> buffer(kLargestBuffer);
  return buffer;
}

void DeviceControl(Rig &rig, FuzzedDataProvider &in) {
  ULONG code;
  Code known{0, 8, 64};
  if (in.ConsumeIntegralInRange<int>(0, 15) != 0) {
    known = kCodes[in.ConsumeIntegralInRange<std::size_t>(0, kCodes.size() - 1)];
    code = known.code;
  } else {
    code = in.ConsumeIntegral<ULONG>();
  }
  ULONG inputLength = ChooseLength(in, known.record);
  ULONG outputLength = ChooseLength(in, known.answer);
  std::vector<std::uint8_t> &input = InputBuffer();
  std::vector<std::uint8_t> given = in.ConsumeBytes<std::uint8_t>(std::min<ULONG>(inputLength, 64));
  std::fill_n(std::copy(given.begin(), given.end(), input.begin()), std::min<ULONG>(inputLength, 64) - given.size(), 0);
  if (code == IOCTL_INSTR_START_ISO_STREAM && inputLength >= sizeof(IsoTransferRequest)) {
    IsoTransferRequest request = SmallStream(in);
    std::memcpy(input.data(), &request, sizeof request);
  }
  std::vector<std::uint8_t> &output = Buffer();
  std::vector<std::uint8_t> fill = in.ConsumeBytes<std::uint8_t>(std::min<ULONG>(outputLength, 32));
  std::copy(fill.begin(), fill.end(), output.begin());
  ULONG_PTR information = 0;
  NTSTATUS status = rig.Call(code, inputLength == 0 ? nullptr : input.data(), inputLength,
                             outputLength == 0 ? nullptr : output.data(), outputLength, &information);
  // A buffered answer never claims more than the output holds; the kernel's
  // verifier checks that. Direct transfers are bounded by their buffer too.
  if (NT_SUCCESS(status) && information > std::max(outputLength, inputLength)) __builtin_trap();
}

void Command(Rig &rig, FuzzedDataProvider &in) {
  std::string text = in.ConsumeBool() ? kCommands[in.ConsumeIntegralInRange<std::size_t>(0, std::size(kCommands) - 1)]
                                      : in.ConsumeRandomLengthString(64) + "\n";
  ULONG pipe = 0;
  rig.Call(IOCTL_INSTR_BULK_WRITE, &pipe, sizeof pipe, text.data(), static_cast<ULONG>(text.size()));
  // The answer, or what is left of it, from the interrogative channel, and
  // when the input asks, from the formatted one too.
  const ULONG lastReply = in.ConsumeBool() ? 2 : 1;
  for (ULONG reply = 1; reply <= lastReply; ++reply) {
    rig.Call(IOCTL_INSTR_BULK_READ_TIMED, &reply, sizeof reply, Buffer().data(), 512);
  }
}

// Steps of one script: enough for a pull, a new handle and calls on both, or
// a stream's start, reads and stop with calls between; longer scripts only
// repeat what shorter ones reach, at a cost per input.
constexpr int kMaxSteps = 12;

std::shared_ptr<usb::SubstituteInstrument> &Instrument() {
  static std::shared_ptr<usb::SubstituteInstrument> instrument;
  return instrument;
}

// Inputs the attached instrument has served.
int g_served = 0;

void AttachNewInstrument(Rig &rig) {
  g_served = 0;
  Instrument() = std::make_shared<usb::SubstituteInstrument>(usb::InstrumentConfig{});
  if (!rig.Attach(Instrument())) __builtin_trap();  // the instrument always starts
}

// Attaching an instrument (start, descriptor reads, configuration) and
// removing it again costs more than most scripts, so one instrument serves
// many inputs. After each: a new handle (the driver's cleanup of the old
// one); and, only where the input did what needs undoing, the stream
// stopped, alternate setting 0 selected again (new pipes), and the
// instrument's partial command line, answers and streaming cleared by a line
// end and *RST. An instrument that was pulled, did not come back from a stop
// or sleep, began a download or a reboot, or served many inputs (its command
// log grows) is replaced by a fresh one instead.
constexpr int kInputsPerInstrument = 256;

bool Restore(Rig &rig) {
  usb::SubstituteInstrument &instrument = *Instrument();
  // A completed download may have queued an answer that reboots the
  // instrument once it is sent or cleared.
  if (++g_served >= kInputsPerInstrument || !rig.started() || instrument.DownloadInProgress() ||
      instrument.CompletedDownloads() != 0 || instrument.Resets() != 0 || !rig.OpenHandle()) {
    return false;
  }
  if (rig.Called(IOCTL_INSTR_START_ISO_STREAM)) rig.Call(IOCTL_INSTR_STOP_ISO_STREAM, nullptr, 0, nullptr, 0);
  if (rig.Called(IOCTL_INSTR_SELECT_INTERFACE)) {
    InterfaceSelection setting{0, 0};
    if (!NT_SUCCESS(rig.Call(IOCTL_INSTR_SELECT_INTERFACE, &setting, sizeof setting, nullptr, 0))) return false;
  }
  if (rig.Called(IOCTL_INSTR_BULK_WRITE)) {
    char reset[] = "\n*RST\n";
    ULONG command = 0;
    if (!NT_SUCCESS(rig.Call(IOCTL_INSTR_BULK_WRITE, &command, sizeof command, reset, sizeof reset - 1))) return false;
  }
  return !instrument.DownloadInProgress() && instrument.Resets() == 0;
}

void RestoreOrReplace(Rig &rig) {
  if (!Restore(rig)) AttachNewInstrument(rig);
  rig.ForgetCalls();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  Rig::Instance();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  Rig &rig = Rig::Instance();
  if (Instrument() == nullptr) AttachNewInstrument(rig);
  FuzzedDataProvider in(data, size);
  // A pull or a re-plug costs as much as many calls; an input gets two at
  // most (enough for a pull followed by a new instrument).
  int plugEvents = 0;
  for (int step = 0; step < kMaxSteps && in.remaining_bytes() != 0; ++step) {
    switch (in.ConsumeIntegralInRange<int>(0, 31)) {
      case 0:
        rig.OpenHandle();  // closes the handle first
        break;
      case 1: {
        InterfaceSelection selection{0, in.ConsumeIntegralInRange<std::uint8_t>(0, 2)};
        rig.Call(IOCTL_INSTR_SELECT_INTERFACE, &selection, sizeof selection, nullptr, 0);
        break;
      }
      case 2: {
        IsoTransferRequest request = SmallStream(in);
        request.PipeIndex = 3;
        rig.Call(IOCTL_INSTR_START_ISO_STREAM, &request, sizeof request, nullptr, 0);
        break;
      }
      case 3:
        rig.Call(IOCTL_INSTR_STOP_ISO_STREAM, nullptr, 0, nullptr, 0);
        break;
      case 4:
        if (++plugEvents > 2) break;
        if (in.ConsumeBool()) {
          rig.Unplug();  // the handle stays open on the pulled device
        } else {
          AttachNewInstrument(rig);
        }
        break;
      case 5:
        rig.StopAndRestart();
        break;
      case 6:
        rig.SleepAndWake();
        break;
      case 7:
      case 8:
      case 9:
        Command(rig, in);
        break;
      default:
        DeviceControl(rig, in);
        break;
    }
  }
  RestoreOrReplace(rig);
  return 0;
}
