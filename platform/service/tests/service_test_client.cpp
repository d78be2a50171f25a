// A program the service tests run as client processes, through the library
// and kernel32 as any program would:
//   service_test_client block NAME
//     opens NAME and waits in an untimed bulk read of the interrogative
//     pipe; prints "blocking" first.
//   service_test_client traffic SECONDS TAG
//     for SECONDS, sends "ECHO TAG-n" to TAVRIN-(n % 2), reads answers,
//     drains the formatted channel and scans for instruments; then prints
//     "sent <count>" and every answer it read, one per line.
//   service_test_client drain
//     reads both instruments' interrogative channels until they stay idle
//     and prints every answer, one per line.
#include <Tavrin_570x_Driver.h>
#include <tavrin_ioctl.h>
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

BSTR NameOf(const std::string &name) {
  std::u16string wide(name.begin(), name.end());
  return SysAllocStringLen(reinterpret_cast<const OLECHAR *>(wide.data()), static_cast<UINT>(wide.size()));
}

bool Write(const std::string &name, const std::string &text) {
  BSTR device = NameOf(name);
  SAFEARRAY *array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(text.size()));
  std::memcpy(array->pvData, text.data(), text.size());
  auto length = static_cast<std::int32_t>(text.size());
  std::int32_t result = USB_Write(&device, &array, &length);
  SafeArrayDestroy(array);
  SysFreeString(device);
  return result == 1;
}

// One read of a reply channel; empty when nothing came.
std::string Read(const std::string &name, int channel, std::int32_t capacity) {
  BSTR device = NameOf(name);
  SAFEARRAY *array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(capacity + 1));
  std::int32_t length = capacity;
  std::int32_t got = channel == 1 ? USB_Read_Interrogative(&device, &array, &length)
                                  : USB_Read_Formatted(&device, &array, &length);
  std::string text(static_cast<const char *>(array->pvData), got > 0 ? static_cast<std::size_t>(got) : 0);
  SafeArrayDestroy(array);
  SysFreeString(device);
  return text;
}

// Answers are single lines; a read may bring more than one.
void Collect(const std::string &text, std::vector<std::string> *answers) {
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    answers->push_back(text.substr(start, end - start));
    start = end + 1;
  }
}

std::string InstrumentFor(unsigned n) { return "TAVRIN-" + std::to_string(n % 2); }

int Block(const std::string &name) {
  std::string path = "\\\\.\\" + name;
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return 3;
  std::printf("blocking\n");
  std::fflush(stdout);
  std::int32_t pipe = 1;
  char buffer[64];
  DWORD returned = 0;
  BOOL done = DeviceIoControl(handle, IOCTL_INSTR_BULK_READ, &pipe, sizeof pipe, buffer, sizeof buffer, &returned,
                              nullptr);
  std::printf("returned %d\n", done);
  return 0;
}

int Traffic(double seconds, const std::string &tag) {
  std::vector<std::string> answers;
  unsigned sent = 0;
  auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (!Write(InstrumentFor(sent), "ECHO " + tag + "-" + std::to_string(sent) + "\n")) return 4;
    ++sent;
    Collect(Read(InstrumentFor(sent), 1, 64), &answers);
    Read(InstrumentFor(sent), 2, 32000);
    BSTR list = USB_Get_ALL_Available_DeviceName();
    bool bothListed = SysStringLen(list) == 20;  // "TAVRIN-0\r\nTAVRIN-1\r\n"
    SysFreeString(list);
    if (!bothListed) return 5;
  }
  std::printf("sent %u\n", sent);
  for (const std::string &answer : answers) std::printf("%s\n", answer.c_str());
  return 0;
}

int Drain() {
  std::vector<std::string> answers;
  for (int idleRounds = 0; idleRounds < 20;) {
    std::size_t before = answers.size();
    for (unsigned n = 0; n < 2; ++n) Collect(Read(InstrumentFor(n), 1, 64), &answers);
    idleRounds = answers.size() == before ? idleRounds + 1 : 0;
  }
  for (const std::string &answer : answers) std::printf("%s\n", answer.c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 2 && args[0] == "block") return Block(args[1]);
  if (args.size() == 3 && args[0] == "traffic") return Traffic(std::atof(args[1].c_str()), args[2]);
  if (args.size() == 1 && args[0] == "drain") return Drain();
  std::fprintf(stderr, "usage: service_test_client block NAME | traffic SECONDS TAG | drain\n");
  return 2;
}
