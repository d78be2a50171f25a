// The USBD library interface, as the Windows Driver Kit's usbdlib.h: the
// routines that parse configuration descriptors and build the selection
// URB, the macros that fill in the common URBs, and the URB size macros.
// The routines are exported by the USB stand-in with C linkage, as the
// kernel exports its routines.
#pragma once

#include <wdm.h>

#include <usb.h>

#define USBD_EXPORT KM_EXTERN_C __attribute__((visibility("default")))

// One interface to select: the caller names the descriptor, and after
// USBD_CreateConfigurationRequestEx, Interface points at the interface
// information inside the returned URB.
typedef struct _USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

#define URB_STATUS(urb) ((urb)->UrbHeader.Status)

// ---------------------------------------------------------------------------
// URB sizes. The arguments are used unparenthesised, as on Windows: pass
// plain names or constants.
// ---------------------------------------------------------------------------
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(totalInterfaces, totalPipes)          \
  (sizeof(struct _URB_SELECT_CONFIGURATION) +                                       \
   ((totalInterfaces - 1) * sizeof(USBD_INTERFACE_INFORMATION)) +                   \
   ((totalPipes - totalInterfaces) * sizeof(USBD_PIPE_INFORMATION)))

#define GET_SELECT_INTERFACE_REQUEST_SIZE(totalPipes) \
  (sizeof(struct _URB_SELECT_INTERFACE) + ((totalPipes - 1) * sizeof(USBD_PIPE_INFORMATION)))

#define GET_USBD_INTERFACE_SIZE(numEndpoints) \
  (sizeof(USBD_INTERFACE_INFORMATION) + (sizeof(USBD_PIPE_INFORMATION) * (numEndpoints)) - sizeof(USBD_PIPE_INFORMATION))

// One packet descriptor more than n: the structure already holds one.
#define GET_ISO_URB_SIZE(n) (sizeof(struct _URB_ISOCH_TRANSFER) + sizeof(USBD_ISO_PACKET_DESCRIPTOR) * n)

USB_LAYOUT_ASSERT(GET_SELECT_INTERFACE_REQUEST_SIZE(1) == 56 + 24 * 1, "select-interface URB is 56 + 24 n bytes");
USB_LAYOUT_ASSERT(GET_SELECT_INTERFACE_REQUEST_SIZE(4) == 56 + 24 * 4, "select-interface URB is 56 + 24 n bytes");
USB_LAYOUT_ASSERT(GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, 2) == 88 + 24, "select-configuration URB size");
USB_LAYOUT_ASSERT(GET_USBD_INTERFACE_SIZE(3) == 24 + 24 * 3, "interface information is 24 + 24 n bytes");
USB_LAYOUT_ASSERT(GET_ISO_URB_SIZE(0) == 152, "isochronous URB is 152 + 12 n bytes");
USB_LAYOUT_ASSERT(GET_ISO_URB_SIZE(8) == 152 + 12 * 8, "isochronous URB is 152 + 12 n bytes");

// ---------------------------------------------------------------------------
// URB builders. Each is a braced block of assignments; fields not named
// keep what the caller put there (normally zero).
// ---------------------------------------------------------------------------
#define UsbBuildInterruptOrBulkTransferRequest(urb, length, pipeHandle, transferBuffer, transferBufferMDL, \
                                               transferBufferLength, transferFlags, link)                  \
  {                                                                                                        \
    (urb)->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;                                    \
    (urb)->UrbHeader.Length = (length);                                                                    \
    (urb)->UrbBulkOrInterruptTransfer.PipeHandle = (pipeHandle);                                           \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferLength = (transferBufferLength);                       \
    (urb)->UrbBulkOrInterruptTransfer.TransferBufferMDL = (transferBufferMDL);                             \
    (urb)->UrbBulkOrInterruptTransfer.TransferBuffer = (transferBuffer);                                   \
    (urb)->UrbBulkOrInterruptTransfer.TransferFlags = (transferFlags);                                     \
    (urb)->UrbBulkOrInterruptTransfer.UrbLink = (link);                                                    \
  }

#define UsbBuildGetDescriptorRequest(urb, length, descriptorType, descriptorIndex, languageId, transferBuffer, \
                                     transferBufferMDL, transferBufferLength, link)                           \
  {                                                                                                           \
    (urb)->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;                                       \
    (urb)->UrbHeader.Length = (length);                                                                       \
    (urb)->UrbControlDescriptorRequest.TransferBufferLength = (transferBufferLength);                         \
    (urb)->UrbControlDescriptorRequest.TransferBufferMDL = (transferBufferMDL);                               \
    (urb)->UrbControlDescriptorRequest.TransferBuffer = (transferBuffer);                                     \
    (urb)->UrbControlDescriptorRequest.DescriptorType = (descriptorType);                                     \
    (urb)->UrbControlDescriptorRequest.Index = (descriptorIndex);                                             \
    (urb)->UrbControlDescriptorRequest.LanguageId = (languageId);                                             \
    (urb)->UrbControlDescriptorRequest.UrbLink = (link);                                                      \
  }

