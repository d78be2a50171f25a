/* A compiled client of the native library and driver under Wine, with an
 * emulated instrument attached (scripts/wine-usb-test). One action per run;
 * each prints one line per check ("ok ...", "FAILED ...", "SKIPPED ...") and
 * ends with "N passed, M failed"; the exit status is M.
 *
 *   instrument_client install INF HARDWARE-ID
 *       installs the driver package for the device as Windows installs a
 *       Plug and Play driver (UpdateDriverForPlugAndPlayDevices)
 *   instrument_client wait-list LIST SECONDS
 *       waits until the device list is LIST ("-" for none; names joined by
 *       commas), as after a plug, an unplug or a reboot
 *   instrument_client basics
 *       discovery, a write, a query and formatted output through the exports
 *   instrument_client idle-read SECONDS
 *       a read of the idle interrogative channel, which the driver gives up
 *       after 1 ms; when it has not returned after SECONDS, it says so
 *       ("WAITING") and waits for the device's removal to end it
 *   instrument_client blocked-read
 *       an untimed read of the idle formatted channel, blocked until the
 *       device goes away (the test pulls it)
 *   instrument_client versions VERSION
 *       the library and the installed driver carry VERSION, the INF's
 *   instrument_client alternate
 *       alternate setting 1 and an isochronous read on its pipe, then back
 *       to setting 0 and a query on the bulk pipes
 *   instrument_client download IP|DSP|FPGA RESET|NORESET SIZE
 *       the download exchange with a SIZE-byte image of that type
 *   instrument_client firmware IP|DSP|FPGA SIZE
 *       FW? reports the size and CRC-32 of the image download sent
 */
#include <windows.h>
#include <newdev.h>
#include <oleauto.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "check_count.h"
#include "tavrin_ioctl.h"

typedef int32_t(WINAPI *ChannelExport)(BSTR *, SAFEARRAY **, int32_t *);
typedef BSTR(WINAPI *NameExport)(void);

static ChannelExport usb_write, usb_read_interrogative, usb_read_formatted;
static NameExport usb_first_name, usb_all_names;
static const wchar_t kDevice[] = L"TAVRIN-0";

/* The closing line, flushed: some runs end with ExitProcess. */
static int finish(void) {
  int result = check_summary();
  fflush(stdout);
  return result;
}

static void load_library(void) {
  HMODULE library = LoadLibraryW(L"Tavrin_570x_Driver.dll");
  if (library == NULL) {
    printf("FAILED Tavrin_570x_Driver.dll does not load (error %lu)\n", GetLastError());
    exit(1);
  }
  usb_write = (ChannelExport)(void (*)(void))GetProcAddress(library, "USB_Write");
  usb_read_interrogative = (ChannelExport)(void (*)(void))GetProcAddress(library, "USB_Read_Interrogative");
  usb_read_formatted = (ChannelExport)(void (*)(void))GetProcAddress(library, "USB_Read_Formatted");
  usb_first_name = (NameExport)(void (*)(void))GetProcAddress(library, "USB_Get_First_DeviceName");
  usb_all_names = (NameExport)(void (*)(void))GetProcAddress(library, "USB_Get_ALL_Available_DeviceName");
  if (!usb_write || !usb_read_interrogative || !usb_read_formatted || !usb_first_name || !usb_all_names) {
    printf("FAILED the library lacks one of its exports\n");
    exit(1);
  }
}

/* ---- Transfers through the exports ---------------------------------------- */

/* Sends `length` bytes on the command channel; the export's result. */
static int32_t write_bytes(const void *bytes, int32_t length) {
  BSTR name = SysAllocString(kDevice);
  SAFEARRAY *array = SafeArrayCreateVector(VT_UI1, 0, (ULONG)(length > 0 ? length : 1));
  memcpy(array->pvData, bytes, (size_t)length);
  int32_t result = usb_write(&name, &array, &length);
  SafeArrayDestroy(array);
  SysFreeString(name);
  return result;
}

static int32_t write_text(const char *text) { return write_bytes(text, (int32_t)strlen(text)); }

/* One read of at most `room` bytes into `text` (NUL-terminated); the
 * export's result. */
