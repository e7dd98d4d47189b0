#include "request.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <exception>

#include "text.h"
#include "zeldict.h"

namespace toolkit {

namespace {

constexpr int kTypeUnknown = -1;

struct TypeWord {
    const char* word;
    uint8_t type;
};

constexpr TypeWord kTypeWords[] = {
    {"str", QT_STRING}, {"string", QT_STRING}, {"u8", QT_UINT8},    {"u16", QT_UINT16},
    {"u32", QT_UINT32}, {"float", QT_FLOAT},   {"bytes", QT_BYTES},
};

bool parse_id(const std::string& text, uint8_t* id) {
    uint32_t v = 0;
    if (!parseUnsigned(text, 255, &v)) {
        return false;
    }
    *id = static_cast<uint8_t>(v);
    return true;
}

// The dictionary entry called name in scope, or the one numbered name (null when scope lacks
// that number); false when name is neither a known name nor a number 0-255.
template <typename Scope, typename Def>
bool find_def(Scope scope, const std::string& name, const Def* (*byName)(Scope, const char*),
              const Def* (*byId)(Scope, uint8_t), const Def** def, uint8_t* id) {
    *def = byName(scope, name.c_str());
    if (*def != nullptr) {
        *id = (*def)->id;
        return true;
    }
    if (!parse_id(name, id)) {
        return false;
    }
    *def = byId(scope, *id);
    return true;
}

bool parse_float(const std::string& text, float* out) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])) != 0) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    float v = std::strtof(text.c_str(), &end);
    // strtof reports ERANGE also for subnormals, which a float carries: only an overflow to
    // infinity is refused ("inf" itself is read without it).
    if (end != text.c_str() + text.size() || (errno == ERANGE && std::isinf(v))) {
        return false;
    }
    *out = v;
    return true;
}

// A tag of the given type from its value text; null with *error set when the text does not
// fit the type.
QTag* make_value_tag(uint8_t id, uint8_t type, const std::string& text, std::string* error) {
    uint32_t n = 0;
    switch (type) {
    case QT_STRING:
        if (text.size() > 0xFFFF) {
            *error = "text longer than 65535 bytes";
            return nullptr;
        }
        return QTagFactory::createQTag(id, text.c_str());
    case QT_UINT8:
        if (!parseUnsigned(text, 0xFF, &n)) {
            *error = "'" + text + "' is not a u8 (0-255)";
            return nullptr;
        }
        return QTagFactory::createQTag(id, static_cast<uint8_t>(n));
    case QT_UINT16:
        if (!parseUnsigned(text, 0xFFFF, &n)) {
            *error = "'" + text + "' is not a u16 (0-65535)";
            return nullptr;
        }
        return QTagFactory::createQTag(id, static_cast<uint16_t>(n));
    case QT_UINT32:
        if (!parseUnsigned(text, 0xFFFFFFFF, &n)) {
            *error = "'" + text + "' is not a u32 (0-4294967295)";
            return nullptr;
        }
        return QTagFactory::createQTag(id, n);
    case QT_FLOAT: {
        float f = 0;
        if (!parse_float(text, &f)) {
            *error = "'" + text + "' is not a float";
            return nullptr;
        }
        return QTagFactory::createQTag(id, f, false);
    }
    case QT_BYTES: {
        Bytes bytes;
        if (!parseHex(text, &bytes) || bytes.size() > 0xFFFF) {
            *error = "'" + text + "' is not hex bytes";
            return nullptr;
        }
        return QTagFactory::createQTag(id, bytes.data(), static_cast<uint16_t>(bytes.size()));
    }
    default:
        *error = "tags of this type cannot be given on the command line";
        return nullptr;
    }
}

// The tag for one word's value part. The word "null" and a missing value give a QT_NULL tag;
// a recognised "type:" prefix overrides the dictionary's type (use str: for text that starts
// like one, or for the text "null").
QTag* make_tag(uint8_t id, int knownType, bool hasValue, const std::string& value,
               const std::string& what, std::string* error) {
    if (!hasValue || value == "null") {
        return QTagFactory::createQTag(id);
    }
    int type = knownType;
    std::string text = value;
    size_t colon = value.find(':');
    if (colon != std::string::npos) {
        std::string prefix = value.substr(0, colon);
        for (const TypeWord& tw : kTypeWords) {
            if (prefix == tw.word) {
                type = tw.type;
                text = value.substr(colon + 1);
                break;
            }
        }
    }
    if (type == kTypeUnknown || type == QT_NULL) {
        *error = what + ": no type known; give one, e.g. " + what + "=u32:" + value;
        return nullptr;
    }
    std::string why;
    QTag* tag = make_value_tag(id, static_cast<uint8_t>(type), text, &why);
    if (tag == nullptr && error->empty()) {
        *error = what + ": " + (why.empty() ? "cannot make the tag" : why);
    }
    return tag;
}

class Builder {
public:
    explicit Builder(QMsg& msg) : mMsg(msg) {}

