// Replays fuzz inputs without libFuzzer, so that every build runs the corpora: each argument is
// a file, or a folder whose files are taken in name order, and each file's bytes go once to the
// target's LLVMFuzzerTestOneInput. A target that finds a fault aborts; a file that cannot be
// read, or no input at all, fails the run.
#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

std::vector<std::string> inputs_of(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        return {path};
    }
    std::vector<std::string> files;
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            files.push_back(path + "/" + e->d_name);
        }
    }
    closedir(dir);
    std::sort(files.begin(), files.end());
    return files;
}

bool replay(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    std::vector<uint8_t> data(std::istreambuf_iterator<char>(in), {});
    uint8_t none = 0; // libFuzzer never passes a null pointer, not even for no bytes
    LLVMFuzzerTestOneInput(data.empty() ? &none : data.data(), data.size());
    std::printf("%s: %zu bytes\n", path.c_str(), data.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    size_t ran = 0;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        for (const std::string& file : inputs_of(argv[i])) {
            ok = replay(file) && ok;
            ++ran;
        }
    }
    std::printf("%zu inputs replayed\n", ran);
    return ok && ran > 0 ? 0 : 1;
}
