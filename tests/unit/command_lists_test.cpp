// Every list of commands outside the host, against its command table: README's list,
// the JS client's methods and their typings, the web-page relay's list and its typings.
// One test: it names each file that is out of step and the line to change. (The
// fuzzers and their dictionary take the commands from the table itself.)

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

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

// A list in a file: the text from `start` to `end`, and the line it starts on.
struct Section {
    std::string text;
    std::size_t line = 0;
};

Section section(const std::string& file, const std::string& start, const std::string& end) {
    const std::size_t from = file.find(start);
    if (from == std::string::npos) return {};
    const std::size_t to = end.empty() ? std::string::npos : file.find(end, from + start.size());
    return {file.substr(from, to == std::string::npos ? std::string::npos : to - from),
            static_cast<std::size_t>(std::count(file.begin(), file.begin() + from, '\n')) + 1};
}

// The group that matched, of every match of `pattern`.
Names captured(const std::string& text, const std::string& pattern) {
    Names names;
    const std::regex expression(pattern);
    for (auto match = std::sregex_iterator(text.begin(), text.end(), expression);
         match != std::sregex_iterator(); ++match) {
        for (std::size_t group = 1; group < match->size(); ++group) {
            if ((*match)[group].matched) names.insert((*match)[group]);
        }
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

// One list kept beside the table: where it is, how a name appears in it, and which of
// the table's names it must hold (all of them, or, for a list of a part, at most those).
struct KeptList {
    std::string file;
    std::string start;
    std::string end;
    std::string pattern;  // the group that matches is a command's name
    Which which;
    bool part = false;
    std::string entry;  // what stands for a command there, "{}" its name
};

const std::vector<KeptList>& kept_lists() {
    static const std::vector<KeptList> lists = {
        {"README.md", "- Commands:", "\n\n", "`([a-z_]+)`", Which::ALL, false, "`{}` to the list"},
        // The client sends each command (but the "_unicode" forms) from a method.
        {"js/src/vorn-scard-client.js", "export class ScardBridgeClient", "",
         R"re((?:request|_call)\(\s*'([a-z_]+)'|command: '([a-z_]+)')re", Which::PLAIN, false,
         "a method that sends '{}' to the class"},
        {"js/src/relay.js", "RELAYED_COMMANDS = Object.freeze([", "]);", "'([a-z_]+)'",
         Which::DISPATCHED, true, "'{}'"},
        {"js/src/relay.d.ts", "export type RelayedCommand =", ";", "'([a-z_]+)'", Which::DISPATCHED,
         true, "| '{}'"},
    };
    return lists;
}

std::string entry(const KeptList& list, const std::string& name) {
    std::string text = list.entry;
    return text.replace(text.find("{}"), 2, name);
}

Names names_in(const KeptList& list) {
    return captured(section(source_file(list.file), list.start, list.end).text, list.pattern);
}

TEST(CommandLists, MatchTheCommandTable) {
    for (const KeptList& list : kept_lists()) {
        const Section found = section(source_file(list.file), list.start, list.end);
        ASSERT_FALSE(found.text.empty()) << list.file << ": no \"" << list.start << "\"";
        const Names listed = captured(found.text, list.pattern);
        const Names wanted = table(list.which);
        const std::string where = list.file + ":" + std::to_string(found.line) + ": ";
        for (const std::string& name : wanted) {
            if (!list.part && listed.count(name) == 0) {
                ADD_FAILURE() << where << "add " << entry(list, name);
            }
        }
        for (const std::string& name : listed) {
            if (wanted.count(name) == 0) {
                ADD_FAILURE() << where << "take " << name
                              << " out: the command table has no such command";
            }
        }
    }
    // The relay's list and its typings name the same commands.
    EXPECT_EQ(names_in(kept_lists()[2]), names_in(kept_lists()[3]))
        << "js/src/relay.js and js/src/relay.d.ts list other commands";
    // The client's typings: a method named after each command, or one whose comment names it.
    const std::string typings = source_file("js/src/vorn-scard-client.d.ts");
    for (const std::string& name : table(Which::PLAIN)) {
        if (typings.find("  " + camel_case(name) + "(") == std::string::npos &&
            typings.find(name) == std::string::npos) {
            ADD_FAILURE() << "js/src/vorn-scard-client.d.ts: add " << camel_case(name)
                          << "(...) to class ScardBridgeClient";
        }
    }
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
