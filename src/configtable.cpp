#include "configtable.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "qmsg.h"
#include "zeldict.h"

namespace {

const char* const kValueCategory = "cTableType";
const char* const kTableCategory = "cConfigTable";
// The longest text or byte string one tag carries.
constexpr size_t kMaxTagBytes = 0xFFFF;

// Truncation toward zero that is defined for every float: NaN gives 0, values beyond the int
// range give the nearest limit.
int float_to_int(float f) {
    if (std::isnan(f)) {
        return 0;
    }
    if (f >= 2147483648.0f) {
        return INT32_MAX;
    }
    if (f < -2147483648.0f) {
        return INT32_MIN;
    }
    return static_cast<int>(f);
}

// %g with six significant digits, independent of the process locale (a script may change it).
std::string float_text(float f) {
    char buf[64];
    auto res =
        std::to_chars(buf, buf + sizeof buf, static_cast<double>(f), std::chars_format::general, 6);
    return std::string(buf, res.ptr);
}

std::string int_text(int n) {
    char buf[16];
    auto res = std::to_chars(buf, buf + sizeof buf, n);
    return std::string(buf, res.ptr);
}

std::string uint_text(uint32_t n) {
    char buf[16];
    auto res = std::to_chars(buf, buf + sizeof buf, n);
    return std::string(buf, res.ptr);
}

std::string pointer_text(const void* p) {
    if (p == nullptr) {
        return "0";
    }
    char buf[2 + 2 * sizeof(uintptr_t)];
    buf[0] = '0';
    buf[1] = 'x';
    auto res = std::to_chars(buf + 2, buf + sizeof buf, reinterpret_cast<uintptr_t>(p), 16);
    return std::string(buf, res.ptr);
}

} // namespace

cTableType::cTableType()
    : cQlog(kValueCategory), mType(TTE_NIL), mWide(false), mData{false, 0, {}, nullptr, 0} {}

cTableType::cTableType(bool b)
    : cQlog(kValueCategory), mType(TTE_BOOL), mWide(false), mData{b, 0, {}, nullptr, 0} {
    debug("Casting Bool Type");
}

cTableType::cTableType(int n)
    : cQlog(kValueCategory), mType(TTE_NUM), mWide(false), mData{false, n, {}, nullptr, 0} {
    debug("Casting Int Type");
}

cTableType::cTableType(std::string s)
    : cQlog(kValueCategory), mType(TTE_STRING),
      mWide(false), mData{false, 0, std::move(s), nullptr, 0} {
    debug("Casting String Type");
}

cTableType::cTableType(cConfigTable* t)
    : cQlog(kValueCategory), mType(TTE_TABLE), mWide(false), mData{false, 0, {}, t, 0} {
    debug("Casting Table Type");
}

cTableType::cTableType(float f)
    : cQlog(kValueCategory), mType(TTE_FLOAT), mWide(false), mData{false, 0, {}, nullptr, f} {
    debug("Casting Float Type");
}

cTableType cTableType::u32(uint32_t v) {
    cTableType t(static_cast<int>(v));
    t.mWide = true;
    return t;
}

cTableType cTableType::bytes(std::string b) {
    cTableType t(std::move(b));
    t.mWide = true;
    return t;
}

cTableType::operator std::string() const {
    switch (mType) {
    case TTE_BOOL:
        return mData.b ? "1" : "0";
    case TTE_NUM:
        return mWide ? uint_text(static_cast<uint32_t>(mData.n)) : int_text(mData.n);
    case TTE_STRING:
        return mData.s;
    case TTE_TABLE:
        return pointer_text(mData.t);
    case TTE_FLOAT:
        return float_text(mData.f);
    case TTE_NIL:
        break;
    }
    return "nil";
}

cTableType::operator cConfigTable*() const {
    return mType == TTE_TABLE ? mData.t : nullptr;
}

cTableType::operator int() const {
    switch (mType) {
    case TTE_BOOL:
        return mData.b ? 1 : 0;
    case TTE_NUM:
        return mData.n;
    case TTE_FLOAT:
        return float_to_int(mData.f);
    default:
        return -1;
    }
}

cTableType::operator bool() const {
    switch (mType) {
    case TTE_BOOL:
        return mData.b;
    case TTE_NUM:
        return mData.n != 0;
    case TTE_FLOAT:
        return mData.f != 0.0f;
    default:
        return false;
    }
}

cTableType::operator float() const {
    switch (mType) {
    case TTE_BOOL:
        return mData.b ? 1.0f : 0.0f;
    case TTE_NUM:
        return mWide ? static_cast<float>(static_cast<uint32_t>(mData.n))
                     : static_cast<float>(mData.n);
    case TTE_FLOAT:
        return mData.f;
    default:
        return -1.0f;
    }
}

bool cTableType::operator<(const cTableType& other) const {
    return reinterpret_cast<uintptr_t>(this) < reinterpret_cast<uintptr_t>(&other);
}

