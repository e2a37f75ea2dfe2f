/*
 * The functions of Apple's PCSC framework, as its published headers declare them
 * (SmartCardServices, derived from pcsc-lite 1.4, around 2007). Written for this
 * project from those published declarations; test and cross-build infrastructure,
 * never shipped. See tests/macos/pcsc/README.md. Link: -framework PCSC.
 */
#ifndef VORN_APPLE_PCSC_WINSCARD_H
#define VORN_APPLE_PCSC_WINSCARD_H

#include <PCSC/pcsclite.h>

#ifdef __cplusplus
extern "C" {
#endif

LONG SCardEstablishContext(DWORD dwScope, LPCVOID pvReserved1, LPCVOID pvReserved2,
                           LPSCARDCONTEXT phContext);
LONG SCardReleaseContext(SCARDCONTEXT hContext);
/* Not in the 2007 header; declared by today's SDK with low-medium confidence (public
 * macOS software looks it up at run time). */
LONG SCardIsValidContext(SCARDCONTEXT hContext);
LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                  DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol);
LONG SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols,
                    DWORD dwInitialization, LPDWORD pdwActiveProtocol);
LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition);
LONG SCardBeginTransaction(SCARDHANDLE hCard);
LONG SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition);
LONG SCardStatus(SCARDHANDLE hCard, LPSTR mszReaderNames, LPDWORD pcchReaderLen,
                 LPDWORD pdwState, LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen);
LONG SCardGetStatusChange(SCARDCONTEXT hContext, DWORD dwTimeout,
                          LPSCARD_READERSTATE_A rgReaderStates, DWORD cReaders);
/* The pre-1.3.2 control: no control code. */
LONG SCardControl(SCARDHANDLE hCard, const unsigned char *pbSendBuffer, DWORD cbSendLength,
                  unsigned char *pbRecvBuffer, DWORD *pcbRecvLength);
/* The control with a control code, as pcsc-lite's and Windows' SCardControl. */
LONG SCardControl132(SCARDHANDLE hCard, DWORD dwControlCode, LPCVOID pbSendBuffer,
                     DWORD cbSendLength, LPVOID pbRecvBuffer, DWORD cbRecvLength,
                     LPDWORD lpBytesReturned);
LONG SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci, LPCBYTE pbSendBuffer,
                   DWORD cbSendLength, LPSCARD_IO_REQUEST pioRecvPci, LPBYTE pbRecvBuffer,
                   LPDWORD pcbRecvLength);
LONG SCardListReaderGroups(SCARDCONTEXT hContext, LPSTR mszGroups, LPDWORD pcchGroups);
LONG SCardListReaders(SCARDCONTEXT hContext, LPCSTR mszGroups, LPSTR mszReaders,
                      LPDWORD pcchReaders);
LONG SCardCancel(SCARDCONTEXT hContext);
LONG SCardGetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPBYTE pbAttr, LPDWORD pcbAttrLen);
LONG SCardSetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPCBYTE pbAttr, DWORD cbAttrLen);

#ifndef USE_SCARD_CONTROL_112
#define SCardControl SCardControl132
#endif

#ifdef __cplusplus
}
#endif

#endif
