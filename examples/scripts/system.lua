-- system.lua: serves object 32 "system" of the dictionary (docs/dictionary.md): the device's
-- host name, location and contact, which it keeps in system.conf in the data folder (see
-- tamo_store.lua), and its uptime and load, read from /proc at each get.
--
-- Writing a new script: copy this file, change OBJID, NAME and the members table to the
-- object's tags, and keep the five global functions. getObjects runs once at start-up; the
-- daemon runs the whole file again before every request, so keep top-level code to definitions
-- (no I/O) and keep state in files, not globals. docs/scripting.md has the whole contract.
-- A device script would also apply each setting (here: the kernel's host name); this example
-- only keeps it.
local store = require "tamo_store"

local OBJID, NAME = 32, "system"
local UPTIME, LOAD = 67, 68

local members = {
    [64] = {key = "hostname", valid = store.text},
    [65] = {key = "location", valid = store.text, default = ""},
    [66] = {key = "contact", valid = store.text, default = ""},
    [UPTIME] = {key = "uptime", readonly = true},
    [LOAD] = {key = "load", readonly = true},
}

local function first_line(path)
    local f = io.open(path, "r")
    if not f then
        return nil
    end
    local line = f:read("l")
    f:close()
    return line
end

-- The members of the one system object: saved settings over live values.
local function current()
    local out = store.members(store.load(NAME), members, "")
    if out[64] == nil then
        out[64] = first_line("/proc/sys/kernel/hostname") or ""
    end
    local up = tonumber((first_line("/proc/uptime") or ""):match("^(%S+)"))
    out[UPTIME] = up and math.floor(up) or nil
    -- A whole number (0.00 on an idle device) crosses as an integer, see docs/scripting.md.
    out[LOAD] = tonumber((first_line("/proc/loadavg") or ""):match("^(%S+)"))
    return out
end

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

-- The whole object, for each system object of the request (named tags cannot be told apart
-- in Lua, see docs/scripting.md).
function getConfig(req)
    local r = store.reply(req)
    for _ in ipairs(store.objects(req, OBJID)) do
        store.add_object(r, OBJID, current())
    end
    return r
end

function setConfig(req)
    store.report("system.lua", set_members(req, store.load(NAME)))
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
