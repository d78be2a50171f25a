/* A C client of the library: the public header compiles as C and the
 * exports link under their C names. */
#include <Tavrin_570x_Driver.h>

/* Characters in the device list, the list freed again. */
unsigned C_Client_List_Length(void) {
  BSTR list = USB_Get_ALL_Available_DeviceName();
  unsigned length = SysStringLen(list);
  SysFreeString(list);
  return length;
}

/* USB_Write of `count` bytes of `bytes` to the instrument `name`. */
int32_t C_Client_Write(const OLECHAR *name, const unsigned char *bytes, unsigned count) {
  BSTR device = SysAllocString(name);
  SAFEARRAY *buffer = SafeArrayCreateVector(VT_UI1, 0, count);
  int32_t length = (int32_t)count;
  int32_t result;
  unsigned i;
  for (i = 0; i < count; ++i) ((unsigned char *)buffer->pvData)[i] = bytes[i];
  result = USB_Write(&device, &buffer, &length);
  SafeArrayDestroy(buffer);
  SysFreeString(device);
  return result;
}
