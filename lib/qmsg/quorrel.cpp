#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <new>

#include "qmsg.h"

namespace {

bool same_name(const char* a, const char* b) {
    return a != nullptr && b != nullptr && std::strcmp(a, b) == 0;
}

template <typename Def>
const Def* by_name(const Def* defs, uint16_t count, const char* name) {
    for (uint16_t i = 0; defs != nullptr && i < count; ++i) {
        if (same_name(defs[i].name, name)) {
            return &defs[i];
        }
    }
    return nullptr;
}

template <typename Def>
const Def* by_id(const Def* defs, uint16_t count, uint8_t id) {
    for (uint16_t i = 0; defs != nullptr && i < count; ++i) {
        if (defs[i].id == id) {
            return &defs[i];
        }
    }
    return nullptr;
}

// True when type is an unsigned integer type narrower than the unsigned integer type wide.
bool narrower_unsigned(uint8_t type, uint8_t wide) {
    return (type == QT_UINT8 && (wide == QT_UINT16 || wide == QT_UINT32)) ||
           (type == QT_UINT16 && wide == QT_UINT32);
}

} // namespace

namespace {

struct Fnv1a {
    uint32_t h = 2166136261u;
    void byte(uint8_t b) { h = (h ^ b) * 16777619u; }
    // A record: its kind letter, the id, the type unless null, the name and a closing 0 byte.
    void record(char kind, uint8_t id, const uint8_t* type, const char* name) {
        byte(static_cast<uint8_t>(kind));
        byte(id);
        if (type != nullptr) {
            byte(*type);
        }
        for (const char* c = name != nullptr ? name : ""; *c != '\0'; ++c) {
            byte(static_cast<uint8_t>(*c));
        }
        byte(0);
    }
};

// Calls f with each def in ascending id order; ids are unique within a table.
template <typename Def, typename F>
void each_by_id(const Def* defs, uint16_t count, F f) {
    for (unsigned id = 0; id < 256; ++id) {
        if (const Def* d = by_id(defs, count, static_cast<uint8_t>(id))) {
            f(*d);
        }
    }
}

} // namespace

uint32_t dictionaryHash(const QuorrelDictDef& dict) {
    Fnv1a f;
    each_by_id(dict.msgs, dict.msgCount,
               [&](const QuorrelMsgDef& m) { f.record('m', m.id, nullptr, m.name); });
    each_by_id(dict.tags, dict.tagCount,
               [&](const QuorrelTagDef& t) { f.record('c', t.id, &t.type, t.name); });
    each_by_id(dict.objects, dict.objectCount, [&](const QuorrelObjectDef& o) {
        f.record('o', o.id, nullptr, o.name);
        each_by_id(o.tags, o.tagCount,
                   [&](const QuorrelTagDef& t) { f.record('t', t.id, &t.type, t.name); });
    });
    return f.h;
}

const QuorrelMsgDef* findMessage(const QuorrelDictDef* dict, const char* name) {
    return dict != nullptr ? by_name(dict->msgs, dict->msgCount, name) : nullptr;
}

const QuorrelMsgDef* findMessageById(const QuorrelDictDef* dict, uint8_t id) {
    return dict != nullptr ? by_id(dict->msgs, dict->msgCount, id) : nullptr;
}

const QuorrelTagDef* findCommonTag(const QuorrelDictDef* dict, const char* name) {
    return dict != nullptr ? by_name(dict->tags, dict->tagCount, name) : nullptr;
}

const QuorrelTagDef* findCommonTagById(const QuorrelDictDef* dict, uint8_t id) {
    return dict != nullptr ? by_id(dict->tags, dict->tagCount, id) : nullptr;
}

const QuorrelObjectDef* findObject(const QuorrelDictDef* dict, const char* name) {
    return dict != nullptr ? by_name(dict->objects, dict->objectCount, name) : nullptr;
}

const QuorrelObjectDef* findObjectById(const QuorrelDictDef* dict, uint8_t id) {
    return dict != nullptr ? by_id(dict->objects, dict->objectCount, id) : nullptr;
}

