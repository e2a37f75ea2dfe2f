// vorn-scard-bridge-talk: talk to the host by hand.
//
// Reads JSON requests, one per line, from standard input (or a file), frames
// them to a host it starts, and prints every response as one JSON line. A line
// without "requestId" gets one ("1", "2", ...); a line that is only a command
// name ("healthcheck") becomes {"command": ..., "params": []}. Responses are
// printed as they arrive, which is not always the order of the requests.
//
//   echo '{"command":"establish_context"}' | vorn-scard-bridge-talk
//   vorn-scard-bridge-talk --host ./build/vorn-scard-bridge --pretty session.jsonl

#include <fcntl.h>
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>

#include "host_client.h"

namespace {

namespace framing = Vorn_SCard_Bridge::framing;
namespace host_client = Vorn_SCard_Bridge::host_client;
namespace platform = Vorn_SCard_Bridge::platform;

struct Options {
    std::string host = VORN_DEFAULT_HOST;
    std::string input;  // empty: standard input
    bool pretty = false;
    bool show_log = false;
    int timeout_ms = 30000;
};

void usage(std::ostream& out) {
    out << "usage: vorn-scard-bridge-talk [--host PATH] [--pretty] [--log] [--timeout MS] [FILE]\n"
           "Reads JSON requests (one per line, '#' starts a comment) and prints the host's\n"
           "responses as JSON lines. --log shows the host's log on standard error.\n";
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--host" && i + 1 < argc) {
            options.host = argv[++i];
        } else if (arg == "--pretty") {
            options.pretty = true;
        } else if (arg == "--log") {
            options.show_log = true;
        } else if (arg == "--timeout" && i + 1 < argc) {
            options.timeout_ms = std::stoi(argv[++i]);
        } else if (arg == "-h" || arg == "--help") {
            usage(std::cout);
            return 0;
        } else if (!arg.empty() && arg[0] != '-') {
            options.input = arg;
        } else {
            usage(std::cerr);
            return 2;
        }
    }

    std::ifstream file;
    if (!options.input.empty()) {
        file.open(options.input);
        if (!file) {
            std::cerr << "cannot open " << options.input << "\n";
            return 2;
        }
    }
    std::istream& in = options.input.empty() ? std::cin : file;

    // Read every request first, so that a typing mistake is reported before the
    // host is started.
    std::string frames;
    std::size_t expected = 0;
    std::uint64_t next_id = 0;
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        const auto first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos || line[first] == '#') continue;
        nlohmann::json request;
        try {
            request = nlohmann::json::parse(line);
        } catch (const nlohmann::json::parse_error&) {
            const std::string word = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
            if (word.find_first_of(" {}[]\"") != std::string::npos) {
                std::cerr << "line " << number << ": not JSON: " << line << "\n";
                return 2;
            }
            request = {{"command", word}, {"params", nlohmann::json::array()}};
        }
        if (request.is_object()) {
            if (!request.contains("requestId")) request["requestId"] = std::to_string(++next_id);
            if (!request.contains("params")) request["params"] = nlohmann::json::array();
            if (request.value("command", "") != "shutdown") ++expected;
        }
        framing::append_frame(frames, request.dump());
    }

    platform::ChildOptions child_options;
    child_options.program = options.host;
    child_options.error =
        options.show_log ? platform::ChildStream::INHERIT : platform::ChildStream::NUL;
    host_client::HostClient host;
    std::string error;
    if (!host.start(child_options, error)) {
        std::cerr << error << '\n';
        return 1;
    }
    ::signal(SIGPIPE, SIG_IGN);

    // The requests are written by a thread of their own while the answers are read
    // here (the host stops reading while too many of its answers are unread); the
    // pipe stays open until every answer is in (or the time-out passes): closing it
    // would end the host before slow requests are answered.
    ::fcntl(host.input(), F_SETFL, ::fcntl(host.input(), F_GETFL) | O_NONBLOCK);
    std::thread writer([&host, &frames, &options] {
        if (!host.send_raw(frames, options.timeout_ms)) std::cerr << "the host stopped reading\n";
    });
    const auto timeout = std::chrono::milliseconds(options.timeout_ms);
    std::size_t received = 0;
    int status = 0;
    for (std::string text;;) {
        if (received >= expected && writer.joinable()) {
            writer.join();
            host.close_input();
        }
        const auto got = host.receive(text, timeout);
        if (got == host_client::Received::TIMED_OUT) {
            std::cerr << "no response for " << options.timeout_ms << " ms; " << received << " of "
                      << expected << " answered\n";
            status = 1;
        }
        if (got != host_client::Received::FRAME) break;
        ++received;
        try {
            const auto response = nlohmann::json::parse(text);
            std::cout << (options.pretty ? response.dump(2) : response.dump()) << std::endl;
        } catch (const nlohmann::json::parse_error&) {
            std::cout << text << std::endl;
        }
    }
    if (writer.joinable()) writer.join();
    host.close_input();
    if (host.partial_bytes() > 0) std::cerr << "the host's output ended inside a frame\n";
    std::optional<int> code;
    while (!(code = host.wait_exit(std::chrono::hours(1)))) {
    }
    if (*code > 128) {
        std::cerr << "host killed by signal " << *code - 128 << "\n";
        status = 1;
    } else if (*code != 0) {
        std::cerr << "host exited with code " << *code << "\n";
        status = 1;
    }
    return status;
}
