// quorrel-dict-lua: writes the Wireshark dissector with the device dictionary filled in.
//
//   quorrel-dict-lua TEMPLATE OUTPUT
//
// Copies TEMPLATE (tools/wireshark/quorrel.lua) to OUTPUT, replacing the lines from the one
// holding kBegin to the one holding kEnd with the dictionary of libzeldict as Lua tables, so the
// dissector never keeps a copy of the dictionary by hand. Runs at build time; exit status 0 on
// success, 1 on a missing marker or an I/O failure, 2 on a usage error.
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "options.h"
#include "qmsg.h"
#include "zeldict.h"

namespace {

const char kBegin[] = "-- BEGIN GENERATED DICTIONARY";
const char kEnd[] = "-- END GENERATED DICTIONARY";

// A Lua string literal: printable ASCII as it is, everything else as a decimal escape.
std::string lua_string(const char* text) {
    std::string out = "\"";
    for (const char* p = text != nullptr ? text : ""; *p != '\0'; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\" + std::to_string(c);
        }
    }
    return out + "\"";
}

std::string tag_row(const QuorrelTagDef& t, const char* indent) {
    return std::string(indent) + "[" + std::to_string(t.id) + "] = {name = " + lua_string(t.name) +
           ", type = " + std::to_string(t.type) + ", help = " + lua_string(t.help) + "},\n";
}

std::string dictionary_lua(const QuorrelDictDef& d) {
    std::string out = std::string(kBegin) + " (from libzeldict by quorrel-dict-lua)\n";
    out += "local dictionary = {\n    name = " + lua_string(d.name) + ",\n    messages = {\n";
    for (uint16_t i = 0; i < d.msgCount; ++i) {
        out += "        [" + std::to_string(d.msgs[i].id) +
               "] = {name = " + lua_string(d.msgs[i].name) +
               ", help = " + lua_string(d.msgs[i].help) + "},\n";
    }
    out += "    },\n    common = {\n";
    for (uint16_t i = 0; i < d.tagCount; ++i) {
        out += tag_row(d.tags[i], "        ");
    }
    out += "    },\n    objects = {\n";
    for (uint16_t i = 0; i < d.objectCount; ++i) {
        const QuorrelObjectDef& o = d.objects[i];
        out += "        [" + std::to_string(o.id) + "] = {name = " + lua_string(o.name) +
               ", help = " + lua_string(o.help) + ", members = {\n";
        for (uint16_t j = 0; j < o.tagCount; ++j) {
            out += tag_row(o.tags[j], "            ");
        }
        out += "        }},\n";
    }
    return out + "    },\n}\n" + kEnd + "\n";
}

int run(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: quorrel-dict-lua TEMPLATE OUTPUT\n");
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::fprintf(stderr, "quorrel-dict-lua: cannot read %s\n", argv[1]);
        return 1;
    }
    std::ostringstream out;
    std::string line;
    int state = 0; // 0 before the block, 1 inside it, 2 after it
    while (std::getline(in, line)) {
        if (state == 0 && line.find(kBegin) != std::string::npos) {
            out << dictionary_lua(*ZEL::DictDef);
            state = 1;
        } else if (state == 1) {
            state = line.find(kEnd) != std::string::npos ? 2 : 1;
        } else {
            out << line << '\n';
        }
    }
    if (state != 2) {
        std::fprintf(stderr, "quorrel-dict-lua: %s lacks the dictionary markers\n", argv[1]);
        return 1;
    }
    std::ofstream file(argv[2], std::ios::trunc);
    file << out.str();
    file.close();
    if (!file) {
        std::fprintf(stderr, "quorrel-dict-lua: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    return toolkit::guardedMain("quorrel-dict-lua", run, argc, argv);
}
