// A PCSC framework with Apple's ABI and documented behaviours, over the real pcscd: the
// SCard* functions as Apple's headers declare them (tests/macos/PCSC: 32-bit LONG, DWORD
// and handles, the packed 61-byte reader state, the packed 8-byte SCARD_IO_REQUEST and
// non-const protocol records, SCardControl132), answering as the framework is reported
// to answer. Modelled from what is published about the framework (the platform notes
// in README.md name the sources); each behaviour says where it comes from, and each
// assumption says so. Test infrastructure, never shipped.

#include <PCSC/winscard.h>
#include <pthread.h>

#include <atomic>
#include <cstring>
#include <vector>

#include "pcsclite_forward.h"

static_assert(sizeof(LONG) == 4 && sizeof(DWORD) == 4 && sizeof(SCARDCONTEXT) == 4 &&
              sizeof(SCARDHANDLE) == 4);
static_assert(sizeof(SCARD_READERSTATE_A) == 61, "Apple's reader state is byte-packed");
static_assert(sizeof(SCARD_IO_REQUEST) == 8, "Apple's SCARD_IO_REQUEST is two packed uint32_t");

// Apple's published header: extern and not const.
SCARD_IO_REQUEST g_rgSCardT0Pci = {SCARD_PROTOCOL_T0, sizeof(SCARD_IO_REQUEST)};
SCARD_IO_REQUEST g_rgSCardT1Pci = {SCARD_PROTOCOL_T1, sizeof(SCARD_IO_REQUEST)};
SCARD_IO_REQUEST g_rgSCardRawPci = {SCARD_PROTOCOL_RAW, sizeof(SCARD_IO_REQUEST)};

namespace {

namespace lite = vorn_apple_standin::lite;

// Handles: pcsc-lite's 32-bit values, carried bit for bit in Apple's int32_t.
std::uint32_t from_apple(std::int32_t handle) { return static_cast<std::uint32_t>(handle); }
std::int32_t to_apple(std::uint32_t handle) { return static_cast<std::int32_t>(handle); }
LONG answer(std::uint32_t status) { return static_cast<LONG>(status); }

// Reports of the framework on each release: "PC/SC is unusable after fork() without exec
// (SCardEstablishContext -> SCARD_E_NO_SERVICE)".
std::atomic<bool> forked_without_exec{false};
const int fork_watch = pthread_atfork(nullptr, nullptr, [] { forked_without_exec = true; });

// "\\?PnP?\Notification is not supported: the record comes back flagged
// SCARD_STATE_UNKNOWN (El Capitan onward)": flagged UNKNOWN and CHANGED at once, unless
// the caller already knew it unknown. Assumption: a record the caller knows unknown
// takes no part in the wait, which ends with the others, its time-out or a cancel; here
// it also ends when a reader comes or goes (pcsc-lite's own PnP record stands in for it,
// as pcsc-lite has no record that never changes).
constexpr const char* PNP_NOTIFICATION = "\\\\?PnP?\\Notification";

bool is_pnp(const char* reader) {
    return reader != nullptr && std::strcmp(reader, PNP_NOTIFICATION) == 0;
}

// "The number of card events in the high 16 bits of dwEventState is not kept (El
// Capitan onward)". Assumption: the framework also ignores the high 16 bits of
// dwCurrentState. pcsc-lite ends a wait whose record names another count than the
// reader's, so the counts pcsc-lite keeps are read first and put in the records.
std::uint32_t with_service_counts(std::uint32_t context, std::vector<lite::ReaderState>& states) {
    std::vector<lite::ReaderState> now = states;
    for (lite::ReaderState& state : now) state.current_state = SCARD_STATE_UNAWARE;
    const std::uint32_t status =
        lite::get_status_change(context, 0, now.data(), static_cast<std::uint32_t>(now.size()));
    if (status != SCARD_S_SUCCESS) return status;
    for (std::size_t i = 0; i < states.size(); ++i) {
        // A caller who knows nothing of the reader is answered at once either way.
        if (states[i].current_state == SCARD_STATE_UNAWARE ||
            (states[i].current_state & SCARD_STATE_IGNORE) != 0) {
            continue;
        }
        states[i].current_state =
            (states[i].current_state & 0xFFFF) | (now[i].event_state & 0xFFFF0000u);
    }
    return SCARD_S_SUCCESS;
}

}  // namespace

LONG SCardEstablishContext(DWORD dwScope, LPCVOID, LPCVOID, LPSCARDCONTEXT phContext) {
    if (phContext == nullptr) return SCARD_E_INVALID_PARAMETER;
    if (forked_without_exec) return SCARD_E_NO_SERVICE;
    std::uint32_t context = 0;
    const std::uint32_t status = lite::establish_context(dwScope, context);
    *phContext = to_apple(context);
    return answer(status);
}

LONG SCardReleaseContext(SCARDCONTEXT hContext) {
    return answer(lite::release_context(from_apple(hContext)));
}

