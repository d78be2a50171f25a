// The device-control contract of Tavrin.sys, shared by the driver and the
// device-access library: the control codes, the records they read and write,
// and the driver's version. Little-endian; the interface record is the
// platform's USBD_INTERFACE_INFORMATION in the driver's own (64-bit) layout.
#pragma once

#include <stdint.h>

#define TAVRIN_CTL_CODE(function, method) ((0x22u << 16) | (0u << 14) | ((function) << 2) | (method))

#define IOCTL_INSTR_GET_INTERFACE_RECORD TAVRIN_CTL_CODE(0x800, 0)   /* 0x222000 */
#define IOCTL_INSTR_GET_DEVICE_DESCRIPTOR TAVRIN_CTL_CODE(0x801, 0)  /* 0x222004 */
#define IOCTL_INSTR_GET_CONFIG_DESCRIPTOR TAVRIN_CTL_CODE(0x802, 0)  /* 0x222008 */
#define IOCTL_INSTR_VENDOR_DEVICE_REQUEST TAVRIN_CTL_CODE(0x805, 0)  /* 0x222014 */
#define IOCTL_INSTR_NOP TAVRIN_CTL_CODE(0x806, 0)                    /* 0x222018 */
#define IOCTL_INSTR_RESET_PORT TAVRIN_CTL_CODE(0x80C, 1)             /* 0x222031 */
#define IOCTL_INSTR_RESET_PIPE TAVRIN_CTL_CODE(0x80D, 1)             /* 0x222035 */
#define IOCTL_INSTR_ABORT_PIPE TAVRIN_CTL_CODE(0x80F, 1)             /* 0x22203D */
#define IOCTL_INSTR_SELECT_INTERFACE TAVRIN_CTL_CODE(0x810, 0)       /* 0x222040 */
#define IOCTL_INSTR_GET_STRING_DESCRIPTOR TAVRIN_CTL_CODE(0x811, 0)  /* 0x222044 */
#define IOCTL_INSTR_BULK_READ TAVRIN_CTL_CODE(0x813, 2)              /* 0x22204E */
#define IOCTL_INSTR_BULK_WRITE TAVRIN_CTL_CODE(0x814, 1)             /* 0x222051 */
#define IOCTL_INSTR_GET_FRAME_NUMBER TAVRIN_CTL_CODE(0x815, 0)       /* 0x222054 */
#define IOCTL_INSTR_CONTROL_REQUEST TAVRIN_CTL_CODE(0x816, 1)        /* 0x222059 */
#define IOCTL_INSTR_GET_LAST_USBD_STATUS TAVRIN_CTL_CODE(0x817, 0)   /* 0x22205C */
#define IOCTL_INSTR_ISO_READ TAVRIN_CTL_CODE(0x819, 2)               /* 0x222066 */
#define IOCTL_INSTR_ISO_WRITE TAVRIN_CTL_CODE(0x81A, 1)              /* 0x222069 */
#define IOCTL_INSTR_GET_DRIVER_VERSION TAVRIN_CTL_CODE(0x81D, 0)     /* 0x222074 */
#define IOCTL_INSTR_START_ISO_STREAM TAVRIN_CTL_CODE(0x81E, 0)       /* 0x222078 */
#define IOCTL_INSTR_STOP_ISO_STREAM TAVRIN_CTL_CODE(0x81F, 0)        /* 0x22207C */
#define IOCTL_INSTR_READ_ISO_STREAM TAVRIN_CTL_CODE(0x820, 2)        /* 0x222082 */
#define IOCTL_INSTR_SET_FEATURE TAVRIN_CTL_CODE(0x821, 0)            /* 0x222084 */
#define IOCTL_INSTR_BULK_READ_TIMED TAVRIN_CTL_CODE(0x822, 2)        /* 0x22208A */
#define IOCTL_INSTR_NOP_DIRECT TAVRIN_CTL_CODE(0x823, 2)             /* 0x22208E */

