// vorn-scard-bridge-demo: runs the card session an extension runs, through the
// host, against a virtual card in the vpcd reader "Virtual PCD 00 00", and
// prints each request and answer as it goes.

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <iostream>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>

#include "fixtures/virtual_card.h"
#include "host_client.h"

using Vorn_SCard_Bridge::testbed::Bytes;
using Vorn_SCard_Bridge::testbed::hex;
using Vorn_SCard_Bridge::testbed::VirtualCard;

namespace {

namespace host_client = Vorn_SCard_Bridge::host_client;
namespace platform = Vorn_SCard_Bridge::platform;

int step_number = 0;

nlohmann::json show(host_client::HostClient& host, const std::string& what,
                    const std::string& command, const nlohmann::json& params) {
    const std::string id = std::to_string(++step_number);
    std::cout << "\n"
              << step_number << ". " << what << "\n   -> " << command << " " << params.dump()
              << "\n";
    const nlohmann::json request = {{"requestId", id}, {"command", command}, {"params", params}};
    std::string text;
    if (!host.send(request.dump())) throw std::runtime_error("the host stopped reading");
    if (host.receive(text, std::chrono::seconds(15)) != host_client::Received::FRAME) {
        throw std::runtime_error("no answer from the host");
    }
    const auto response = nlohmann::json::parse(text);
    std::cout << "   <- " << response["status"].get<std::string>() << " "
              << response["result"].dump() << "\n";
    if (response["status"] != "success") throw std::runtime_error(command + " failed");
    return response["result"];
}

}  // namespace

int main(int argc, char** argv) {
    std::string host_program = VORN_DEFAULT_HOST;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--host" && i + 1 < argc) host_program = argv[++i];
    }
    ::signal(SIGPIPE, SIG_IGN);
    try {
        VirtualCard card(Vorn_SCard_Bridge::testbed::VPCD_PORT_0);
        card.respond(hex("00A4040007A0000002471001"), hex("9000"));
        card.respond(hex("00B0000000"), hex("56 6F 72 6E 20 64 65 6D 6F 20 63 61 72 64 90 00"));
        const std::string reader = card.reader_name();

        platform::ChildOptions options;
        options.program = host_program;
        options.error = platform::ChildStream::NUL;
        host_client::HostClient host;
        if (std::string error; !host.start(options, error)) throw std::runtime_error(error);
        std::cout << "Vorn Smart Card Bridge demo: host " << host_program << "\n";
        show(host, "Is the host alive?", "healthcheck", nlohmann::json::array());
        const auto established =
            show(host, "Open a PC/SC context", "establish_context", nlohmann::json::array());
        const std::string context = established[1];
        show(host, "List the readers", "list_readers", {context});

        // Ask for the reader's state as it is now, then wait for it to change
        // while the card is inserted.
        const auto now = show(host, "Read the reader's state", "get_status_change",
                              {context, 0, 1, 0, 0, reader});
        const std::uint32_t known = std::stoul(now[3].get<std::string>(), nullptr, 16) & ~0x2u;
        std::cout << "\n   (inserting the virtual card into " << reader << ")\n";
        std::thread inserter([&card] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            card.insert();
        });
        // The event state becomes the known state of the next wait, until the
        // reader reports a card with its ATR (SCARD_STATE_PRESENT is 0x20).
        nlohmann::json changed;
        std::uint32_t state = known;
        for (int attempt = 0; attempt < 5; ++attempt) {
            changed = show(host, "Wait for a card (up to 10 s)", "get_status_change",
                           {context, 10000, 1, state, 0, reader});
            state = std::stoul(changed[3].get<std::string>(), nullptr, 16) & ~0x2u;
            if ((state & 0x20u) != 0 && !changed[4].get<std::string>().empty()) break;
        }
        inserter.join();
        std::cout << "   card ATR: " << changed[4].get<std::string>() << "\n";

        const auto connected =
            show(host, "Connect to the card", "connect", {context, reader, 2, 3});
        const std::string handle = connected[2];
        const std::uint32_t protocol = std::stoul(connected[3].get<std::string>(), nullptr, 16);
        show(host, "Card status", "status", {context, handle});
        show(host, "Lock the card", "begin_transaction", {context, handle});
        show(host, "SELECT an application", "transmit",
             {context, handle, protocol, "00A4040007A0000002471001"});
        const auto read =
            show(host, "READ BINARY", "transmit", {context, handle, protocol, "00B0000000"});
        const std::string data = read[4];
        std::string text;
        for (std::size_t i = 0; i + 4 < data.size(); i += 2) {
            text += static_cast<char>(std::stoi(data.substr(i, 2), nullptr, 16));
        }
        std::cout << "   card says: \"" << text << "\"\n";
        show(host, "Unlock the card", "end_transaction", {context, handle, 0});
        show(host, "Disconnect", "disconnect", {context, handle, 0});
        show(host, "Release the context", "release_context", {context});
        std::cout << "\nSession complete.\n";
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "\ndemo failed: " << e.what() << "\n";
        return 1;
    }
}