static int32_t read_channel(ChannelExport read, char *text, int32_t room) {
  BSTR name = SysAllocString(kDevice);
  SAFEARRAY *array = SafeArrayCreateVector(VT_UI1, 0, (ULONG)room);
  int32_t length = room;
  int32_t result = read(&name, &array, &length);
  int32_t kept = result > 0 && result < room ? result : 0;
  memcpy(text, array->pvData, (size_t)kept);
  text[kept] = '\0';
  SafeArrayDestroy(array);
  SysFreeString(name);
  return result;
}

/* The next answer on the interrogative channel, waiting up to `limit_ms`. */
static int32_t next_answer(char *text, int32_t room, DWORD limit_ms) {
  DWORD start = GetTickCount();
  for (;;) {
    int32_t got = read_channel(usb_read_interrogative, text, room);
    if (got > 0 || GetTickCount() - start > limit_ms) return got;
    Sleep(10);
  }
}

static char *narrow(BSTR text) {
  static char buffer[512];
  int n = WideCharToMultiByte(CP_ACP, 0, text, (int)SysStringLen(text), buffer, sizeof buffer - 1, NULL, NULL);
  buffer[n > 0 ? n : 0] = '\0';
  SysFreeString(text);
  return buffer;
}

/* Shows control characters of `text` as \r and \n. */
static const char *shown(const char *text) {
  static char buffer[1024];
  size_t out = 0;
  for (; *text != '\0' && out + 3 < sizeof buffer; ++text) {
    if (*text == '\r' || *text == '\n') {
      buffer[out++] = '\\';
      buffer[out++] = *text == '\r' ? 'r' : 'n';
    } else {
      buffer[out++] = *text;
    }
  }
  buffer[out] = '\0';
  return buffer;
}

/* ---- Actions ---------------------------------------------------------------- */

static int install(const char *inf, const char *hardware_id) {
  wchar_t path[MAX_PATH], id[256];
  MultiByteToWideChar(CP_ACP, 0, inf, -1, path, MAX_PATH);
  MultiByteToWideChar(CP_ACP, 0, hardware_id, -1, id, 256);
  BOOL reboot = FALSE;
  char line[600];
  BOOL installed = UpdateDriverForPlugAndPlayDevicesW(NULL, id, path, INSTALLFLAG_FORCE, &reboot);
  snprintf(line, sizeof line, "UpdateDriverForPlugAndPlayDevices(%s, %s) succeeds (error %lu)", hardware_id, inf,
           installed ? 0ul : GetLastError());
  check(installed, line);
  check(!reboot, "the installation needs no reboot");
  return finish();
}

static int wait_list(const char *wanted, int seconds) {
  char expected[256] = "";
  if (strcmp(wanted, "-") != 0) {
    char copy[200];
    snprintf(copy, sizeof copy, "%s", wanted);
    for (char *name = strtok(copy, ","); name != NULL; name = strtok(NULL, ",")) {
      strncat(expected, name, sizeof expected - strlen(expected) - 3);
      strcat(expected, "\r\n");
    }
  }
  DWORD start = GetTickCount();
  const char *list;
  for (;;) {
    list = narrow(usb_all_names());
    if (strcmp(list, expected) == 0 || GetTickCount() - start > (DWORD)seconds * 1000) break;
    Sleep(100);
  }
  char line[400];
  snprintf(line, sizeof line, "the device list is \"%s\" after %lu ms", shown(list), GetTickCount() - start);
  if (strcmp(list, expected) != 0) snprintf(line + strlen(line), 60, ", not \"%s\"", shown(expected));
  check(strcmp(list, expected) == 0, line);
  return finish();
}

