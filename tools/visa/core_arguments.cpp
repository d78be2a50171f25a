#include "core_arguments.h"

#include "vxi11_core.h"  // generated from vxi11_core.x

namespace visa {

bool CoreArguments(std::uint32_t procedure, xdrproc_t &decode, std::size_t &size) {
  switch (procedure) {
    case create_link:
      decode = Routine(xdr_Create_LinkParms);
      size = sizeof(Create_LinkParms);
      return true;
    case device_write:
      decode = Routine(xdr_Device_WriteParms);
      size = sizeof(Device_WriteParms);
      return true;
    case device_read:
      decode = Routine(xdr_Device_ReadParms);
      size = sizeof(Device_ReadParms);
      return true;
    case device_readstb:
    case device_trigger:
    case device_clear:
    case device_remote:
    case device_local:
      decode = Routine(xdr_Device_GenericParms);
      size = sizeof(Device_GenericParms);
      return true;
    case device_lock:
      decode = Routine(xdr_Device_LockParms);
      size = sizeof(Device_LockParms);
      return true;
    case device_enable_srq:
      decode = Routine(xdr_Device_EnableSrqParms);
      size = sizeof(Device_EnableSrqParms);
      return true;
    case create_intr_chan:
      decode = Routine(xdr_Device_RemoteFunc);
      size = sizeof(Device_RemoteFunc);
      return true;
    case destroy_intr_chan:
      // No arguments; through void (*)(), the type that stands for any.
      decode = reinterpret_cast<xdrproc_t>(reinterpret_cast<void (*)()>(xdr_void));
      size = 0;
      return true;
    case device_unlock:
    case destroy_link:
      decode = Routine(xdr_Device_Link);
      size = sizeof(Device_Link);
      return true;
    default:
      return false;
  }
}

}  // namespace visa