    bool add(const std::string& word, std::string* error) {
        if (word.empty()) {
            *error = "empty tag argument";
            return false;
        }
        size_t eq = word.find('=');
        bool hasValue = eq != std::string::npos;
        std::string lhs = word.substr(0, eq);
        std::string value = hasValue ? word.substr(eq + 1) : std::string();
        if (lhs[0] == '@') {
            return add_common(lhs.substr(1), hasValue, value, error);
        }
        size_t dot = lhs.find('.');
        std::string objName = lhs.substr(0, dot);
        uint8_t objId = 0;
        const QuorrelObjectDef* objDef = nullptr;
        if (!find_def(mDict, objName, findObject, findObjectById, &objDef, &objId)) {
            *error = "unknown object '" + objName + "'" +
                     (objName == word ? "" : " in '" + word + "'") + " (tamoctl --list shows them)";
            return false;
        }
        if (dot == std::string::npos) {
            if (hasValue) {
                *error = "'" + word + "': an object takes no value, its members do";
                return false;
            }
            return open_object(objId, error);
        }
        return add_member(objId, objDef, lhs.substr(dot + 1), hasValue, value, word, error);
    }

private:
    bool add_common(const std::string& name, bool hasValue, const std::string& value,
                    std::string* error) {
        uint8_t id = 0;
        const QuorrelTagDef* def = nullptr;
        if (!find_def(mDict, name, findCommonTag, findCommonTagById, &def, &id)) {
            *error = "unknown common tag '@" + name + "' (tamoctl --list shows them)";
            return false;
        }
        int type = def != nullptr ? def->type : kTypeUnknown;
        return append(make_tag(id, type, hasValue, value, "@" + name, error), error);
    }

    bool open_object(uint8_t id, std::string* error) {
        if (!append(QTagFactory::createQTag(id), error)) {
            return false;
        }
        mOpen = true;
        mOpenId = id;
        mOpenMembers.clear();
        return true;
    }

    bool add_member(uint8_t objId, const QuorrelObjectDef* objDef, const std::string& name,
                    bool hasValue, const std::string& value, const std::string& word,
                    std::string* error) {
        uint8_t id = 0;
        const QuorrelTagDef* def = nullptr;
        if (!find_def(objDef, name, findMemberTag, findMemberTagById, &def, &id)) {
            *error = objDef != nullptr
                         ? "object '" + std::string(objDef->name) + "' has no member '" + name + "'"
                         : "'" + word + "': members of an unknown object are given by number";
            return false;
        }
        bool repeated =
            std::find(mOpenMembers.begin(), mOpenMembers.end(), id) != mOpenMembers.end();
        if ((!mOpen || mOpenId != objId || repeated) && !open_object(objId, error)) {
            return false;
        }
        std::string what = word.substr(0, word.find('='));
        int type = def != nullptr ? def->type : kTypeUnknown;
        if (!append(make_tag(id, type, hasValue, value, what, error), error)) {
            return false;
        }
        mOpenMembers.push_back(id);
        return true;
    }

    bool append(QTag* tag, std::string* error) {
        if (tag == nullptr) {
            if (error->empty()) {
                *error = "out of memory";
            }
            return false;
        }
        if (!mMsg.addTag(tag)) {
            *error = "the request holds too many tags or too much data";
            return false;
        }
        return true;
    }

    QMsg& mMsg;
    const QuorrelDictDef* mDict = ZEL::DictDef;
    bool mOpen = false;
    uint8_t mOpenId = 0;
    std::vector<uint8_t> mOpenMembers;
};

} // namespace

bool parseMessageId(const std::string& text, uint8_t* id) {
    const QuorrelMsgDef* def = findMessage(ZEL::DictDef, text.c_str());
    if (def != nullptr) {
        *id = def->id;
        return true;
    }
    return parse_id(text, id);
}

MsgPtr buildRequest(uint8_t msgId, const std::vector<std::string>& words, std::string* error) {
    try {
        MsgPtr msg(new QMsg(msgId));
        Builder builder(*msg);
        for (const std::string& word : words) {
            error->clear();
            if (!builder.add(word, error)) {
                return nullptr;
            }
        }
        return msg;
    } catch (const std::exception&) {
        *error = "out of memory";
        return nullptr;
    }
}

std::vector<std::string> checkRequest(QMsg& msg) {
    std::vector<std::string> reasons;
    try {
        QDictRefusal why;
        std::unique_ptr<QuorrelMessage> checked(
            QuorrelMessage::parseQMsg(ZEL::DictDef, &msg, &why));
        if (!checked) {
            // The check stops at the first rule broken; every tag is placed to name them all.
            char text[256];
            if (why.rule == QDictRefusal::kUnknownMessage) {
                reasons.push_back(describeRefusal(why, text, sizeof text));
            }
            QDictWalk walk(ZEL::DictDef);
            for (const QTag* tag : msg.getTagList()) {
                QDictRefusal r{QDictRefusal::kTagFault, msg.getMsgID(), tag->getTagID(),
                               tag->getTagType(), walk.place(*tag)};
                if (r.place.fault != QTagPlace::kNoFault) {
                    reasons.push_back(describeRefusal(r, text, sizeof text));
                }
            }
            if (reasons.empty()) {
                reasons.push_back("the dictionary refuses the message");
            }
        }
        size_t datagrams = serialiseSegments(msg).size();
        if (datagrams == 0) {
            reasons.push_back("the message library cannot serialise the request");
        } else if (datagrams > 1) {
            reasons.push_back("the request takes " + std::to_string(datagrams) +
                              " datagrams; the daemon reads one of at most " +
                              std::to_string(kSegmentBytes) + " bytes");
        }
    } catch (const std::exception&) {
        reasons.push_back("out of memory");
    }
    return reasons;
}

} // namespace toolkit
