// Requests from command-line words, and the dictionary check the daemon applies to them.
// Names come from the device dictionary (libzeldict).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "net.h"

namespace toolkit {

// A message id from a dictionary name ("get") or a number 0-255.
bool parseMessageId(const std::string& text, uint8_t* id);

// Builds a message with id msgId from TAG words, in the order given:
//   OBJECT                open an object (a QT_NULL tag with its id); alone in a get: all of it
//   OBJECT.MEMBER         a QT_NULL member tag (names what a get wants)
//   OBJECT.MEMBER=VALUE   a member with a value
//   @COMMON[=VALUE]       a message-level tag
// Names come from the dictionary; any of them may be a number 0-255 instead. VALUE takes the
// dictionary's type, or an explicit one: str:, u8:, u16:, u32:, float:, bytes:HEX, or the word
// null. Members named in a row for one object share one object; naming the object alone, a
// different object or a member already given opens a new one. Common tags leave the open object
// open, as the dictionary check does. Returns null with *error set on the first bad word; the
// caller owns the message.
MsgPtr buildRequest(uint8_t msgId, const std::vector<std::string>& words, std::string* error);

// Why the dictionary refuses msg, one reason a line; empty when it accepts it. Also refuses a
// message that does not fit in one datagram, as the daemon reads exactly one per request.
std::vector<std::string> checkRequest(QMsg& msg);

} // namespace toolkit
