-- logging.lua: serves object 35 "logging" of the dictionary (docs/dictionary.md): the system
-- log's level, remote syslog host and port and size, kept in logging.conf in the data folder
-- (see tamo_store.lua).
--
-- Writing a new script: copy this file, change OBJID, NAME and the members table to the
-- object's tags, and keep the five global functions. getObjects runs once at start-up; the
-- daemon runs the whole file again before every request, so keep top-level code to definitions
-- (no I/O) and keep state in files, not globals. docs/scripting.md has the whole contract.
-- A device script would also rewrite the syslog daemon's configuration and restart it; this
-- example only keeps the settings.
local store = require "tamo_store"

local OBJID, NAME = 35, "logging"

local members = {
    [88] = {key = "level", valid = store.range(0, 7), default = 6},
    [89] = {key = "remote_host", valid = store.text, default = ""},
    [90] = {key = "remote_port", valid = store.range(1, 65535), default = 514},
    [91] = {key = "max_size", valid = store.range(16, 1048576), default = 1024},
}

-- Stores the members of req's objects over values; the file is written when any was taken,
-- or always for a replace.
local function set_members(req, values, replace)
    local problems, stored = {}, 0
    for _, obj in ipairs(store.objects(req, OBJID)) do
        stored = stored + store.update(values, obj, members, "", problems)
    end
    if stored > 0 or replace then
        local ok, err = store.save(NAME, values)
        if not ok then
            problems[#problems + 1] = "cannot save: " .. tostring(err)
        end
    end
    return problems
end

function getObjects()
    return {OBJID}
end

function getConfig(req)
    local r = store.reply(req)
    for _ in ipairs(store.objects(req, OBJID)) do
        store.add_object(r, OBJID, store.members(store.load(NAME), members, ""))
    end
    return r
end

function setConfig(req)
    store.report("logging.lua", set_members(req, store.load(NAME)))
end

-- Members not given go back to their defaults.
function replaceConfig(req)
    local problems = set_members(req, {}, true)
    local r = getConfig(req)
    if #problems > 0 then
        store.fail(r, table.concat(problems, "; "))
    end
    return r
end

-- Forgets the saved settings: every member is back to its default.
function deleteConfig(req)
    local r = store.reply(req)
    local ok, err = store.save(NAME, {})
    if not ok then
        store.fail(r, "cannot save: " .. tostring(err))
    end
    return r
end
