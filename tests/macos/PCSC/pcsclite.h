/*
 * Constants and records of Apple's PC/SC (PCSC.framework), written for this
 * project's macOS builds and for its Apple-ABI stand-in on Linux; never shipped. A
 * Mac build uses the SDK's own <PCSC/pcsclite.h> instead.
 *
 * Source, unless a line says otherwise: Apple's last published PC/SC headers
 * (SmartCardServices, PCSC/pcsclite.h, derived from pcsc-lite 1.4, about 2007). The
 * numeric values are those pcsc-lite and Windows share; what is Apple's own is marked
 * "Apple:". Today's SDK was not seen: values it may have changed are marked
 * "unverified".
 */
#ifndef VORN_MACOS_PCSC_PCSCLITE_H
#define VORN_MACOS_PCSC_PCSCLITE_H

#include <PCSC/wintypes.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Apple: handles are 32 bits (pcsc-lite on 64-bit Linux: long). */
typedef int32_t SCARDCONTEXT;
typedef SCARDCONTEXT *PSCARDCONTEXT;
typedef SCARDCONTEXT *LPSCARDCONTEXT;
typedef int32_t SCARDHANDLE;
typedef SCARDHANDLE *PSCARDHANDLE;
typedef SCARDHANDLE *LPSCARDHANDLE;

#define MAX_ATR_SIZE 33

/*
 * Apple: the reader state record is byte-packed, 61 bytes on 64-bit Macs
 * (8 + 8 + 4 + 4 + 4 + 33); pcsc-lite on 64-bit Linux aligns it naturally (80 bytes).
 * SCARD_READERSTATE is the same record under a second name.
 */
#pragma pack(push, 1)
typedef struct {
    const char *szReader;
    void *pvUserData;
    uint32_t dwCurrentState;
    uint32_t dwEventState;
    uint32_t cbAtr;
    unsigned char rgbAtr[MAX_ATR_SIZE];
} SCARD_READERSTATE_A;

/* Apple: two 32-bit fields, packed (8 bytes). */
typedef struct {
    uint32_t dwProtocol;  /* protocol identifier */
    uint32_t cbPciLength; /* protocol control information length */
} SCARD_IO_REQUEST, *PSCARD_IO_REQUEST, *LPSCARD_IO_REQUEST;
#pragma pack(pop)

typedef SCARD_READERSTATE_A SCARD_READERSTATE, *PSCARD_READERSTATE_A, *LPSCARD_READERSTATE_A;
typedef const SCARD_IO_REQUEST *LPCSCARD_IO_REQUEST;

/* Apple: the protocol records are extern and not const (pcsc-lite: const). */
extern SCARD_IO_REQUEST g_rgSCardT0Pci, g_rgSCardT1Pci, g_rgSCardRawPci;

#define SCARD_PCI_T0 (&g_rgSCardT0Pci)
#define SCARD_PCI_T1 (&g_rgSCardT1Pci)
#define SCARD_PCI_RAW (&g_rgSCardRawPci)

/* Apple: status codes are plain hex literals. The 2007 header names neither
 * SCARD_E_UNEXPECTED nor SCARD_E_NO_READERS_AVAILABLE (later SDKs may). */
