// Changes that undo themselves unless confirmed: the cConnection steps of the request road that
// journal a confirmed write, confirm or cancel it, and roll it back.
#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <sys/stat.h>

#include "clock.h"
#include "configscript.h"
#include "configtable.h"
#include "connection.h"
#include "journal.h"
#include "qmsg.h"
#include "qstatus.h"
#include "replies.h"

namespace {

// Message ids of the writes a confirmation can cover: set, delete, replace.
bool is_change(uint8_t id) {
    return id == 0 || id == 4 || id == 5;
}

uint32_t as_u32(const cTableType& v) {
    return static_cast<uint32_t>(static_cast<int>(v));
}

// The object ids a table addresses: its entries that are nested tables.
template <typename Each>
void each_object(const cConfigTable& t, Each each) {
    for (size_t i = 0; i < t.size(); ++i) {
        if (t.valueAt(i).getType() == cTableType::TTE_TABLE) {
            auto* obj = static_cast<cConfigTable*>(t.valueAt(i));
            if (obj != nullptr) {
                each(obj, static_cast<int>(obj->get(std::string("objid"))));
            }
        }
    }
}

// A request table holding a copy of obj's plain entries, as a get of that object.
void one_object(const cConfigTable& obj, cConfigTable* out) {
    auto* copy = new cConfigTable();
    out->insert(0, copy);
    for (size_t i = 0; i < obj.size(); ++i) {
        if (obj.valueAt(i).getType() != cTableType::TTE_TABLE) {
            copy->insert(obj.keyAt(i), obj.valueAt(i));
        }
    }
}

// An object of an answer that holds at least one member: the instance exists.
bool has_members(cConfigTable* obj) {
    return obj != nullptr && obj->size() > 1;
}

// How many objects of that id an answer holds.
size_t objects_of(const cConfigTable& answer, int objectId) {
    size_t n = 0;
    each_object(answer, [&](cConfigTable*, int id) { n += id == objectId ? 1 : 0; });
    return n;
}

// The status a script's answer gives: its top-level "status", 0 when it has none.
int answer_status(const cConfigTable& answer) {
    const cTableType* s = topValue(answer, qstatus::kStatusTag);
    return s != nullptr && s->getType() == cTableType::TTE_NUM ? static_cast<int>(*s) : 0;
}

// The state getConfig answers now for the object a request table names, as journal bytes;
// empty when it answers no such object.
std::string state_now(cConfigScript& script, cConfigTable* get, uint8_t objectId) {
    cConfigTable answer;
    std::string bytes;
    std::string reason;
    script.getCfg(get, &answer);
    cConfigTable* obj = journal::findObject(&answer, objectId);
    if (script.lastOutcome() != cLuaVM::OUTCOME_DONE || !has_members(obj) ||
        !journal::objectBytes(obj, &bytes, &reason)) {
        bytes.clear();
    }
    return bytes;
}

// Whether the journal saved o's instance already: an object of its id whose write names an
// instance getConfig now answers as it answers o's (an extension writing other values to it).
bool saved_already(cConfigScript& script, const sJournal& j, const sJournalObject& o) {
    for (const sJournalObject& known : j.objects) {
        if (known.objectId != o.objectId) {
            continue;
        }
        if (known.write == o.write) {
            return true;
        }
        std::string reason;
        std::unique_ptr<cConfigTable> get(journal::tableFromBytes(known.write, &reason));
        if (o.existed && get != nullptr && state_now(script, get.get(), o.objectId) == o.before) {
            return true;
        }
    }
    return false;
}

} // namespace