bool cTableType::operator==(const cTableType& other) const {
    switch (mType) {
    case TTE_NIL:
        return true;
    case TTE_BOOL:
        return static_cast<bool>(*this) == static_cast<bool>(other);
    case TTE_NUM:
        return mData.n == static_cast<int>(other);
    case TTE_STRING:
        // Compare without building a copy when the other side is text too.
        if (other.mType == TTE_STRING) {
            return mData.s == other.mData.s;
        }
        return mData.s == static_cast<std::string>(other);
    case TTE_TABLE:
        return mData.t == static_cast<cConfigTable*>(other);
    case TTE_FLOAT:
        return mData.f == static_cast<float>(other);
    }
    return false;
}

cConfigTable::cConfigTableIter::cConfigTableIter(cConfigTable* t) : mTable(t), mIdx(0) {}

void cConfigTable::cConfigTableIter::first() {
    mIdx = 0;
}

bool cConfigTable::cConfigTableIter::next() {
    if (mIdx >= mTable->mTable.size()) {
        return false;
    }
    ++mIdx;
    return true;
}

bool cConfigTable::cConfigTableIter::isPair() const {
    return mIdx < mTable->mTable.size();
}

cTableType cConfigTable::cConfigTableIter::key() const {
    return mTable->mTable[mIdx].first;
}

cTableType cConfigTable::cConfigTableIter::value() const {
    return mTable->mTable[mIdx].second;
}

cConfigTable::cConfigTable() : cQlog(kTableCategory) {}

cConfigTable::~cConfigTable() {
    clear();
}

void cConfigTable::clear() {
    for (auto& entry : mTable) {
        if (entry.second.getType() == cTableType::TTE_TABLE) {
            delete static_cast<cConfigTable*>(entry.second);
        }
    }
    mTable.clear();
    mIncomplete = false;
}

void cConfigTable::insert(std::string key, std::string val) {
    mTable.emplace_back(cTableType(std::move(key)), cTableType(std::move(val)));
}

void cConfigTable::insert(std::string key, int val) {
    mTable.emplace_back(cTableType(std::move(key)), cTableType(val));
}

void cConfigTable::insert(int key, int val) {
    mTable.emplace_back(cTableType(key), cTableType(val));
}

void cConfigTable::insert(int key, std::string val) {
    mTable.emplace_back(cTableType(key), cTableType(std::move(val)));
}

void cConfigTable::insert(int key, cConfigTable* val) {
    mTable.emplace_back(cTableType(key), cTableType(val));
}

void cConfigTable::insert(int key, cTableType val) {
    mTable.emplace_back(cTableType(key), std::move(val));
}

void cConfigTable::insert(int key, float val) {
    mTable.emplace_back(cTableType(key), cTableType(val));
}

void cConfigTable::insert(cTableType key, cTableType val) {
    mTable.emplace_back(std::move(key), std::move(val));
}

void cConfigTable::insert(cTableType key, cConfigTable* val) {
    mTable.emplace_back(std::move(key), cTableType(val));
}

cTableType cConfigTable::get(cTableType key) {
    for (const auto& entry : mTable) {
        if (key == entry.first) {
            return entry.second;
        }
    }
    return cTableType(-1);
}

cTableType cConfigTable::get(std::string key) {
    return get(cTableType(std::move(key)));
}

void cConfigTable::dump_table() {
    if (enabled(DEBUG)) {
        dump_level(0);
    }
}

void cConfigTable::dump_level(int depth) {
    for (auto& entry : mTable) {
        std::string k = static_cast<std::string>(entry.first);
        std::string v = static_cast<std::string>(entry.second);
        debug("%*s[%s] = %s", 2 * depth, "", k.c_str(), v.c_str());
        cConfigTable* nested = static_cast<cConfigTable*>(entry.second);
        if (nested != nullptr) {
            nested->dump_level(depth + 1);
        }
    }
}

cConfigTable::cConfigTable(QuorrelMessage* msg) : cQlog(kTableCategory) {
    std::vector<QTag*>* tags = msg->getTags();
    if (tags != nullptr) {
        for (QTag* tag : *tags) {
            insert(tag);
        }
        delete tags;
    }
    std::vector<QuorrelObject*>* objects = msg->getObjects();
    if (objects != nullptr) {
        int position = 0;
        for (QuorrelObject* obj : *objects) {
            insert(position++, obj);
        }
        delete objects;
    }
}

void cConfigTable::insert(QTag* tag) {
    int id = tag->getTagID();
    switch (tag->getTagType()) {
    case QT_NULL:
        insert(id, cTableType());
        break;
    case QT_STRING: {
        // The text ends at its first NUL byte, as a C string would. The buffer holds up to
        // 65536 bytes: the longest text and its terminator.
        std::string buf(static_cast<size_t>(tag->getDataLength()) + 1, '\0');
        static_cast<QTagString*>(tag)->getValue(&buf[0], buf.size());
        buf.resize(std::strlen(buf.c_str()));
        insert(id, std::move(buf));
        break;
    }
    case QT_UINT32:
        insert(cTableType(id), cTableType::u32(static_cast<QTagUInt32*>(tag)->getValue()));
        break;
    case QT_UINT16:
        insert(id, static_cast<int>(static_cast<QTagUInt16*>(tag)->getValue()));
        break;
    case QT_UINT8:
        insert(id, static_cast<int>(static_cast<QTagUInt8*>(tag)->getValue()));
        break;
    case QT_BYTES:
        insert(cTableType(id),
               cTableType::bytes(std::string(reinterpret_cast<const char*>(tag->getRawData()),
                                             tag->getDataLength())));
        break;
    case QT_FLOAT:
        insert(id, static_cast<QTagUInt32*>(tag)->getFloatValue());
        break;
    default:
        // Types this daemon does not know carry nothing a script can use.
        break;
    }
}

