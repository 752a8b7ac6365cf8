/*
 * efilink: the host-side library for talking to an engine-control unit ("the unit").
 *
 * A host selects one link with EfiInitializeInterfaces, sends numbered commands with
 * EfiSendCommand (command and response data in the host's own byte order), and closes the link
 * with EfiCloseInterfaces. Every export returns an unsigned 32-bit status, 0 for success.
 *
 * This header is valid C (C99 and later) and C++.
 */
#ifndef EFILINK_EFILINK_H
#define EFILINK_EFILINK_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#if defined(_WIN32)
#define EFI_API
#elif defined(EFI_BUILDING_LIBRARY) && defined(__GNUC__)
#define EFI_API __attribute__((visibility("default")))
#else
#define EFI_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Largest command or response data block; with its 8-byte header it fills a 4096-byte transfer. */
#define TS_MAX_TRANSFERSTRUCTS_SIZE 4088u

/* Status codes of the library. The unit's own 16-bit response_status reaches the host unchanged
 * through the same result word; it never collides with these (bit 29 or bit 30 is set). */
#define STATUS_CR_NOT_INITIALIZED           0x20000001u
#define STATUS_CR_LOCKED_BUFFER_FAILED      0x20000002u
#define STATUS_CR_NOT_CONNECTED             0x20000003u
#define STATUS_CR_SERIAL_TRANSFER_FAILED    0x20000004u
#define STATUS_CR_RESPONSE_BUFFER_TOO_SMALL 0x20000005u
#define STATUS_CR_WRITE_FAILED              0x20000006u
#define STATUS_CR_READ_FAILED               0x20000007u
#define STATUS_CR_COMMAND_TOO_LARGE         0x20000008u
#define STATUS_CR_BAD_RESPONSE_MARKER       0x20000009u
#define STATUS_CR_OPEN_FAILED               0x2000000Au
#define STATUS_TS_BAD_ARRAY                 0x60000001u
#define STATUS_TS_EMPTY_ARRAY               0x60000002u

/* Bits of the flag word of EfiInitializeInterfaces. */
#define EFI_FLAG_STREAM_INTERFACE           0x00000001u /* serial: set up the stream port */
#define EFI_FLAG_COMMAND_RESPONSE_INTERFACE 0x00000002u /* serial: set up the command/response port */
#define EFI_FLAG_PCI_CARD                   0x00000008u /* serial: UART on the PCI card */
#define EFI_FLAG_USB                        0x00000020u
#define EFI_FLAG_SERIAL_FIRST_PORT          0x00000080u /* serial: channel 0 / UART at 0x3F8 */
#define EFI_FLAG_USB_CAN                    0x00000100u
#define EFI_FLAG_SIMULATOR                  0x00000200u /* also forces no conversion */
#define EFI_FLAG_COM_SERIAL                 0x00001000u
#define EFI_FLAG_UART_SERIAL                0x00002000u
#define EFI_FLAG_SERIAL_PORT_MASK           0x000F0000u /* serial port number 1..15 */
#define EFI_FLAG_SERIAL_PORT_SHIFT          16
#define EFI_FLAG_BLUETOOTH                  0x00100000u
#define EFI_FLAG_PCAN                       0x00200000u
#define EFI_FLAG_ETHERNET                   0x00400000u
/* Extension: CAN through a serial-line adapter (ASCII line protocol) on the port the text names:
 * "COM7" or "\\.\COM12" on Windows, a device path such as "/dev/ttyACM0" elsewhere, optionally
 * followed by ":<baud rate>" of the serial line (115200 without one). Hosts that know only the
 * original bits reach it through the environment variable EFILINK_CAN_ADAPTER=slcan:<port>, read at
 * every EfiInitializeInterfaces: the PCAN (0x200000) and USB-CAN (0x100) selections then use the
 * serial-line adapter instead of their vendor libraries. */
#define EFI_FLAG_SLCAN                      0x00800000u
#define EFI_FLAG_NO_CONVERSION              0x80000000u

