// How a request went, as a reply says it: the common tags "status" (u8) and "reason" (text for
// people), and the status codes the daemon and the tools agree on (docs/wire-format.md).
//
// 0 is done. 1..199 belong to the configuration scripts (the example scripts use 1 for a refused
// write). 240..255 are the daemon's own; a script may put one there too, and it is passed on as
// given.
#pragma once

#include <cstdint>

namespace qstatus {

// Common tag ids of the dictionary that carry a request's outcome.
constexpr uint8_t kTransactionTag = 2;
constexpr uint8_t kStatusTag = 3;
constexpr uint8_t kReasonTag = 4;
constexpr uint8_t kConfirmTag = 5; // seconds a change waits for its confirmation

constexpr uint8_t kDone = 0;
constexpr uint8_t kRefused = 1; // the example scripts' code for a write they refuse
constexpr uint8_t kFirstScriptCode = 1;
constexpr uint8_t kLastScriptCode = 199;
constexpr uint8_t kFirstDaemonCode = 240;

constexpr uint8_t kWriteDenied = 240;  // the sender may read but not write
constexpr uint8_t kNotKept = 241;      // a repeated write whose first answer was too large to keep
constexpr uint8_t kBusy = 242;         // another change awaits confirmation
constexpr uint8_t kNoSuchChange = 243; // no change awaits confirmation under this transaction
constexpr uint8_t kCannotUndo = 244;   // a confirmed change the daemon could not undo: refused

constexpr uint8_t kScriptFailed = 250;  // a Lua error, or an answer the dictionary would refuse
constexpr uint8_t kOverBudget = 251;    // the script ran past its time or memory budget
constexpr uint8_t kNotServed = 252;     // the script serves the objects, not this request kind
constexpr uint8_t kReplyTooLarge = 253; // the reply would break the message limits

// The short, generic reason the daemon gives with one of its own codes; null for any other code.
// Never a path, a traceback or script text: those stay in the daemon's log.
inline const char* daemonReason(uint8_t status) {
    switch (status) {
    case kWriteDenied:
        return "not allowed to write";
    case kNotKept:
        return "repeated request; its first answer was not kept";
    case kBusy:
        return "another change awaits confirmation";
    case kNoSuchChange:
        return "no change awaits confirmation under this transaction";
    case kCannotUndo:
        return "this change could not be undone";
    case kScriptFailed:
        return "script failed";
    case kOverBudget:
        return "script ran past its budget";
    case kNotServed:
        return "not served";
    case kReplyTooLarge:
        return "reply too large";
    default:
        return nullptr;
    }
}

// How the daemon's audit line and the tools name a status: "done"; "refused" for a script's
// code; "error" for a code in neither range; a name of its own for each of the daemon's codes
// ("script error" and "over budget" as the audit line has always said), else "failed".
inline const char* statusName(uint8_t status) {
    if (status == kDone) {
        return "done";
    }
    if (status <= kLastScriptCode) {
        return "refused";
    }
    if (status < kFirstDaemonCode) {
        return "error";
    }
    switch (status) {
    case kWriteDenied:
        return "denied";
    case kNotKept:
        return "replayed";
    case kBusy:
        return "busy";
    case kNoSuchChange:
        return "no such change";
    case kCannotUndo:
        return "cannot undo";
    case kScriptFailed:
        return "script error";
    case kOverBudget:
        return "over budget";
    case kNotServed:
        return "not served";
    case kReplyTooLarge:
        return "reply too large";
    default:
        return "failed";
    }
}

} // namespace qstatus
