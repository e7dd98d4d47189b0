// Quorrel messages: tags, messages, their segments on the wire, and the dictionary check.
//
// A QMsg is a message id, a 7-bit sequence number and an ordered list of tags. On the wire it
// travels as one or more segments, each one datagram; docs/wire-format.md gives the layout.
// A QuorrelDictDef says which message ids, tags and objects a request may hold, and a
// QuorrelMessage is a message that passed that check, split into top-level tags and objects
// (docs/dictionary.md).
//
// Nothing here throws or logs: running out of memory comes back as null, false or 0 like any
// other refusal. Objects are not thread safe; use each from one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qwire {
class Reader;
}

enum QTagType {
    QT_NULL = 0,
    QT_STRING = 1,
    QT_UINT32 = 2,
    QT_UINT16 = 3,
    QT_UINT8 = 4,
    QT_BYTES = 5,
    QT_FLOAT = 6
};

// Wire types run from 0 to QT_MAX_TYPE; those above QT_FLOAT are carried intact, unread.
constexpr uint8_t QT_MAX_TYPE = 63;

// One tag: id, type and data. The data is kept as carried on the wire (numbers big-endian,
// text without terminator), so a tag of any type, known or not, survives a round trip intact.
// The class of a tag follows its type: QT_NULL QTagNull, QT_STRING QTagString, QT_UINT32 and
// QT_FLOAT QTagUInt32, QT_UINT16 QTagUInt16, QT_UINT8 QTagUInt8, anything else QTagBytes.
class QTag {
public:
    virtual ~QTag() = default;
    // Tags are made and dropped for every message: freed blocks are kept (a few dozen per
    // thread) and handed out again before the allocator is asked. Any thread.
    static void* operator new(size_t size);
    static void operator delete(void* p, size_t size) noexcept;
    QTag(const QTag&) = delete;
    QTag& operator=(const QTag&) = delete;

    uint8_t getTagID() const { return mID; }
    // The raw wire type, also for unknown types.
    uint8_t getTagType() const { return mType; }
    // Bytes of data; for a string the text length, no terminator counted.
    uint16_t getDataLength() const { return static_cast<uint16_t>(mData.size()); }
    // The getDataLength() bytes of data as carried on the wire.
    const uint8_t* getRawData() const { return reinterpret_cast<const uint8_t*>(mData.data()); }

protected:
    QTag(uint8_t id, uint8_t type, std::string data);

private:
    friend class QMsg;

    uint8_t mID;
    uint8_t mType;
    uint8_t mFragment = 0; // wire fragment flags of a piece of a tag cut across segments
    std::string mData;
};

class QTagNull : public QTag {
private:
    friend class QTagFactory;
    explicit QTagNull(uint8_t id);
};

class QTagString : public QTag {
public:
    // Copies at most size - 1 bytes of the text into buf and NUL-terminates it; returns the
    // bytes copied. A NUL inside the text is copied like any byte. size 0 writes nothing. The
    // whole text of the longest tag (65535 bytes) takes a size of 65536.
    uint16_t getValue(char* buf, size_t size) const;

private:
    friend class QTagFactory;
    QTagString(uint8_t id, std::string text);
};

class QTagUInt32 : public QTag {
public:
    uint32_t getValue() const;
    // The same 32 bits read as an IEEE-754 single; the value of a QT_FLOAT tag.
    float getFloatValue() const;

private:
    friend class QTagFactory;
    QTagUInt32(uint8_t id, uint8_t type, std::string data);
};

class QTagUInt16 : public QTag {
public:
    uint16_t getValue() const;

private:
    friend class QTagFactory;
    QTagUInt16(uint8_t id, std::string data);
};

class QTagUInt8 : public QTag {
public:
    uint8_t getValue() const;

private:
    friend class QTagFactory;
    QTagUInt8(uint8_t id, std::string data);
};

// QT_BYTES and every type above QT_FLOAT.
class QTagBytes : public QTag {
public:
    // Copies at most size bytes of the data into buf; returns the bytes copied.
    uint16_t getValue(uint8_t* buf, uint16_t size) const;

private:
    friend class QTagFactory;
    QTagBytes(uint8_t id, uint8_t type, std::string data);
};

