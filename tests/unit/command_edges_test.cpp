// The lists of commands outside the host, kept in step with its command table:
// the fuzzer's list and dictionary, README's list, the JS client, the web-page
// relay and their typings. A command added to the table and missing from one of
// them (or one removed and left behind) fails here.

#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "processing/command_table.h"

namespace Vorn_SCard_Bridge {
namespace {

using Names = std::set<std::string>;

std::string source_file(const std::string& path) {
    std::ifstream in(std::string(VORN_SOURCE_DIR) + "/" + path, std::ios::binary);
    EXPECT_TRUE(in.is_open()) << path;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// From the first `start` in `text` to the first `end` after it.
std::string between(const std::string& text, const std::string& start, const std::string& end) {
    const std::size_t from = text.find(start);
    if (from == std::string::npos) return {};
    const std::size_t to = text.find(end, from + start.size());
    return text.substr(from, to == std::string::npos ? std::string::npos : to - from);
}

// The first group of every match of `pattern` in `text`.
Names captured(const std::string& text, const std::string& pattern) {
    Names names;
    const std::regex expression(pattern);
    for (auto match = std::sregex_iterator(text.begin(), text.end(), expression);
         match != std::sregex_iterator(); ++match) {
        names.insert((*match)[1]);
    }
    return names;
}

enum class Which { ALL, DISPATCHED, PLAIN };

Names table(Which which) {
    Names names;
    for (const CommandRow& row : command_rows()) {
        if (which == Which::DISPATCHED && row.call == nullptr) continue;
        if (which == Which::PLAIN) {
            names.insert(row.name);
            continue;
        }
        for (const std::string& name : command_names(row)) names.insert(name);
    }
    return names;
}

std::string camel_case(const std::string& name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '_' && i + 1 < name.size()) {
            out += static_cast<char>(std::toupper(static_cast<unsigned char>(name[++i])));
        } else {
            out += name[i];
        }
    }
    return out;
}

TEST(CommandEdges, FuzzerKnowsExactlyTheDispatchedCommands) {
    const std::string fuzzer = source_file("tests/fuzz/process_message_fuzzer.cpp");
    EXPECT_EQ(captured(between(fuzzer, "KNOWN_COMMANDS = {", "};"), R"re("([a-z_]+)")re"),
              table(Which::DISPATCHED));
}

TEST(CommandEdges, FuzzerDictionaryHasExactlyTheDispatchedCommands) {
    const std::string dictionary = source_file("tests/fuzz/process_message.dict");
    EXPECT_EQ(captured(between(dictionary, "# Commands", "\n\n"), R"re("\\"([a-z_]+)\\"")re"),
              table(Which::DISPATCHED));
}

TEST(CommandEdges, ReadmeListsEveryCommand) {
    const std::string readme = source_file("README.md");
    EXPECT_EQ(captured(between(readme, "- Commands:", "\n\n"), "`([a-z_]+)`"), table(Which::ALL));
}

// The client has a method for every command but the "_unicode" forms.
TEST(CommandEdges, ClientSendsEveryCommandWithATypedMethod) {
    const std::string client = source_file("js/src/vorn-scard-client.js");
    Names sent = captured(client, R"re((?:request|_call)\(\s*'([a-z_]+)')re");
    sent.merge(captured(client, R"re(command: '([a-z_]+)')re"));
    EXPECT_EQ(sent, table(Which::PLAIN));
    const std::string typings = source_file("js/src/vorn-scard-client.d.ts");
    for (const std::string& name : sent) {
        // A method named after the command, or one whose comment names it.
        EXPECT_TRUE(typings.find("  " + camel_case(name) + "(") != std::string::npos ||
                    typings.find(name) != std::string::npos)
            << name;
    }
}

TEST(CommandEdges, RelayAndItsTypingsListTheSameDispatchedCommands) {
    const Names relayed = captured(
        between(source_file("js/src/relay.js"), "RELAYED_COMMANDS = Object.freeze([", "]);"),
        "'([a-z_]+)'");
    const Names typed =
        captured(between(source_file("js/src/relay.d.ts"), "export type RelayedCommand =", ";"),
                 "'([a-z_]+)'");
    EXPECT_FALSE(relayed.empty());
    EXPECT_EQ(relayed, typed);
    const Names dispatched = table(Which::DISPATCHED);
    for (const std::string& name : relayed) EXPECT_EQ(dispatched.count(name), 1u) << name;
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
