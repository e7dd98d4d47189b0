#include "render.h"

#include <string>

#include "qstatus.h"
#include "qwire.h"
#include "text.h"
#include "zeldict.h"

namespace toolkit {

namespace {

constexpr size_t kLabelWidth = 26;
constexpr size_t kMemberIndent = 4;
constexpr size_t kTypeWidth = 8;

std::string type_name(uint8_t type) {
    return type <= QT_FLOAT ? qtagTypeName(type) : "type" + std::to_string(type);
}

std::string padded(std::string s, size_t width) {
    s.append(s.size() < width ? width - s.size() : 1, ' ');
    return s;
}

std::string raw_text(const QTag& tag) {
    return std::string(reinterpret_cast<const char*>(tag.getRawData()), tag.getDataLength());
}

std::string label(const char* name, uint8_t id) {
    std::string n = std::to_string(id);
    return name != nullptr ? std::string(name) + " (" + n + ")" : n;
}

std::string message_name(uint8_t id) {
    const QuorrelMsgDef* def = findMessageById(ZEL::DictDef, id);
    return def != nullptr ? std::string(def->name) + " (" + std::to_string(id) + ")"
                          : "message " + std::to_string(id);
}

// Why a message is not whole, or empty.
std::string incomplete_note(const QMsg& msg) {
    if (msg.isComplete()) {
        return "";
    }
    std::string note = "incomplete:";
    if (msg.getSegmentIndex() != 0) {
        note += " starts at segment " + std::to_string(msg.getSegmentIndex());
    }
    if (!msg.isLastSegment()) {
        note += msg.getSegmentIndex() != 0 ? "," : "";
        note += " last segment missing";
    }
    if (msg.getSegmentIndex() == 0 && msg.isLastSegment()) {
        note += " a tag is cut short";
    }
    return note;
}

void tag_line(std::string* out, const TagView& v, bool common, size_t indent) {
    const QTag& tag = *v.tag;
    std::string name = label(v.def != nullptr ? v.def->name : nullptr, tag.getTagID());
    std::string line(indent, ' ');
    line += padded((common ? "@" : "") + name, kLabelWidth - indent);
    std::string value = formatValue(tag);
    line += value.empty() ? type_name(tag.getTagType())
                          : padded(type_name(tag.getTagType()), kTypeWidth) + value;
    *out += line + "\n";
}

// Numbers as JSON numbers, text as JSON strings; floats JSON cannot hold, bytes and unknown
// types as strings of their shown form.
std::string json_value(const QTag& tag) {
    uint8_t type = tag.getTagType();
    if (type == QT_NULL) {
        return "null";
    }
    if (type == QT_STRING) {
        return jsonString(raw_text(tag));
    }
    std::string v = formatValue(tag);
    bool number = type == QT_UINT8 || type == QT_UINT16 || type == QT_UINT32 ||
                  (type == QT_FLOAT && v != "nan" && v != "inf" && v != "-inf");
    return number ? v : jsonString(v);
}

void json_tag(std::string* out, const TagView& v) {
    const QTag& tag = *v.tag;
    *out += "{\"id\":" + std::to_string(tag.getTagID());
    if (v.def != nullptr) {
        *out += ",\"name\":" + jsonString(v.def->name);
    }
    *out += ",\"type\":" + jsonString(type_name(tag.getTagType()));
    *out += ",\"value\":" + json_value(tag) + "}";
}

} // namespace

std::vector<TagGroup> groupTags(const QMsg& msg) {
    std::vector<TagGroup> groups;
    QDictWalk walk(ZEL::DictDef);
    size_t open = 0;
    bool isOpen = false;
    for (const QTag* tag : msg.getTagList()) {
        QTagPlace p = walk.place(*tag);
        if (p.kind == QTagPlace::kMember || (p.kind == QTagPlace::kUnknown && isOpen)) {
            groups[open].tags.push_back({tag, p.def});
        } else if (p.kind == QTagPlace::kCommon || tag->getTagType() != QT_NULL) {
            groups.push_back({nullptr, nullptr, {{tag, p.def}}});
        } else {
            // An opener, or a QT_NULL tag the dictionary does not know while nothing is open.
            groups.push_back({tag, p.kind == QTagPlace::kOpener ? p.object : nullptr, {}});
            open = groups.size() - 1;
            isOpen = true;
        }
    }
    return groups;
}

ReplyStatus replyStatus(const QMsg& msg) {
    ReplyStatus st;
    bool haveReason = false;
    for (const TagGroup& g : groupTags(msg)) {
        if (g.opener != nullptr) {
            continue;
        }
        const QTag& tag = *g.tags.front().tag;
        uint8_t type = tag.getTagType();
        if (tag.getTagID() == qstatus::kStatusTag && !st.present &&
            (type == QT_UINT8 || type == QT_UINT16 || type == QT_UINT32)) {
            const size_t n = tag.getDataLength();
            qwire::Reader r(tag.getRawData(), n);
            st.present = true;
            st.code = n == 4 ? r.u32() : n == 2 ? r.u16() : r.u8();
        } else if (tag.getTagID() == qstatus::kReasonTag && !haveReason && type == QT_STRING) {
            haveReason = true;
            st.reason = raw_text(tag);
        }
    }
    if (!haveReason && st.code > 0xFF) {
        st.reason = "error";
    } else if (!haveReason && st.code != 0) {
        const char* name = qstatus::daemonReason(static_cast<uint8_t>(st.code));
        st.reason = name != nullptr ? name : qstatus::statusName(static_cast<uint8_t>(st.code));
    }
    return st;
}

std::string formatValue(const QTag& tag) {
    switch (tag.getTagType()) {
    case QT_NULL:
        return "";
    case QT_STRING:
        return quoteText(raw_text(tag));
    case QT_UINT8:
    case QT_UINT16:
    case QT_UINT32: {
        // The tag factory fixes the length by the type: 1, 2 or 4 big-endian bytes.
        const size_t n = tag.getDataLength();
        qwire::Reader r(tag.getRawData(), n);
        return std::to_string(n == 4 ? r.u32() : n == 2 ? r.u16() : r.u8());
    }
    case QT_FLOAT: {
        const auto* f = dynamic_cast<const QTagUInt32*>(&tag);
        return f != nullptr ? formatFloat(f->getFloatValue()) : "?";
    }
    default:
        return toHex(tag.getRawData(), tag.getDataLength(), ':');
    }
}

std::string formatMessage(const QMsg& msg) {
    std::string out = message_name(msg.getMsgID()) + ", seq " + std::to_string(msg.getMsgSeq());
    std::string note = incomplete_note(msg);
    out += note.empty() ? "\n" : ", " + note + "\n";
    for (const TagGroup& g : groupTags(msg)) {
        if (g.opener == nullptr) {
            tag_line(&out, g.tags.front(), true, 0);
            continue;
        }
        out += label(g.objectDef != nullptr ? g.objectDef->name : nullptr, g.opener->getTagID());
        out += g.objectDef != nullptr ? "\n" : "  (unknown object)\n";
        for (const TagView& v : g.tags) {
            tag_line(&out, v, false, kMemberIndent);
        }
    }
    return out;
}

std::string formatMessageJson(const QMsg& msg) {
    std::string out = "{\"id\":" + std::to_string(msg.getMsgID());
    const QuorrelMsgDef* def = findMessageById(ZEL::DictDef, msg.getMsgID());
    if (def != nullptr) {
        out += ",\"name\":" + jsonString(def->name);
    }
    out += ",\"seq\":" + std::to_string(msg.getMsgSeq());
    out += std::string(",\"complete\":") + (msg.isComplete() ? "true" : "false");
    ReplyStatus st = replyStatus(msg);
    if (st.present) {
        out += ",\"status\":" + std::to_string(st.code);
    }
    if (st.present && (st.failed() || !st.reason.empty())) {
        out += ",\"reason\":" + jsonString(st.reason);
    }
    std::string tags;
    std::string objects;
    for (const TagGroup& g : groupTags(msg)) {
        if (g.opener == nullptr) {
            tags += tags.empty() ? "" : ",";
            json_tag(&tags, g.tags.front());
            continue;
        }
        objects += objects.empty() ? "{" : ",{";
        objects += "\"id\":" + std::to_string(g.opener->getTagID());
        if (g.objectDef != nullptr) {
            objects += ",\"name\":" + jsonString(g.objectDef->name);
        }
        objects += ",\"tags\":[";
        for (size_t i = 0; i < g.tags.size(); ++i) {
            objects += i > 0 ? "," : "";
            json_tag(&objects, g.tags[i]);
        }
        objects += "]}";
    }
    out += ",\"tags\":[" + tags + "],\"objects\":[" + objects + "]}";
    return out;
}

std::string formatDictionary() {
    const QuorrelDictDef* dict = ZEL::DictDef;
    std::string out = "Messages (KIND or --msg):\n";
    for (uint16_t i = 0; i < dict->msgCount; ++i) {
        const QuorrelMsgDef& m = dict->msgs[i];
        out += "  " + padded(label(m.name, m.id), kLabelWidth - 2) + m.help + "\n";
    }
    out += "\nCommon tags (@NAME=VALUE):\n";
    for (uint16_t i = 0; i < dict->tagCount; ++i) {
        const QuorrelTagDef& t = dict->tags[i];
        out += "  " + padded("@" + label(t.name, t.id), kLabelWidth - 2) +
               padded(type_name(t.type), kTypeWidth) + t.help + "\n";
    }
    out += "\nObjects (OBJECT, OBJECT.MEMBER[=VALUE]):\n";
    for (uint16_t i = 0; i < dict->objectCount; ++i) {
        const QuorrelObjectDef& o = dict->objects[i];
        out += "  " + padded(label(o.name, o.id), kLabelWidth - 2) + o.help + "\n";
        for (uint16_t j = 0; j < o.tagCount; ++j) {
            const QuorrelTagDef& t = o.tags[j];
            out += "      " + padded(label(t.name, t.id), kLabelWidth - 6) +
                   padded(type_name(t.type), kTypeWidth) + t.help + "\n";
        }
    }
    return out;
}

} // namespace toolkit
