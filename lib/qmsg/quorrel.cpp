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

} // namespace

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

QuorrelMessage* QuorrelMessage::parseQMsg(const QuorrelDictDef* dict, QMsg* msg) {
    if (dict == nullptr || msg == nullptr || !msg->isComplete() ||
        findMessageById(dict, msg->getMsgID()) == nullptr) {
        return nullptr;
    }
    QuorrelMessage* qmsg = new (std::nothrow) QuorrelMessage(msg->getMsgID());
    if (qmsg != nullptr && !qmsg->sort_tags(dict, msg->getTagList())) {
        delete qmsg;
        qmsg = nullptr;
    }
    return qmsg;
}

// Objects are flattened on the wire: a QT_NULL tag with an object's id opens it and the tags
// after it are its members until the next object opens. Within an open object a tag is first
// taken as a member (QT_NULL stands for any member type, as a get names what it wants); failing
// that, a QT_NULL tag with an object id opens a new object; failing that, it must be a common
// tag of exactly its declared type, which stays at message level without closing the object.
bool QuorrelMessage::sort_tags(const QuorrelDictDef* dict, const std::vector<QTag*>& tags) {
    try {
        const QuorrelObjectDef* openDef = nullptr;
        QuorrelObject* open = nullptr;
        for (QTag* tag : tags) {
            uint8_t id = tag->getTagID();
            uint8_t type = tag->getTagType();
            if (type > QT_FLOAT) {
                return false;
            }
            const QuorrelTagDef* member = findMemberTagById(openDef, id);
            if (member != nullptr) {
                if (type != member->type && type != QT_NULL) {
                    return false;
                }
                open->mTags.push_back(tag);
                continue;
            }
            const QuorrelObjectDef* obj = type == QT_NULL ? findObjectById(dict, id) : nullptr;
            if (obj != nullptr) {
                std::unique_ptr<QuorrelObject> added(new QuorrelObject(id));
                mObjects.push_back(added.get());
                open = added.release();
                openDef = obj;
                continue;
            }
            const QuorrelTagDef* common = findCommonTagById(dict, id);
            if (common == nullptr || common->type != type) {
                return false;
            }
            mTags.push_back(tag);
        }
    } catch (const std::exception&) {
        return false;
    }
    return true;
}
