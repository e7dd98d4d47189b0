// 64-bit file sizes on 32-bit targets too, so that fstat reports any file's size.
#define _FILE_OFFSET_BITS 64

#include "journal.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "configtable.h"
#include "qmsg.h"
#include "qwire.h"
#include "safefile.h"
#include "zeldict.h"

namespace {

constexpr uint32_t kMagic = 0x544A4E4C; // "TJNL"
constexpr uint16_t kVersion = 1;
// Magic, version, length, transaction, address, port, seconds, object count; then the checksum.
constexpr size_t kHeaderBytes = 4 + 2 + 4 + 4 + 4 + 2 + 4 + 2;
constexpr size_t kChecksumBytes = 4;
// Object id, flags, and the two message lengths.
constexpr size_t kObjectBytes = 1 + 1 + 2 + 2;
constexpr uint8_t kExisted = 0x01;

// Sets the reason; always false, for "return fail(...)". Never throws.
bool fail(std::string* reason, const std::string& text) {
    if (reason != nullptr) {
        try {
            *reason = text;
        } catch (...) {
            reason->clear();
        }
    }
    return false;
}

// Runs step, turning a failed allocation into a false result.
template <typename F>
bool guarded(std::string* reason, F&& step) {
    try {
        return step();
    } catch (...) {
        return fail(reason, "out of memory");
    }
}

std::string errno_text(const char* step, const std::string& path, int err) {
    return std::string(step) + " " + path + ": " + std::strerror(err);
}

// "write message of object 2 (id 33)" and the like, for reasons.
std::string object_label(const char* what, size_t index, uint8_t id) {
    return std::string(what) + " message of object " + std::to_string(index) + " (id " +
           std::to_string(id) + ")";
}

// True when bytes is one whole message that passes the dictionary and holds exactly one object,
// of id objectId, and no common tag.
bool check_message(const std::string& bytes, uint8_t objectId, const std::string& label,
                   std::string* reason) {
    if (bytes.empty() || bytes.size() > qwire::kMaxSegmentBytes) {
        return fail(reason, label + " has " + std::to_string(bytes.size()) + " bytes");
    }
    QWireFault fault;
    std::unique_ptr<QMsg> msg(
        QMsg::parseMsg(bytes.data(), static_cast<uint16_t>(bytes.size()), &fault));
    char why[160];
    if (!msg) {
        return fail(reason, label + ": " + describeWireFault(fault, why, sizeof why));
    }
    QDictRefusal refusal;
    std::unique_ptr<QuorrelMessage> checked(
        QuorrelMessage::parseQMsg(ZEL::DictDef, msg.get(), &refusal));
    if (!checked) {
        return fail(reason, label + ": " + describeRefusal(refusal, why, sizeof why));
    }
    std::unique_ptr<std::vector<QTag*>> tags(checked->getTags());
    std::unique_ptr<std::vector<QuorrelObject*>> objects(checked->getObjects());
    if (!tags || !objects) {
        return fail(reason, "out of memory");
    }
    if (!tags->empty() || objects->size() != 1 || (*objects)[0]->getID() != objectId) {
        return fail(reason, label + " does not hold that one object alone");
    }
    return true;
}

bool check_object(const sJournalObject& o, size_t index, std::string* reason) {
    if (o.existed == o.before.empty()) {
        return fail(reason, "object " + std::to_string(index) +
                                (o.existed ? " existed but has no state before"
                                           : " did not exist but has a state before"));
    }
    return check_message(o.write, o.objectId, object_label("write", index, o.objectId), reason) &&
           (!o.existed ||
            check_message(o.before, o.objectId, object_label("before", index, o.objectId), reason));
}

bool object_bytes(cConfigTable* object, std::string* bytes, std::string* reason) {
    if (object == nullptr) {
        return fail(reason, "no object");
    }
    // The object alone in a table of its own, as a reply would carry it: the codec gives each
    // member the dictionary's type and refuses what the dictionary would refuse.
    cConfigTable top;
    auto* copy = new cConfigTable();
    top.insert(0, copy);
    for (size_t i = 0; i < object->size(); ++i) {
        if (object->valueAt(i).getType() == cTableType::TTE_TABLE) {
            return fail(reason,
                        "member " + static_cast<std::string>(object->keyAt(i)) + " holds a table");
        }
        copy->insert(object->keyAt(i), object->valueAt(i));
    }
    cConfigTable::sReplyInfo info;
    std::unique_ptr<QMsg> msg(top.toQMsg(journal::kMessageId, &info));
    if (!msg) {
        char why[160];
        return fail(reason, cConfigTable::describeFault(info, why, sizeof why));
    }
    if (msg->getTagList().empty()) {
        return fail(reason, "no object");
    }
    std::string buf(qwire::kMaxSegmentBytes, '\0');
    uint16_t n = msg->getMsg(&buf[0], static_cast<uint16_t>(buf.size()));
    if (n == 0) {
        return fail(reason, "the object's message passes " +
                                std::to_string(qwire::kMaxSegmentBytes) + " bytes");
    }
    buf.resize(n);
    bytes->swap(buf);
    return true;
}

bool encode_journal(const sJournal& j, std::string* out, std::string* reason) {
    if (j.objects.size() > 0xFFFF) {
        return fail(reason, "too many objects");
    }
    size_t total = kHeaderBytes + kChecksumBytes;
    for (size_t i = 0; i < j.objects.size(); ++i) {
        const sJournalObject& o = j.objects[i];
        if (!check_object(o, i, reason)) {
            return false;
        }
        total += kObjectBytes + o.write.size() + o.before.size();
        if (total > journal::kMaxBytes) {
            return fail(reason, "the journal passes " + std::to_string(journal::kMaxBytes) +
                                    " bytes at object " + std::to_string(i));
        }
    }
    std::string buf(total, '\0');
    auto* p = reinterpret_cast<uint8_t*>(&buf[0]);
    qwire::Writer w(p, total);
    w.u32(kMagic);
    w.u16(kVersion);
    w.u32(static_cast<uint32_t>(total));
    w.u32(j.transaction);
    w.u32(ntohl(j.peerAddress));
    w.u16(ntohs(j.peerPort));
    w.u32(j.seconds);
    w.u16(static_cast<uint16_t>(j.objects.size()));
    for (const sJournalObject& o : j.objects) {
        w.u8(o.objectId);
        w.u8(o.existed ? kExisted : 0);
        w.u16(static_cast<uint16_t>(o.write.size()));
        w.bytes(reinterpret_cast<const uint8_t*>(o.write.data()), o.write.size());
        w.u16(static_cast<uint16_t>(o.before.size()));
        w.bytes(reinterpret_cast<const uint8_t*>(o.before.data()), o.before.size());
    }
    w.u32(journal::checksum(p, total - kChecksumBytes));
    if (!w.ok()) {
        return fail(reason, "the journal does not fit its own length");
    }
    out->swap(buf);
    return true;
}

// The message of length-prefixed bytes next in r, or false when r runs short.
bool read_message(qwire::Reader& r, std::string* bytes) {
    uint16_t len = r.u16();
    const uint8_t* b = r.bytes(len);
    if (!r.ok()) {
        return false;
    }
    bytes->assign(reinterpret_cast<const char*>(b), len);
    return true;
}

bool decode_journal(const uint8_t* p, size_t n, sJournal* j, std::string* reason) {
    if (p == nullptr || n < kHeaderBytes + kChecksumBytes) {
        return fail(reason, "truncated: " + std::to_string(n) + " bytes");
    }
    if (n > journal::kMaxBytes) {
        return fail(reason, std::to_string(n) + " bytes, more than a journal may hold");
    }
    qwire::Reader r(p, n);
    uint32_t magic = r.u32();
    uint16_t version = r.u16();
    uint32_t length = r.u32();
    if (magic != kMagic) {
        return fail(reason, "not a journal (magic)");
    }
    if (version != kVersion) {
        return fail(reason, "journal version " + std::to_string(version) + " unknown");
    }
    if (length != n) {
        return fail(reason,
                    std::to_string(n) + " bytes where the journal says " + std::to_string(length));
    }
    qwire::Reader tail(p + n - kChecksumBytes, kChecksumBytes);
    if (tail.u32() != journal::checksum(p, n - kChecksumBytes)) {
        return fail(reason, "checksum mismatch");
    }
    sJournal got;
    got.transaction = r.u32();
    got.peerAddress = htonl(r.u32());
    got.peerPort = htons(r.u16());
    got.seconds = r.u32();
    uint16_t count = r.u16();
    for (size_t i = 0; i < count; ++i) {
        sJournalObject o;
        o.objectId = r.u8();
        uint8_t flags = r.u8();
        if (!read_message(r, &o.write) || !read_message(r, &o.before) ||
            r.left() < kChecksumBytes) {
            return fail(reason, "object " + std::to_string(i) + " runs past the journal");
        }
        if ((flags & ~kExisted) != 0) {
            return fail(reason, "object " + std::to_string(i) + " has unknown flags");
        }
        o.existed = (flags & kExisted) != 0;
        if (!check_object(o, i, reason)) {
            return false;
        }
        got.objects.push_back(std::move(o));
    }
    if (r.left() != kChecksumBytes) {
        return fail(reason,
                    std::to_string(r.left() - kChecksumBytes) + " bytes after the last object");
    }
    *j = std::move(got);
    return true;
}

// dir/name, or false when there is no folder.
bool path_of(const char* dir, const char* name, std::string* path, std::string* reason) {
    if (dir == nullptr || *dir == '\0') {
        return fail(reason, "no state folder");
    }
    *path = std::string(dir) + "/" + name;
    return true;
}

bool load_journal(const char* dir, sJournal* j, std::string* reason) {
    std::string path;
    if (!path_of(dir, journal::kFileName, &path, reason)) {
        return false;
    }
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        return fail(reason, errno == ENOENT ? "none" : errno_text("open", path, errno));
    }
    struct stat st {};
    std::string data;
    std::string problem;
    if (fstat(fd, &st) != 0) {
        problem = errno_text("stat", path, errno);
    } else if (!S_ISREG(st.st_mode)) {
        problem = path + " is not a regular file";
    } else if (st.st_size > static_cast<off_t>(journal::kMaxBytes)) {
        problem = path + " holds more than " + std::to_string(journal::kMaxBytes) + " bytes";
    } else {
        // One byte more than a journal may hold: a file that grew meanwhile shows.
        data.resize(journal::kMaxBytes + 1);
        size_t got = 0;
        while (got < data.size()) {
            ssize_t k = read(fd, &data[got], data.size() - got);
            if (k < 0 && errno == EINTR) {
                continue;
            }
            if (k < 0) {
                problem = errno_text("read", path, errno);
            }
            if (k <= 0) {
                break;
            }
            got += static_cast<size_t>(k);
        }
        data.resize(got);
    }
    close(fd);
    if (!problem.empty()) {
        return fail(reason, problem);
    }
    std::string why;
    if (!decode_journal(reinterpret_cast<const uint8_t*>(data.data()), data.size(), j, &why)) {
        return fail(reason, path + ": " + why);
    }
    return true;
}

