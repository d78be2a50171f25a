/* cls_Tavrin_USB: the automation class of the device-access library, for
 * C++ clients that bind to its interface directly (others use IDispatch, or
 * the type library Tavrin_570x_Driver embedded in the Windows library).
 *
 * Create an object with CoCreateInstance(CLSID_cls_Tavrin_USB, ...) or by
 * the programmatic identifier "Tavrin_570x_Driver.cls_Tavrin_USB" once the
 * library is registered (DllRegisterServer). Objects hold no state: each
 * call opens the instrument, transfers and closes it again, through the
 * library's exports.
 *
 * Every method returns an HRESULT and gives its result through its last
 * parameter, a new string that the caller frees with SysFreeString, or a
 * number. Device names may be given plain or with NUL characters between
 * the letters. Texts and bytes meet in the system's 8-bit code page, one
 * byte per character: Windows' ANSI code page, Latin-1 on Linux (or the
 * single-byte character set the locale names).
 */
#ifndef CLS_TAVRIN_USB_H
#define CLS_TAVRIN_USB_H

#include <windows.h>
#include <oleauto.h>
#include <objbase.h>

#ifdef __cplusplus

/* The type library, the class and its default interface. */
inline constexpr GUID LIBID_Tavrin_570x_Driver = {
    0x6F6EB502, 0x277E, 0x4B59, {0x86, 0xA9, 0x87, 0xE5, 0x86, 0xB3, 0x0E, 0x43}};
inline constexpr CLSID CLSID_cls_Tavrin_USB = {
    0x57CE8415, 0x609B, 0x4AB7, {0x99, 0xFF, 0xA3, 0x5A, 0x7A, 0xFE, 0xAE, 0x3E}};
inline constexpr IID IID__cls_Tavrin_USB = {
    0xB22F88D2, 0xF272, 0x4772, {0x8C, 0xE1, 0xEC, 0x4C, 0x02, 0x14, 0xA1, 0x37}};

/* The dispatch identifiers of the five methods. */
enum : DISPID {
  DISPID_Get_ALL_Available_DeviceName = 0x60030000,
  DISPID_Device_Read_Formatted = 0x60030001,
  DISPID_Device_Read_Interrogative = 0x60030002,
  DISPID_Device_Write = 0x60030003,
  DISPID_Get_First_DeviceName = 0x60030004,
};

/* A method stopped by a run-time error: a Value longer than 32767
 * characters, or with a character the code page has no byte for. Run-time
 * error 6, "Overflow". Through IDispatch::Invoke it comes as
 * DISP_E_EXCEPTION with this code in the EXCEPINFO. */
#define TAVRIN_E_OVERFLOW ((HRESULT)0x800A0006L)

/* A dual interface: IDispatch's seven methods, then these five in order. */
struct _cls_Tavrin_USB : public IDispatch {
  /* Every present instrument's name followed by "\r\n"; empty for none. */
  virtual HRESULT STDMETHODCALLTYPE Get_ALL_Available_DeviceName(BSTR *Result) = 0;
  /* The bytes one read of the formatted channel delivers, zero bytes kept;
   * empty when nothing came or the instrument cannot be opened. */
  virtual HRESULT STDMETHODCALLTYPE Device_Read_Formatted(BSTR *DeviceName, BSTR *Result) = 0;
  /* The same for the interrogative channel. */
  virtual HRESULT STDMETHODCALLTYPE Device_Read_Interrogative(BSTR *DeviceName, BSTR *Result) = 0;
  /* Sends Value, one byte per character, on the command channel: 1 sent,
   * 0 failed (or Value empty: nothing is sent), -2 instrument not opened. */
  virtual HRESULT STDMETHODCALLTYPE Device_Write(BSTR *DeviceName, BSTR *Value, LONG *Result) = 0;
  /* The name of the lowest-numbered present instrument, or empty. */
  virtual HRESULT STDMETHODCALLTYPE Get_First_DeviceName(BSTR *Result) = 0;
};

#endif /* __cplusplus */

#endif /* CLS_TAVRIN_USB_H */