static int basics(void) {
  char line[600], answer[33000];
  const char *first = narrow(usb_first_name());
  snprintf(line, sizeof line, "USB_Get_First_DeviceName = \"%s\"", first);
  check(strcmp(first, "TAVRIN-0") == 0, line);

  int32_t written = write_text("*IDN?\n");
  snprintf(line, sizeof line, "USB_Write(\"*IDN?\\n\") = %d", written);
  check(written == 1, line);
  int32_t got = next_answer(answer, 64, 5000);
  snprintf(line, sizeof line, "USB_Read_Interrogative = %d: \"%s\"", got, shown(answer));
  check(got == (int32_t)strlen(answer) && strncmp(answer, "TAVRIN,570x,TVR03232,", 21) == 0, line);

  /* A query whose answer the instrument computes: the running reading. */
  write_text("MEAS?\n");
  got = next_answer(answer, 64, 5000);
  snprintf(line, sizeof line, "MEAS? answers \"%s\"", shown(answer));
  check(got > 0 && answer[got - 1] == '\n' && strchr(answer, 'E') != NULL, line);

  /* Formatted output: three lines, read until all have come. A read of
   * the channel once they have is not made, so this holds without the
   * idle read's cancel. */
  written = write_text("FMT 3\n");
  char formatted[200] = "";
  DWORD start = GetTickCount();
  int lines = 0;
  while (lines < 3 && GetTickCount() - start < 5000) {
    got = read_channel(usb_read_formatted, answer, 32000);
    if (got <= 0) {
      Sleep(10);
      continue;
    }
    strncat(formatted, answer, sizeof formatted - strlen(formatted) - 1);
    for (const char *c = answer; *c != '\0'; ++c) lines += *c == '\n';
  }
  snprintf(line, sizeof line, "FMT 3 (write %d) gives %d lines on the formatted channel: \"%s\"", written, lines,
           shown(formatted));
  check(written == 1 && lines == 3 && strncmp(formatted, "FMT 1 of 3: ", 12) == 0 &&
            strstr(formatted, "\nFMT 3 of 3: ") != NULL,
        line);
  return finish();
}

/* ---- Reads that wait ------------------------------------------------------- */

struct PendingRead {
  DWORD code;
  ULONG pipe;
  BOOL ok;
  DWORD error;
  DWORD bytes;
  int32_t exported;  /* the export's result, for code 0 */
};

static HANDLE open_device(void) {
  return CreateFileA("\\\\.\\TAVRIN-0", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                     OPEN_EXISTING, 0, NULL);
}

static DWORD WINAPI run_read(void *argument) {
  struct PendingRead *read = argument;
  if (read->code == 0) {
    char text[80];
    read->exported = read_channel(usb_read_interrogative, text, 64);
    return 0;
  }
  HANDLE device = open_device();
  if (device == INVALID_HANDLE_VALUE) {
    read->error = GetLastError();
    return 0;
  }
  static unsigned char buffer[512];
  read->ok = DeviceIoControl(device, read->code, &read->pipe, sizeof read->pipe, buffer, sizeof buffer,
                             &read->bytes, NULL);
  read->error = read->ok ? 0 : GetLastError();
  CloseHandle(device);
  return 0;
}

static int idle_read(int seconds) {
  char line[300];
  struct PendingRead read = {0};
  DWORD start = GetTickCount();
  HANDLE thread = CreateThread(NULL, 0, run_read, &read, 0, NULL);
  if (WaitForSingleObject(thread, (DWORD)seconds * 1000) == WAIT_OBJECT_0) {
    snprintf(line, sizeof line, "a read of the idle interrogative channel returns %d after %lu ms", read.exported,
             GetTickCount() - start);
    check(read.exported == 0, line);
    return finish();
  }
  /* The cancel did not end it: the bus driver still holds the transfer, and
   * only the device's removal (which the test brings about) can end it. */
  printf("WAITING a read of the idle interrogative channel has not returned after %d s\n", seconds);
  fflush(stdout);
  DWORD ended = WaitForSingleObject(thread, 60000);
  snprintf(line, sizeof line, "the waiting read ends when the device goes: %s",
           ended == WAIT_OBJECT_0 ? "it returned 0" : "it is still blocked");
  check(ended == WAIT_OBJECT_0 && read.exported == 0, line);
  if (ended != WAIT_OBJECT_0) ExitProcess((UINT)finish());
  return finish();
}

static int blocked_read(void) {
  char line[300];
  struct PendingRead read = {IOCTL_INSTR_BULK_READ, 2, FALSE, 0, 0, 0};
  DWORD start = GetTickCount();
  HANDLE thread = CreateThread(NULL, 0, run_read, &read, 0, NULL);
  printf("BLOCKED the untimed read is sent\n");
  fflush(stdout);
  DWORD ended = WaitForSingleObject(thread, 60000);
  snprintf(line, sizeof line, "the blocked read ends when the device goes, after %lu ms, with error %lu",
           GetTickCount() - start, read.error);
  check(ended == WAIT_OBJECT_0 && !read.ok && read.bytes == 0, line);
  if (ended != WAIT_OBJECT_0) ExitProcess((UINT)finish());
  return finish();
}

