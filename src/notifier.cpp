#include "notifier.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/errqueue.h>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "listsetting.h"
#include "qmsg.h"
#include "qstatus.h"
#include "segments.h"

namespace {

const char* const kCategory = "cNotifier";
const char* const kClient = "tamo";
constexpr uint8_t kClientTag = 1;
// Nested tables are copied this deep at most, as tables cross into Lua and back.
constexpr int kMaxDepth = 32;
// Refusals read from the error queue per flush; the queue itself is bounded by the kernel.
constexpr int kMaxRefusals = 64;

cQlogLimit g_overflow_limit;
cQlogLimit g_send_limit;
cQlogLimit g_memory_limit;

// A deep copy of t, nested tables at most kMaxDepth levels down.
std::unique_ptr<cConfigTable> copy_table(const cConfigTable& t, int depth = 0) {
    std::unique_ptr<cConfigTable> copy(new cConfigTable());
    for (size_t i = 0; i < t.size(); ++i) {
        const cTableType& v = t.valueAt(i);
        if (v.getType() != cTableType::TTE_TABLE) {
            copy->insert(t.keyAt(i), v);
            continue;
        }
        auto* nested = static_cast<cConfigTable*>(v);
        if (nested != nullptr && depth < kMaxDepth) {
            std::unique_ptr<cConfigTable> n = copy_table(*nested, depth + 1);
            copy->insert(t.keyAt(i), n.get());
            n.release();
        }
    }
    return copy;
}

bool same_table(const cConfigTable& a, const cConfigTable& b, int depth = 0);

// Same kind, same marks and same content; tables by what they hold.
bool same_value(const cTableType& a, const cTableType& b, int depth) {
    if (a.getType() != b.getType() || a.isUnsigned() != b.isUnsigned() ||
        a.isBytes() != b.isBytes()) {
        return false;
    }
    if (a.getType() != cTableType::TTE_TABLE) {
        return a == b;
    }
    auto* x = static_cast<cConfigTable*>(a);
    auto* y = static_cast<cConfigTable*>(b);
    if (x == nullptr || y == nullptr) {
        return x == y;
    }
    return depth < kMaxDepth && same_table(*x, *y, depth + 1);
}

bool same_table(const cConfigTable& a, const cConfigTable& b, int depth) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (!same_value(a.keyAt(i), b.keyAt(i), depth) ||
            !same_value(a.valueAt(i), b.valueAt(i), depth)) {
            return false;
        }
    }
    return true;
}

// The object's "objid", or -1.
int objid_of(const cConfigTable& object) {
    for (size_t i = 0; i < object.size(); ++i) {
        const cTableType& k = object.keyAt(i);
        if (k.getType() == cTableType::TTE_STRING && k.text() == "objid") {
            return static_cast<int>(object.valueAt(i));
        }
    }
    return -1;
}

// What the tags of t would take in a message: their count and data bytes.
void add_size(const cConfigTable& t, uint32_t* tags, uint64_t* bytes, int depth = 0) {
    for (size_t i = 0; i < t.size(); ++i) {
        const cTableType& v = t.valueAt(i);
        ++*tags;
        if (v.getType() == cTableType::TTE_TABLE) {
            auto* nested = static_cast<cConfigTable*>(v);
            if (nested != nullptr && depth < kMaxDepth) {
                add_size(*nested, tags, bytes, depth + 1);
            }
        } else if (v.getType() == cTableType::TTE_STRING) {
            *bytes += v.text().size();
        } else {
            *bytes += 4;
        }
    }
}

// The object of a mark: the request's entry under key 0.
const cConfigTable& object_of(const cConfigTable& request) {
    return *static_cast<cConfigTable*>(request.valueAt(0));
}

} // namespace

cNotifier::cNotifier() : cQlog(kCategory), mTx() {}

cNotifier::~cNotifier() {
    release();
}

void cNotifier::release() {
    if (mSocket >= 0) {
        close(mSocket);
        mSocket = -1;
    }
    mSinks.clear();
    mMarks.clear();
    mOverflow = false;
    mEverSent = false;
}