// Every call returns a new tag owned by the caller, or null when refused or out of memory.
class QTagFactory {
public:
    static QTag* createQTag(uint8_t id);
    // Copies the text up to its NUL; null for a null pointer or a text over 65535 bytes.
    static QTag* createQTag(uint8_t id, const char* text);
    static QTag* createQTag(uint8_t id, char* text);
    static QTag* createQTag(uint8_t id, uint8_t value);
    static QTag* createQTag(uint8_t id, uint16_t value);
    static QTag* createQTag(uint8_t id, uint32_t value);
    // A QT_FLOAT tag. With finiteOnly false every value is carried, NaN and infinities
    // included; with it true those are refused (null).
    static QTag* createQTag(uint8_t id, float value, bool finiteOnly);
    // A QT_BYTES tag with a copy of len bytes; data may be null only when len is 0.
    static QTag* createQTag(uint8_t id, const uint8_t* data, uint16_t len);
    // A tag of any wire type (0..QT_MAX_TYPE) from its wire data, as a parser would make it.
    // Null when a fixed-size type gets another length (QT_NULL 0, QT_UINT8 1, QT_UINT16 2,
    // QT_UINT32 and QT_FLOAT 4) or the type is above QT_MAX_TYPE.
    static QTag* createRawQTag(uint8_t id, uint8_t type, const uint8_t* data, uint16_t len);
};

// Why QMsg::parseMsg refused a datagram: the first rule of the wire format broken, and where.
struct QWireFault {
    enum Rule : uint8_t {
        kAccepted,
        kNoInput,        // no buffer
        kShortHeader,    // fewer bytes than a segment header
        kBadMagic,       // the first byte is not the magic
        kBadVersion,     // a version this library does not read
        kLengthField,    // the payload length is not the number of bytes after the header
        kTagCut,         // a tag's header or data runs past the end
        kPieceMisplaced, // a piece of a cut tag not at the edge of its segment
        kFixedSizeCut,   // a tag of a fixed-size type marked as cut
        kBadTag,         // a type above the last, or a fixed-size type of another length
        kTooLarge,       // more tags or data than a message may hold
        kNoMemory,
    };
    Rule rule = kAccepted;
    uint16_t offset = 0; // where the refused tag starts (kTagCut .. kTooLarge)
    uint8_t tagId = 0;
    uint8_t tagType = 0; // its type byte
};

// The fault as one line, such as "tag 74 at byte 12: type 9 unknown or of the wrong length";
// empty for kAccepted. Cut to fit size bytes with its NUL; returns buf. Any thread.
const char* describeWireFault(const QWireFault& why, char* buf, size_t size);

// A message, or one segment of one. A message owns its tags and its segments.
class QMsg {
public:
    // Reassembly and addTag stop at these, so no sender can make a message grow without end.
    static constexpr uint16_t kMaxTags = 4096;
    static constexpr uint32_t kMaxDataBytes = 256 * 1024; // sum of the tags' data lengths

    // An empty message with sequence 0; it counts as whole (see isComplete).
    explicit QMsg(uint8_t id);
    ~QMsg();
    QMsg(const QMsg&) = delete;
    QMsg& operator=(const QMsg&) = delete;

    uint8_t getMsgID() const { return mID; }
    uint8_t getMsgSeq() const { return mSeq; }
    // Keeps seq & 0x7F.
    void setMsgSeq(uint8_t seq);

    // Appends tag and takes ownership of it in every case: a null tag or one past kMaxTags or
    // kMaxDataBytes is refused (false) and deleted.
    bool addTag(QTag* tag);
    // The tags in message order; they stay owned by the message.
    const std::vector<QTag*>& getTagList() const { return mTags; }

    // Parses one received segment (len bytes at buf) into a new message owned by the caller,
    // or null when the bytes break any rule of the wire format; why, when given, gets the first
    // rule broken. Reads nothing outside [buf, buf + len) and allocates no more than len allows.
    static QMsg* parseMsg(const void* buf, uint16_t len, QWireFault* why = nullptr);

    // Cuts the message into segments of at most maxBytes serialised bytes (clamped to 65535;
    // at least 16) and returns their count: 1 when it fits, 0 when refused or out of memory.
    // Earlier segments are dropped. The segments belong to this message and carry its id and
    // its sequence number as they are now. Tags are cut between tags; a tag too large for one
    // segment is carried in pieces that addSegment joins again.
    int segmentMessage(int maxBytes);
    // Restarts getNextSegment at the first segment.
    void resetSegment();
    // The next segment, owned by this message; null after the last one.
    QMsg* getNextSegment();