#define SCARD_S_SUCCESS 0x00000000
#define SCARD_E_CANCELLED 0x80100002
#define SCARD_E_CANT_DISPOSE 0x8010000E
#define SCARD_E_INSUFFICIENT_BUFFER 0x80100008
#define SCARD_E_INVALID_ATR 0x80100015
#define SCARD_E_INVALID_HANDLE 0x80100003
#define SCARD_E_INVALID_PARAMETER 0x80100004
#define SCARD_E_INVALID_TARGET 0x80100005
#define SCARD_E_INVALID_VALUE 0x80100011
#define SCARD_E_NO_MEMORY 0x80100006
#define SCARD_F_COMM_ERROR 0x80100013
#define SCARD_F_INTERNAL_ERROR 0x80100001
#define SCARD_F_UNKNOWN_ERROR 0x80100014
#define SCARD_F_WAITED_TOO_LONG 0x80100007
#define SCARD_E_UNKNOWN_READER 0x80100009
#define SCARD_E_TIMEOUT 0x8010000A
#define SCARD_E_SHARING_VIOLATION 0x8010000B
#define SCARD_E_NO_SMARTCARD 0x8010000C
#define SCARD_E_UNKNOWN_CARD 0x8010000D
#define SCARD_E_PROTO_MISMATCH 0x8010000F
#define SCARD_E_NOT_READY 0x80100010
#define SCARD_E_SYSTEM_CANCELLED 0x80100012
#define SCARD_E_NOT_TRANSACTED 0x80100016
#define SCARD_E_READER_UNAVAILABLE 0x80100017
#define SCARD_E_PCI_TOO_SMALL 0x80100019
#define SCARD_E_READER_UNSUPPORTED 0x8010001A
#define SCARD_E_DUPLICATE_READER 0x8010001B
#define SCARD_E_CARD_UNSUPPORTED 0x8010001C
#define SCARD_E_NO_SERVICE 0x8010001D
#define SCARD_E_SERVICE_STOPPED 0x8010001E
/* Apple: 0x8010001F (Windows numbers it 0x80100022). */
#define SCARD_E_UNSUPPORTED_FEATURE 0x8010001F
#define SCARD_W_UNSUPPORTED_CARD 0x80100065
#define SCARD_W_UNRESPONSIVE_CARD 0x80100066
#define SCARD_W_UNPOWERED_CARD 0x80100067
#define SCARD_W_RESET_CARD 0x80100068
#define SCARD_W_REMOVED_CARD 0x80100069

#define SCARD_SCOPE_USER 0x0000
#define SCARD_SCOPE_TERMINAL 0x0001
#define SCARD_SCOPE_SYSTEM 0x0002

#define SCARD_PROTOCOL_UNDEFINED 0x0000
#define SCARD_PROTOCOL_T0 0x0001
#define SCARD_PROTOCOL_T1 0x0002
#define SCARD_PROTOCOL_RAW 0x0004
#define SCARD_PROTOCOL_T15 0x0008
#define SCARD_PROTOCOL_ANY (SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)

#define SCARD_SHARE_EXCLUSIVE 0x0001
#define SCARD_SHARE_SHARED 0x0002
#define SCARD_SHARE_DIRECT 0x0003

#define SCARD_LEAVE_CARD 0x0000
#define SCARD_RESET_CARD 0x0001
#define SCARD_UNPOWER_CARD 0x0002
#define SCARD_EJECT_CARD 0x0003

/* Card states of SCardStatus. */
#define SCARD_UNKNOWN 0x0001
#define SCARD_ABSENT 0x0002
#define SCARD_PRESENT 0x0004
#define SCARD_SWALLOWED 0x0008
#define SCARD_POWERED 0x0010
#define SCARD_NEGOTIABLE 0x0020
#define SCARD_SPECIFIC 0x0040

/* Reader states of SCardGetStatusChange. Apple: the count of card events that
 * pcsc-lite keeps in the high 16 bits of dwEventState is not kept (public reports,
 * OS X 10.11 onward). */
#define SCARD_STATE_UNAWARE 0x0000
#define SCARD_STATE_IGNORE 0x0001
#define SCARD_STATE_CHANGED 0x0002
#define SCARD_STATE_UNKNOWN 0x0004
#define SCARD_STATE_UNAVAILABLE 0x0008
#define SCARD_STATE_EMPTY 0x0010
#define SCARD_STATE_PRESENT 0x0020
#define SCARD_STATE_ATRMATCH 0x0040
#define SCARD_STATE_EXCLUSIVE 0x0080
#define SCARD_STATE_INUSE 0x0100
#define SCARD_STATE_MUTE 0x0200
#define SCARD_STATE_UNPOWERED 0x0400

#define INFINITE 0xFFFFFFFF

#define PCSCLITE_MAX_READERS_CONTEXTS 16
#define MAX_READERNAME 52

/* Short and extended APDU buffers. Apple: the extended one is counted without the two
 * status bytes, 4 + 3 + 65,536 + 3 = 65,546 (pcsc-lite 1.6 onward: 65,548);
 * unverified for today's SDK. */
#define MAX_BUFFER_SIZE 264
#define MAX_BUFFER_SIZE_EXTENDED (4 + 3 + (1 << 16) + 3)

#ifdef __cplusplus
}
#endif

#endif