uint32_t cNotifier::configure(const char* sinks, uint32_t intervalMs) {
    release();
    mIntervalMs = intervalMs < kMinIntervalMs   ? kMinIntervalMs
                  : intervalMs > kMaxIntervalMs ? kMaxIntervalMs
                                                : intervalMs;
    try {
        mSinks.reserve(kMaxSinks);
        mMarks.reserve(kMaxMarked);
        forEachListEntry(sinks, [this](const char* b, const char* e) { add_sink(b, e); });
    } catch (...) {
        error("Out of memory reading the notification sinks");
        release();
    }
    if (mSinks.empty()) {
        return 0;
    }
    mSocket = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (mSocket < 0) {
        error("Cannot open the notification socket: %s; no notifications", std::strerror(errno));
        release();
        return 0;
    }
    // Refusals of datagrams already sent are queued for drain_refusals, also on a socket that
    // is not connected.
    int on = 1;
    if (setsockopt(mSocket, IPPROTO_IP, IP_RECVERR, &on, sizeof on) != 0) {
        warn("IP_RECVERR: %s; refusing sinks go unnoticed", std::strerror(errno));
    }
    info("Notifications go to %u sinks, at most one every %u ms", sinkCount(),
         static_cast<unsigned>(mIntervalMs));
    return sinkCount();
}

void cNotifier::add_sink(const char* begin, const char* end) {
    std::string entry(begin, end);
    size_t colon = entry.rfind(':');
    std::string host = colon != std::string::npos ? entry.substr(0, colon) : "";
    std::string port = colon != std::string::npos ? entry.substr(colon + 1) : "";
    uint32_t number = 0;
    bool digits = !port.empty() && port.size() <= 5 &&
                  port.find_first_not_of("0123456789") == std::string::npos;
    if (digits) {
        for (char c : port) {
            number = number * 10 + static_cast<uint32_t>(c - '0');
        }
    }
    if (host.empty() || !digits || number == 0 || number > 0xffff) {
        warn("tamo.notify.sinks: '%s' is not host:port; skipped", entry.c_str());
        return;
    }
    if (mSinks.size() == kMaxSinks) {
        warn("tamo.notify.sinks: '%s' is past the %u sinks allowed; skipped", entry.c_str(),
             static_cast<unsigned>(kMaxSinks));
        return;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || found == nullptr || found->ai_addrlen < sizeof(sockaddr_in)) {
        warn("tamo.notify.sinks: '%s' cannot be looked up (%s); skipped", entry.c_str(),
             rc != 0 ? gai_strerror(rc) : "no IPv4 address");
        if (found != nullptr) {
            freeaddrinfo(found);
        }
        return;
    }
    sSink sink{};
    std::memcpy(&sink.addr, found->ai_addr, sizeof sink.addr);
    freeaddrinfo(found);
    sink.addr.sin_port = htons(static_cast<uint16_t>(number));
    for (const sSink& s : mSinks) {
        if (s.addr.sin_addr.s_addr == sink.addr.sin_addr.s_addr &&
            s.addr.sin_port == sink.addr.sin_port) {
            warn("tamo.notify.sinks: '%s' is '%s' again; skipped", entry.c_str(), s.text.c_str());
            return;
        }
    }
    sink.transaction = 1;
    sink.text = entry;
    mSinks.push_back(std::move(sink));
}

void cNotifier::mark(const cConfigTable& object, bool deleted) {
    if (!enabled()) {
        return;
    }
    if (pending()) {
        ++mCounters.coalesced;
    }
    if (mOverflow) {
        return;
    }
    for (sMark& m : mMarks) {
        if (same_table(object_of(*m.request), object)) {
            m.deleted = deleted;
            return;
        }
    }
    if (mMarks.size() == kMaxMarked) {
        limited(g_overflow_limit, INFO,
                "More than %u objects changed within %u ms: sinks are told to read everything",
                static_cast<unsigned>(kMaxMarked), static_cast<unsigned>(mIntervalMs));
        mMarks.clear();
        mOverflow = true;
        return;
    }
    try {
        std::unique_ptr<cConfigTable> request(new cConfigTable());
        std::unique_ptr<cConfigTable> copy = copy_table(object);
        request->insert(0, copy.get());
        copy.release();
        mMarks.push_back(sMark{std::move(request), deleted});
    } catch (...) {
        limited(g_memory_limit, ERROR,
                "Out of memory marking a change: sinks are told to read everything");
        mMarks.clear();
        mOverflow = true;
    }
}

