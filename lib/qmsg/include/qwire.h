// The wire format's constants (docs/wire-format.md) and the one bounded reader and writer of
// wire bytes: the message library, the daemon and the tools take them from here.
//
// Reader and Writer work on a caller's buffer of known size and never touch a byte outside it.
// A read or write that does not fit sets a sticky error: later calls do nothing, reads yield
// zero or null, and ok() stays false, so a record is read or written whole and checked once.
// Numbers are big-endian. Neither allocates nor throws; use each from one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "qmsg.h"

namespace qwire {

// Segment header: magic, version, message id, sequence byte, segment index (u16), payload
// length (u16). Tag header: id, type byte, data length (u16).
constexpr uint8_t kMagic = 0x51;
constexpr uint8_t kVersion = 1;
constexpr size_t kHeaderSize = 8;
constexpr size_t kTagHeaderSize = 4;
// The most a tag's data, a segment's index and a serialised segment may reach (16-bit fields).
constexpr size_t kMaxTagData = 0xFFFF;
constexpr size_t kMaxSegIndex = 0xFFFF;
constexpr size_t kMaxSegmentBytes = 0xFFFF;

// The datagrams of tamo's exchange: requests are read, and every message is sent, in segments
// of at most this many bytes.
constexpr int kSegmentBytes = 1024;
// A receive buffer that takes any UDP datagram whole, so a tool sees an oversized one's length.
constexpr size_t kDatagramBufferBytes = 65536;

// Sequence byte: the low 7 bits are the sequence number, the high bit says more segments follow.
constexpr uint8_t kSeqMask = 0x7F;
constexpr uint8_t kMoreSegments = 0x80;

// Type byte: the low 6 bits are the type, the high two mark a piece of a cut tag.
constexpr uint8_t kTypeMask = 0x3F;
constexpr uint8_t kFragMore = 0x80; // the data goes on in the next segment
constexpr uint8_t kFragCont = 0x40; // the data goes on from the previous segment

// The north link's keep-alive: a message with this id and no tags.
constexpr uint8_t kKeepAliveId = 1;

// The data length a type requires, or -1 when any length up to 65535 is allowed.
inline int fixedSize(uint8_t type) {
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

// Reads fields from n bytes at p, which stay the caller's.
class Reader {
public:
    Reader(const uint8_t* p, size_t n) : mP(p), mLeft(n) {}

    uint8_t u8() {
        const uint8_t* b = take(1);
        return b != nullptr ? b[0] : uint8_t{0};
    }
    uint16_t u16() {
        const uint8_t* b = take(2);
        return b != nullptr ? static_cast<uint16_t>(b[0] << 8 | b[1]) : uint16_t{0};
    }
    uint32_t u32() {
        const uint8_t* b = take(4);
        return b != nullptr
                   ? uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3]
                   : 0;
    }
    // The next n bytes in place, or null.
    const uint8_t* bytes(size_t n) { return take(n); }
    size_t left() const { return mLeft; }
    bool ok() const { return mOk; }

private:
    const uint8_t* take(size_t n) {
        if (!mOk || n > mLeft) {
            mOk = false;
            return nullptr;
        }
        const uint8_t* b = mP;
        mP += n;
        mLeft -= n;
        return b;
    }

    const uint8_t* mP;
    size_t mLeft;
    bool mOk = true;
};

// Writes fields into n bytes at p, which stay the caller's.
class Writer {
public:
    Writer(uint8_t* p, size_t n) : mP(p), mLeft(n) {}

    void u8(uint8_t v) { put(&v, 1); }
    void u16(uint16_t v) {
        const uint8_t b[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
        put(b, 2);
    }
    void u32(uint32_t v) {
        const uint8_t b[4] = {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
                              static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
        put(b, 4);
    }
    void bytes(const uint8_t* p, size_t n) { put(p, n); }
    bool ok() const { return mOk; }

private:
    void put(const uint8_t* p, size_t n) {
        if (!mOk || n > mLeft) {
            mOk = false;
            return;
        }
        if (n > 0) {
            std::memcpy(mP, p, n);
        }
        mP += n;
        mLeft -= n;
    }

    uint8_t* mP;
    size_t mLeft;
    bool mOk = true;
};

} // namespace qwire