const QuorrelTagDef* findMemberTag(const QuorrelObjectDef* obj, const char* name) {
    return obj != nullptr ? by_name(obj->tags, obj->tagCount, name) : nullptr;
}

const QuorrelTagDef* findMemberTagById(const QuorrelObjectDef* obj, uint8_t id) {
    return obj != nullptr ? by_id(obj->tags, obj->tagCount, id) : nullptr;
}

const char* qtagTypeName(uint8_t type) {
    switch (type) {
    case QT_NULL:
        return "null";
    case QT_STRING:
        return "string";
    case QT_UINT32:
        return "u32";
    case QT_UINT16:
        return "u16";
    case QT_UINT8:
        return "u8";
    case QT_BYTES:
        return "bytes";
    case QT_FLOAT:
        return "float";
    default:
        return "unknown";
    }
}

std::vector<QTag*>* QuorrelObject::getTags() const {
    try {
        return new std::vector<QTag*>(mTags);
    } catch (const std::exception&) {
        return nullptr;
    }
}

QuorrelMessage::~QuorrelMessage() {
    for (QuorrelObject* obj : mObjects) {
        delete obj;
    }
}

std::vector<QTag*>* QuorrelMessage::getTags() const {
    try {
        return new std::vector<QTag*>(mTags);
    } catch (const std::exception&) {
        return nullptr;
    }
}

std::vector<QuorrelObject*>* QuorrelMessage::getObjects() const {
    try {
        return new std::vector<QuorrelObject*>(mObjects);
    } catch (const std::exception&) {
        return nullptr;
    }
}

QTagPlace QDictWalk::place(const QTag& tag) {
    uint8_t id = tag.getTagID();
    uint8_t type = tag.getTagType();
    QTagPlace p{QTagPlace::kUnknown, QTagPlace::kNoPlace, mOpen, nullptr};
    const QuorrelObjectDef* obj = nullptr;
    if ((p.def = findMemberTagById(mOpen, id)) != nullptr) {
        // QT_NULL stands for any member type: a get names what it wants that way. A narrower
        // unsigned integer always fits a wider member: senders built before a member was widened
        // keep working.
        p.kind = QTagPlace::kMember;
        p.fault = type == p.def->type || type == QT_NULL || narrower_unsigned(type, p.def->type)
                      ? QTagPlace::kNoFault
                      : QTagPlace::kWrongType;
    } else if (type == QT_NULL && (obj = findObjectById(mDict, id)) != nullptr) {
        p = {QTagPlace::kOpener, QTagPlace::kNoFault, obj, nullptr};
        mOpen = obj;
    } else if ((p.def = findCommonTagById(mDict, id)) != nullptr) {
        p.kind = QTagPlace::kCommon;
        p.fault = type == p.def->type ? QTagPlace::kNoFault : QTagPlace::kWrongType;
    }
    if (type > QT_FLOAT) {
        p.fault = QTagPlace::kUnknownType;
    }
    return p;
}

namespace {

const char* name_of(const char* name) {
    return name != nullptr ? name : "?";
}

// "interface.mtu (74)", "@status (3)" or "tag 200".
void tag_label(const QDictRefusal& why, char* buf, size_t size) {
    const QTagPlace& p = why.place;
    if (p.kind == QTagPlace::kMember) {
        snprintf(buf, size, "%s.%s (%u)", name_of(p.object->name), name_of(p.def->name),
                 unsigned{why.tagId});
    } else if (p.kind == QTagPlace::kCommon) {
        snprintf(buf, size, "@%s (%u)", name_of(p.def->name), unsigned{why.tagId});
    } else {
        snprintf(buf, size, "tag %u", unsigned{why.tagId});
    }
}

void describe_tag(const QDictRefusal& why, char* buf, size_t size) {
    const QTagPlace& p = why.place;
    const char* given = qtagTypeName(why.tagType);
    char label[96];
    tag_label(why, label, sizeof label);
    switch (p.fault) {
    case QTagPlace::kUnknownType:
        snprintf(buf, size, "%s has unknown type %u", label, unsigned{why.tagType});
        break;
    case QTagPlace::kWrongType:
        snprintf(buf, size, "%s is %s, given %s", label, qtagTypeName(p.def->type), given);
        break;
    case QTagPlace::kNoPlace:
        snprintf(buf, size, "tag %u (%s) is %s%s%snot an object and not a common tag",
                 unsigned{why.tagId}, given, p.object != nullptr ? "not a member of " : "",
                 p.object != nullptr ? name_of(p.object->name) : "",
                 p.object != nullptr ? ", " : "");
        break;
    case QTagPlace::kNoFault:
        snprintf(buf, size, "%s", label);
        break;
    }
}

} // namespace