uint64_t cNotifier::nextDueMs(uint64_t nowMs) const {
    if (!enabled() || !pending()) {
        return kNoneDue;
    }
    uint64_t due = mEverSent ? mLastMs + mIntervalMs : 0;
    return due > nowMs ? due : nowMs;
}

bool cNotifier::flush(uint64_t nowMs, const tReader& reader) {
    if (nextDueMs(nowMs) != nowMs) {
        return false;
    }
    drain_refusals();
    try {
        cConfigTable objects;
        if (!mOverflow && !collect(reader, &objects)) {
            limited(g_overflow_limit, INFO,
                    "The changed objects do not fit one notification: sinks are told to read "
                    "everything");
            mOverflow = true;
        }
        if (mOverflow) {
            objects.clear();
        }
        if (!send_all(objects, mOverflow ? "overflow" : nullptr)) {
            limited(g_overflow_limit, INFO,
                    "The changed objects do not make a message: sinks are told to read everything");
            send_all(cConfigTable(), "overflow");
        }
    } catch (...) {
        limited(g_memory_limit, ERROR, "Out of memory building a notification; not sent");
    }
    mMarks.clear();
    mOverflow = false;
    mEverSent = true;
    mLastMs = nowMs;
    return true;
}

void cNotifier::restart(uint64_t nowMs) {
    if (!enabled()) {
        return;
    }
    drain_refusals();
    try {
        send_all(cConfigTable(), "restart");
    } catch (...) {
        limited(g_memory_limit, ERROR, "Out of memory building a notification; not sent");
    }
    mEverSent = true;
    mLastMs = nowMs;
}

// Appends the marked objects as they are now to objects, each once; false when they would not
// fit one message.
bool cNotifier::collect(const tReader& reader, cConfigTable* objects) {
    uint32_t tags = 3; // client, transaction, and room for a reason
    uint64_t bytes = 4 + 4 + 8;
    int position = 0;
    cConfigTable out;
    auto add = [&](std::unique_ptr<cConfigTable> object) {
        for (size_t i = 0; i < objects->size(); ++i) {
            if (same_table(*static_cast<cConfigTable*>(objects->valueAt(i)), *object)) {
                return true;
            }
        }
        uint32_t t = 1;
        add_size(*object, &t, &bytes);
        tags += t;
        if (tags > QMsg::kMaxTags || bytes > QMsg::kMaxDataBytes) {
            return false;
        }
        objects->insert(position++, object.get());
        object.release();
        return true;
    };
    for (sMark& m : mMarks) {
        int objid = objid_of(object_of(*m.request));
        bool read = false;
        if (!m.deleted) {
            out.clear();
            reader(m.request.get(), &out);
            for (size_t i = 0; i < out.size(); ++i) {
                const cTableType& v = out.valueAt(i);
                auto* nested = static_cast<cConfigTable*>(v);
                if (v.getType() == cTableType::TTE_TABLE && nested != nullptr) {
                    read = true;
                    if (!add(copy_table(*nested))) {
                        return false;
                    }
                }
            }
        }
        if (!read) {
            std::unique_ptr<cConfigTable> bare(new cConfigTable());
            bare->insert(std::string("objid"), objid);
            if (!add(std::move(bare))) {
                return false;
            }
        }
    }
    return true;
}

