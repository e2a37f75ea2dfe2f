#include "support/status_messages.h"

#include <cstdio>
#include <unordered_map>

namespace Vorn_SCard_Bridge {

namespace {
constexpr std::int32_t code(std::uint32_t pattern) { return static_cast<std::int32_t>(pattern); }
}  // namespace

std::string get_win_scard_error_string(std::int32_t status) {
    static const std::unordered_map<int, std::string> errorMap = {
        {code(0x00000000), "No error was encountered"},
        {code(0x80100001), "An internal consistency check failed"},
        {code(0x80100002), "The action was cancelled by an SCardCancel request"},
        {code(0x80100003), "The supplied handle was invalid"},
        {code(0x80100004), "One or more of the supplied parameters could not be properly interpreted"},
        {code(0x80100005), "Registry startup information is missing or invalid"},
        {code(0x80100006), "Not enough memory available to complete this command"},
        {code(0x80100007), "An internal consistency timer has expired"},
        {code(0x80100008), "The data buffer to receive returned data is too small for the returned data"},
        {code(0x80100009), "The specified reader name is not recognized"},
        {code(0x8010000A), "The user-specified timeout value has expired"},
        {code(0x8010000B), "The smart card cannot be accessed because of other connections outstanding"},
        {code(0x8010000C), "The operation requires a smart card, but no smart card is currently in the device"},
        {code(0x8010000D), "The specified smart card name is not recognized"},
        {code(0x8010000E), "The system could not dispose of the media in the requested manner"},
        {code(0x8010000F), "The requested protocols are incompatible with the protocol currently in use with the smart card"},
        {code(0x80100010), "The reader or smart card is not ready to accept commands"},
        {code(0x80100011), "One or more of the supplied parameters values could not be properly interpreted"},
        {code(0x80100012), "The action was cancelled by the system, presumably to log off or shut down"},
        {code(0x80100013), "An internal communications error has been detected"},
        {code(0x80100014), "An internal error has been detected, but the source is unknown"},
        {code(0x80100015), "An ATR obtained from the registry is not a valid ATR string"},
        {code(0x80100016), "An attempt was made to end a non-existent transaction"},
        {code(0x80100017), "The specified reader is not currently available for use"},
        {code(0x80100018), "The operation has been aborted to allow the server application to exit"},
        {code(0x80100019), "The PCI Receive buffer was too small"},
        {code(0x8010001A), "The reader driver does not meet minimal requirements for support"},
        {code(0x8010001B), "The reader driver did not produce a unique reader name"},
        {code(0x8010001C), "The smart card does not meet minimal requirements for support"},
        {code(0x8010001D), "The Smart Card Resource Manager is not running"},
        {code(0x8010001E), "The Smart Card Resource Manager has shut down"},
        // 0x8010001F is pcsc-lite's SCARD_E_UNSUPPORTED_FEATURE (an attribute or control the
        // reader lacks), and the host answers it for features it does not offer; Windows
        // gives the code to SCARD_E_UNEXPECTED and the feature 0x80100022.
        {code(0x8010001F), "This smart card does not support the requested feature"},
        {code(0x80100020), "No Primary Provider can be found for the smart card"},
        {code(0x80100021), "The requested order of object creation is not supported"},
        {code(0x80100022), "This smart card does not support the requested feature"},
        {code(0x80100023), "The identified directory does not exist in the smart card"},
        {code(0x80100024), "The identified file does not exist in the smart card"},
        {code(0x80100025), "The supplied path does not represent a smart card directory"},
        {code(0x80100026), "The supplied path does not represent a smart card file"},
        {code(0x80100027), "Access is denied to this file"},
        {code(0x80100028), "The smart card does not have enough memory to store the information"},
        {code(0x80100029), "There was an error trying to set the smart card file object pointer"},
        {code(0x8010002A), "The supplied PIN is incorrect"},
        {code(0x8010002B), "An unrecognized error code was returned from a layered component"},
        {code(0x8010002C), "The requested certificate does not exist"},
        {code(0x8010002D), "The requested certificate could not be obtained"},
        {code(0x8010002E), "Cannot find a smart card reader"},
        {code(0x8010002F), "A communications error with the smart card has been detected. Retry the operation"},
        {code(0x80100030), "The requested key container does not exist on the smart card"},
        {code(0x80100031), "The Smart Card Resource Manager is too busy to complete this operation"},
        {code(0x80100032), "The smart card PIN cache has expired"},
        {code(0x80100033), "The smart card PIN cannot be cached"},
        {code(0x80100034), "The smart card is read only and cannot be written to"},
        {1783, "A smart card reader was not detected"},
        {code(0x80100065), "The reader cannot communicate with the card, due to ATR string configuration conflicts"},
        {code(0x80100066), "The smart card is not responding to a reset"},
        {code(0x80100067), "Power has been removed from the smart card, so that further communication is not possible"},
        {code(0x80100068), "The smart card has been reset, so any shared state information is invalid"},
        {code(0x80100069), "The smart card has been removed, so further communication is not possible"},
        {code(0x8010006A), "Access was denied because of a security violation"},
        {code(0x8010006B), "The card cannot be accessed because the wrong PIN was presented"},
        {code(0x8010006C), "The card cannot be accessed because the maximum number of PIN entry attempts has been reached"},
        {code(0x8010006D), "The end of the smart card file has been reached"},
        {code(0x8010006E), "The action was cancelled by the user"},
        {code(0x8010006F), "No PIN was presented to the smart card"},
        {code(0x80100070), "The requested item could not be found in the cache"},
        {code(0x80100071), "The requested cache item is too old and was deleted from the cache"},
        {code(0x80100072), "The new cache item exceeds the maximum per-item size defined for the cache"},
    };
    const auto found = errorMap.find(status);
    if (found != errorMap.end()) return found->second;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "Unknown error: 0x%08X", static_cast<unsigned>(status));
    return buffer;
}

}  // namespace Vorn_SCard_Bridge
