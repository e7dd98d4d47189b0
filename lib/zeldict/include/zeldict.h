// The device's message dictionary: which requests the configuration daemon accepts, the
// common tags and the objects with their member tags (docs/dictionary.md).
#pragma once

#include "qmsg.h"

namespace ZEL {

// Constant data, never null; pass it to QuorrelMessage::parseQMsg and the look-ups of qmsg.h.
extern const QuorrelDictDef* DictDef;

} // namespace ZEL