    // Serialises this message (usually a segment) into buf and returns the byte count, or 0
    // when it does not fit in size bytes.
    uint16_t getMsg(void* buf, uint16_t size) const;
    // False while more segments of the message are to come.
    bool isLastSegment() const { return !mMore; }
    // The index of this segment within its message (0 for the first or only one); for a
    // reassembled message, that of its first segment.
    uint16_t getSegmentIndex() const { return mSegIndex; }
    // True when this holds a whole message: its first segment and its last, and no piece of a
    // cut tag open at either end.
    bool isComplete() const;

    // Appends the tags of seg, the next segment of the message this one began, joining a tag
    // that was cut across the two. seg must have the same id and sequence number and the next
    // segment index; this message must still await segments (not isLastSegment). The tags
    // move out of seg, which the caller still deletes. Refused (false, both unchanged) when a
    // rule is broken, when the result would pass kMaxTags or kMaxDataBytes or a joined tag
    // 65535 bytes, or when out of memory. Afterwards this message takes seg's last mark.
    bool addSegment(QMsg* seg);

private:
    bool read_tags(qwire::Reader& r, QWireFault* why);
    bool build_segments(size_t payloadCap);
    bool add_piece(const QTag* tag, size_t off, size_t len, uint8_t fragment);
    void clear_segments();
    size_t wire_size() const;

    uint8_t mID;
    uint8_t mSeq = 0;
    bool mMore = false; // more segments follow this one
    uint16_t mSegIndex = 0;
    uint32_t mSegCount = 1; // segments joined into this message, itself included
    uint32_t mDataBytes = 0;
    std::vector<QTag*> mTags;
    std::vector<QMsg*> mSegments;
    size_t mNextSegment = 0;
};

// The dictionary: plain constant tables, so a library can define one as static data.
struct QuorrelTagDef {
    uint8_t id;
    uint8_t type; // a QTagType
    const char* name;
    const char* help;
};

struct QuorrelObjectDef {
    uint8_t id; // a QT_NULL tag with this id opens the object
    const char* name;
    const QuorrelTagDef* tags; // the member tags
    uint16_t tagCount;
    const char* help;
};

struct QuorrelMsgDef {
    uint8_t id;
    const char* name;
    const char* help;
};

struct QuorrelDictDef {
    const char* name;
    const QuorrelMsgDef* msgs;
    uint16_t msgCount;
    const QuorrelTagDef* tags; // common tags, allowed at message level
    uint16_t tagCount;
    const QuorrelObjectDef* objects;
    uint16_t objectCount;
};

// Look-ups for tools; each returns null when nothing matches or an argument is null.
const QuorrelMsgDef* findMessage(const QuorrelDictDef* dict, const char* name);
const QuorrelMsgDef* findMessageById(const QuorrelDictDef* dict, uint8_t id);
const QuorrelTagDef* findCommonTag(const QuorrelDictDef* dict, const char* name);
const QuorrelTagDef* findCommonTagById(const QuorrelDictDef* dict, uint8_t id);
const QuorrelObjectDef* findObject(const QuorrelDictDef* dict, const char* name);
const QuorrelObjectDef* findObjectById(const QuorrelDictDef* dict, uint8_t id);
const QuorrelTagDef* findMemberTag(const QuorrelObjectDef* obj, const char* name);
const QuorrelTagDef* findMemberTagById(const QuorrelObjectDef* obj, uint8_t id);
// FNV-1a 32 over the dictionary's ids, types and names in ascending id order, help texts left
// out (docs/dictionary.md, "Its hash"): equal on both ends when they read messages alike.
uint32_t dictionaryHash(const QuorrelDictDef& dict);
// "null", "string", "u32", "u16", "u8", "bytes", "float", or "unknown".
const char* qtagTypeName(uint8_t type);

