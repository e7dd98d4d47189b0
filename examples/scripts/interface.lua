-- interface.lua: serves object 33 "interface" of the dictionary (docs/dictionary.md): one
-- network interface per object, addressed by its name (tag 72). Settings are kept in
-- interface.conf in the data folder (see tamo_store.lua) as "<name>.<member>" keys; what is not
-- set comes from the kernel (/sys/class/net) or the defaults below.
--
-- How to write a script like this one: docs/scripting.md, "Writing a new script".
-- A device script would also apply each setting (ip link, ip address); this example only keeps
-- them. The hardware address (77) is a byte string of 6 bytes: the request table holds it as a
-- Lua string with every byte, and the reply sends it back whole as the dictionary's bytes tag.
local store = require "tamo_store"

getObjects, getConfig, setConfig, replaceConfig, deleteConfig = store.serve(function()
    local OBJID, NAME = 33, "interface"
    local IFNAME = 72
    local SYS = "/sys/class/net/"

    local members = {
        [73] = {key = "enabled", valid = store.flag, default = 1},
        [74] = {key = "mtu", valid = store.range(68, 65536), default = 1500},
        [75] = {key = "address", valid = store.ipv4_prefix, default = ""},
        [76] = {key = "speed", valid = store.range(0, 4294967295), default = 0},
        [77] = {key = "mac", valid = function(v) return type(v) == "string" and #v == 6 end},
    }

    -- Names the kernel would accept: no "/", no blanks, not "." or "..", at most 15 bytes.
    local function valid_name(n)
        return type(n) == "string" and n:match("^[%w%.%-_:@]+$") ~= nil and #n <= 15 and n ~= "."
            and n ~= ".."
    end

    -- Settings are kept for at most this many interfaces, so that no peer can make the file, and
    -- the work of every request that reads it, grow without end.
    local MAX_SAVED = 32

    local function read_sys(name, file)
        local f = io.open(SYS .. name .. "/" .. file, "r")
        if not f then
            return nil
        end
        local ok, v = pcall(f.read, f, "l") -- some files refuse reads (speed of a virtual link)
        f:close()
        return ok and v or nil
    end

    -- The names that have saved settings (keys "<name>.<member>"), as a set, and how many.
    local function saved_names(values)
        local seen, count = {}, 0
        for key in pairs(values) do
            local n = key:match("^(.*)%.[^.]+$")
            if n and not seen[n] then
                seen[n], count = true, count + 1
            end
        end
        return seen, count
    end

    -- The interfaces there are: those with saved settings and those the kernel lists.
    local function known(values)
        local seen = saved_names(values)
        local names = {}
        for n in pairs(seen) do
            names[#names + 1] = n
        end
        -- The kernel's interfaces, one "name: counters" line each after two header lines.
        local dev = io.open("/proc/net/dev", "r")
        if dev then
            for line in dev:lines() do
                local n = line:match("^%s*([^%s:]+):")
                if valid_name(n) and not seen[n] then
                    seen[n], names[#names + 1] = true, n
                end
            end
            dev:close()
        end
        table.sort(names)
        return names
    end

    -- An interface exists when it has saved settings or the kernel has it.
    local function exists(values, name)
        if read_sys(name, "mtu") then
            return true
        end
        for _, n in ipairs(known(values)) do
            if n == name then
                return true
            end
        end
        return false
    end

    local function interface(values, name)
        local prefix = name .. "."
        local out = store.members(values, members, prefix)
        -- Nothing saved: what the kernel says.
        if values[prefix .. "mtu"] == nil then
            out[74] = math.tointeger(tonumber(read_sys(name, "mtu"))) or out[74]
        end
        if values[prefix .. "enabled"] == nil and read_sys(name, "operstate") then
            out[73] = read_sys(name, "operstate") ~= "down"
        end
        if values[prefix .. "mac"] == nil then
            -- The kernel writes it as text, "02:00:00:00:00:01"; the reply carries the 6 bytes.
            local text = read_sys(name, "address") or ""
            local hex = {text:match("^(%x%x):(%x%x):(%x%x):(%x%x):(%x%x):(%x%x)$")}
            if #hex == 6 then
                for i, h in ipairs(hex) do
                    hex[i] = string.char(tonumber(h, 16))
                end
                out[77] = table.concat(hex)
            end
        end
        if values[prefix .. "speed"] == nil then
            local speed = math.tointeger(tonumber(read_sys(name, "speed")))
            out[76] = speed and speed > 0 and speed or out[76]
        end
        out[IFNAME] = name
        return out
    end

    local function forget(values, name)
        for _, m in pairs(members) do
            values[name .. "." .. m.key] = nil
        end
    end

    -- Applies each object of req to values with change(values, name, obj, problems, stored),
    -- which says whether it changed anything and appends the names of the members it stored to
    -- stored; saves when one did, and returns the problems.
    local function each_named(req, values, change)
        local problems, stored, changed = {}, {}, false
        for _, obj in ipairs(store.objects(req, OBJID)) do
            if valid_name(obj[IFNAME]) then
                changed = change(values, obj[IFNAME], obj, problems, stored) or changed
            else
                store.problem(problems, "name", "missing or not a valid interface name",
                    "an interface object needs a valid name (72)")
            end
        end
        if changed then
            store.save_or_report(NAME, values, problems, stored)
        end
        return problems
    end

    local function set_one(values, name, obj, problems, stored, replacing)
        local seen, count = saved_names(values)
        if not seen[name] and count >= MAX_SAVED then
            local full = "settings are kept for " .. MAX_SAVED .. " interfaces at most"
            store.problem(problems, "name", full, full)
            return false
        end
        return store.update(values, obj, members, name .. ".", problems, IFNAME, stored, replacing)
            > 0
    end

    local function replace_one(values, name, obj, problems, stored)
        forget(values, name)
        set_one(values, name, obj, problems, stored, true)
        return true
    end

    local api = {}

    function api.getObjects()
        return {OBJID}
    end

    -- The named interface when it exists, or every interface when the object names none.
    function api.getConfig(req)
        local r = store.reply(req)
        local values = store.saved(NAME)
        for _, obj in ipairs(store.objects(req, OBJID)) do
            if obj[IFNAME] == nil then
                for _, name in ipairs(known(values)) do
                    store.add_object(r, OBJID, interface(values, name))
                end
            elseif valid_name(obj[IFNAME]) then
                -- No object for an interface that does not exist, so that a write creating it
                -- is undone by a delete.
                if exists(values, obj[IFNAME]) then
                    store.add_object(r, OBJID, interface(values, obj[IFNAME]))
                end
            else
                store.fail(r, "no such interface")
            end
        end
        return r
    end

    function api.setConfig(req)
        local problems = each_named(req, store.load(NAME), set_one)
        store.report("interface.lua", problems)
        return store.refusal(problems)
    end

    -- The named interfaces' saved settings become exactly the members given.
    function api.replaceConfig(req)
        return store.reply(req, each_named(req, store.load(NAME), replace_one))
    end

    -- Forgets the named interfaces' saved settings; the kernel's values and defaults show again.
    function api.deleteConfig(req)
        return store.reply(req, each_named(req, store.load(NAME), function(values, name)
            forget(values, name)
            return true
        end))
    end

    return api
end)
