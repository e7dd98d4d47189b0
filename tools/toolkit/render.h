// Showing messages to a person or as JSON, with the dictionary's names where it has them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qmsg.h"

namespace toolkit {

struct TagView {
    const QTag* tag;
    const QuorrelTagDef* def; // null when the dictionary does not know the tag here
};

// One line of a shown message: a common tag (opener null, one entry in tags) or an object with
// its members. The pointers borrow from the message and the dictionary.
struct TagGroup {
    const QTag* opener;
    const QuorrelObjectDef* objectDef; // null for a common tag or an unknown object
    std::vector<TagView> tags;
};

// Splits msg's tags as the dictionary check does: a member of the open object first, then a
// QT_NULL tag with an object id opens an object, then a common tag. A tag the dictionary does
// not know joins the open object, or opens an unknown object when it is a QT_NULL tag, or else
// stands alone. A common tag inside an object does not close it.
std::vector<TagGroup> groupTags(const QMsg& msg);

// How a request went, from a reply's common tags @status and @reason (qstatus.h).
struct ReplyStatus {
    bool present = false; // the reply carries a @status with an unsigned number
    uint32_t code = 0;    // its value; 0 when absent
    std::string reason;   // @reason's text, or the code's name (qstatus::daemonReason, else
                          // qstatus::statusName) when it has none; empty for 0 without one
    bool failed() const { return code != 0; }
};

// The first common @status (u8, u16 or u32) and @reason of msg, as groupTags places them.
ReplyStatus replyStatus(const QMsg& msg);

// A tag's value as text: strings quoted with C escapes, numbers in decimal, bytes as
// colon-separated hex, nothing for a null tag.
std::string formatValue(const QTag& tag);
// The message for a person: a header line, one line per common tag, an indented block per
// object; dictionary names with ids when known, bare numbers otherwise.
std::string formatMessage(const QMsg& msg);
// The message as one line of JSON (no newline); with a @status it carries "status" and, when
// it is not 0 or a @reason came, "reason" (replyStatus).
std::string formatMessageJson(const QMsg& msg);
// The dictionary, for --list.
std::string formatDictionary();

} // namespace toolkit
