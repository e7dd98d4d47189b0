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
class QTag;
class QuorrelMessage;
class QuorrelObject;

// A value of one of six kinds. Converts to int, bool, float, text and table by fixed rules that
// never fail (a conversion that does not fit the kind gives -1, false, -1.0 or null). Copies
// share a nested table; the value never owns it.
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

private:
    eElementType mType;
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
    // Appends the entry for one tag; byte-string tags and unknown types add nothing.
    void insert(QTag* tag);

    // The value of the first entry whose key the probe equals (probe on the left), or the
    // integer -1.
    cTableType get(cTableType key);
    cTableType get(std::string key);

    // A new reply message with id msg_id holding this table's entries as tags, nested tables
    // flattened depth-first behind their object id tags. The caller owns it.
    QMsg* toQMsg(uint8_t msg_id);

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

    void addTags(QMsg* msg);
    void add_tag(QMsg* msg, QTag* tag);
    void dump_level(int depth);

    tEntries mTable = reserved();
};
