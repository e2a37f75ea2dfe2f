/*
 * The basic types of Apple's PCSC framework, as its published headers declare them
 * (SmartCardServices, derived from pcsc-lite 1.4; the __APPLE__ branches of
 * pcsc-lite's own wintypes.h agree): every integer type is 32 bits wide on both 32-
 * and 64-bit Macs. Written for this project from those published types; test and
 * cross-build infrastructure, never shipped. See tests/macos/pcsc/README.md.
 */
#ifndef VORN_APPLE_PCSC_WINTYPES_H
#define VORN_APPLE_PCSC_WINTYPES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t BYTE;
typedef uint8_t UCHAR;
typedef UCHAR *PUCHAR;
typedef uint16_t USHORT;
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
typedef LPSTR LPTSTR;
typedef LPCSTR LPCTSTR;

#ifdef __cplusplus
}
#endif

#endif