// Where the dictionary puts one tag of a message. Tags are resolved in message order: a member
// of the open object, else a QT_NULL tag with an object id opens that object, else a common tag
// (docs/dictionary.md). A request may hold only tags placed without a fault.
struct QTagPlace {
    enum Kind : uint8_t { kUnknown, kMember, kOpener, kCommon };
    enum Fault : uint8_t {
        kNoFault,
        kUnknownType, // a type above QT_FLOAT
        // A member neither of its type, nor QT_NULL, nor an unsigned integer narrower than its
        // unsigned integer type (u8 for u16 or u32, u16 for u32); a common tag not of its type.
        kWrongType,
        kNoPlace, // not a member of the open object, not an object id, not a common tag
    };
    Kind kind;
    Fault fault;
    // kOpener: the object it opens; otherwise the object open before the tag, or null.
    const QuorrelObjectDef* object;
    // kMember, kCommon: the tag's definition; otherwise null.
    const QuorrelTagDef* def;
};

// The one walk of a message's tags through the dictionary: the check (parseQMsg) and the tools
// that show or explain a message all place tags with it. Make one per message and place its
// tags in order. The dictionary stays the caller's.
class QDictWalk {
public:
    explicit QDictWalk(const QuorrelDictDef* dict) : mDict(dict) {}
    // Places tag after those placed before; an opener stays open for the tags after it.
    QTagPlace place(const QTag& tag);

private:
    const QuorrelDictDef* mDict;
    const QuorrelObjectDef* mOpen = nullptr;
};

// Why QuorrelMessage::parseQMsg refused a message: the first rule broken.
struct QDictRefusal {
    enum Rule : uint8_t {
        kAccepted,
        kNoInput,        // no dictionary or no message
        kNotWhole,       // a segment of a longer message
        kUnknownMessage, // the message id is not in the dictionary
        kTagFault,       // a tag, placed as place says, breaks the rule place.fault names
        kNoMemory,
    };
    Rule rule = kAccepted;
    uint8_t msgId = 0;
    uint8_t tagId = 0;   // kTagFault: the first tag refused
    uint8_t tagType = 0; // kTagFault: its wire type
    QTagPlace place{};   // kTagFault
};

// The refusal as one line naming the tag and the rule, such as "interface.mtu (74) is u16,
// given string" or "message id 6 is not in the dictionary"; empty for kAccepted. Cut to fit
// size bytes with its NUL; returns buf. Any thread.
const char* describeRefusal(const QDictRefusal& why, char* buf, size_t size);

// One object of a checked message: its id and its member tags in message order.
class QuorrelObject {
public:
    QuorrelObject(const QuorrelObject&) = delete;
    QuorrelObject& operator=(const QuorrelObject&) = delete;

    uint8_t getID() const { return mID; }
    // A new vector the caller deletes (null when out of memory); the tags stay with the QMsg.
    std::vector<QTag*>* getTags() const;

private:
    friend class QuorrelMessage;
    explicit QuorrelObject(uint8_t id) : mID(id) {}

    uint8_t mID;
    std::vector<QTag*> mTags;
};

// A message checked against a dictionary. It points into the tags of the QMsg it was made
// from: delete it before that QMsg, and do not change the QMsg while it lives.
class QuorrelMessage {
public:
    ~QuorrelMessage();
    QuorrelMessage(const QuorrelMessage&) = delete;
    QuorrelMessage& operator=(const QuorrelMessage&) = delete;

    // A new view of msg owned by the caller, or null when msg does not satisfy dict
    // (docs/dictionary.md lists the checks) or memory runs out; then *why (when not null) says
    // which rule refused it.
    static QuorrelMessage* parseQMsg(const QuorrelDictDef* dict, QMsg* msg,
                                     QDictRefusal* why = nullptr);

    uint8_t getMsgID() const { return mMsgID; }
    // Top-level tags in message order: a new vector the caller deletes (null when out of
    // memory); the tags stay with the QMsg.
    std::vector<QTag*>* getTags() const;
    // Objects in message order: a new vector the caller deletes (null when out of memory);
    // the objects stay with this QuorrelMessage.
    std::vector<QuorrelObject*>* getObjects() const;

private:
    explicit QuorrelMessage(uint8_t id) : mMsgID(id) {}
    bool sort_tags(const QuorrelDictDef* dict, const std::vector<QTag*>& tags, QDictRefusal* why);

    uint8_t mMsgID;
    std::vector<QTag*> mTags;
    std::vector<QuorrelObject*> mObjects;
};
