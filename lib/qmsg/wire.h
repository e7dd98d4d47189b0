// Constants of the wire format (docs/wire-format.md), shared by the tag and message code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qmsg.h"

namespace qwire {

constexpr uint8_t kMagic = 0x51;
constexpr uint8_t kVersion = 1;
constexpr size_t kHeaderSize = 8;
constexpr size_t kTagHeaderSize = 4;
constexpr size_t kMaxDatagram = 0xFFFF;
constexpr size_t kMaxTagData = 0xFFFF;
constexpr size_t kMaxSegIndex = 0xFFFF;

// Sequence byte: the low 7 bits are the sequence number.
constexpr uint8_t kSeqMask = 0x7F;
constexpr uint8_t kMoreSegments = 0x80;

// Tag type byte: the low 6 bits are the type, the high two mark a piece of a cut tag.
constexpr uint8_t kTypeMask = 0x3F;
constexpr uint8_t kFragMore = 0x80; // the data goes on in the next segment
constexpr uint8_t kFragCont = 0x40; // the data goes on from the previous segment

// The data length a type requires, or -1 when any length up to 65535 is allowed.
inline int fixed_size(uint8_t type) {
    switch (type) {
    case QT_NULL:
        return 0;
    case QT_UINT32:
    case QT_FLOAT:
        return 4;
    case QT_UINT16:
        return 2;
    case QT_UINT8:
        return 1;
    default:
        return -1;
    }
}

} // namespace qwire