QMsg* cConnection::begin_change(sRequest& r, const cConfigTable& request) {
    if (!is_change(r.msgId)) {
        return nullptr;
    }
    auto refuse = [&](uint8_t status, const char* reason) {
        r.status = status;
        if (reason != nullptr) {
            r.reason = reason;
        }
        return statusReply(r.replyId, status, request, reason);
    };
    const cTableType* confirm = topValue(request, qstatus::kConfirmTag);
    const cTableType* tx = topValue(request, qstatus::kTransactionTag);
    if (confirm == nullptr) {
        // A plain write to an object the pending change holds would be undone with it.
        return holds(request) ? refuse(qstatus::kBusy, nullptr) : nullptr;
    }
    if (tx == nullptr || tx->getType() != cTableType::TTE_NUM) {
        return refuse(qstatus::kCannotUndo, "a confirmed change needs a transaction");
    }
    uint32_t transaction = as_u32(*tx);
    if (mPending.active && mPending.journal.transaction != transaction) {
        return refuse(qstatus::kBusy, nullptr);
    }
    uint32_t seconds = as_u32(*confirm) == 0 ? mConfirmDefault : as_u32(*confirm);
    if (seconds > mConfirmMax) {
        return refuse(qstatus::kCannotUndo, "the wait asked for is longer than allowed");
    }
    if (r.script == nullptr) {
        return refuse(qstatus::kCannotUndo, "its objects are not served here");
    }
    if (!r.script->hasEntry("getConfig") || !r.script->hasEntry("replaceConfig")) {
        return refuse(qstatus::kCannotUndo, "its script cannot read and replace these objects");
    }
    sJournal j = mPending.active ? mPending.journal : sJournal{};
    j.transaction = transaction;
    j.peerAddress = mCurrClient.sin_addr.s_addr;
    j.peerPort = mCurrClient.sin_port;
    j.seconds = seconds;
    std::string why;
    std::string bytes;
    if (!snapshot(r.script, request, &j, &why) || !journal::encode(j, &bytes, &why)) {
        warn("Confirmed change %u not started: %s", transaction, why.c_str());
        return refuse(qstatus::kCannotUndo, why.c_str());
    }
    if (!journal::save(mStateDir, j, &why)) {
        // The details (a path, an errno) stay in the log.
        error("Confirmed change %u not started: journal not saved: %s", transaction, why.c_str());
        return refuse(qstatus::kCannotUndo, "the journal could not be saved");
    }
    mPending.active = true;
    mPending.journal = std::move(j);
    mPending.deadlineMs = 0;
    r.confirmed = true;
    return nullptr;
}

bool cConnection::holds(const cConfigTable& request) const {
    bool held = false;
    each_object(request, [&](cConfigTable*, int id) {
        for (const sJournalObject& o : mPending.journal.objects) {
            held = held || (mPending.active && o.objectId == id);
        }
    });
    return held;
}

bool cConnection::snapshot(cConfigScript* script, const cConfigTable& request, sJournal* j,
                           std::string* why) {
    bool ok = true;
    // The state before, of every object not yet in the journal: an extension of the pending
    // change never overwrites the first snapshot of an object.
    each_object(request, [&](cConfigTable* obj, int id) {
        sJournalObject o;
        o.objectId = static_cast<uint8_t>(id);
        if (!ok || !journal::objectBytes(obj, &o.write, why)) {
            ok = false;
            return;
        }
        cConfigTable get;
        cConfigTable answer;
        one_object(*obj, &get);
        script->getCfg(&get, &answer);
        cConfigTable* before = journal::findObject(&answer, o.objectId);
        o.existed = has_members(before);
        if (objects_of(answer, id) > 1) {
            // The write names no one instance (an interface without its name): restoring the
            // first would store state the write never touched.
            *why = "its objects do not each name one instance";
            ok = false;
            return;
        }
        if (script->lastOutcome() != cLuaVM::OUTCOME_DONE ||
            (o.existed && !journal::objectBytes(before, &o.before, why)) ||
            (!o.existed && !script->hasEntry("deleteConfig"))) {
            *why = why->empty() ? "its script cannot read or remove these objects" : *why;
            ok = false;
            return;
        }
        if (!saved_already(*script, *j, o)) {
            j->objects.push_back(std::move(o));
        }
    });
    return ok;
}

void cConnection::end_change(sRequest& r, QMsg* reply) {
    if (!r.confirmed) {
        return;
    }
    if (r.status != 0 || reply == nullptr) {
        // A change that failed leaves nothing armed.
        roll_back("failed");
        return;
    }
    mPending.deadlineMs = monotonicMs() + uint64_t{mPending.journal.seconds} * 1000;
    markDone(reply, mPending.journal.transaction);
    info("Change %u awaits confirmation for %u s", mPending.journal.transaction,
         mPending.journal.seconds);
}

QMsg* cConnection::confirm_or_cancel(sRequest& r, const cConfigTable& request) {
    r.by = "tamo";
    const cTableType* tx = topValue(request, qstatus::kTransactionTag);
    if (!mPending.active || tx == nullptr || tx->getType() != cTableType::TTE_NUM ||
        as_u32(*tx) != mPending.journal.transaction) {
        r.status = qstatus::kNoSuchChange;
        return statusReply(r.replyId, qstatus::kNoSuchChange, request);
    }
    bool done = true;
    if (r.msgId == 6) {
        std::string why;
        if (!journal::remove(mStateDir, &why)) {
            error("Journal of change %u not removed: %s", mPending.journal.transaction,
                  why.c_str());
        }
        info("Change %u confirmed", mPending.journal.transaction);
        mPending = sPending{};
    } else {
        done = roll_back("cancel");
    }
    r.status = done ? qstatus::kDone : qstatus::kScriptFailed;
    return statusReply(r.replyId, static_cast<uint8_t>(r.status), request);
}

