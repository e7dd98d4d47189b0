// The journal of a confirmed write awaiting its confirmation: who asked, how long it may wait,
// and for each object of the write what it was before, so that a write that is not confirmed in
// time, or that a restart interrupted, can be undone. It lives in one file in the state folder
// (setting "tamo.state.dir"), written crash-safe before the write runs.
//
// Objects are kept as message bytes: a QMsg with one segment (at most 65535 bytes) holding one
// object, its id tag and its members, each member of its dictionary type, so that the bytes
// pass the dictionary check and become a request table again.
//
// Nothing here throws or keeps state, and nothing locks. The table helpers (findObject,
// objectBytes, tableFromBytes) work on cConfigTable and so belong to the main thread, like it;
// the rest may run on any thread. A false result comes with its reason in *reason when reason is
// not null; on success *reason is left as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class cConfigTable;

// One object of the write, in the write's order.
struct sJournalObject {
    uint8_t objectId = 0;
    bool existed = false; // the object was there before the write
    // The write's object as the write named it (journal::objectBytes); never empty. A rollback
    // deletes it when the object did not exist before.
    std::string write;
    // The object as getConfig answered before the write (journal::objectBytes); empty exactly
    // when the object did not exist.
    std::string before;
};

struct sJournal {
    uint32_t transaction = 0;
    uint32_t peerAddress = 0; // IPv4, as in sin_addr.s_addr (network byte order)
    uint16_t peerPort = 0;    // as in sin_port (network byte order)
    uint32_t seconds = 0;     // granted for the confirmation
    std::vector<sJournalObject> objects;
};

namespace journal {

// The largest journal, file and encoding alike.
constexpr size_t kMaxBytes = 64 * 1024;
// The files in the state folder.
constexpr const char* kFileName = "pending-change.journal";
constexpr const char* kBadFileName = "pending-change.journal.bad";
// The message id of the object messages objectBytes makes (replace).
constexpr uint8_t kMessageId = 5;

// The CRC-32 (IEEE 802.3, the one zlib computes) of the n bytes at p: an encoding ends with
// that of all its bytes before it.
uint32_t checksum(const uint8_t* p, size_t n);

// Replaces *out with the encoding of j: a header (magic "TJNL", version), the fields and a
// CRC-32 over all of it, big-endian. False when the result would pass kMaxBytes, or when an
// object breaks the rules decode checks (see there); *out is then unchanged.
bool encode(const sJournal& j, std::string* out, std::string* reason);

// Reads a whole journal from the n bytes at p (which stay the caller's) into *j. False, *j
// unchanged, when the bytes are truncated, longer than kMaxBytes or than the journal they hold,
// have another magic or version or a wrong checksum, when their lengths do not add up, or when an
// object is not whole: its write message and (when it existed) its before message must each be
// one message that passes the dictionary and holds exactly one object, of the entry's id, and
// nothing else; before is empty exactly when the object did not exist.
bool decode(const uint8_t* p, size_t n, sJournal* j, std::string* reason);

// The first nested table of table (such as getConfig's answer) whose "objid" is objectId; null
// when there is none. The table keeps ownership.
cConfigTable* findObject(cConfigTable* table, uint8_t objectId);

// Replaces *bytes with the message (id kMessageId) of one object table: a nested table with its
// object id under "objid" and its members under their tag ids, as a request table or getConfig's
// answer holds it. Each member goes out as the dictionary's type: integers and booleans as the
// member's u8, u16 or u32 when the value fits, integers as float for a float member. Text keys
// other than "objid" and negative keys are left out, as in a reply. False, *bytes unchanged, when
// the object id or a member is not in the dictionary, a value does not fit its member's type, a
// member holds a table or opens another object, or the message would pass 65535 bytes.
bool objectBytes(cConfigTable* object, std::string* bytes, std::string* reason);

// A new request table (owned by the caller) from message bytes such as objectBytes makes: the
// common tags under their ids, then each object under its position (the first under 0) with
// "objid", exactly as the daemon builds the table of a request. Null, with the reason, when the
// bytes are not one whole message that passes the dictionary, or memory runs out.
cConfigTable* tableFromBytes(const std::string& bytes, std::string* reason);

// Saves j crash-safe (saveFileAtomically) as dir/kFileName, replacing any journal there. False
// when it cannot be encoded or written; the old file, if any, is then left whole.
bool save(const char* dir, const sJournal& j, std::string* reason);

// Reads dir/kFileName into *j. False with the reason "none" when there is no such file (nor
// folder); false with another reason, *j unchanged, when it cannot be read (not a regular file,
// larger than kMaxBytes, an I/O error) or decoded.
bool load(const char* dir, sJournal* j, std::string* reason);

// Unlinks dir/kFileName and flushes the folder, so that a crash afterwards cannot bring the
// journal back. True also when there was no journal (the folder is flushed all the same).
bool remove(const char* dir, std::string* reason);

// Renames dir/kFileName to dir/kBadFileName, replacing an older one, and flushes the folder: a
// journal that cannot be read or applied is then never applied nor retried, and stays for a
// person to look at. False with "none" when there is no journal.
bool keepAside(const char* dir, std::string* reason);

} // namespace journal