// Opens dir, runs change on it (false with errno set on failure; missing tells ENOENT apart),
// then flushes the folder so that the change survives a crash.
template <typename F>
bool change_folder(const char* dir, const char* what, const char* missing, F&& change,
                   std::string* reason) {
    std::string path;
    if (!path_of(dir, journal::kFileName, &path, reason)) {
        return false;
    }
    int dfd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd < 0) {
        return fail(reason, errno_text("open folder", dir, errno));
    }
    if (!change(dfd)) {
        int err = errno;
        close(dfd);
        if (err == ENOENT && missing != nullptr) {
            return fail(reason, missing);
        }
        return fail(reason, errno_text(what, path, err));
    }
    // A file system that cannot flush a folder (EINVAL) makes the change durable without it.
    bool ok = fsync(dfd) == 0 || errno == EINVAL;
    int err = errno;
    close(dfd);
    return ok || fail(reason, errno_text("flush the folder of", path, err));
}

} // namespace

namespace journal {

uint32_t checksum(const uint8_t* p, size_t n) {
    uint32_t c = 0xFFFFFFFFu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int bit = 0; bit < 8; ++bit) {
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
        }
    }
    return ~c;
}

bool encode(const sJournal& j, std::string* out, std::string* reason) {
    return guarded(reason, [&] { return encode_journal(j, out, reason); });
}

