#include <cstring>

#include "toolkit.h"

namespace toolkit {

OptionReader::OptionReader(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        mArgs.emplace_back(argv[i]);
    }
}

bool OptionReader::next() {
    while (mNext < mArgs.size()) {
        mArg = mArgs[mNext++];
        mName.clear();
        mGlued.clear();
        mHasGlued = false;
        mWord = mOptionsDone || mArg.size() < 2 || mArg[0] != '-';
        if (mWord) {
            return true;
        }
        if (mArg == "--") {
            mOptionsDone = true;
            continue;
        }
        size_t split = mArg[1] == '-' ? mArg.find('=') : 2;
        mName = mArg.substr(0, split);
        if (split != std::string::npos && split < mArg.size()) {
            mGlued = mArg.substr(mArg[1] == '-' ? split + 1 : split);
            mHasGlued = true;
        }
        return true;
    }
    return false;
}

bool OptionReader::is(const char* shortName, const char* longName) const {
    return !mWord && ((shortName != nullptr && mName == shortName) ||
                      (longName != nullptr && mName == longName));
}

bool OptionReader::value(std::string* out, std::string* error) {
    if (mHasGlued) {
        *out = mGlued;
        return true;
    }
    if (mNext >= mArgs.size()) {
        *error = "option '" + mName + "' needs a value";
        return false;
    }
    *out = mArgs[mNext++];
    return true;
}

bool OptionReader::number(uint32_t max, uint32_t* out, std::string* error) {
    std::string v;
    if (!value(&v, error)) {
        return false;
    }
    if (!parseUnsigned(v, max, out)) {
        *error = "bad value '" + v + "' for " + mName + " (a number 0-" + std::to_string(max) + ")";
        return false;
    }
    return true;
}

bool OptionReader::flag(std::string* error) const {
    if (mHasGlued) {
        *error = "option '" + mName + "' takes no value";
        return false;
    }
    return true;
}

} // namespace toolkit