void cConfigTable::insert(int key, QuorrelObject* obj) {
    auto* nested = new cConfigTable();
    std::vector<QTag*>* tags = obj->getTags();
    if (tags != nullptr) {
        for (QTag* tag : *tags) {
            nested->insert(tag);
        }
        delete tags;
    }
    nested->insert(std::string("objid"), static_cast<int>(obj->getID()));
    insert(key, nested);
}

QMsg* cConfigTable::toQMsg(uint8_t msg_id, sReplySize* size) {
    auto* msg = new QMsg(msg_id);
    sReplySize counted;
    bool whole = true;
    addTags(msg, nullptr, &counted, &whole);
    if (size != nullptr) {
        *size = counted;
    }
    if (!whole || mIncomplete) {
        // Part of a reply would read as the whole answer: none is given.
        delete msg;
        return nullptr;
    }
    return msg;
}

namespace {

// Stands for an object the dictionary lacks: it has no members.
const QuorrelObjectDef kUnknownObject = {0, "", nullptr, 0, ""};

// The dictionary's type for tag id in def (an object), or among the common tags when def is
// null; -1 when the dictionary has no such tag.
int declared_type(const QuorrelObjectDef* def, uint8_t id) {
    const QuorrelTagDef* tag =
        def != nullptr ? findMemberTagById(def, id) : findCommonTagById(ZEL::DictDef, id);
    return tag != nullptr ? tag->type : -1;
}

// The tag of a value that is not a table, or null when it cannot be made; text is a string's
// data, sent as bytes when as_bytes.
QTag* scalar_tag(uint8_t id, const cTableType& val, const std::string& text, bool as_bytes) {
    switch (val.getType()) {
    case cTableType::TTE_NIL:
        return QTagFactory::createQTag(id);
    case cTableType::TTE_BOOL:
        return QTagFactory::createQTag(id, static_cast<uint8_t>(static_cast<bool>(val) ? 1 : 0));
    case cTableType::TTE_NUM:
        return QTagFactory::createQTag(id, static_cast<uint32_t>(static_cast<int>(val)));
    case cTableType::TTE_STRING:
        if (text.size() > kMaxTagBytes) {
            return nullptr;
        }
        return as_bytes ? QTagFactory::createQTag(id, reinterpret_cast<const uint8_t*>(text.data()),
                                                  static_cast<uint16_t>(text.size()))
                        : QTagFactory::createQTag(id, text.c_str());
    case cTableType::TTE_FLOAT:
        return QTagFactory::createQTag(id, static_cast<float>(val), false);
    case cTableType::TTE_TABLE:
        break;
    }
    return nullptr;
}

} // namespace

void cConfigTable::addTags(QMsg* msg, const QuorrelObjectDef* def, sReplySize* size, bool* whole) {
    for (auto& entry : mTable) {
        int key = static_cast<int>(entry.first);
        if (key < 0) {
            continue;
        }
        auto id = static_cast<uint8_t>(key & 0xff);
        const cTableType& val = entry.second;
        if (val.getType() == cTableType::TTE_TABLE) {
            cConfigTable* nested = static_cast<cConfigTable*>(val);
            if (nested == nullptr) {
                continue;
            }
            auto objid =
                static_cast<uint8_t>(static_cast<int>(nested->get(std::string("objid"))) & 0xff);
            ++size->tags;
            if (*whole && !msg->addTag(QTagFactory::createQTag(objid))) {
                *whole = false;
            }
            const QuorrelObjectDef* nested_def = findObjectById(ZEL::DictDef, objid);
            nested->addTags(msg, nested_def != nullptr ? nested_def : &kUnknownObject, size, whole);
            continue;
        }
        // The data a tag of this value carries: its length counts against the message's limit
        // also once the message is known not to be whole.
        std::string text;
        bool as_bytes = false;
        size_t length = 0;
        switch (val.getType()) {
        case cTableType::TTE_BOOL:
            length = 1;
            break;
        case cTableType::TTE_NUM:
        case cTableType::TTE_FLOAT:
            length = 4;
            break;
        case cTableType::TTE_STRING:
            text = static_cast<std::string>(val);
            as_bytes = declared_type(def, id) == QT_BYTES;
            if (!as_bytes) {
                text.resize(std::strlen(text.c_str()));
            }
            length = text.size();
            break;
        default:
            break;
        }
        ++size->tags;
        size->bytes += length;
        if (!*whole) {
            continue;
        }
        QTag* tag = scalar_tag(id, val, text, as_bytes);
        // addTag takes the tag in every case and refuses a null one.
        if (!msg->addTag(tag)) {
            *whole = false;
        }
    }
}
