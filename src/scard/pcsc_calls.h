#pragma once

// The PC/SC API's calls that the host makes, once, by their documented names: the one
// list that the adapter (pcsc_service.*), the unit tests' fake (tests/fakes) and the
// Windows stand-in (tests/windows/winscard) are made from. It says only what the API's
// documentation says of each call (its name, the handle it acts on, whether it has a
// text form per character set), no type or value of the host's: a stand-in includes it
// and still models its platform from that platform's documentation alone.
//
// VORN_PCSC_CALLS(X) expands X(Api, name, NAME, ON, TEXT) once per call:
//   Api         the documented function (SCardReconnect)
//   name, NAME  the call in lower and upper case: pcsc::name, fake::Fn::NAME, the
//               Windows relay's Call::NAME
//   ON          what its first argument is: NEW_CONTEXT (SCardEstablishContext hands one
//               out), CONTEXT or CARD
//   TEXT        NAMES: it takes or gives reader names, so Windows declares an ...A and a
//               ...W form (Api##A, Api##W); PLAIN: one form
//
// Sources: the function list and which calls have ...A/...W forms are Windows'
// winscard.h as summarised in the platform notes (shared platforms notes,
// windows-winscard.md); pcsc-lite's and Apple's lists are the same functions without the
// text forms (macos-pcsc.md). The handle each call acts on is its documented first
// argument on all three.
//
// A call added here fails to build until the adapter, the fake and the stand-in have it.

#define VORN_PCSC_CALLS(X)                                                             \
    X(SCardEstablishContext, establish_context, ESTABLISH_CONTEXT, NEW_CONTEXT, PLAIN) \
    X(SCardReleaseContext, release_context, RELEASE_CONTEXT, CONTEXT, PLAIN)           \
    X(SCardIsValidContext, is_valid_context, IS_VALID_CONTEXT, CONTEXT, PLAIN)         \
    X(SCardCancel, cancel, CANCEL, CONTEXT, PLAIN)                                     \
    X(SCardListReaders, list_readers, LIST_READERS, CONTEXT, NAMES)                    \
    X(SCardListReaderGroups, list_reader_groups, LIST_READER_GROUPS, CONTEXT, NAMES)   \
    X(SCardGetStatusChange, get_status_change, GET_STATUS_CHANGE, CONTEXT, NAMES)      \
    X(SCardConnect, connect, CONNECT, CONTEXT, NAMES)                                  \
    X(SCardReconnect, reconnect, RECONNECT, CARD, PLAIN)                               \
    X(SCardDisconnect, disconnect, DISCONNECT, CARD, PLAIN)                            \
    X(SCardBeginTransaction, begin_transaction, BEGIN_TRANSACTION, CARD, PLAIN)        \
    X(SCardEndTransaction, end_transaction, END_TRANSACTION, CARD, PLAIN)              \
    X(SCardStatus, status, STATUS, CARD, NAMES)                                        \
    X(SCardTransmit, transmit, TRANSMIT, CARD, PLAIN)                                  \
    X(SCardControl, control, CONTROL, CARD, PLAIN)                                     \
    X(SCardGetAttrib, get_attrib, GET_ATTRIB, CARD, PLAIN)                             \
    X(SCardSetAttrib, set_attrib, SET_ATTRIB, CARD, PLAIN)
