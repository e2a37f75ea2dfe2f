// Writes a fuzzer's dictionary: the entries of its file in tests/fuzz, then every
// command the command table answers to, so that no list of commands is kept by hand.
//
//   command_dictionary IN.dict OUT.dict

#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "processing/command_table.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s IN.dict OUT.dict\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    if (!in || !out) {
        std::fprintf(stderr, "command_dictionary: cannot read %s or write %s\n", argv[1], argv[2]);
        return 1;
    }
    out << in.rdbuf() << "\n# Commands of the command table (command_dictionary.cpp).\n";
    for (const Vorn_SCard_Bridge::CommandRow& row : Vorn_SCard_Bridge::command_rows()) {
        for (const std::string& name : Vorn_SCard_Bridge::command_names(row)) {
            out << "\"\\\"" << name << "\\\"\"\n";
        }
    }
    return out.good() ? 0 : 1;
}
