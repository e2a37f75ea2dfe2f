// vorn-bench-card: keeps the test card of the end-to-end tests in a vpcd reader
// for benchmarks driven from elsewhere (the in-browser one, tests/browser/bench.mjs).
// The card answers every SELECT with 90 00 and anything else with 6D 00; it acks
// each APDU at once, as the tests' card does, so no 40 ms delayed ACK lands in a
// round trip. Prints the reader's name once the card is in, and takes the card
// out when its standard input ends.
//
//   vorn-bench-card [VPCD_PORT]     (default 35964, "Virtual PCD 00 01")

#include <unistd.h>

#include <cstdlib>
#include <iostream>
#include <string>

#include "fixtures/virtual_card.h"

namespace testbed = Vorn_SCard_Bridge::testbed;

int main(int argc, char** argv) {
    const long port = argc > 1 ? std::strtol(argv[1], nullptr, 10) : testbed::VPCD_PORT_1;
    if (port <= 0 || port > 65535) {
        std::cerr << "usage: vorn-bench-card [VPCD_PORT]\n";
        return 2;
    }
    testbed::VirtualCard card(static_cast<std::uint16_t>(port));
    card.respond_prefix(testbed::hex("00A404"), testbed::hex("9000"));
    if (!card.insert()) {
        std::cerr << "vorn-bench-card: vpcd does not listen on 127.0.0.1:" << port << '\n';
        return 1;
    }
    std::cout << card.reader_name() << std::endl;
    char byte;
    while (::read(STDIN_FILENO, &byte, 1) > 0) {
    }
    card.remove();
    return 0;
}
