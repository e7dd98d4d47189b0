#include "selfdesc.h"

#include <string>

#include "configscript.h"
#include "configtable.h"

namespace {

enum : int { kVersion = 96, kDictionary, kServed, kWritable, kFeatures, kUptime, kPending };
constexpr int kObjectKey = 100; // clashes with no common tag

// The object of the request, or null.
const cConfigTable* object_of(const cConfigTable& request) {
    for (size_t i = 0; i < request.size(); ++i) {
        if (request.valueAt(i).getType() == cTableType::TTE_TABLE) {
            return static_cast<cConfigTable*>(request.valueAt(i));
        }
    }
    return nullptr;
}

// Whether obj names member m, or names none at all.
bool wanted(const cConfigTable* obj, int m) {
    bool any = false;
    for (size_t i = 0; obj != nullptr && i < obj->size(); ++i) {
        const cTableType& k = obj->keyAt(i);
        if (k.getType() == cTableType::TTE_NUM) {
            any = true;
            if (static_cast<int>(k) == m) {
                return true;
            }
        }
    }
    return !any;
}

std::string id_bytes(const std::vector<int>& ids) {
    std::string out;
    for (int id : ids) {
        out += static_cast<char>(static_cast<uint8_t>(id));
    }
    return out;
}

} // namespace

bool addressesSelf(const cConfigTable& request) {
    bool any = false;
    for (size_t i = 0; i < request.size(); ++i) {
        if (request.valueAt(i).getType() != cTableType::TTE_TABLE) {
            continue;
        }
        auto* obj = static_cast<cConfigTable*>(request.valueAt(i));
        if (obj == nullptr ||
            static_cast<int>(obj->get(std::string("objid"))) != cConfigScript::kDaemonObject) {
            return false;
        }
        any = true;
    }
    return any;
}

void describeSelf(const sSelfDescription& d, const cConfigTable& request, cConfigTable* out) {
    const cConfigTable* asked = object_of(request);
    auto* obj = new cConfigTable();
    out->insert(kObjectKey, obj);
    auto add = [&](int member, const cTableType& value) {
        if (wanted(asked, member)) {
            obj->insert(member, value);
        }
    };
    add(kVersion, cTableType(std::string(d.version)));
    add(kDictionary, cTableType::u32(d.dictionary));
    add(kServed, cTableType::bytes(id_bytes(d.served)));
    add(kWritable, cTableType::bytes(d.writer ? id_bytes(d.served) : std::string()));
    add(kFeatures, cTableType::u32(d.features));
    add(kUptime, cTableType::u32(d.uptime));
    add(kPending, cTableType::u32(d.pending));
    obj->insert(std::string("objid"), cConfigScript::kDaemonObject);
}
