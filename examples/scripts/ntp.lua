-- ntp.lua: serves object 34 "ntp" of the dictionary (docs/dictionary.md): the network time
-- client's server, switch and poll interval, kept in ntp.conf in the data folder (see
-- tamo_store.lua).
--
-- How to write a script like this one: docs/scripting.md, "Writing a new script".
-- A device script would also rewrite the time daemon's configuration and ask it for the offset
-- (83) and stratum (84); this example has no time daemon to ask and leaves them out.
local store = require "tamo_store"

getObjects, getConfig, setConfig, replaceConfig, deleteConfig = store.serve(function()
    local OBJID, NAME = 34, "ntp"

    local members = {
        [80] = {key = "server", valid = store.text, default = ""},
        [81] = {key = "enabled", valid = store.flag, default = 0},
        [82] = {key = "poll", valid = store.range(16, 65535), default = 64},
        [83] = {key = "offset", readonly = true},
        [84] = {key = "stratum", readonly = true},
    }

    return store.single(OBJID, NAME, members)
end)