/* ---- The package's version -------------------------------------------------- */

/* The file version of `path` as "a.b.c.d", or "none". */
static const char *file_version(const char *path, char *text, size_t room) {
  DWORD ignored = 0, size = GetFileVersionInfoSizeA(path, &ignored);
  snprintf(text, room, "none");
  if (size == 0) return text;
  void *block = malloc(size);
  VS_FIXEDFILEINFO *fixed = NULL;
  UINT length = 0;
  if (GetFileVersionInfoA(path, 0, size, block) && VerQueryValueA(block, "\\", (void **)&fixed, &length) &&
      length >= sizeof *fixed) {
    snprintf(text, room, "%lu.%lu.%lu.%lu", fixed->dwFileVersionMS >> 16, fixed->dwFileVersionMS & 0xFFFF,
             fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF);
  }
  free(block);
  return text;
}

static int versions(const char *driver_ver) {
  static const char *const files[] = {"C:\\tavrin\\Tavrin_570x_Driver.dll",
                                      "C:\\windows\\system32\\drivers\\Tavrin.sys"};
  char line[300], text[40];
  for (int i = 0; i < 2; ++i) {
    file_version(files[i], text, sizeof text);
    snprintf(line, sizeof line, "%s carries version %s, the INF's DriverVer %s", files[i], text, driver_ver);
    check(strcmp(text, driver_ver) == 0, line);
  }
  return finish();
}

/* ---- Alternate setting 1 and its isochronous pipe ------------------------- */

/* Prints a line that is neither a pass nor a failure: something the platform
 * below the driver cannot do. */
static void skipped(const char *what) {
  printf("SKIPPED %s\n", what);
  fflush(stdout);
}

static int alternate(void) {
  char line[300];
  HANDLE device = open_device();
  check(device != INVALID_HANDLE_VALUE, "\\\\.\\TAVRIN-0 opens");
  if (device == INVALID_HANDLE_VALUE) return finish();
  DWORD bytes = 0;
  /* The request succeeds whatever the bus driver answered: the interface
   * record tells whether the setting was taken. */
  InterfaceSelection streaming = {0, 1};
  DeviceIoControl(device, IOCTL_INSTR_SELECT_INTERFACE, &streaming, sizeof streaming, NULL, 0, &bytes, NULL);
  unsigned char record[TAVRIN_RECORD_BUFFER_BYTES] = {0};
  DeviceIoControl(device, IOCTL_INSTR_GET_INTERFACE_RECORD, NULL, 0, record, sizeof record, &bytes, NULL);
  uint32_t pipes = 0, iso = 0;
  memcpy(&pipes, record + 16, sizeof pipes);
  for (iso = 0; iso < pipes && iso < 13; ++iso) {
    if (record[TAVRIN_RECORD_ENDPOINT_OFFSET(iso)] == 0x83) break;
  }
  if (iso >= pipes) {
    snprintf(line, sizeof line,
             "alternate setting 1: the bus driver did not select it (the record keeps %u pipes and no "
             "isochronous endpoint), so its isochronous pipe cannot be tried",
             (unsigned)pipes);
    skipped(line);
  } else {
    check(1, "alternate setting 1 is selected: its isochronous pipe is in the record");
    IsoTransferRequest request = {iso, 1024, 16, 8, 2};
    static unsigned char out[16 * (1024 + 12)];
    BOOL read = DeviceIoControl(device, IOCTL_INSTR_ISO_READ, &request, sizeof request, out, sizeof out, &bytes, NULL);
    if (read) {
      snprintf(line, sizeof line, "an isochronous read of 16 packets returns %lu bytes", bytes);
      check(bytes == sizeof out, line);
    } else {
      snprintf(line, sizeof line, "an isochronous read fails with error %lu (the bus driver does not carry "
               "isochronous transfers)", GetLastError());
      skipped(line);
    }
    InterfaceSelection bulk = {0, 0};
    DeviceIoControl(device, IOCTL_INSTR_SELECT_INTERFACE, &bulk, sizeof bulk, NULL, 0, &bytes, NULL);
  }
  CloseHandle(device);
  /* The bulk pipes serve as before. */
  char answer[80];
  int32_t written = write_text("*IDN?\n");
  int32_t got = next_answer(answer, 64, 5000);
  snprintf(line, sizeof line, "afterwards *IDN? (write %d) is answered: \"%s\"", written, shown(answer));
  check(written == 1 && got > 0 && strncmp(answer, "TAVRIN,570x,", 12) == 0, line);
  return finish();
}

