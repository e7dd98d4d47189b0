// The configuration data model: the tagged value cTableType and the table cConfigTable, plus
// the codec between tables and Quorrel messages.
//
// Everything here is used by the main thread only; nothing is locked.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "qlog.h"

class cConfigTable;
class QMsg;
struct QuorrelObjectDef;
struct QuorrelTagDef;
class QTag;
class QuorrelMessage;
class QuorrelObject;

// A value of one of six kinds. Converts to int, bool, float, text and table by fixed rules that
// never fail (a conversion that does not fit the kind gives -1, false, -1.0 or null). Copies
// share a nested table; the value never owns it.
//
// Two marks say where a value came from, so that it can cross into Lua and back unchanged:
// an integer made by u32() holds an unsigned 32-bit value (its bit pattern in the int), and a
// text made by bytes() is a byte string whose every byte counts, NULs included.
class cTableType : public cQlog {
public:
    enum eElementType : int32_t {
        TTE_NIL = 0,
        TTE_BOOL = 1,
        TTE_NUM = 2,
        TTE_STRING = 3,
        TTE_TABLE = 4,
        TTE_FLOAT = 5
    };

    cTableType();
    cTableType(bool b);
    cTableType(int n);
    cTableType(std::string s);
    cTableType(cConfigTable* t);
    cTableType(float f);
    // A TTE_NUM holding the unsigned value v. operator int gives its bit pattern (so values from
    // 2^31 up read as negative there, as a plain int would hold them); the text, float and Lua
    // forms give v itself.
    static cTableType u32(uint32_t v);
    // A TTE_STRING holding every byte of b, NULs included.
    static cTableType bytes(std::string b);
    ~cTableType() = default;

    cTableType(const cTableType& other) = default;
    cTableType& operator=(const cTableType& other) = default;
    // Moving leaves the source a valid value of the same kind (its text emptied).
    cTableType(cTableType&& other) noexcept = default;
    cTableType& operator=(cTableType&& other) noexcept = default;

    // "nil"; "1"/"0"; decimal; the text itself; the table's address ("0x..", "0" for null);
    // a float as printf's %g writes it in the "C" locale.
    operator std::string() const;
    operator cConfigTable*() const;
    // Floats truncate toward zero, clamp to the int range, and NaN gives 0.
    operator int() const;
    operator bool() const;
    operator float() const;

    // Identity order: a lies before b when a lives at a lower address. Never compares content.
    bool operator<(const cTableType& other) const;
    // Converts both sides by the left operand's kind and compares; not symmetric.
    bool operator==(const cTableType& other) const;

    eElementType getType() const { return mType; }
    // True for a TTE_NUM made by u32().
    bool isUnsigned() const { return mType == TTE_NUM && mWide; }
    // True for a TTE_STRING made by bytes().
    bool isBytes() const { return mType == TTE_STRING && mWide; }
    // The text or bytes of a TTE_STRING value without a copy (empty for the other kinds); valid
    // while the value lives.
    const std::string& text() const { return mData.s; }

private:
    eElementType mType;
    // The u32 or bytes mark, by mType; false for every value the constructors make.
    bool mWide;
    struct {
        bool b;
        int n;
        std::string s;
        cConfigTable* t;
        float f;
    } mData;
};

// An ordered list of key/value entries. Every insert appends; keys may repeat. The table owns
// the nested tables held as values (not those used as keys) and deletes them with itself.
class cConfigTable : public cQlog {
public:
    // Walks a table in insertion order: first(); while (isPair()) { key(); value(); next(); }
    class cConfigTableIter {
    public:
        explicit cConfigTableIter(cConfigTable* t);
        void first();
        // False, without moving, when already past the end; else moves on and returns true.
        bool next();
        bool isPair() const;
        cTableType key() const;
        cTableType value() const;

    private:
        cConfigTable* mTable;
        size_t mIdx;
    };

    cConfigTable();
    // The request table of a parsed message: its common tags keyed by tag id, then one nested
    // table per object keyed by the object's position, each ending with "objid".
    explicit cConfigTable(QuorrelMessage* msg);
    virtual ~cConfigTable();

    cConfigTable(const cConfigTable&) = delete;
    cConfigTable& operator=(const cConfigTable&) = delete;

    void insert(std::string key, std::string val);
    void insert(std::string key, int val);
    void insert(int key, int val);
    void insert(int key, std::string val);
    // Takes ownership of val.
    void insert(int key, cConfigTable* val);
    void insert(int key, cTableType val);
    void insert(int key, float val);
    void insert(cTableType key, cTableType val);
    // Takes ownership of val.
    void insert(cTableType key, cConfigTable* val);
    // Appends a nested table built from obj under key; the table is owned by this one.
    void insert(int key, QuorrelObject* obj);
    // Appends the entry for one tag: a u32 tag as an unsigned integer, a byte-string tag as a
    // bytes() text with every byte; unknown types add nothing.
    void insert(QTag* tag);

    // The value of the first entry whose key the probe equals (probe on the left), or the
    // integer -1.
    cTableType get(cTableType key);
    cTableType get(std::string key);

