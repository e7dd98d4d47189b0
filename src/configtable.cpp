#include "configtable.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
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

namespace {

bool is_unsigned_type(uint8_t type) {
    return type == QT_UINT8 || type == QT_UINT16 || type == QT_UINT32;
}

uint32_t max_of(uint8_t type) {
    return type == QT_UINT8 ? 0xFFu : type == QT_UINT16 ? 0xFFFFu : 0xFFFFFFFFu;
}

// One value as it goes on the wire: its tag type and, for the fixed-size ones, its number.
struct sWireValue {
    uint8_t type = QT_NULL;
    uint32_t number = 0;
    float real = 0.0f;
};

// How val goes out under a tag the dictionary declares of type declared, a member of an object
// or a common tag; false when the value is of another kind or outside the type's range.
bool wire_value(uint8_t declared, bool member, const cTableType& val, sWireValue* out) {
    switch (val.getType()) {
    case cTableType::TTE_NIL:
        // The dictionary takes QT_NULL for a member, never for a common tag.
        out->type = QT_NULL;
        return member;
    case cTableType::TTE_BOOL:
        out->type = declared;
        out->number = static_cast<bool>(val) ? 1 : 0;
        return is_unsigned_type(declared);
    case cTableType::TTE_NUM: {
        // A Lua float with a whole value crosses as an integer (0.00 among them).
        if (declared == QT_FLOAT) {
            out->type = QT_FLOAT;
            out->real = static_cast<float>(val);
            return true;
        }
        int n = static_cast<int>(val);
        out->type = declared;
        out->number = static_cast<uint32_t>(n);
        return is_unsigned_type(declared) && (n >= 0 || val.isUnsigned()) &&
               out->number <= max_of(declared);
    }
    case cTableType::TTE_FLOAT:
        out->type = QT_FLOAT;
        out->real = static_cast<float>(val);
        return declared == QT_FLOAT;
    case cTableType::TTE_STRING:
        out->type = declared;
        return declared == QT_STRING || declared == QT_BYTES;
    case cTableType::TTE_TABLE:
        break;
    }
    return false;
}

// The data length of a tag of type; text is the value of a string or bytes tag, which a string
// tag carries up to its first NUL.
size_t wire_length(uint8_t type, const std::string& text) {
    switch (type) {
    case QT_UINT8:
        return 1;
    case QT_UINT16:
        return 2;
    case QT_UINT32:
    case QT_FLOAT:
        return 4;
    case QT_STRING:
        return std::strlen(text.c_str());
    case QT_BYTES:
        return text.size();
    default:
        return 0;
    }
}

// The tag of a wire value of length bytes (see wire_length), or null when it cannot be made.
QTag* wire_tag(uint8_t id, const sWireValue& w, const std::string& text, size_t length) {
    switch (w.type) {
    case QT_NULL:
        return QTagFactory::createQTag(id);
    case QT_UINT8:
        return QTagFactory::createQTag(id, static_cast<uint8_t>(w.number));
    case QT_UINT16:
        return QTagFactory::createQTag(id, static_cast<uint16_t>(w.number));
    case QT_UINT32:
        return QTagFactory::createQTag(id, w.number);
    case QT_FLOAT:
        return QTagFactory::createQTag(id, w.real, false);
    case QT_STRING:
    case QT_BYTES:
        if (length > kMaxTagBytes) {
            return nullptr;
        }
        return w.type == QT_BYTES
                   ? QTagFactory::createQTag(id, reinterpret_cast<const uint8_t*>(text.data()),
                                             static_cast<uint16_t>(length))
                   : QTagFactory::createQTag(id, text.c_str());
    default:
        return nullptr;
    }
}

// val, printable and cut to fit buf (see sReplyInfo::value); no allocation.
void value_text(const cTableType& val, char* buf, size_t size) {
    switch (val.getType()) {
    case cTableType::TTE_NIL:
        snprintf(buf, size, "nil");
        return;
    case cTableType::TTE_BOOL:
        snprintf(buf, size, "%s", static_cast<bool>(val) ? "true" : "false");
        return;
    case cTableType::TTE_NUM:
        if (val.isUnsigned()) {
            snprintf(buf, size, "%lu",
                     static_cast<unsigned long>(static_cast<uint32_t>(static_cast<int>(val))));
        } else {
            snprintf(buf, size, "%d", static_cast<int>(val));
        }
        return;
    case cTableType::TTE_FLOAT:
        snprintf(buf, size, "%g", static_cast<double>(static_cast<float>(val)));
        return;
    case cTableType::TTE_TABLE:
        snprintf(buf, size, "object");
        return;
    case cTableType::TTE_STRING:
        break;
    }
    const std::string& s = val.text();
    // Room for the closing quote, "..." and the NUL.
    size_t end = size - 5;
    size_t at = 0;
    buf[at++] = '"';
    size_t i = 0;
    for (; i < s.size(); ++i) {
        auto c = static_cast<unsigned char>(s[i]);
        bool plain = c >= 0x20 && c < 0x7F && c != '"' && c != '\\';
        if (at + (plain ? 1 : 4) > end) {
            break;
        }
        if (plain) {
            buf[at++] = static_cast<char>(c);
        } else {
            snprintf(buf + at, 5, "\\x%02x", c);
            at += 4;
        }
    }
    snprintf(buf + at, size - at, "\"%s", i < s.size() ? "..." : "");
}

// Records the entry the dictionary refuses in the reply's fault details; always false.
bool refuse_tag(cConfigTable::sReplyInfo* info, int32_t tag_id, const QuorrelObjectDef* def,
                const QuorrelTagDef* tag_def, const cTableType& val) {
    info->tagId = tag_id;
    info->objectId = def != nullptr ? def->id : -1;
    info->def = tag_def;
    value_text(val, info->value, sizeof info->value);
    return false;
}

} // namespace

