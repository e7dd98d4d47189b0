-- ntp.lua: serves object 34 "ntp" of the dictionary (docs/dictionary.md): the network time
-- client's server, switch and poll interval, kept in ntp.conf in the data folder (see
-- tamo_store.lua).
--
-- Writing a new script: copy this file and change OBJID, NAME and the members table to the
-- object's tags; store.single makes the five entry points. getObjects runs once at start-up; the daemon
-- runs the whole file again before every request, so everything is built inside store.serve,
-- which builds it once per version of the file, and state is kept in files, not globals.
-- docs/scripting.md has the whole contract and what costs what.
-- A device script would also rewrite the time daemon's configuration and ask it for the offset
-- (83) and stratum (84); this example has no time daemon to ask and leaves them out.
local store = require "tamo_store"

store.serve(function()
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
