// The dictionary as data. To extend it, add a row; keep every id unique across common tags,
// object ids and member tags (the dictionary test checks this), and list the row in
// docs/dictionary.md.
#include "zeldict.h"

namespace {

template <typename T, uint16_t N>
constexpr uint16_t count(const T (&)[N]) {
    return N;
}

constexpr QuorrelMsgDef kMessages[] = {
    {0, "set", "store the member values given"},
    {1, "get", "read the members named by QT_NULL tags, or the whole object when none"},
    {2, "action", "run an operation (accepted here; no script of the daemon handles it)"},
    {3, "notify", "report an event; the daemon sends it to its notification sinks"},
    {4, "delete", "remove the objects given"},
    {5, "replace", "replace the objects given as a whole"},
    {6, "confirm", "keep the change awaiting confirmation under this transaction"},
    {7, "cancel", "undo the change awaiting confirmation under this transaction"},
};

// Common tags: ids 1-31.
constexpr QuorrelTagDef kCommonTags[] = {
    {1, QT_STRING, "client", "name of the requesting client, for the device's log"},
    {2, QT_UINT32, "transaction", "number chosen by the client to match a reply to a request"},
    {3, QT_UINT8, "status", "result in a reply: 0 done, anything else an error code"},
    {4, QT_STRING, "reason", "why a request failed, for people"},
    {5, QT_UINT32, "confirm",
     "seconds until the change is undone unless confirmed; 0 means the default"},
};

// Member tags: ids from 64, a block of eight per object.
constexpr QuorrelTagDef kSystemTags[] = {
    {64, QT_STRING, "hostname", "host name of the device"},
    {65, QT_STRING, "location", "where the device is installed"},
    {66, QT_STRING, "contact", "who looks after the device"},
    {67, QT_UINT32, "uptime", "seconds since start-up (read only)"},
    {68, QT_FLOAT, "load", "load average over one minute (read only)"},
};

constexpr QuorrelTagDef kInterfaceTags[] = {
    {72, QT_STRING, "name", "interface the object addresses, e.g. eth0"},
    {73, QT_UINT8, "enabled", "1 up, 0 down"},
    {74, QT_UINT32, "mtu", "largest packet in bytes"},
    {75, QT_STRING, "address", "IPv4 address with prefix length, e.g. 192.0.2.10/24"},
    {76, QT_UINT32, "speed", "link speed in Mbit/s, 0 for automatic"},
    {77, QT_BYTES, "mac", "hardware address, 6 bytes"},
};

constexpr QuorrelTagDef kNtpTags[] = {
    {80, QT_STRING, "server", "host name or address of the time server"},
    {81, QT_UINT8, "enabled", "1 keeps the clock in step, 0 leaves it alone"},
    {82, QT_UINT16, "poll", "seconds between polls"},
    {83, QT_FLOAT, "offset", "last measured clock offset in milliseconds (read only)"},
    {84, QT_UINT8, "stratum", "stratum of the server in use (read only)"},
};

constexpr QuorrelTagDef kLoggingTags[] = {
    {88, QT_UINT8, "level", "lowest syslog severity kept, 0 emergency to 7 debug"},
    {89, QT_STRING, "remote_host", "syslog host records are sent to; empty for none"},
    {90, QT_UINT16, "remote_port", "UDP port of the syslog host"},
    {91, QT_UINT32, "max_size", "KiB of log kept on the device"},
};

constexpr QuorrelTagDef kTamoTags[] = {
    {96, QT_STRING, "version", "version of the daemon"},
    {97, QT_UINT32, "dictionary", "hash of the dictionary's content"},
    {98, QT_BYTES, "served", "ids of the objects the scripts serve, ascending"},
    {99, QT_BYTES, "writable", "of those, the ids the asking peer may write"},
    {100, QT_UINT32, "features",
     "bit 0 replay cache on, bit 1 confirmed changes supported, bit 2 notification sinks set"},
    {101, QT_UINT32, "uptime", "seconds since the daemon started"},
    {102, QT_UINT32, "pending", "transaction of the change awaiting confirmation, 0 when none"},
};

// Object ids: 32-63.
constexpr QuorrelObjectDef kObjects[] = {
    {32, "system", kSystemTags, count(kSystemTags), "identity and state of the device"},
    {33, "interface", kInterfaceTags, count(kInterfaceTags), "one network interface"},
    {34, "ntp", kNtpTags, count(kNtpTags), "network time client"},
    {35, "logging", kLoggingTags, count(kLoggingTags), "system log"},
    {36, "tamo", kTamoTags, count(kTamoTags), "what this daemon serves, read only"},
};

constexpr QuorrelDictDef kDictionary = {
    "zel", kMessages, count(kMessages), kCommonTags, count(kCommonTags), kObjects, count(kObjects),
};

} // namespace

namespace ZEL {

const QuorrelDictDef* DictDef = &kDictionary;

} // namespace ZEL