QMsg* cConfigTable::toQMsg(uint8_t msg_id, sReplyInfo* info) {
    auto* msg = new QMsg(msg_id);
    sReplyInfo local;
    sReplyInfo& r = info != nullptr ? *info : local;
    r = sReplyInfo();
    bool whole = true;
    bool allowed = add_tags(msg, nullptr, &r, &whole);
    if (mIncomplete || (allowed && !whole)) {
        // Part of a reply would read as the whole answer: none is given.
        r.fault = sReplyInfo::FAULT_TOO_LARGE;
    } else if (!allowed) {
        r.fault = sReplyInfo::FAULT_DICTIONARY;
    }
    if (r.fault != sReplyInfo::FAULT_NONE) {
        delete msg;
        return nullptr;
    }
    return msg;
}

bool cConfigTable::add_object(QMsg* msg, const QuorrelObjectDef* def, const cTableType& val,
                              sReplyInfo* info, bool* whole) {
    cConfigTable* nested = static_cast<cConfigTable*>(val);
    if (nested == nullptr) {
        return true;
    }
    int objid = static_cast<int>(nested->get(std::string("objid")));
    const QuorrelObjectDef* nested_def =
        objid >= 0 && objid <= 0xFF ? findObjectById(ZEL::DictDef, static_cast<uint8_t>(objid))
                                    : nullptr;
    // Objects stand at message level only: on the wire an object's members follow its
    // id tag, and a member after an inner object would read as the inner one's.
    if (nested_def == nullptr || def != nullptr) {
        return refuse_tag(info, objid, def, nullptr, val);
    }
    ++info->tags;
    if (*whole && !msg->addTag(QTagFactory::createQTag(nested_def->id))) {
        *whole = false;
    }
    return nested->add_tags(msg, nested_def, info, whole);
}

bool cConfigTable::add_tags(QMsg* msg, const QuorrelObjectDef* def, sReplyInfo* info, bool* whole) {
    for (auto& entry : mTable) {
        int key = static_cast<int>(entry.first);
        if (key < 0) {
            continue;
        }
        const cTableType& val = entry.second;
        if (val.getType() == cTableType::TTE_TABLE) {
            if (!add_object(msg, def, val, info, whole)) {
                return false;
            }
            continue;
        }
        // The one look-up per entry: the tag's type where it stands, which sets its width.
        const QuorrelTagDef* tag_def = nullptr;
        if (key <= 0xFF) {
            auto id = static_cast<uint8_t>(key);
            tag_def =
                def != nullptr ? findMemberTagById(def, id) : findCommonTagById(ZEL::DictDef, id);
        }
        sWireValue w;
        if (tag_def == nullptr || !wire_value(tag_def->type, def != nullptr, val, &w)) {
            return refuse_tag(info, key, def, tag_def, val);
        }
        // The data a tag of this value carries: its length counts against the message's limit
        // also once the message is known not to be whole.
        size_t length = wire_length(w.type, val.text());
        ++info->tags;
        info->bytes += length;
        if (!*whole) {
            continue;
        }
        // addTag takes the tag in every case and refuses a null one.
        if (!msg->addTag(wire_tag(tag_def->id, w, val.text(), length))) {
            *whole = false;
        }
    }
    return true;
}

const char* cConfigTable::describeFault(const sReplyInfo& info, char* buf, size_t size) {
    if (buf == nullptr || size == 0) {
        return buf;
    }
    buf[0] = '\0';
    if (info.fault == sReplyInfo::FAULT_TOO_LARGE) {
        snprintf(buf, size, "%lu tags, %llu bytes of data", static_cast<unsigned long>(info.tags),
                 static_cast<unsigned long long>(info.bytes));
        return buf;
    }
    if (info.fault != sReplyInfo::FAULT_DICTIONARY) {
        return buf;
    }
    const QuorrelObjectDef* obj =
        info.objectId >= 0 && info.objectId <= 0xFF
            ? findObjectById(ZEL::DictDef, static_cast<uint8_t>(info.objectId))
            : nullptr;
    const char* obj_name = obj != nullptr ? obj->name : "?";
    if (info.def != nullptr) {
        snprintf(buf, size, "%s%s%s (%ld) is %s, given %s", obj != nullptr ? obj_name : "@",
                 obj != nullptr ? "." : "", info.def->name, static_cast<long>(info.tagId),
                 qtagTypeName(info.def->type), info.value);
    } else if (std::strcmp(info.value, "object") == 0 && obj != nullptr) {
        // Only a table prints so; a text is quoted.
        snprintf(buf, size, "object id %ld stands inside %s: objects do not nest",
                 static_cast<long>(info.tagId), obj_name);
    } else if (std::strcmp(info.value, "object") == 0) {
        snprintf(buf, size, "object id %ld is not in the dictionary",
                 static_cast<long>(info.tagId));
    } else if (obj != nullptr) {
        snprintf(buf, size, "tag %ld is not a member of %s, given %s",
                 static_cast<long>(info.tagId), obj_name, info.value);
    } else {
        snprintf(buf, size, "tag %ld is not a common tag, given %s", static_cast<long>(info.tagId),
                 info.value);
    }
    return buf;
}
