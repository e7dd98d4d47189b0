-- logging.lua: serves object 35 "logging" of the dictionary (docs/dictionary.md): the system
-- log's level, remote syslog host and port and size, kept in logging.conf in the data folder
-- (see tamo_store.lua).
--
-- Writing a new script: copy this file and change OBJID, NAME and the members table to the
-- object's tags; store.single makes the five entry points. getObjects runs once at start-up; the daemon
-- runs the whole file again before every request, so everything is built inside store.serve,
-- which builds it once per version of the file, and state is kept in files, not globals.
-- docs/scripting.md has the whole contract and what costs what.
-- A device script would also rewrite the syslog daemon's configuration and restart it; this
-- example only keeps the settings.
local store = require "tamo_store"

store.serve(function()
    local OBJID, NAME = 35, "logging"

    local members = {
        [88] = {key = "level", valid = store.range(0, 7), default = 6},
        [89] = {key = "remote_host", valid = store.text, default = ""},
        [90] = {key = "remote_port", valid = store.range(1, 65535), default = 514},
        [91] = {key = "max_size", valid = store.range(16, 1048576), default = 1024},
    }

    return store.single(OBJID, NAME, members)
end)