bool cConnection::roll_back(const char* why) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = mPending.journal.peerAddress;
    peer.sin_port = mPending.journal.peerPort;
    bool all = true;
    const std::vector<sJournalObject>& objects = mPending.journal.objects;
    for (size_t i = objects.size(); i-- > 0;) {
        const sJournalObject& o = objects[i];
        std::string reason;
        std::unique_ptr<cConfigTable> table(
            journal::tableFromBytes(o.existed ? o.before : o.write, &reason));
        cConfigScript* script = table ? cConfigScript::getScript(table.get()) : nullptr;
        const char* outcome = "no script serves it";
        if (script != nullptr) {
            cConfigTable answer;
            if (o.existed) {
                script->repCfg(table.get(), &answer);
            } else {
                script->delCfg(table.get(), &answer);
            }
            bool restored =
                script->lastOutcome() == cLuaVM::OUTCOME_DONE && answer_status(answer) == 0;
            outcome = restored ? "done" : "failed";
        }
        if (std::strcmp(outcome, "done") != 0) {
            all = false;
            error("Change %u: %s of object %u not undone (%s)", mPending.journal.transaction,
                  o.existed ? "restore" : "removal", o.objectId,
                  reason.empty() ? outcome : reason.c_str());
        }
        mAudit.rollback(peer, mPending.journal.transaction, o.objectId,
                        script != nullptr ? script->getName() : "-", why, outcome);
        if (table && std::strcmp(outcome, "done") == 0) {
            cConfigTable* restored = journal::findObject(table.get(), o.objectId);
            if (restored != nullptr) {
                mNotifier.mark(*restored, !o.existed);
            }
        }
    }
    std::string reason;
    if (all ? !journal::remove(mStateDir, &reason) : !journal::keepAside(mStateDir, &reason)) {
        error("Journal of change %u: %s", mPending.journal.transaction, reason.c_str());
    } else if (!all) {
        error("Change %u not wholly undone; its journal is kept aside in %s",
              mPending.journal.transaction, mStateDir);
    }
    info("Change %u rolled back (%s)", mPending.journal.transaction, why);
    mPending = sPending{};
    return all;
}

void cConnection::recover_pending() {
    // The state folder is the service manager's to make; on a development run it may be missing.
    if (mkdir(mStateDir, 0700) == 0) {
        info("Created %s for the journal of changes awaiting confirmation", mStateDir);
    }
    std::string why;
    sJournal j;
    if (journal::load(mStateDir, &j, &why)) {
        mPending.active = true;
        mPending.journal = std::move(j);
        roll_back("restart");
        return;
    }
    if (why != "none") {
        error("Journal of a pending change in %s cannot be read (%s); kept aside, not applied",
              mStateDir, why.c_str());
        journal::keepAside(mStateDir, &why);
    }
}

void cConnection::run_timers() {
    if (!mPending.active && !mNotifier.enabled() && mRcvTimeUs == mWakeUs) {
        return;
    }
    uint64_t wait = mWakeUs;
    uint64_t now = monotonicMs();
    if (mPending.active && mPending.deadlineMs != 0) {
        if (now >= mPending.deadlineMs) {
            roll_back("deadline");
        } else if ((mPending.deadlineMs - now) * 1000 < wait) {
            wait = (mPending.deadlineMs - now) * 1000;
        }
    }
    if (mNotifier.enabled()) {
        mNotifier.flush(now, [](cConfigTable* request, cConfigTable* out) {
            cConfigScript* script = cConfigScript::getScript(request);
            if (script != nullptr) {
                script->getCfg(request, out);
            }
        });
        uint64_t due = mNotifier.nextDueMs(now);
        if (due != cNotifier::kNoneDue) {
            // At least 1 ms: a time-out of 0 would make the receive wait for ever.
            wait = std::min(wait, std::max<uint64_t>(due > now ? (due - now) * 1000 : 0, 1000));
        }
    }
    if (wait != mRcvTimeUs) {
        timeval tv{static_cast<time_t>(wait / 1000000), static_cast<suseconds_t>(wait % 1000000)};
        setsockopt(mBrokerSocket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        mRcvTimeUs = wait;
    }
}