/* ---- Downloads ----------------------------------------------------------------- */

/* The image of `type` (0 IP, 1 DSP, 2 FPGA) of `size` bytes: a fixed
 * pseudo-random sequence per type. */
static unsigned char *make_image(int type, size_t size) {
  unsigned char *image = malloc(size);
  uint32_t state = 0x9E3779B9u * (uint32_t)(type + 1);
  for (size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    image[i] = (unsigned char)(state >> 24);
  }
  return image;
}

static uint32_t crc32_of(const unsigned char *bytes, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

static int image_type(const char *name) {
  if (strcmp(name, "IP") == 0) return 0;
  if (strcmp(name, "DSP") == 0) return 1;
  if (strcmp(name, "FPGA") == 0) return 2;
  printf("FAILED no image type %s\n", name);
  exit(1);
}

static int download(const char *type_name, const char *reset, size_t size) {
  char line[300], answer[80], command[40];
  unsigned char *image = make_image(image_type(type_name), size);
  snprintf(command, sizeof command, "DL,%s,%s\n", type_name, reset);
  int32_t written = write_text(command);
  int32_t got = next_answer(answer, 64, 5000);
  snprintf(line, sizeof line, "DL,%s,%s (write %d) is acknowledged: \"%s\"", type_name, reset, written,
           shown(answer));
  check(written == 1 && got > 0 && strstr(answer, "0\n") != NULL, line);
  size_t sent = 0;
  int writes_ok = 1;
  DWORD start = GetTickCount();
  while (sent < size && writes_ok) {
    int32_t chunk = (int32_t)(size - sent < 1024 ? size - sent : 1024);
    writes_ok = write_bytes(image + sent, chunk) == 1;
    sent += writes_ok ? (size_t)chunk : 0;
  }
  snprintf(line, sizeof line, "the %zu-byte image goes in %zu writes of at most 1024 bytes (%lu ms)", size,
           (size + 1023) / 1024, GetTickCount() - start);
  check(writes_ok && sent == size, line);
  got = next_answer(answer, 64, 15000);
  snprintf(line, sizeof line, "the final answer \"%s\" comes after %lu ms", shown(answer), GetTickCount() - start);
  check(got > 0 && strstr(answer, "0\n") != NULL, line);
  free(image);
  return finish();
}

static int firmware(const char *type_name, size_t size) {
  char line[400], answer[200], expected[64];
  int type = image_type(type_name);
  unsigned char *image = make_image(type, size);
  snprintf(expected, sizeof expected, "%s %zu %08X", type_name, size, (unsigned)crc32_of(image, size));
  free(image);
  int32_t written = write_text("FW?\n");
  int32_t got = next_answer(answer, 64, 5000);
  snprintf(line, sizeof line, "FW? (write %d) answers \"%s\", with \"%s\"", written, shown(answer), expected);
  check(got > 0 && strstr(answer, expected) != NULL, line);
  return finish();
}

int main(int argc, char **argv) {
  if (argc >= 4 && strcmp(argv[1], "install") == 0) return install(argv[2], argv[3]);
  load_library();
  if (argc == 4 && strcmp(argv[1], "wait-list") == 0) return wait_list(argv[2], atoi(argv[3]));
  if (argc == 2 && strcmp(argv[1], "basics") == 0) return basics();
  if (argc == 3 && strcmp(argv[1], "idle-read") == 0) return idle_read(atoi(argv[2]));
  if (argc == 2 && strcmp(argv[1], "blocked-read") == 0) return blocked_read();
  if (argc == 2 && strcmp(argv[1], "alternate") == 0) return alternate();
  if (argc == 3 && strcmp(argv[1], "versions") == 0) return versions(argv[2]);
  if (argc == 5 && strcmp(argv[1], "download") == 0) return download(argv[2], argv[3], (size_t)atol(argv[4]));
  if (argc == 4 && strcmp(argv[1], "firmware") == 0) return firmware(argv[2], (size_t)atol(argv[3]));
  printf("usage: see the comment at the top of instrument_client.c\n");
  return 2;
}
