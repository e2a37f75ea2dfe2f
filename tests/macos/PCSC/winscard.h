/*
 * The functions of Apple's PC/SC (PCSC.framework), written for this project's macOS
 * builds and for its Apple-ABI stand-in on Linux; never shipped. A Mac build uses the
 * SDK's own <PCSC/winscard.h> instead.
 *
 * Source, unless a line says otherwise: Apple's last published PC/SC headers
 * (SmartCardServices, PCSC/winscard.h, derived from pcsc-lite 1.4, about 2007).
 * Every symbol declared here is listed in the link stub beside this folder
 * (PCSC.framework/PCSC.tbd).
 */
#ifndef VORN_MACOS_PCSC_WINSCARD_H
#define VORN_MACOS_PCSC_WINSCARD_H

#include <PCSC/pcsclite.h>

#ifdef __cplusplus
extern "C" {
#endif

LONG SCardEstablishContext(DWORD dwScope, LPCVOID pvReserved1, LPCVOID pvReserved2,
                           LPSCARDCONTEXT phContext);
LONG SCardReleaseContext(SCARDCONTEXT hContext);

/*
 * Assumption, no source: the 2007 header does not declare SCardIsValidContext, and
 * whether today's SDK does is not known (public macOS software looks it up in the
 * framework at run time). Declared here so that the build shows what it needs.
 */
LONG SCardIsValidContext(SCARDCONTEXT hContext);

LONG SCardSetTimeout(SCARDCONTEXT hContext, DWORD dwTimeout);

LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                  DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol);
LONG SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols,
                    DWORD dwInitialization, LPDWORD pdwActiveProtocol);
LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition);

LONG SCardBeginTransaction(SCARDHANDLE hCard);
LONG SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition);
LONG SCardCancelTransaction(SCARDHANDLE hCard);

LONG SCardStatus(SCARDHANDLE hCard, LPSTR mszReaderNames, LPDWORD pcchReaderLen,
                 LPDWORD pdwState, LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen);
LONG SCardGetStatusChange(SCARDCONTEXT hContext, DWORD dwTimeout,
                          LPSCARD_READERSTATE_A rgReaderStates, DWORD cReaders);

/* Apple: SCardControl keeps the signature of pcsc-lite before 1.3.2 (no control code);
 * SCardControl132 is the one with a control code, as pcsc-lite's and Windows'
 * SCardControl. */
LONG SCardControl(SCARDHANDLE hCard, const unsigned char *pbSendBuffer, DWORD cbSendLength,
                  unsigned char *pbRecvBuffer, DWORD *pcbRecvLength);
LONG SCardControl132(SCARDHANDLE hCard, DWORD dwControlCode, LPCVOID pbSendBuffer,
                     DWORD cbSendLength, LPVOID pbRecvBuffer, DWORD cbRecvLength,
                     LPDWORD lpBytesReturned);

LONG SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci,
                   const unsigned char *pbSendBuffer, DWORD cbSendLength,
                   LPSCARD_IO_REQUEST pioRecvPci, unsigned char *pbRecvBuffer,
                   DWORD *pcbRecvLength);

LONG SCardListReaderGroups(SCARDCONTEXT hContext, LPSTR mszGroups, LPDWORD pcchGroups);
LONG SCardListReaders(SCARDCONTEXT hContext, LPCSTR mszGroups, LPSTR mszReaders,
                      LPDWORD pcchReaders);

LONG SCardCancel(SCARDCONTEXT hContext);

LONG SCardGetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPBYTE pbAttr, LPDWORD pcbAttrLen);
LONG SCardSetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPCBYTE pbAttr, DWORD cbAttrLen);

#ifdef __cplusplus
}
#endif

/* Apple: unless USE_SCARD_CONTROL_112 is defined, SCardControl means SCardControl132. */
#ifndef USE_SCARD_CONTROL_112
#define SCardControl SCardControl132
#endif

#endif
