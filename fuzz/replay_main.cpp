// Replays fuzz inputs without libFuzzer, so that every build runs the corpora: each argument is
// a file, or a folder whose files are taken in name order, and each file's bytes go once to the
// target's LLVMFuzzerTestOneInput. A target that finds a fault aborts; a file that cannot be
// read, or no input at all, fails the run.
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

namespace {

// Appends path to *files, or when it is a folder, the files in it in name order.
bool add_inputs(const std::string& path, std::vector<std::string>* files) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        files->push_back(path);
        return true;
    }
    std::vector<std::string> found;
    errno = 0;
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') {
            found.push_back(path + "/" + e->d_name);
        }
    }
    bool listed = errno == 0;
    closedir(dir);
    if (!listed) {
        std::fprintf(stderr, "cannot list %s\n", path.c_str());
    }
    std::sort(found.begin(), found.end());
    files->insert(files->end(), found.begin(), found.end());
    return listed;
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
    std::vector<std::string> files;
    bool ok = true;
    for (int i = 1; i < argc; ++i) {
        ok = add_inputs(argv[i], &files) && ok;
    }
    for (const std::string& file : files) {
        ok = replay(file) && ok;
    }
    std::printf("%zu inputs replayed\n", files.size());
    return ok && !files.empty() ? 0 : 1;
}
