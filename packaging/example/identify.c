/* A client of the installed device-access library: lists the instruments,
 * asks the first one for its identity and prints the answer. Built by the
 * package check with find_package(Tavrin) and with pkg-config. */
#include <Tavrin_570x_Driver.h>

#include <stdio.h>
#include <string.h>
#include <unistd.h>

/* An OLE Automation string from 8-bit text. */
static BSTR Text(const char *text) {
  OLECHAR wide[64];
  size_t n = strlen(text);
  for (size_t i = 0; i < n; ++i) wide[i] = (unsigned char)text[i];
  return SysAllocStringLen(wide, (UINT)n);
}

int main(void) {
  BSTR list = USB_Get_ALL_Available_DeviceName();
  char name[32] = {0};
  for (UINT i = 0; i < SysStringLen(list) && i + 1 < sizeof name && list[i] != '\r'; ++i) name[i] = (char)list[i];
  SysFreeString(list);
  if (name[0] == 0) {
    fprintf(stderr, "no instrument\n");
    return 3;
  }

  BSTR device = Text(name);
  const char command[] = "*IDN?\n";
  SAFEARRAY *buffer = SafeArrayCreateVector(VT_UI1, 0, 256);
  memcpy(buffer->pvData, command, sizeof command - 1);
  int32_t length = (int32_t)(sizeof command - 1);
  int status = 1;
  if (USB_Write(&device, &buffer, &length) == 1) {
    for (int attempt = 0; attempt < 200; ++attempt) {
      length = 256;
      int32_t received = USB_Read_Interrogative(&device, &buffer, &length);
      if (received > 0) {
        printf("%s: %.*s", name, (int)received, (const char *)buffer->pvData);
        status = 0;
        break;
      }
      usleep(5000);
    }
  }
  SafeArrayDestroy(buffer);
  SysFreeString(device);
  return status;
}