/* Which-interfaces word of EfiCloseInterfaces (read by the serial links). */
#define EFI_CLOSE_STREAM_PORT           0x1u
#define EFI_CLOSE_COMMAND_RESPONSE_PORT 0x2u
#define EFI_CLOSE_ALL_PORTS             0x4u

/* Command code sent for command number n is EFI_COMMAND_CODE_BASE + n. */
#define EFI_COMMAND_CODE_BASE   0xCD00u
#define EFI_COMMAND_COUNT       88u /* numbers 0x00..0x57 have conversion rows */
#define EFI_RESPONSE_MARKER     0x55AAu

/* Size of the caller's buffer for the shared list of attached units (lock exports). */
#define EFI_INTERFACE_LIST_SIZE 4096u

/* The two 8-byte headers; every field travels most-significant byte first on a link. */
typedef struct CommandHeader_TS {
    uint16_t command_code;
    uint16_t command_data_size;
    uint16_t response_buffer_size;
    uint16_t reserved;
} CommandHeader_TS;

typedef struct ResponseHeader_TS {
    uint16_t response_code;
    uint16_t response_data_returning_size;
    uint16_t response_status;
    uint16_t dummy;
} ResponseHeader_TS;

/* The command/response block handed to a link's exchange and to a simulator library. */
typedef struct CRM {
    CommandHeader_TS* command_header;
    unsigned char* command_data;
    ResponseHeader_TS* response_header;
    unsigned char* response_data;
    uint16_t* response_data_received_size;
    uint32_t* transfer_status;
} CRM;

/* Functions a simulator library exports. */
typedef void (*SimulatorStartFunction)(const char* text);
typedef void (*SimulatorCommandProcessorFunction)(CRM* crm);
typedef uint32_t (*SimulatorAppendPlaybackFunction)(const void* data, uint32_t size);

/*
 * Array pointer words. An array descriptor at byte offset k of a transfer structure is
 * element_size (1 byte at k), element_count (2 bytes at k+1, high byte first) and a 32-bit
 * pointer word at the first multiple of 4 at or after k+3. On 32-bit hosts the word holds the
 * address of the first element; on 64-bit hosts it holds the element area's byte offset from the
 * first byte of the structure. These helpers read and write it the same way on both.
 */
static inline uint32_t EfiArrayPointerWordOffset(uint32_t descriptor_offset)
{
    return (descriptor_offset + 3u + 3u) & ~3u;
}

static inline void* EfiArrayElements(void* structure, uint32_t descriptor_offset)
{
    uint32_t word;
    memcpy(&word, (unsigned char*)structure + EfiArrayPointerWordOffset(descriptor_offset), 4);
#if UINTPTR_MAX > 0xFFFFFFFFu
    return (unsigned char*)structure + word;
#else
    return (void*)(uintptr_t)word;
#endif
}

static inline void EfiSetArrayElements(void* structure, uint32_t descriptor_offset, const void* elements)
{
#if UINTPTR_MAX > 0xFFFFFFFFu
    uint32_t word = (uint32_t)((const unsigned char*)elements - (unsigned char*)structure);
#else
    uint32_t word = (uint32_t)(uintptr_t)elements;
#endif
    memcpy((unsigned char*)structure + EfiArrayPointerWordOffset(descriptor_offset), &word, 4);
}

/* Link selection and management. */
EFI_API uint32_t EfiInitializeInterfaces(uint32_t flags, const char* text);
EFI_API uint32_t EfiCloseInterfaces(uint32_t which);
EFI_API uint32_t EfiConnectCommandResponseInterface(void);
EFI_API uint32_t EfiAppendPlayback(const void* data, uint32_t size);
EFI_API uint32_t EfiUpdateRuntimeOptions(void);
EFI_API void EnableErrorMessages(uint8_t enable);

/* One command and its response. */
EFI_API uint32_t EfiSendCommand(uint8_t command, void* command_data, uint16_t command_data_size,
                                void* response_data, uint16_t response_buffer_size,
                                uint16_t* received_size);