bool decode(const uint8_t* p, size_t n, sJournal* j, std::string* reason) {
    return guarded(reason, [&] { return decode_journal(p, n, j, reason); });
}

cConfigTable* findObject(cConfigTable* table, uint8_t objectId) {
    for (size_t i = 0; table != nullptr && i < table->size(); ++i) {
        auto* nested = static_cast<cConfigTable*>(table->valueAt(i));
        if (nested == nullptr) {
            continue;
        }
        cTableType id = nested->get(std::string("objid"));
        if (id.getType() == cTableType::TTE_NUM && static_cast<int>(id) == objectId) {
            return nested;
        }
    }
    return nullptr;
}

bool objectBytes(cConfigTable* object, std::string* bytes, std::string* reason) {
    return guarded(reason, [&] { return object_bytes(object, bytes, reason); });
}

cConfigTable* tableFromBytes(const std::string& bytes, std::string* reason) {
    cConfigTable* table = nullptr;
    guarded(reason, [&] {
        if (bytes.empty() || bytes.size() > qwire::kMaxSegmentBytes) {
            return fail(reason, "a message of " + std::to_string(bytes.size()) + " bytes");
        }
        QWireFault fault;
        std::unique_ptr<QMsg> msg(
            QMsg::parseMsg(bytes.data(), static_cast<uint16_t>(bytes.size()), &fault));
        char why[160];
        if (!msg) {
            return fail(reason, describeWireFault(fault, why, sizeof why));
        }
        QDictRefusal refusal;
        std::unique_ptr<QuorrelMessage> checked(
            QuorrelMessage::parseQMsg(ZEL::DictDef, msg.get(), &refusal));
        if (!checked) {
            return fail(reason, describeRefusal(refusal, why, sizeof why));
        }
        table = new cConfigTable(checked.get());
        return true;
    });
    return table;
}

bool save(const char* dir, const sJournal& j, std::string* reason) {
    return guarded(reason, [&] {
        std::string path;
        std::string data;
        if (!path_of(dir, kFileName, &path, reason) || !encode_journal(j, &data, reason)) {
            return false;
        }
        char why[256];
        if (!saveFileAtomically(path.c_str(), data.data(), data.size(), why, sizeof why)) {
            return fail(reason, why);
        }
        return true;
    });
}

bool load(const char* dir, sJournal* j, std::string* reason) {
    return guarded(reason, [&] { return load_journal(dir, j, reason); });
}

bool remove(const char* dir, std::string* reason) {
    return guarded(reason, [&] {
        return change_folder(
            dir, "unlink", nullptr,
            [](int dfd) { return unlinkat(dfd, kFileName, 0) == 0 || errno == ENOENT; }, reason);
    });
}

bool keepAside(const char* dir, std::string* reason) {
    return guarded(reason, [&] {
        return change_folder(
            dir, "rename", "none",
            [](int dfd) { return renameat(dfd, kFileName, dfd, kBadFileName) == 0; }, reason);
    });
}

} // namespace journal
