// Command lines of the operator tools: options read with getopt_long straight into the tool's
// fields, the usage-error message and the guard around main.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace toolkit {

// Checks and stores the value of an option that no plain destination fits; name is the option
// as given ("-t" or "--timeout"). False with *error set refuses it.
using OptionCall =
    std::function<bool(const std::string& name, const char* value, std::string* error)>;

// One option of a tool: long name (without "--"), short letter (0: none) and where its value
// goes. Made with the functions below; the destinations must outlive readOptions.
struct OptionSpec {
    enum class Kind { Flag, Number, Text, Call };

    const char* longName = nullptr;
    char shortName = 0;
    Kind kind = Kind::Flag;
    bool* flag = nullptr; // Flag: set to flagValue
    bool flagValue = true;
    uint32_t* number = nullptr; // Number: checked against min..max, then stored
    uint32_t min = 0;
    uint32_t max = 0;
    std::string* text = nullptr; // Text: stored as given
    OptionCall call;             // Call: handed the value

    bool takesValue() const { return kind != Kind::Flag; }
};

// An option without a value that sets *to to value.
OptionSpec flagOption(const char* longName, char shortName, bool* to, bool value = true);
// A number min..max (decimal or 0x-hex) into *to; otherwise refused with "bad value 'V' for
// NAME (a number MIN-MAX)".
OptionSpec numberOption(const char* longName, char shortName, uint32_t* to, uint32_t min,
                        uint32_t max);
// Any text into *to.
OptionSpec textOption(const char* longName, char shortName, std::string* to);
// An option with a value that call checks and stores.
OptionSpec callOption(const char* longName, char shortName, OptionCall call);

// Called per word (an argument that is no option); false with *error set refuses it. Without
// one, a word is refused as "unexpected argument 'WORD'".
using WordHandler = std::function<bool(const char* word, std::string* error)>;

// Reads argv[1..] with getopt_long, in argument order, storing each option's value where its
// OptionSpec says: "-x VALUE", "-xVALUE", "--long VALUE", "--long=VALUE", flags grouped ("-jf") and
// unambiguous abbreviations of long names. Words may stand between options; "--" makes every
// later argument a word. Stops at the first refusal: false with *error set on an unknown option
// ("unknown option '--x'"), a missing value ("option '--port' needs a value"), a value given to
// a flag ("option '--json' takes no value"), a bad number, or a refusal of a call or onWord;
// what came before it is stored. Uses getopt's global state: one call at a time, main thread.
bool readOptions(int argc, char** argv, const std::vector<OptionSpec>& specs,
                 const WordHandler& onWord, std::string* error);

// Prints "PROG: TEXT" and "Try 'PROG --help' for more information." on stderr; returns 2.
int usageError(const char* prog, const std::string& text);

// run(argc, argv)'s status; an exception that escapes it is printed as "PROG: WHAT" on stderr
// (any other exception as "PROG: unexpected failure") and gives status 1, so main never ends in
// std::terminate.
int guardedMain(const char* prog, int (*run)(int, char**), int argc, char** argv);

} // namespace toolkit