    // What became of toQMsg: the reply's tags and the sum of their data lengths (counted whole
    // even when the message cannot take them all; up to the fault when the dictionary refuses a
    // value) and, when it gave null, why.
    struct sReplyInfo {
        enum eFault : uint8_t {
            FAULT_NONE,
            // Past QMsg::kMaxTags or QMsg::kMaxDataBytes, a text or byte string over 65535 bytes,
            // a result the bridge cut short (markIncomplete), or memory running out.
            FAULT_TOO_LARGE,
            // An entry the dictionary does not allow where it stands: tagId, objectId, def and
            // value name it.
            FAULT_DICTIONARY,
        };
        static constexpr size_t kValueText = 40;

        uint32_t tags = 0;
        uint64_t bytes = 0;
        eFault fault = FAULT_NONE;
        // FAULT_DICTIONARY: the entry's key as the table has it (for an object whose objid the
        // dictionary lacks, that objid; -1 when it has none that is an integer).
        int32_t tagId = -1;
        // FAULT_DICTIONARY: the objid of the object the entry stands in; -1 at message level.
        int32_t objectId = -1;
        // FAULT_DICTIONARY: the dictionary's definition of the tag, null when it has none there.
        const QuorrelTagDef* def = nullptr;
        // FAULT_DICTIONARY: the value, printable and cut to fit: 300, -1, 4000000000, 2.5, true,
        // "eth0" (a quote, a backslash and bytes outside printable ASCII as \xNN; "..." after the
        // closing quote when cut), nil, or object.
        char value[kValueText] = "";
    };
    // The earlier name, for callers written against it.
    using sReplySize = sReplyInfo;

    // A new reply message with id msg_id holding this table's entries as tags, each nested table
    // (an object, at message level only) as its "objid" tag followed by its entries. The caller
    // owns it. Each entry goes out as the dictionary (ZEL::DictDef) declares its tag: among the
    // common tags at message level, among the object's members inside one. An integer or boolean
    // (as 1 or 0) under a u8, u16 or u32 tag goes out at that width; an integer or float under a
    // float tag as a float; a text under a string tag as a string cut at its first NUL, under a
    // bytes tag whole; nil under a member as QT_NULL. Text keys and negative keys are left out.
    // Null when the reply would not be whole (FAULT_TOO_LARGE: more than QMsg::kMaxTags tags,
    // more than QMsg::kMaxDataBytes of data, a single text or byte string over 65535 bytes,
    // memory running out, or a table marked incomplete) or when it would break the dictionary
    // (FAULT_DICTIONARY: a key that is no tag id the dictionary has there, an object id it does not
    // know, an object inside an object, a value of another kind than the tag's type, an integer
    // outside the tag's range (u32() values count as unsigned), nil for a common tag). info, when
    // given, gets the size and the fault either way.
    QMsg* toQMsg(uint8_t msg_id, sReplyInfo* info = nullptr);
    // The fault of info as one line naming the tag and the value, such as "interface.mtu (74) is
    // u16, given 70000", "tag 99 is not a member of interface, given 5" or "object id 40 is not
    // in the dictionary"; the size ("5000 tags, 20000 bytes of data") for FAULT_TOO_LARGE; empty
    // for FAULT_NONE. Cut to fit size bytes with its NUL; returns buf.
    static const char* describeFault(const sReplyInfo& info, char* buf, size_t size);
    // Marks the table as only part of the answer it was filled from (the bridge stopped copying
    // a result too large for any reply): toQMsg then gives null. clear() unmarks it.
    void markIncomplete() { mIncomplete = true; }

    // Walks the tree depth-first and writes each entry as a debug line.
    void dump_table();

    size_t size() const { return mTable.size(); }
    // The key and the value of entry i (i < size()), by reference; valid until the table
    // changes. For walks that need no copies (the bridge).
    const cTableType& keyAt(size_t i) const { return mTable[i].first; }
    const cTableType& valueAt(size_t i) const { return mTable[i].second; }

    // Deletes the nested tables and drops every entry, keeping the room the entries took: a
    // table refilled for each request allocates nothing for its own entries.
    void clear();

private:
    using tEntries = std::vector<std::pair<cTableType, cTableType>>;
    // Entries a table makes room for when it is made: one allocation for a typical table, small
    // enough for the allocator's per-thread cache (blocks up to about a kilobyte).
    static constexpr size_t kFirstRoom = 960 / sizeof(std::pair<cTableType, cTableType>);
    static tEntries reserved() {
        tEntries entries;
        entries.reserve(kFirstRoom);
        return entries;
    }

    // Appends the tags of this table's entries to msg; def is the dictionary's object this
    // table stands for, null at message level. Counts into info; clears whole at the first tag
    // that cannot be made or added, after which tags are only counted. False at the first entry
    // the dictionary refuses, with the fault filled in.
    bool add_tags(QMsg* msg, const QuorrelObjectDef* def, sReplyInfo* info, bool* whole);
    // add_tags for an entry that is a table: an object at message level, its id tag then its
    // members.
    bool add_object(QMsg* msg, const QuorrelObjectDef* def, const cTableType& val, sReplyInfo* info,
                    bool* whole);
    void dump_level(int depth);

    tEntries mTable = reserved();
    bool mIncomplete = false;
};
