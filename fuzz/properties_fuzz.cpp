// Settings files of any content: cProperties must read them without crashing, and every value
// it hands out must come back the same on a second look.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#include "properties.h"
#include "qlog.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool quiet = [] {
        cQlog::getLog("cProperties").setPriority(log4cpp::Priority::FATAL);
        return true;
    }();
    int fd = memfd_create("settings", 0);
    if (fd < 0) {
        return 0;
    }
    if (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size)) {
        close(fd);
        return 0;
    }
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    cProperties props;
    props.load(path.c_str());
    close(fd);
    for (const char* key : {"tamo.broker.port", "tamo.north.port", "tamo.north.host", "a"}) {
        std::string first = props.getString(key, "default");
        int n = props.getInt(key, -12345);
        if (first != props.getString(key, "default") || n != props.getInt(key, -12345)) {
            std::abort();
        }
    }
    return 0;
}
