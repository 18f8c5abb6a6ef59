// Base types of the UEFI and PI specifications, x86-64.
#pragma once

#include <stdint.h>
#include <stddef.h>
#include <stdarg.h>

#if defined(_WIN32) || defined(__MINGW64__)
#define EFIAPI
#else
// On a Linux host the drivers still call firmware tables with the firmware's
// calling convention, so a host fake and real firmware are interchangeable.
#define EFIAPI __attribute__((ms_abi))
#endif

// Symbols the host simulator looks up in a driver image; a PE image has no exports.
#if defined(_WIN32)
#define MODULE_EXPORT
#else
#define MODULE_EXPORT __attribute__((visibility("default")))
#endif

#define IN
#define OUT
#define OPTIONAL
#define CONST const
#define STATIC static
#define VOID void
#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)

typedef uint64_t UINT64;
typedef int64_t INT64;
typedef uint32_t UINT32;
typedef int32_t INT32;
typedef uint16_t UINT16;
typedef int16_t INT16;
typedef uint8_t UINT8;
typedef int8_t INT8;
typedef char CHAR8;
typedef char16_t CHAR16;
typedef unsigned char BOOLEAN;
typedef uint64_t UINTN;
typedef int64_t INTN;

static_assert(sizeof(CHAR16) == 2, "CHAR16 is UCS-2");
static_assert(sizeof(UINTN) == 8, "x86-64 only");

#if defined(_WIN32)
typedef va_list VA_LIST;
#define VA_START(Marker, Parameter) va_start(Marker, Parameter)
#define VA_ARG(Marker, TYPE) va_arg(Marker, TYPE)
#define VA_END(Marker) va_end(Marker)
#define VA_COPY(Dest, Start) va_copy(Dest, Start)
#else
typedef __builtin_ms_va_list VA_LIST;
#define VA_START(Marker, Parameter) __builtin_ms_va_start(Marker, Parameter)
#define VA_ARG(Marker, TYPE) \
  ((sizeof(TYPE) < sizeof(UINTN)) ? (TYPE)(__builtin_va_arg(Marker, UINTN)) : (TYPE)(__builtin_va_arg(Marker, TYPE)))
#define VA_END(Marker) __builtin_ms_va_end(Marker)
#define VA_COPY(Dest, Start) __builtin_ms_va_copy(Dest, Start)
#endif

typedef UINTN RETURN_STATUS;
typedef RETURN_STATUS EFI_STATUS;
typedef UINTN EFI_TPL;
typedef VOID *EFI_HANDLE;
typedef VOID *EFI_EVENT;
typedef UINT64 EFI_PHYSICAL_ADDRESS;
typedef UINT64 EFI_VIRTUAL_ADDRESS;
typedef UINT64 EFI_LBA;

typedef struct {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
} GUID;
typedef GUID EFI_GUID;
static_assert(sizeof(EFI_GUID) == 16 && alignof(EFI_GUID) == 4, "EFI_GUID layout");

#define MAX_BIT 0x8000000000000000ULL
#define ENCODE_ERROR(StatusCode) ((RETURN_STATUS)(MAX_BIT | (StatusCode)))
#define ENCODE_WARNING(StatusCode) ((RETURN_STATUS)(StatusCode))
#define RETURN_ERROR(StatusCode) (((INTN)(RETURN_STATUS)(StatusCode)) < 0)
#define EFI_ERROR(StatusCode) RETURN_ERROR(StatusCode)

