#include "options.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <utility>

#include "text.h"

namespace toolkit {

namespace {

// Long options get codes above any letter, so a long-only option never collides with one.
constexpr int kLongOnly = 256;

int code_of(const OptionSpec& s, size_t index) {
    return s.shortName != 0 ? static_cast<unsigned char>(s.shortName)
                            : kLongOnly + static_cast<int>(index);
}

const OptionSpec* spec_of(const std::vector<OptionSpec>& specs, int code) {
    for (size_t i = 0; i < specs.size(); ++i) {
        if (code_of(specs[i], i) == code) {
            return &specs[i];
        }
    }
    return nullptr;
}

// The option as written in the argument getopt_long just finished: "--name" or "-x".
std::string given_name(const char* arg, int code) {
    if (arg != nullptr && std::strncmp(arg, "--", 2) == 0) {
        return std::string(arg, std::strcspn(arg, "="));
    }
    return std::string("-") + static_cast<char>(code);
}

// getopt_long's '?' and ':' in the tools' words.
std::string option_error(int c, const std::vector<OptionSpec>& specs, char** argv) {
    const char* arg = argv[optind - 1];
    if (c == ':') {
        return "option '" + given_name(arg, optopt) + "' needs a value";
    }
    if (optopt == 0) {
        return "unknown option '" + std::string(arg) + "'";
    }
    if (spec_of(specs, optopt) != nullptr && std::strncmp(arg, "--", 2) == 0) {
        return "option '" + given_name(arg, optopt) + "' takes no value";
    }
    return "unknown option '-" + std::string(1, static_cast<char>(optopt)) + "'";
}

// Stores value (null for a flag) where s says.
bool store(const OptionSpec& s, const std::string& name, const char* value, std::string* error) {
    switch (s.kind) {
    case OptionSpec::Kind::Flag:
        *s.flag = s.flagValue;
        return true;
    case OptionSpec::Kind::Number: {
        uint32_t n = 0;
        if (!parseUnsigned(value, s.max, &n) || n < s.min) {
            *error = "bad value '" + std::string(value) + "' for " + name + " (a number " +
                     std::to_string(s.min) + "-" + std::to_string(s.max) + ")";
            return false;
        }
        *s.number = n;
        return true;
    }
    case OptionSpec::Kind::Text:
        *s.text = value;
        return true;
    case OptionSpec::Kind::Call:
        return s.call(name, value, error);
    }
    return false;
}

bool take_word(const WordHandler& onWord, const char* word, std::string* error) {
    if (onWord) {
        return onWord(word, error);
    }
    *error = "unexpected argument '" + std::string(word) + "'";
    return false;
}

OptionSpec make_option(const char* longName, char shortName, OptionSpec::Kind kind) {
    OptionSpec s;
    s.longName = longName;
    s.shortName = shortName;
    s.kind = kind;
    return s;
}

} // namespace

OptionSpec flagOption(const char* longName, char shortName, bool* to, bool value) {
    OptionSpec s = make_option(longName, shortName, OptionSpec::Kind::Flag);
    s.flag = to;
    s.flagValue = value;
    return s;
}

OptionSpec numberOption(const char* longName, char shortName, uint32_t* to, uint32_t min,
                        uint32_t max) {
    OptionSpec s = make_option(longName, shortName, OptionSpec::Kind::Number);
    s.number = to;
    s.min = min;
    s.max = max;
    return s;
}

OptionSpec textOption(const char* longName, char shortName, std::string* to) {
    OptionSpec s = make_option(longName, shortName, OptionSpec::Kind::Text);
    s.text = to;
    return s;
}

OptionSpec callOption(const char* longName, char shortName, OptionCall call) {
    OptionSpec s = make_option(longName, shortName, OptionSpec::Kind::Call);
    s.call = std::move(call);
    return s;
}

bool readOptions(int argc, char** argv, const std::vector<OptionSpec>& specs,
                 const WordHandler& onWord, std::string* error) {
    // '-': words come back in place as code 1; ':': no messages of getopt's own.
    std::string shortOpts = "-:";
    std::vector<option> longOpts;
    for (size_t i = 0; i < specs.size(); ++i) {
        const OptionSpec& s = specs[i];
        if (s.shortName != 0) {
            shortOpts += s.shortName;
            shortOpts += s.takesValue() ? ":" : "";
        }
        longOpts.push_back(
            {s.longName, s.takesValue() ? required_argument : no_argument, nullptr, code_of(s, i)});
    }
    longOpts.push_back({nullptr, 0, nullptr, 0});
    optind = 0; // a fresh scan, also when called again
    opterr = 0;
    for (;;) {
        int longIndex = -1;
        int c = getopt_long(argc, argv, shortOpts.c_str(), longOpts.data(), &longIndex);
        if (c == -1) {
            break;
        }
        if (c == 1) {
            if (!take_word(onWord, optarg, error)) {
                return false;
            }
            continue;
        }
        const OptionSpec* s = spec_of(specs, c);
        if (c == '?' || c == ':' || s == nullptr) {
            *error = option_error(c, specs, argv);
            return false;
        }
        std::string name =
            longIndex >= 0 ? std::string("--") + s->longName : std::string("-") + s->shortName;
        if (!store(*s, name, s->takesValue() ? optarg : nullptr, error)) {
            return false;
        }
    }
    for (int i = optind; i < argc; ++i) {
        if (!take_word(onWord, argv[i], error)) {
            return false;
        }
    }
    return true;
}

int usageError(const char* prog, const std::string& text) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", prog, text.c_str(),
                 prog);
    return 2;
}

int guardedMain(const char* prog, int (*run)(int, char**), int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", prog, e.what());
    } catch (...) {
        std::fprintf(stderr, "%s: unexpected failure\n", prog);
    }
    return 1;
}

} // namespace toolkit