LONG SCardIsValidContext(SCARDCONTEXT hContext) {
    return answer(lite::is_valid_context(from_apple(hContext)));
}

LONG SCardCancel(SCARDCONTEXT hContext) { return answer(lite::cancel(from_apple(hContext))); }

LONG SCardListReaders(SCARDCONTEXT hContext, LPCSTR mszGroups, LPSTR mszReaders,
                      LPDWORD pcchReaders) {
    return answer(lite::list_readers(from_apple(hContext), mszGroups, mszReaders, pcchReaders));
}

LONG SCardListReaderGroups(SCARDCONTEXT hContext, LPSTR mszGroups, LPDWORD pcchGroups) {
    return answer(lite::list_reader_groups(from_apple(hContext), mszGroups, pcchGroups));
}

LONG SCardGetStatusChange(SCARDCONTEXT hContext, DWORD dwTimeout,
                          LPSCARD_READERSTATE_A rgReaderStates, DWORD cReaders) {
    if (rgReaderStates == nullptr && cReaders > 0) return SCARD_E_INVALID_PARAMETER;
    // Apple's records are packed: each is copied out and in as bytes.
    std::vector<SCARD_READERSTATE_A> records(cReaders);
    if (cReaders > 0) std::memcpy(records.data(), rgReaderStates, cReaders * sizeof records[0]);

    std::vector<lite::ReaderState> states;
    bool pnp_changed = false;
    for (const SCARD_READERSTATE_A& record : records) {
        lite::ReaderState state;
        state.reader = record.szReader;
        state.current_state = record.dwCurrentState & 0xFFFF;
        state.event_state = record.dwEventState;
        state.atr_length = record.cbAtr;
        std::memcpy(state.atr, record.rgbAtr, MAX_ATR_SIZE);
        if (is_pnp(record.szReader)) {
            pnp_changed = pnp_changed || (record.dwCurrentState & SCARD_STATE_UNKNOWN) == 0;
            state.current_state =
                SCARD_STATE_UNAWARE;  // pcsc-lite: ends on a reader's coming or going
        }
        states.push_back(state);
    }
    const std::uint32_t context = from_apple(hContext);
    std::uint32_t status = SCARD_S_SUCCESS;
    if (pnp_changed) {
        // The other records are brought up to date without waiting.
        std::vector<lite::ReaderState> others;
        for (const lite::ReaderState& state : states) {
            if (!is_pnp(state.reader)) others.push_back(state);
        }
        if (!others.empty()) status = with_service_counts(context, others);
        if (!others.empty() && status == SCARD_S_SUCCESS) {
            status = lite::get_status_change(context, 0, others.data(),
                                             static_cast<std::uint32_t>(others.size()));
            if (status == SCARD_E_TIMEOUT) status = SCARD_S_SUCCESS;
        }
        auto other = others.begin();
        for (lite::ReaderState& state : states) {
            if (!is_pnp(state.reader)) state = *other++;
        }
    } else if (cReaders > 0) {
        status = with_service_counts(context, states);
        if (status == SCARD_S_SUCCESS) {
            status = lite::get_status_change(context, dwTimeout, states.data(), cReaders);
        }
    }

    for (DWORD i = 0; i < cReaders; ++i) {
        SCARD_READERSTATE_A& record = records[i];
        if (is_pnp(record.szReader)) {
            record.dwEventState =
                SCARD_STATE_UNKNOWN |
                ((record.dwCurrentState & SCARD_STATE_UNKNOWN) == 0 ? SCARD_STATE_CHANGED : 0);
            record.cbAtr = 0;
            continue;
        }
        record.dwEventState = states[i].event_state & 0xFFFF;
        record.cbAtr = states[i].atr_length;
        std::memcpy(record.rgbAtr, states[i].atr, MAX_ATR_SIZE);
    }
    if (cReaders > 0) std::memcpy(rgReaderStates, records.data(), cReaders * sizeof records[0]);
    return answer(status);
}

LONG SCardConnect(SCARDCONTEXT hContext, LPCSTR szReader, DWORD dwShareMode,
                  DWORD dwPreferredProtocols, LPSCARDHANDLE phCard, LPDWORD pdwActiveProtocol) {
    if (phCard == nullptr) return SCARD_E_INVALID_PARAMETER;
    std::uint32_t card = from_apple(*phCard);
    const std::uint32_t status = lite::connect(from_apple(hContext), szReader, dwShareMode,
                                               dwPreferredProtocols, card, pdwActiveProtocol);
    *phCard = to_apple(card);
    // Reports on Yosemite: "SCardConnect answered SCARD_E_NOT_TRANSACTED for a protocol
    // the card does not support".
    return answer(status == SCARD_E_PROTO_MISMATCH ? SCARD_E_NOT_TRANSACTED : status);
}

