// Replays fuzz inputs without libFuzzer, so that every build runs the corpora: each argument is
// a file, or a folder whose files are taken in name order, and each file's bytes go once to the
// target's LLVMFuzzerTestOneInput. A target that finds a fault aborts; a folder that cannot be
// listed, a file that cannot be read, or no input at all, fails the run.
// 64-bit directory offsets and inode numbers on 32-bit targets too: readdir would otherwise fail
// on large file systems.
#define _FILE_OFFSET_BITS 64
#include <dirent.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    std::vector<std::string> files;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        DIR* dir = opendir(argv[i]);
        if (dir == nullptr) {
            files.emplace_back(argv[i]);
            continue;
        }
        auto first = static_cast<std::ptrdiff_t>(files.size());
        errno = 0;
        while (const dirent* e = readdir(dir)) {
            if (e->d_name[0] != '.') {
                files.push_back(std::string(argv[i]) + "/" + e->d_name);
            }
        }
        if (errno != 0) {
            std::fprintf(stderr, "cannot list %s\n", argv[i]);
            ok = false;
        }
        closedir(dir);
        std::sort(files.begin() + first, files.end());
    }
    for (const std::string& path : files) {
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> data(std::istreambuf_iterator<char>(in), {});
        uint8_t none = 0; // libFuzzer never passes a null pointer, not even for no bytes
        if (!in.is_open()) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            ok = false;
        } else {
            LLVMFuzzerTestOneInput(data.empty() ? &none : data.data(), data.size());
            std::printf("%s: %zu bytes\n", path.c_str(), data.size());
        }
    }
    std::printf("%zu inputs replayed\n", files.size());
    return ok && !files.empty() ? 0 : 1;
}