/* Machine-wide interface lock and the shared list of attached units (list: 4096 bytes). */
EFI_API uint32_t EfiLockInterface(uint32_t flags);
EFI_API uint32_t EfiUnlockInterface(uint32_t flags);
EFI_API uint32_t EfiQueryInterface(uint32_t flags, void* list);
EFI_API uint32_t EfiQueryAndLockInterface(uint32_t flags, void* list);
EFI_API uint32_t EfiUpdateInterface(uint32_t flags, const void* list);
EFI_API uint32_t EfiReleaseInterfaceLock(uint32_t flags, const void* list);

/*
 * Extensions beyond the original set of exports.
 *
 * EfiSetMessageHandler: while a handler is set, every error message that would be shown in a
 * message box (or, off Windows, printed to standard error) goes to the handler instead, as UTF-8,
 * still subject to EnableErrorMessages exactly as the box would be. A null handler restores the
 * default display.
 */
typedef void (*EfiMessageHandler)(const char* title, const char* text, void* context);
EFI_API void EfiSetMessageHandler(EfiMessageHandler handler, void* context);

/*
 * EfiSetDeviceDirectory: off Windows, a device-interface class is the directory
 * <device directory>/{class GUID}; its entries, in name order, are the class's members 0, 1, 2 …
 * and each entry's path is the member's device path. The device directory is "/run/efilink"
 * until this moves it; null restores it. Windows enumerates devices itself and ignores it.
 */
EFI_API void EfiSetDeviceDirectory(const char* path);

/*
 * EfiSetEthernetAddress: the Ethernet link connects to the unit's fixed address 192.168.77.7,
 * TCP port 7. This replaces the host name or address and the service (port) that the next
 * initialisation of the Ethernet link uses; a null host restores the fixed ones, and a null
 * service with a host means port 7.
 */
EFI_API void EfiSetEthernetAddress(const char* host, const char* service);

/*
 * EfiGetLibraryVersion: writes "efilink <version> (<platform>, <32|64>-bit)", for example
 * "efilink 0.1.0 (Windows, 32-bit)", with its terminating zero into text, and returns 0. When the
 * text and its zero do not fit in size bytes it writes as much as fits, zero-terminated (nothing
 * at all for a null text or a size of 0), and returns 1; it never writes past size bytes.
 */
EFI_API uint32_t EfiGetLibraryVersion(char* text, uint32_t size);

/*
 * EfiSetAdapterLibrary: the links that drive an adapter through its vendor's library load it at
 * initialisation, by its usual name: PCANBasic.dll (libpcanbasic.so elsewhere) for the PCAN link
 * (0x200000), USBCAN32.dll / USBCAN64.dll (libusbcan.so) for the USB-CAN module link (0x100),
 * CDRVXD32.dll (libcdrvxd32.so) for the UART-driver serial link (0x2000). This names the file the
 * next initialisation of that link loads; a null path restores the usual name. Returns 0, or 1
 * when link_flag is not one of those three bits.
 */
EFI_API uint32_t EfiSetAdapterLibrary(uint32_t link_flag, const char* path);

/*
 * EfiSetTraceFile: traces every exchange into the file at path (created, or emptied when it
 * exists), one line each: UTC time of its start, link, command number, bytes sent and received,
 * the status EfiSendCommand returns, microseconds, bytes the link threw away to stay in step,
 * and the header and data bytes as they went over the link (headers most-significant byte
 * first). The CAN links also write every frame to "<path>.candump.log" in the candump log format
 * "(seconds.micros) <interface> <id>#<data>", the interface being "pcan", "usbcan" or "slcan". A null or
 * empty path ends tracing. Returns 0, or 1 when the file cannot be created (tracing is then off).
 * Without a call, the first EfiInitializeInterfaces traces into the file that the environment
 * variable EFILINK_TRACE names, if any. A failed write is ignored: a trace never changes a result.
 * Call it between exchanges, not during one.
 */
EFI_API uint32_t EfiSetTraceFile(const char* path);

#ifdef __cplusplus
}
#endif

#endif /* EFILINK_EFILINK_H */
