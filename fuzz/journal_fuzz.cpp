// Journal files of any content: decode refuses them with a reason or yields a journal that
// encodes back to the same bytes (the encoding is canonical), whose object messages become
// request tables, and whose object tables become message bytes that stay the same on a second
// trip. Each input is also tried with its checksum made right, so the fuzzer gets past the
// checksum to the fields and the object messages. Any breach aborts.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "configtable.h"
#include "journal.h"
#include "qlog.h"

namespace {

void require(bool ok) {
    if (!ok) {
        std::abort();
    }
}

// The object message bytes as a table, found in it, and as bytes again; empty when refused.
std::string object_trip(const std::string& bytes, uint8_t objectId) {
    std::string why;
    std::unique_ptr<cConfigTable> table(journal::tableFromBytes(bytes, &why));
    require(table != nullptr);
    cConfigTable* obj = journal::findObject(table.get(), objectId);
    require(obj != nullptr);
    std::string again;
    require(journal::objectBytes(obj, &again, &why));
    return again;
}

void check(const uint8_t* data, size_t size) {
    sJournal j;
    std::string why;
    if (!journal::decode(data, size, &j, &why)) {
        require(!why.empty() && j.objects.empty());
        return;
    }
    std::string again;
    require(journal::encode(j, &again, &why) && again.size() == size &&
            std::memcmp(again.data(), data, size) == 0);
    for (const sJournalObject& o : j.objects) {
        for (const std::string* msg : {&o.write, &o.before}) {
            if (msg->empty()) {
                continue;
            }
            std::string once = object_trip(*msg, o.objectId);
            require(object_trip(once, o.objectId) == once);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    [[maybe_unused]] static const bool quiet = [] {
        log4cpp::Category::getRoot().setPriority(log4cpp::Priority::FATAL);
        return true;
    }();
    check(data, size);
    if (size < 4 || size > journal::kMaxBytes) {
        return 0;
    }
    std::vector<uint8_t> sealed(data, data + size);
    uint32_t crc = journal::checksum(sealed.data(), size - 4);
    for (size_t i = 0; i < 4; ++i) {
        sealed[size - 4 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    }
    check(sealed.data(), size);
    return 0;
}
