/*
 * The types of Apple's PC/SC (PCSC.framework), written for this project's macOS
 * builds and for its Apple-ABI stand-in on Linux; never shipped. A Mac build uses the
 * SDK's own <PCSC/wintypes.h> instead.
 *
 * Source: Apple's last published PC/SC headers (SmartCardServices, PCSC/wintypes.h,
 * derived from pcsc-lite 1.4, about 2007) and the __APPLE__ branch of pcsc-lite's own
 * wintypes.h, which keeps the same widths: every integer type is 32 bits on 32- and
 * 64-bit Macs alike (pcsc-lite on 64-bit Linux: unsigned long / long, 64 bits).
 */
#ifndef VORN_MACOS_PCSC_WINTYPES_H
#define VORN_MACOS_PCSC_WINTYPES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef BYTE
typedef uint8_t BYTE;
#endif
typedef uint8_t UCHAR;
typedef UCHAR *PUCHAR;
typedef uint16_t USHORT;

/* 32 bits, whatever the width of long (Apple's wintypes.h). */
typedef uint32_t ULONG;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef uint32_t DWORD;
typedef DWORD *PDWORD;
typedef uint16_t WORD;
typedef int32_t LONG;
typedef const char *LPCSTR;
typedef const BYTE *LPCBYTE;
typedef BYTE *LPBYTE;
typedef DWORD *LPDWORD;
typedef char *LPSTR;

/* Apple's headers have no wide-character variants: LPTSTR and LPCTSTR are narrow. */
typedef char *LPTSTR;
typedef const char *LPCTSTR;

typedef int16_t BOOL;

#ifdef __cplusplus
}
#endif

#endif