LONG SCardReconnect(SCARDHANDLE hCard, DWORD dwShareMode, DWORD dwPreferredProtocols,
                    DWORD dwInitialization, LPDWORD pdwActiveProtocol) {
    return answer(lite::reconnect(from_apple(hCard), dwShareMode, dwPreferredProtocols,
                                  dwInitialization, pdwActiveProtocol));
}

LONG SCardDisconnect(SCARDHANDLE hCard, DWORD dwDisposition) {
    return answer(lite::disconnect(from_apple(hCard), dwDisposition));
}

LONG SCardBeginTransaction(SCARDHANDLE hCard) {
    // Reports on El Capitan: RESET_CARD after the card was removed and inserted again
    // (pcsc-lite: REMOVED_CARD), UNPOWERED_CARD after another application powered the
    // card off (pcsc-lite: RESET_CARD).
    switch (const std::uint32_t status = lite::begin_transaction(from_apple(hCard))) {
        case SCARD_W_REMOVED_CARD:
            return answer(SCARD_W_RESET_CARD);
        case SCARD_W_RESET_CARD:
            return answer(SCARD_W_UNPOWERED_CARD);
        default:
            return answer(status);
    }
}

LONG SCardEndTransaction(SCARDHANDLE hCard, DWORD dwDisposition) {
    return answer(lite::end_transaction(from_apple(hCard), dwDisposition));
}

LONG SCardStatus(SCARDHANDLE hCard, LPSTR mszReaderNames, LPDWORD pcchReaderLen, LPDWORD pdwState,
                 LPDWORD pdwProtocol, LPBYTE pbAtr, LPDWORD pcbAtrLen) {
    return answer(lite::status(from_apple(hCard), mszReaderNames, pcchReaderLen, pdwState,
                               pdwProtocol, pbAtr, pcbAtrLen));
}

LONG SCardTransmit(SCARDHANDLE hCard, LPCSCARD_IO_REQUEST pioSendPci, LPCBYTE pbSendBuffer,
                   DWORD cbSendLength, LPSCARD_IO_REQUEST pioRecvPci, LPBYTE pbRecvBuffer,
                   LPDWORD pcbRecvLength) {
    // Assumption: no send record is refused, as in pcsc-lite, whence the framework came.
    if (pioSendPci == nullptr) return SCARD_E_INVALID_PARAMETER;
    SCARD_IO_REQUEST send;
    std::memcpy(&send, pioSendPci, sizeof send);
    std::uint32_t receive_protocol = 0;
    if (pioRecvPci != nullptr) {
        SCARD_IO_REQUEST receive;
        std::memcpy(&receive, pioRecvPci, sizeof receive);
        receive_protocol = receive.dwProtocol;
    }
    const std::uint32_t status = lite::transmit(
        from_apple(hCard), send.dwProtocol, pbSendBuffer, cbSendLength,
        pioRecvPci != nullptr ? &receive_protocol : nullptr, pbRecvBuffer, pcbRecvLength);
    if (pioRecvPci != nullptr) {
        const SCARD_IO_REQUEST receive{receive_protocol, sizeof(SCARD_IO_REQUEST)};
        std::memcpy(pioRecvPci, &receive, sizeof receive);
    }
    return answer(status);
}

// Apple's header: the pre-1.3.2 SCardControl, without a control code. Assumption: the
// framework passes nothing of it to today's drivers (answered as unsupported).
LONG SCardControl(SCARDHANDLE, const unsigned char*, DWORD, unsigned char*, DWORD*) {
    return SCARD_E_UNSUPPORTED_FEATURE;
}

LONG SCardControl132(SCARDHANDLE hCard, DWORD dwControlCode, LPCVOID pbSendBuffer,
                     DWORD cbSendLength, LPVOID pbRecvBuffer, DWORD cbRecvLength,
                     LPDWORD lpBytesReturned) {
    // Assumption: like pcsc-lite, whence it came, the framework refuses buffers larger
    // than its own extended buffer (its header: 65,546 bytes; pcsc-lite's: 65,548).
    if (cbSendLength > MAX_BUFFER_SIZE_EXTENDED || cbRecvLength > MAX_BUFFER_SIZE_EXTENDED) {
        return SCARD_E_INSUFFICIENT_BUFFER;
    }
    return answer(lite::control(from_apple(hCard), dwControlCode, pbSendBuffer, cbSendLength,
                                pbRecvBuffer, cbRecvLength, lpBytesReturned));
}

LONG SCardGetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPBYTE pbAttr, LPDWORD pcbAttrLen) {
    return answer(lite::get_attrib(from_apple(hCard), dwAttrId, pbAttr, pcbAttrLen));
}

LONG SCardSetAttrib(SCARDHANDLE hCard, DWORD dwAttrId, LPCBYTE pbAttr, DWORD cbAttrLen) {
    return answer(lite::set_attrib(from_apple(hCard), dwAttrId, pbAttr, cbAttrLen));
}
