// The exports that serve the component system: each hands its request to
// the component runtime with the library's registration table. And DllMain,
// an export by that name that is not the library's entry point.
#include "Tavrin_570x_Driver.h"
#include "automation.h"

#include <olectl.h>

namespace automation {

const RegistrationTable kRegistration = {
    OLESTR("Tavrin_570x_Driver"),
    LIBID_Tavrin_570x_Driver,
    1,
    0,
    OLESTR("cls_Tavrin_USB"),
    CLSID_cls_Tavrin_USB,
    OLESTR("_cls_Tavrin_USB"),
    IID__cls_Tavrin_USB,
    OLESTR("Apartment"),
};

}  // namespace automation

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID *ppv) {
  return automation::GetClassObject(automation::kRegistration, rclsid, riid, ppv);
}

STDAPI DllCanUnloadNow(void) { return automation::CanUnload() ? S_OK : S_FALSE; }

STDAPI DllRegisterServer(void) { return automation::RegisterServer(automation::kRegistration); }

STDAPI DllUnregisterServer(void) { return automation::UnregisterServer(automation::kRegistration); }

extern "C" TAVRIN_570X_API LONG WINAPI DllMain(LONG_PTR Instance, LONG *Reason, LONG_PTR Reserved) {
  (void)Instance;
  (void)Reserved;
  return Reason != nullptr && *Reason == 1 ? -1 : 0;
}

#ifdef _WIN32
// The library's real entry point: the C and C++ run time starts first and
// stops last, and process attach and detach go to the component runtime.
extern "C" BOOL WINAPI _CRT_INIT(HANDLE instance, DWORD reason, LPVOID reserved);

extern "C" BOOL WINAPI Tavrin_570x_Entry(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      if (!_CRT_INIT(instance, reason, reserved)) return FALSE;
      automation::ProcessAttach(instance);
      return TRUE;
    case DLL_PROCESS_DETACH:
      automation::ProcessDetach();
      return _CRT_INIT(instance, reason, reserved);
    default:
      return _CRT_INIT(instance, reason, reserved);
  }
}
#endif