#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_LOAD_ERROR ENCODE_ERROR(1)
#define EFI_INVALID_PARAMETER ENCODE_ERROR(2)
#define EFI_UNSUPPORTED ENCODE_ERROR(3)
#define EFI_BAD_BUFFER_SIZE ENCODE_ERROR(4)
#define EFI_BUFFER_TOO_SMALL ENCODE_ERROR(5)
#define EFI_NOT_READY ENCODE_ERROR(6)
#define EFI_DEVICE_ERROR ENCODE_ERROR(7)
#define EFI_WRITE_PROTECTED ENCODE_ERROR(8)
#define EFI_OUT_OF_RESOURCES ENCODE_ERROR(9)
#define EFI_VOLUME_CORRUPTED ENCODE_ERROR(10)
#define EFI_VOLUME_FULL ENCODE_ERROR(11)
#define EFI_NO_MEDIA ENCODE_ERROR(12)
#define EFI_MEDIA_CHANGED ENCODE_ERROR(13)
#define EFI_NOT_FOUND ENCODE_ERROR(14)
#define EFI_ACCESS_DENIED ENCODE_ERROR(15)
#define EFI_NO_RESPONSE ENCODE_ERROR(16)
#define EFI_NO_MAPPING ENCODE_ERROR(17)
#define EFI_TIMEOUT ENCODE_ERROR(18)
#define EFI_NOT_STARTED ENCODE_ERROR(19)
#define EFI_ALREADY_STARTED ENCODE_ERROR(20)
#define EFI_ABORTED ENCODE_ERROR(21)
#define EFI_ICMP_ERROR ENCODE_ERROR(22)
#define EFI_TFTP_ERROR ENCODE_ERROR(23)
#define EFI_PROTOCOL_ERROR ENCODE_ERROR(24)
#define EFI_INCOMPATIBLE_VERSION ENCODE_ERROR(25)
#define EFI_SECURITY_VIOLATION ENCODE_ERROR(26)
#define EFI_CRC_ERROR ENCODE_ERROR(27)
#define EFI_END_OF_MEDIA ENCODE_ERROR(28)
#define EFI_END_OF_FILE ENCODE_ERROR(31)
#define EFI_INVALID_LANGUAGE ENCODE_ERROR(32)
#define EFI_COMPROMISED_DATA ENCODE_ERROR(33)
#define EFI_IP_ADDRESS_CONFLICT ENCODE_ERROR(34)
#define EFI_HTTP_ERROR ENCODE_ERROR(35)

#define EFI_WARN_UNKNOWN_GLYPH ENCODE_WARNING(1)
#define EFI_WARN_DELETE_FAILURE ENCODE_WARNING(2)
#define EFI_WARN_WRITE_FAILURE ENCODE_WARNING(3)
#define EFI_WARN_BUFFER_TOO_SMALL ENCODE_WARNING(4)
#define EFI_WARN_STALE_DATA ENCODE_WARNING(5)
#define EFI_WARN_FILE_SYSTEM ENCODE_WARNING(6)
#define EFI_WARN_RESET_REQUIRED ENCODE_WARNING(7)

#define EFI_INTERRUPT_PENDING ((EFI_STATUS)0xA000000000000000ULL)
#define EFI_REQUEST_UNLOAD_IMAGE ((EFI_STATUS)0xA000000000000001ULL)
#define EFI_NOT_AVAILABLE_YET ((EFI_STATUS)0xA000000000000002ULL)
#define EFI_WARN_INTERRUPT_SOURCE_PENDING ((EFI_STATUS)0x2000000000000000ULL)
#define EFI_WARN_INTERRUPT_SOURCE_QUIESCED ((EFI_STATUS)0x2000000000000001ULL)

#define BIT0 0x00000001u
#define BIT1 0x00000002u
#define BIT2 0x00000004u
#define BIT3 0x00000008u
#define BIT4 0x00000010u
#define BIT5 0x00000020u
#define BIT6 0x00000040u
#define BIT7 0x00000080u
#define BIT8 0x00000100u
#define BIT30 0x40000000u
#define BIT31 0x80000000u

#define ARRAY_SIZE(Array) (sizeof(Array) / sizeof((Array)[0]))
#define OFFSET_OF(TYPE, Field) ((UINTN) __builtin_offsetof(TYPE, Field))