// One notification to every sink. Sinks whose transactions agree share one message. False, with
// nothing sent, when the objects do not make a message (a text over 65535 bytes).
bool cNotifier::send_all(const cConfigTable& objects, const char* reason) {
    enum : uint8_t { kToDo, kThisMessage, kDone };
    uint8_t state[kMaxSinks] = {};
    bool ok[kMaxSinks] = {};
    for (size_t first = 0; first < mSinks.size(); ++first) {
        if (state[first] != kToDo) {
            continue;
        }
        uint32_t transaction = mSinks[first].transaction;
        cConfigTable t;
        t.insert(kClientTag, std::string(kClient));
        t.insert(cTableType(qstatus::kTransactionTag), cTableType::u32(transaction));
        if (reason != nullptr) {
            t.insert(qstatus::kReasonTag, std::string(reason));
        }
        for (size_t i = 0; i < objects.size(); ++i) {
            std::unique_ptr<cConfigTable> o =
                copy_table(*static_cast<cConfigTable*>(objects.valueAt(i)));
            t.insert(static_cast<int>(i), o.get());
            o.release();
        }
        std::unique_ptr<QMsg> msg(t.toQMsg(kNotifyId));
        if (msg == nullptr && first == 0 && objects.size() != 0) {
            return false;
        }
        for (size_t i = first; i < mSinks.size(); ++i) {
            if (state[i] == kToDo && mSinks[i].transaction == transaction) {
                state[i] = kThisMessage;
                ok[i] = msg != nullptr;
            }
        }
        if (msg != nullptr) {
            sendSegments(
                *this, "Notification", msg.get(), [this] { return mTx; },
                [&](uint16_t len) {
                    for (size_t i = first; i < mSinks.size(); ++i) {
                        if (state[i] == kThisMessage && ok[i] && !send_datagram(mSinks[i], len)) {
                            ok[i] = false;
                        }
                    }
                });
        } else {
            error("Notification %u does not make a message; not sent",
                  static_cast<unsigned>(transaction));
        }
        for (size_t i = first; i < mSinks.size(); ++i) {
            if (state[i] != kThisMessage) {
                continue;
            }
            state[i] = kDone;
            if (ok[i]) {
                ++mCounters.sent;
            } else if (msg == nullptr) {
                ++mCounters.failed;
            }
            ++mSinks[i].transaction;
        }
    }
    debug("Notification%s%s to %u sinks: %u objects", reason != nullptr ? " " : "",
          reason != nullptr ? reason : "", sinkCount(), static_cast<unsigned>(objects.size()));
    return true;
}

// Sends one datagram of len bytes from mTx to sink. A refusal the send reports belongs to an
// earlier datagram: it is counted, and the send tried once more.
bool cNotifier::send_datagram(sSink& sink, uint16_t len) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        ssize_t n = sendto(mSocket, mTx, len, MSG_DONTWAIT | MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr*>(&sink.addr), sizeof sink.addr);
        if (n == static_cast<ssize_t>(len)) {
            return true;
        }
        int err = n < 0 ? errno : EMSGSIZE;
        if (err == ECONNREFUSED) {
            drain_refusals();
            continue;
        }
        if (err == EINTR) {
            continue;
        }
        count_failure(&sink, err);
        return false;
    }
    count_failure(&sink, ECONNREFUSED);
    return false;
}

// Reads the refusals the kernel queued for datagrams already sent, each naming its sink.
void cNotifier::drain_refusals() {
    for (int i = 0; i < kMaxRefusals; ++i) {
        sockaddr_in to{};
        uint8_t data[64];
        alignas(cmsghdr) uint8_t control[256];
        iovec iov{data, sizeof data};
        msghdr h{};
        h.msg_name = &to;
        h.msg_namelen = sizeof to;
        h.msg_iov = &iov;
        h.msg_iovlen = 1;
        h.msg_control = control;
        h.msg_controllen = sizeof control;
        if (recvmsg(mSocket, &h, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
            return;
        }
        int err = ECONNREFUSED;
        for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_RECVERR &&
                c->cmsg_len >= CMSG_LEN(sizeof(sock_extended_err))) {
                sock_extended_err ee{};
                std::memcpy(&ee, CMSG_DATA(c), sizeof ee);
                err = static_cast<int>(ee.ee_errno);
            }
        }
        const sSink* sink = nullptr;
        for (const sSink& s : mSinks) {
            if (s.addr.sin_addr.s_addr == to.sin_addr.s_addr && s.addr.sin_port == to.sin_port) {
                sink = &s;
            }
        }
        count_failure(sink, err);
    }
}

void cNotifier::count_failure(const sSink* sink, int err) {
    ++mCounters.failed;
    limited(g_send_limit, WARN, "Notification to %s failed: %s",
            sink != nullptr ? sink->text.c_str() : "a former sink", std::strerror(err));
}