// Upper limits of the isochronous codes, far above what any instrument
// needs (a high-speed endpoint moves at most 3 × 1024 bytes per 125 µs
// microframe), so that no request can make the driver take unbounded pool.
// A request past one of them is refused with STATUS_INVALID_PARAMETER
// before anything is allocated.
#define TAVRIN_ISO_MAX_PACKETS_PER_TRANSFER 1024u          /* P */
#define TAVRIN_ISO_MAX_TRANSFERS_IN_FLIGHT 32u             /* T */
#define TAVRIN_ISO_MAX_BYTES_IN_FLIGHT (16u * 1024 * 1024) /* P × T × PacketSize */
#define TAVRIN_ISO_MAX_RING_BYTES (64u * 1024 * 1024)      /* stream: PacketCount × (PacketSize + 12) */

#pragma pack(push, 1)

// Input of IOCTL_INSTR_VENDOR_DEVICE_REQUEST.
typedef struct VendorDeviceRequest {
  uint8_t Request;
  uint8_t Unused;
  uint16_t Value;
  uint16_t Index;
  uint16_t Length;      // bytes in the data stage
  uint8_t DirectionIn;  // non-zero: device to host
  uint8_t Data;         // the byte of a one-byte host-to-device stage
} VendorDeviceRequest;

// Input of IOCTL_INSTR_CONTROL_REQUEST.
typedef struct ControlRequest {
  uint8_t DirectionIn;
  uint8_t RequestType;  // 1 class, 2 vendor
  uint8_t Recipient;    // 0 device, 1 interface, 2 endpoint, 3 other
  uint8_t Unused1;
  uint8_t Request;
  uint8_t Unused2;
  uint16_t Value;
  uint16_t Index;
} ControlRequest;

// Input of IOCTL_INSTR_GET_STRING_DESCRIPTOR.
typedef struct StringDescriptorRequest {
  uint8_t Index;
  uint8_t Unused;
  uint16_t LanguageId;
} StringDescriptorRequest;

// Input of IOCTL_INSTR_SELECT_INTERFACE.
typedef struct InterfaceSelection {
  uint8_t InterfaceNumber;
  uint8_t AlternateSetting;
} InterfaceSelection;

// Input of IOCTL_INSTR_SET_FEATURE.
typedef struct FeatureRequest {
  uint16_t FeatureSelector;
  uint16_t Index;
} FeatureRequest;

// Input of the isochronous codes.
typedef struct IsoTransferRequest {
  uint32_t PipeIndex;
  uint32_t PacketSize;
  uint32_t PacketCount;
  uint32_t PacketsPerTransfer;
  uint32_t TransfersInFlight;
} IsoTransferRequest;

// Output of IOCTL_INSTR_GET_DRIVER_VERSION: always 1, 2, 0.
typedef struct DriverVersion {
  uint16_t Major;
  uint16_t Minor;
  uint16_t Build;
} DriverVersion;

#pragma pack(pop)

// The interface record in the 64-bit layout: a 24-byte header, then 24 bytes
// per pipe, the endpoint address at byte 2 of each pipe entry.
#define TAVRIN_RECORD_HEADER_BYTES 24
#define TAVRIN_RECORD_PIPE_BYTES 24
#define TAVRIN_RECORD_ENDPOINT_OFFSET(pipe) (TAVRIN_RECORD_HEADER_BYTES + TAVRIN_RECORD_PIPE_BYTES * (pipe) + 2)
// The record buffer the device-access library passes: room for 13 pipes.
#define TAVRIN_RECORD_BUFFER_BYTES 356

#ifdef __cplusplus
static_assert(sizeof(VendorDeviceRequest) == 10, "VendorDeviceRequest is 10 bytes");
static_assert(sizeof(ControlRequest) == 10, "ControlRequest is 10 bytes");
static_assert(sizeof(StringDescriptorRequest) == 4, "StringDescriptorRequest is 4 bytes");
static_assert(sizeof(InterfaceSelection) == 2, "InterfaceSelection is 2 bytes");
static_assert(sizeof(FeatureRequest) == 4, "FeatureRequest is 4 bytes");
static_assert(sizeof(IsoTransferRequest) == 20, "IsoTransferRequest is 20 bytes");
static_assert(sizeof(DriverVersion) == 6, "DriverVersion is 6 bytes");
static_assert(IOCTL_INSTR_BULK_READ_TIMED == 0x22208A, "timed read code");
static_assert(IOCTL_INSTR_BULK_WRITE == 0x222051, "bulk write code");
#endif
