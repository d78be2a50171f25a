// Configuration at start (descriptors, the first interface selected with
// 65535-byte transfers per pipe), selecting another alternate setting, and
// the interface record that every transfer reads its pipe from.
#include "tavrin.h"

namespace {

constexpr UCHAR kDeviceDescriptorType = 1;
constexpr UCHAR kConfigurationDescriptorType = 2;
constexpr ULONG kConfigurationHeaderBytes = 9;
constexpr ULONG kFirstSelectReadBytes = 0x109;

USHORT TotalLength(const UCHAR *Configuration) {
  return static_cast<USHORT>(Configuration[2] | (Configuration[3] << 8));
}

// Keeps a new copy of the interface information the bus filled in.
NTSTATUS KeepRecord(DeviceExtension *Extension, const USBD_INTERFACE_INFORMATION *Interface) {
  PUSBD_INTERFACE_INFORMATION copy = static_cast<PUSBD_INTERFACE_INFORMATION>(AllocateZeroed(Interface->Length));
  if (copy == NULL) {
    ReplaceInterfaceRecord(Extension, NULL);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(copy, Interface, Interface->Length);
  ReplaceInterfaceRecord(Extension, copy);
  return STATUS_SUCCESS;
}

NTSTATUS ReadDeviceDescriptor(PDEVICE_OBJECT DeviceObject) {
  DeviceExtension *extension = ExtensionOf(DeviceObject);
  PUSB_DEVICE_DESCRIPTOR descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(AllocateZeroed(18));
  if (descriptor == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG received;
  NTSTATUS status = ReadDescriptor(DeviceObject, kDeviceDescriptorType, 0, 0, descriptor, 18, &received);
  if (!NT_SUCCESS(status)) {
    FreePool(descriptor);
    return status;
  }
  // A start after a stop reads it again: the new copy replaces the old.
  FreePool(extension->DeviceDescriptor);
  extension->DeviceDescriptor = descriptor;
  return status;
}

// Reads the whole configuration descriptor in two steps: its 9-byte header
// for wTotalLength, then wTotalLength + 16 bytes. The buffer's wTotalLength
// is clamped to the bytes the device really sent.
NTSTATUS ReadConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR *Configuration) {
  *Configuration = NULL;
  PUCHAR header = static_cast<PUCHAR>(AllocateZeroed(25));
  if (header == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG received;
  NTSTATUS status =
      ReadDescriptor(DeviceObject, kConfigurationDescriptorType, 0, 0, header, kConfigurationHeaderBytes, &received);
  USHORT total = TotalLength(header);
  FreePool(header);
  if (!NT_SUCCESS(status)) return status;
  // A header that is not whole or a total that cannot hold it means nothing.
  if (received < kConfigurationHeaderBytes || total < kConfigurationHeaderBytes) return STATUS_UNSUCCESSFUL;

  // Sixteen bytes more than the header says, so that a device whose
  // wTotalLength falls short still gives all it has.
  ULONG length = static_cast<ULONG>(total) + 16;
  PUCHAR buffer = static_cast<PUCHAR>(AllocateZeroed(length));
  if (buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  status = ReadDescriptor(DeviceObject, kConfigurationDescriptorType, 0, 0, buffer, length, &received);
  if (NT_SUCCESS(status) && received < kConfigurationHeaderBytes) status = STATUS_UNSUCCESSFUL;
  if (!NT_SUCCESS(status)) {
    FreePool(buffer);
    return status;
  }
  PUSB_CONFIGURATION_DESCRIPTOR configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
  if (configuration->wTotalLength > received) configuration->wTotalLength = static_cast<USHORT>(received);
  *Configuration = configuration;
  return STATUS_SUCCESS;
}

// Reads the configuration descriptor with a buffer that grows to its
// wTotalLength; null when it cannot be read whole.
PUSB_CONFIGURATION_DESCRIPTOR ReadWholeConfiguration(PDEVICE_OBJECT DeviceObject) {
  ULONG size = kFirstSelectReadBytes;
  for (;;) {
    PUCHAR buffer = static_cast<PUCHAR>(AllocateZeroed(size));
    if (buffer == NULL) return NULL;
    ULONG received;
    NTSTATUS status = ReadDescriptor(DeviceObject, kConfigurationDescriptorType, 0, 0, buffer, size, &received);
    if (NT_SUCCESS(status) && received >= kConfigurationHeaderBytes &&
        TotalLength(buffer) >= kConfigurationHeaderBytes) {
      ULONG total = TotalLength(buffer);
      if (total > size) {
        FreePool(buffer);
        size = total;
        continue;
      }
      if (received >= total) return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer);
    }
    FreePool(buffer);
    return NULL;
  }
}

}  // namespace

NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject) {
  DeviceExtension *extension = ExtensionOf(DeviceObject);
  extension->LinkCreated = TRUE;

  NTSTATUS status = ReadDeviceDescriptor(DeviceObject);
  if (!NT_SUCCESS(status)) return status;
  PUSB_CONFIGURATION_DESCRIPTOR configuration;
  status = ReadConfiguration(DeviceObject, &configuration);
  if (!NT_SUCCESS(status)) return status;

  PUSB_INTERFACE_DESCRIPTOR first =
      USBD_ParseConfigurationDescriptorEx(configuration, configuration, -1, -1, -1, -1, -1);
  if (first == NULL) {  // a configuration without an interface cannot be used
    FreePool(configuration);
    return STATUS_UNSUCCESSFUL;
  }
  USBD_INTERFACE_LIST_ENTRY list[2];
  list[0].InterfaceDescriptor = first;
  list[0].Interface = NULL;
  list[1].InterfaceDescriptor = NULL;
  list[1].Interface = NULL;
  PURB urb = USBD_CreateConfigurationRequestEx(configuration, list);
  if (urb == NULL) {
    FreePool(configuration);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PUSBD_INTERFACE_INFORMATION selected = &urb->UrbSelectConfiguration.Interface;
  for (ULONG i = 0; i < first->bNumEndpoints; ++i) {
    selected->Pipes[i].MaximumTransferSize = TAVRIN_MAXIMUM_TRANSFER_SIZE;
  }
  status = SubmitUrb(DeviceObject, urb);
  if (NT_SUCCESS(status) && USBD_SUCCESS(urb->UrbHeader.Status)) {
    extension->ConfigurationHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    status = KeepRecord(extension, selected);
  }
  ExFreePool(urb);
  FreePool(configuration);
  return status;
}

NTSTATUS SelectInterface(PDEVICE_OBJECT DeviceObject, UCHAR InterfaceNumber, UCHAR AlternateSetting) {
  DeviceExtension *extension = ExtensionOf(DeviceObject);
  PUSB_CONFIGURATION_DESCRIPTOR configuration = ReadWholeConfiguration(DeviceObject);
  if (configuration == NULL) return STATUS_UNSUCCESSFUL;
  PUSB_INTERFACE_DESCRIPTOR descriptor =
      USBD_ParseConfigurationDescriptorEx(configuration, configuration, InterfaceNumber, AlternateSetting, -1, -1, -1);
  if (descriptor == NULL) {
    FreePool(configuration);
    return STATUS_UNSUCCESSFUL;
  }
  ULONG pipes = descriptor->bNumEndpoints;
  USHORT size = static_cast<USHORT>(GET_SELECT_INTERFACE_REQUEST_SIZE(pipes));
  PURB urb = static_cast<PURB>(AllocateZeroed(size));
  if (urb == NULL) {
    FreePool(configuration);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  urb->UrbHeader.Length = size;
  urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
  urb->UrbSelectInterface.ConfigurationHandle = extension->ConfigurationHandle;
  PUSBD_INTERFACE_INFORMATION selected = &urb->UrbSelectInterface.Interface;
  selected->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(pipes));
  selected->InterfaceNumber = InterfaceNumber;
  selected->AlternateSetting = AlternateSetting;
  for (ULONG i = 0; i < pipes; ++i) selected->Pipes[i].MaximumTransferSize = TAVRIN_MAXIMUM_TRANSFER_SIZE;
  NTSTATUS status = SubmitUrb(DeviceObject, urb);
  if (NT_SUCCESS(status)) status = KeepRecord(extension, selected);  // on failure the old record stays
  FreePool(urb);
  FreePool(configuration);
  return status;
}

NTSTATUS ReadPipe(DeviceExtension *Extension, ULONG Index, PipeSnapshot *Pipe) {
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL oldIrql;
  KeAcquireSpinLock(&Extension->RecordLock, &oldIrql);
  PUSBD_INTERFACE_INFORMATION record = Extension->InterfaceRecord;
  if (record == NULL) {
    status = STATUS_UNSUCCESSFUL;
  } else if (Index >= record->NumberOfPipes) {
    status = STATUS_INVALID_PARAMETER;
  } else {
    const USBD_PIPE_INFORMATION &entry = record->Pipes[Index];
    Pipe->PipeHandle = entry.PipeHandle;
    Pipe->EndpointAddress = entry.EndpointAddress;
    Pipe->PipeType = entry.PipeType;
    Pipe->MaximumTransferSize = entry.MaximumTransferSize;
  }
  KeReleaseSpinLock(&Extension->RecordLock, oldIrql);
  return status;
}

NTSTATUS CopyInterfaceRecord(DeviceExtension *Extension, PVOID Buffer, ULONG Capacity, ULONG *Length) {
  NTSTATUS status = STATUS_SUCCESS;
  *Length = 0;
  KIRQL oldIrql;
  KeAcquireSpinLock(&Extension->RecordLock, &oldIrql);
  PUSBD_INTERFACE_INFORMATION record = Extension->InterfaceRecord;
  if (record != NULL) {
    if (record->Length > Capacity) {
      status = STATUS_BUFFER_TOO_SMALL;
    } else {
      RtlCopyMemory(Buffer, record, record->Length);
      *Length = record->Length;
    }
  }
  KeReleaseSpinLock(&Extension->RecordLock, oldIrql);
  return status;
}

VOID ReplaceInterfaceRecord(DeviceExtension *Extension, PUSBD_INTERFACE_INFORMATION Record) {
  KIRQL oldIrql;
  KeAcquireSpinLock(&Extension->RecordLock, &oldIrql);
  PUSBD_INTERFACE_INFORMATION old = Extension->InterfaceRecord;
  Extension->InterfaceRecord = Record;
  KeReleaseSpinLock(&Extension->RecordLock, oldIrql);
  FreePool(old);
}
