-- logging.lua: serves object 35 "logging" of the dictionary (docs/dictionary.md): the system
-- log's level, remote syslog host and port and size, kept in logging.conf in the data folder
-- (see tamo_store.lua).
--
-- How to write a script like this one: docs/scripting.md, "Writing a new script".
-- A device script would also rewrite the syslog daemon's configuration and restart it; this
-- example only keeps the settings.
local store = require "tamo_store"

getObjects, getConfig, setConfig, replaceConfig, deleteConfig = store.serve(function()
    local OBJID, NAME = 35, "logging"

    local members = {
        [88] = {key = "level", valid = store.range(0, 7), default = 6},
        [89] = {key = "remote_host", valid = store.text, default = ""},
        [90] = {key = "remote_port", valid = store.range(1, 65535), default = 514},
        [91] = {key = "max_size", valid = store.range(16, 1048576), default = 1024},
    }

    return store.single(OBJID, NAME, members)
end)