const char* describeRefusal(const QDictRefusal& why, char* buf, size_t size) {
    if (buf == nullptr || size == 0) {
        return buf;
    }
    buf[0] = '\0';
    switch (why.rule) {
    case QDictRefusal::kAccepted:
        break;
    case QDictRefusal::kNoInput:
        snprintf(buf, size, "no dictionary or no message");
        break;
    case QDictRefusal::kNotWhole:
        snprintf(buf, size, "the message is not whole: a segment of a longer one");
        break;
    case QDictRefusal::kUnknownMessage:
        snprintf(buf, size, "message id %u is not in the dictionary", unsigned{why.msgId});
        break;
    case QDictRefusal::kTagFault:
        describe_tag(why, buf, size);
        break;
    case QDictRefusal::kNoMemory:
        snprintf(buf, size, "out of memory");
        break;
    }
    return buf;
}

QuorrelMessage* QuorrelMessage::parseQMsg(const QuorrelDictDef* dict, QMsg* msg,
                                          QDictRefusal* why) {
    QDictRefusal local;
    QDictRefusal& r = why != nullptr ? *why : local;
    r = QDictRefusal();
    if (dict == nullptr || msg == nullptr) {
        r.rule = QDictRefusal::kNoInput;
        return nullptr;
    }
    r.msgId = msg->getMsgID();
    if (findMessageById(dict, msg->getMsgID()) == nullptr) {
        r.rule = QDictRefusal::kUnknownMessage;
        return nullptr;
    }
    if (!msg->isComplete()) {
        r.rule = QDictRefusal::kNotWhole;
        return nullptr;
    }
    QuorrelMessage* qmsg = new (std::nothrow) QuorrelMessage(msg->getMsgID());
    if (qmsg == nullptr) {
        r.rule = QDictRefusal::kNoMemory;
    } else if (!qmsg->sort_tags(dict, msg->getTagList(), &r)) {
        delete qmsg;
        qmsg = nullptr;
    }
    return qmsg;
}

// Objects are flattened on the wire: an opener's object takes the member tags after it until
// the next object opens; a common tag stays at message level without closing the object.
bool QuorrelMessage::sort_tags(const QuorrelDictDef* dict, const std::vector<QTag*>& tags,
                               QDictRefusal* why) {
    try {
        QDictWalk walk(dict);
        QuorrelObject* open = nullptr;
        for (QTag* tag : tags) {
            QTagPlace p = walk.place(*tag);
            if (p.fault != QTagPlace::kNoFault) {
                *why = {QDictRefusal::kTagFault, mMsgID, tag->getTagID(), tag->getTagType(), p};
                return false;
            }
            if (p.kind == QTagPlace::kMember) {
                open->mTags.push_back(tag);
            } else if (p.kind == QTagPlace::kOpener) {
                std::unique_ptr<QuorrelObject> added(new QuorrelObject(tag->getTagID()));
                mObjects.push_back(added.get());
                open = added.release();
            } else {
                mTags.push_back(tag);
            }
        }
    } catch (const std::exception&) {
        why->rule = QDictRefusal::kNoMemory;
        return false;
    }
    return true;
}