// op: one of the URB_FUNCTION_GET_STATUS_FROM_* codes; the answer is a USHORT.
#define UsbBuildGetStatusRequest(urb, op, index, transferBuffer, transferBufferMDL, link) \
  {                                                                                      \
    (urb)->UrbHeader.Function = (op);                                                    \
    (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);            \
    (urb)->UrbControlGetStatusRequest.TransferBufferLength = sizeof(USHORT);             \
    (urb)->UrbControlGetStatusRequest.TransferBufferMDL = (transferBufferMDL);           \
    (urb)->UrbControlGetStatusRequest.TransferBuffer = (transferBuffer);                 \
    (urb)->UrbControlGetStatusRequest.Index = (index);                                   \
    (urb)->UrbControlGetStatusRequest.UrbLink = (link);                                  \
  }

// op: one of the URB_FUNCTION_SET_FEATURE_TO_* or CLEAR_FEATURE_TO_* codes.
#define UsbBuildFeatureRequest(urb, op, featureSelector, index, link)       \
  {                                                                       \
    (urb)->UrbHeader.Function = (op);                                     \
    (urb)->UrbHeader.Length = sizeof(struct _URB_CONTROL_FEATURE_REQUEST); \
    (urb)->UrbControlFeatureRequest.FeatureSelector = (featureSelector);  \
    (urb)->UrbControlFeatureRequest.Index = (index);                      \
    (urb)->UrbControlFeatureRequest.UrbLink = (link);                     \
  }

#define UsbBuildSelectConfigurationRequest(urb, length, configurationDescriptor)      \
  {                                                                                 \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;                  \
    (urb)->UrbHeader.Length = (length);                                             \
    (urb)->UrbSelectConfiguration.ConfigurationDescriptor = (configurationDescriptor); \
  }

#define UsbBuildSelectInterfaceRequest(urb, length, configurationHandle, interfaceNumber, alternateSetting) \
  {                                                                                                      \
    (urb)->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;                                           \
    (urb)->UrbHeader.Length = (length);                                                                  \
    (urb)->UrbSelectInterface.Interface.AlternateSetting = (alternateSetting);                           \
    (urb)->UrbSelectInterface.Interface.InterfaceNumber = (interfaceNumber);                             \
    (urb)->UrbSelectInterface.Interface.Length =                                                         \
        (length - sizeof(struct _URB_HEADER) - sizeof(USBD_CONFIGURATION_HANDLE));                       \
    (urb)->UrbSelectInterface.ConfigurationHandle = (configurationHandle);                               \
  }

// cmd: one of the URB_FUNCTION_VENDOR_* or CLASS_* codes.
#define UsbBuildVendorRequest(urb, cmd, length, transferFlags, reservedbits, request, value, index, \
                              transferBuffer, transferBufferMDL, transferBufferLength, link)       \
  {                                                                                                \
    (urb)->UrbHeader.Function = cmd;                                                               \
    (urb)->UrbHeader.Length = (length);                                                            \
    (urb)->UrbControlVendorClassRequest.TransferBufferLength = (transferBufferLength);             \
    (urb)->UrbControlVendorClassRequest.TransferBufferMDL = (transferBufferMDL);                   \
    (urb)->UrbControlVendorClassRequest.TransferBuffer = (transferBuffer);                         \
    (urb)->UrbControlVendorClassRequest.RequestTypeReservedBits = (reservedbits);                  \
    (urb)->UrbControlVendorClassRequest.Request = (request);                                       \
    (urb)->UrbControlVendorClassRequest.Value = (value);                                           \
    (urb)->UrbControlVendorClassRequest.Index = (index);                                           \
    (urb)->UrbControlVendorClassRequest.TransferFlags = (transferFlags);                           \
    (urb)->UrbControlVendorClassRequest.UrbLink = (link);                                          \
  }

// mingw-w64's usbdlib.h lacks this one: driver code that must also build
// for Windows with mingw-w64 fills in the two header fields itself.
#define UsbBuildGetCurrentFrameNumberRequest(urb)                                  \
  {                                                                                \
    (urb)->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;             \
    (urb)->UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);        \
  }

// ---------------------------------------------------------------------------
// Routines
// ---------------------------------------------------------------------------

// Fills in the USBD interface version and the USB version the bus supports.
USBD_EXPORT VOID NTAPI USBD_GetUSBDIVersion(PUSBD_VERSION_INFORMATION VersionInformation);

// Finds the first interface descriptor at or after StartPosition inside the
// configuration descriptor that matches every criterion not given as -1.
USBD_EXPORT PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);

// Finds the first descriptor of DescriptorType at or after StartPosition in
// the TotalLength bytes at DescriptorBuffer; null when there is none.
USBD_EXPORT PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength,
                                                               PVOID StartPosition, LONG DescriptorType);

// Allocates from pool and fills in a select-configuration URB for the
// interfaces of InterfaceList (terminated by a null InterfaceDescriptor) and
// points each entry's Interface at its record in the URB. The caller frees
// the URB with ExFreePool.
USBD_EXPORT PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                         PUSBD_INTERFACE_LIST_ENTRY InterfaceList);
