-- system.lua: serves object 32 "system" of the dictionary (docs/dictionary.md): the device's
-- host name, location and contact, which it keeps in system.conf in the data folder (see
-- tamo_store.lua), and its uptime and load, read from /proc at each get.
--
-- How to write a script like this one: docs/scripting.md, "Writing a new script".
-- A device script would also apply each setting (here: the kernel's host name); this example
-- only keeps it.
local store = require "tamo_store"

getObjects, getConfig, setConfig, replaceConfig, deleteConfig = store.serve(function()
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
    local function current(values)
        local out = store.members(values, members, "")
        if out[64] == nil then
            out[64] = first_line("/proc/sys/kernel/hostname") or ""
        end
        local up = tonumber((first_line("/proc/uptime") or ""):match("^(%S+)"))
        out[UPTIME] = up and math.floor(up) or nil
        -- A whole number (0.00 on an idle device) crosses as an integer, see docs/scripting.md.
        out[LOAD] = tonumber((first_line("/proc/loadavg") or ""):match("^(%S+)"))
        return out
    end

    return store.single(OBJID, NAME, members, current)
end)
