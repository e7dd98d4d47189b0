// Command lines of the operator tools: options read with getopt_long, checked numbers, the
// usage-error message and the guard around main.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace toolkit {

// One option of a tool: long name (without "--"), short letter (0: none), whether it takes a
// value, and the id handed to the tool's handler.
struct OptionSpec {
    const char* longName;
    char shortName;
    bool takesValue;
    int id;
};

// Called per option with its id, its name as given ("-p" or "--port") and its value (null for
// an option that takes none); false with *error set refuses it.
using OptionHandler =
    std::function<bool(int id, const std::string& name, const char* value, std::string* error)>;
// Called per word (an argument that is no option); false with *error set refuses it. Without
// one, a word is refused as "unexpected argument 'WORD'".
using WordHandler = std::function<bool(const char* word, std::string* error)>;

// Reads argv[1..] with getopt_long, in argument order: "-x VALUE", "-xVALUE", "--long VALUE",
// "--long=VALUE", flags grouped ("-jf") and unambiguous abbreviations of long names. Words may
// stand between options; "--" makes every later argument a word. Stops at the first refusal:
// false with *error set on an unknown option ("unknown option '--x'"), a missing value ("option
// '--port' needs a value"), a value given to a flag ("option '--json' takes no value") or a
// handler's refusal. Uses getopt's global state: one call at a time, main thread.
bool readOptions(int argc, char** argv, const std::vector<OptionSpec>& specs,
                 const OptionHandler& onOption, const WordHandler& onWord, std::string* error);

// value as a number 0..max (decimal or 0x-hex); false with *error "bad value 'V' for NAME (a
// number 0-MAX)" otherwise.
bool optionNumber(const std::string& name, const char* value, uint32_t max, uint32_t* out,
                  std::string* error);

// Prints "PROG: TEXT" and "Try 'PROG --help' for more information." on stderr; returns 2.
int usageError(const char* prog, const std::string& text);

// run(argc, argv)'s status; an exception that escapes it is printed as "PROG: WHAT" on stderr
// (any other exception as "PROG: unexpected failure") and gives status 1, so main never ends in
// std::terminate.
int guardedMain(const char* prog, int (*run)(int, char**), int argc, char** argv);

} // namespace toolkit
