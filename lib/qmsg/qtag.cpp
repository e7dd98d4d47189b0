#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <utility>

#include "qmsg.h"
#include "qwire.h"

static_assert(std::numeric_limits<float>::is_iec559 && sizeof(float) == 4,
              "QT_FLOAT carries an IEEE-754 single");

namespace {

// Freed tag blocks of this thread, linked through their first bytes. Every tag class has the
// size of QTag; other sizes go to the allocator. Sanitizer builds keep every block apart, so
// that a tag used after its deletion is still caught.
constexpr int kKeptTagBlocks = 64;
struct TagBlocks {
    void* head = nullptr;
    int count = 0;
    // At thread exit: the blocks go back, and a tag deleted later is not kept.
    ~TagBlocks() {
        while (head != nullptr) {
            void* next = *static_cast<void**>(head);
            ::operator delete(head);
            head = next;
        }
        count = kKeptTagBlocks;
    }
};
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kKeepTagBlocks = false;
#else
constexpr bool kKeepTagBlocks = true;
#endif
thread_local TagBlocks tTagBlocks;

} // namespace

void* QTag::operator new(size_t size) {
    TagBlocks& kept = tTagBlocks;
    if (size == sizeof(QTag) && kept.head != nullptr) {
        void* p = kept.head;
        kept.head = *static_cast<void**>(p);
        --kept.count;
        return p;
    }
    return ::operator new(size);
}

void QTag::operator delete(void* p, size_t size) noexcept {
    TagBlocks& kept = tTagBlocks;
    if (kKeepTagBlocks && p != nullptr && size == sizeof(QTag) && kept.count < kKeptTagBlocks) {
        *static_cast<void**>(p) = kept.head;
        kept.head = p;
        ++kept.count;
        return;
    }
    ::operator delete(p);
}

QTag::QTag(uint8_t id, uint8_t type, std::string data)
    : mID(id), mType(type), mData(std::move(data)) {}

QTagNull::QTagNull(uint8_t id) : QTag(id, QT_NULL, std::string()) {}

QTagString::QTagString(uint8_t id, std::string text) : QTag(id, QT_STRING, std::move(text)) {}

uint16_t QTagString::getValue(char* buf, size_t size) const {
    if (buf == nullptr || size == 0) {
        return 0;
    }
    // The data length is at most 65535, so the count always fits the result.
    uint16_t n = getDataLength() < size ? getDataLength() : static_cast<uint16_t>(size - 1);
    std::memcpy(buf, getRawData(), n);
    buf[n] = '\0';
    return n;
}

QTagUInt32::QTagUInt32(uint8_t id, uint8_t type, std::string data)
    : QTag(id, type, std::move(data)) {}

uint32_t QTagUInt32::getValue() const {
    return qwire::Reader(getRawData(), 4).u32();
}

float QTagUInt32::getFloatValue() const {
    uint32_t bits = getValue();
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

QTagUInt16::QTagUInt16(uint8_t id, std::string data) : QTag(id, QT_UINT16, std::move(data)) {}

uint16_t QTagUInt16::getValue() const {
    return qwire::Reader(getRawData(), 2).u16();
}

QTagUInt8::QTagUInt8(uint8_t id, std::string data) : QTag(id, QT_UINT8, std::move(data)) {}

uint8_t QTagUInt8::getValue() const {
    return qwire::Reader(getRawData(), 1).u8();
}

QTagBytes::QTagBytes(uint8_t id, uint8_t type, std::string data)
    : QTag(id, type, std::move(data)) {}

uint16_t QTagBytes::getValue(uint8_t* buf, uint16_t size) const {
    if (buf == nullptr) {
        return 0;
    }
    uint16_t n = getDataLength() < size ? getDataLength() : size;
    std::memcpy(buf, getRawData(), n);
    return n;
}

QTag* QTagFactory::createRawQTag(uint8_t id, uint8_t type, const uint8_t* data, uint16_t len) {
    if (type > QT_MAX_TYPE || (data == nullptr && len > 0)) {
        return nullptr;
    }
    int fixed = qwire::fixedSize(type);
    if (fixed >= 0 && len != fixed) {
        return nullptr;
    }
    try {
        std::string bytes;
        if (len > 0) {
            bytes.assign(reinterpret_cast<const char*>(data), len);
        }
        switch (type) {
        case QT_NULL:
            return new QTagNull(id);
        case QT_STRING:
            return new QTagString(id, std::move(bytes));
        case QT_UINT32:
        case QT_FLOAT:
            return new QTagUInt32(id, type, std::move(bytes));
        case QT_UINT16:
            return new QTagUInt16(id, std::move(bytes));
        case QT_UINT8:
            return new QTagUInt8(id, std::move(bytes));
        default:
            return new QTagBytes(id, type, std::move(bytes));
        }
    } catch (const std::exception&) {
        return nullptr;
    }
}

QTag* QTagFactory::createQTag(uint8_t id) {
    return createRawQTag(id, QT_NULL, nullptr, 0);
}

QTag* QTagFactory::createQTag(uint8_t id, const char* text) {
    if (text == nullptr) {
        return nullptr;
    }
    size_t len = strnlen(text, qwire::kMaxTagData + 1);
    if (len > qwire::kMaxTagData) {
        return nullptr;
    }
    return createRawQTag(id, QT_STRING, reinterpret_cast<const uint8_t*>(text),
                         static_cast<uint16_t>(len));
}

QTag* QTagFactory::createQTag(uint8_t id, char* text) {
    return createQTag(id, static_cast<const char*>(text));
}

QTag* QTagFactory::createQTag(uint8_t id, uint8_t value) {
    return createRawQTag(id, QT_UINT8, &value, 1);
}

QTag* QTagFactory::createQTag(uint8_t id, uint16_t value) {
    uint8_t d[2];
    qwire::Writer(d, sizeof d).u16(value);
    return createRawQTag(id, QT_UINT16, d, sizeof d);
}

QTag* QTagFactory::createQTag(uint8_t id, uint32_t value) {
    uint8_t d[4];
    qwire::Writer(d, sizeof d).u32(value);
    return createRawQTag(id, QT_UINT32, d, sizeof d);
}

QTag* QTagFactory::createQTag(uint8_t id, float value, bool finiteOnly) {
    if (finiteOnly && !std::isfinite(value)) {
        return nullptr;
    }
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    uint8_t d[4];
    qwire::Writer(d, sizeof d).u32(bits);
    return createRawQTag(id, QT_FLOAT, d, sizeof d);
}

QTag* QTagFactory::createQTag(uint8_t id, const uint8_t* data, uint16_t len) {
    return createRawQTag(id, QT_BYTES, data, len);
}
