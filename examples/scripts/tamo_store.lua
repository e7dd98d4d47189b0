-- tamo_store: helpers shared by the configuration scripts in this folder.
--
--   local store = require "tamo_store"
--
-- Settings file: each script keeps its settings in a file of its own, "<name>.conf" in the data
-- folder, as flat "key=value" lines. A value is a quoted string ("eth0"), a number (1500, 2.5)
-- or true/false; inside quotes and in keys every byte other than letters, digits and . - _ : / @
-- + , is written as \ddd (its decimal code), so any text survives, newlines and "=" included.
-- Lines that cannot be read are skipped. save() writes through tamo.save (a file of its own
-- beside the target, flushed to storage, renamed over the target, the folder flushed), so a
-- reader, a crash or a power cut sees the old file or the new one, never a mix. A file is read once per daemon run and then served from memory: the module outlives the
-- re-runs of the scripts that require it, and save() updates the memory with the file. A file
-- edited by hand therefore takes effect when the daemon restarts.
--
-- Data folder: $TAMO_DATA_DIR, else /var/lib/tamo. When it is missing it is created; when it
-- cannot be created or written (a dev host without root), $TMPDIR/tamo (or /tmp/tamo) is used
-- instead and one warning says so in the log. The choice is made once per script state.
--
-- Requests: objects(req, objid) lists the objects of a request table that carry that object id;
-- reply(req, problems) starts a response table that echoes the transaction tag and says "done"
-- (or fails with the problems given), and add_object / fail fill it in. Object ids and tag ids
-- are those of docs/dictionary.md.
--
-- Cost: the daemon runs a script's whole file before every request. serve(build) runs build
-- only once per version of the calling file and hands the same entry points to every later run,
-- so a run costs a few table reads, not the building of member tables and closures; an edit of
-- the file is a new version and is built afresh at its next request.
--
-- This file defines no getObjects, so the daemon runs it once at start-up, logs that it serves
-- nothing, and leaves it to require.

local tamo = require "tamo"

local M = {}

local TRANSACTION, STATUS, REASON = 2, 3, 4
-- The status of a write the script refuses, in part or whole (docs/scripting.md, "Status codes").
local REFUSED = 1
-- Reply objects sit under keys of their own, clear of the common tag ids 1-31 (only a nested
-- table's "objid" reaches the reply; its key does not).
local OBJECT_KEY = 100

local data_dir

local function shell_quote(s)
    return "'" .. s:gsub("'", "'\\''") .. "'"
end

local function writable(dir)
    local probe = dir .. "/.tamo-probe"
    local f = io.open(probe, "w")
    if not f then
        return false
    end
    f:close()
    os.remove(probe)
    return true
end

local function usable(dir)
    if writable(dir) then
        return true
    end
    os.execute("mkdir -p -- " .. shell_quote(dir) .. " 2>/dev/null")
    return writable(dir)
end

-- The folder settings files live in; see the header.
function M.dir()
    if data_dir then
        return data_dir
    end
    local wanted = os.getenv("TAMO_DATA_DIR")
    if not wanted or wanted == "" then
        wanted = "/var/lib/tamo"
    end
    if usable(wanted) then
        data_dir = wanted
    else
        local tmp = os.getenv("TMPDIR")
        if not tmp or tmp == "" then
            tmp = "/tmp"
        end
        data_dir = usable(tmp .. "/tamo") and tmp .. "/tamo" or tmp
        tamo.warn("cannot write %s, keeping settings in %s", wanted, data_dir)
    end
    return data_dir
end

local function escape(s)
    return (s:gsub("[^%w%.%-_:/@+,]", function(c)
        return string.format("\\%03d", c:byte())
    end))
end

local function unescape(s)
    return (s:gsub("\\(%d%d%d)", function(d)
        return string.char(tonumber(d) % 256)
    end))
end

local function encode(v)
    local t = type(v)
    if t == "string" then
        return '"' .. escape(v) .. '"'
    elseif t == "number" then
        return math.type(v) == "integer" and string.format("%d", v) or string.format("%.17g", v)
    elseif t == "boolean" then
        return tostring(v)
    end
    return nil
end

local function decode(text)
    local quoted = text:match('^"(.*)"$')
    if quoted then
        return unescape(quoted)
    elseif text == "true" then
        return true
    elseif text == "false" then
        return false
    end
    return math.tointeger(tonumber(text)) or tonumber(text)
end

local function path_of(name)
    return M.dir() .. "/" .. name .. ".conf"
end

-- Settings read or saved so far in this run, by name; see the header.
local cache = {}

local function copy(values)
    local out = {}
    for k, v in pairs(values) do
        out[k] = v
    end
    return out
end

local function read_file(name)
    local values = {}
    local f = io.open(path_of(name), "r")
    if not f then
        return values
    end
    for line in f:lines() do
        local key, text = line:match("^([^=#][^=]*)=(.*)$")
        if key then
            local v = decode(text)
            if v ~= nil then
                values[unescape(key)] = v
            end
        end
    end
    f:close()
    return values
end

-- The settings saved under name, as a table of key -> value that must not be changed (it is the
-- cache itself); empty when there are none yet.
function M.saved(name)
    if cache[name] == nil then
        cache[name] = read_file(name)
    end
    return cache[name]
end

-- The settings saved under name, as a new table of key -> value to change and save.
function M.load(name)
    return copy(M.saved(name))
end

-- Replaces the settings saved under name with values (keys are text; values text, numbers or
-- booleans; anything else is left out). Returns true, or nil and the reason. The file is written
-- with tamo.save: a power cut leaves the old settings or the new ones, never a torn file.
function M.save(name, values)
    local keys = {}
    for k, v in pairs(values) do
        if type(k) == "string" and encode(v) then
            keys[#keys + 1] = k
        end
    end
    table.sort(keys)
    local lines = {"# written by " .. name .. ".lua; one key=value per line"}
    for _, k in ipairs(keys) do
        lines[#lines + 1] = escape(k) .. "=" .. encode(values[k])
    end
    local ok, err = tamo.save(path_of(name), table.concat(lines, "\n") .. "\n")
    if not ok then
        return nil, err
    end
    local kept = {}
    for _, k in ipairs(keys) do
        kept[k] = values[k]
    end
    cache[name] = kept
    return true
end

-- Problems of a write are kept in a list, one entry per refused member: the reason a refused
-- set gives the peer, "<member>: <why>", and the text of the warning line it logs (also the
-- reason a replace or a delete gives), which one entry may share with the next ones (log nil).
function M.problem(problems, member, why, log)
    problems[#problems + 1] = {reason = member .. ": " .. why, log = log}
end

-- save(name, values), adding a problem for each member of the list stored (the names of the
-- members the write took) when it fails. The reason leaves out the error, which may name a path:
-- that stays in the log.
function M.save_or_report(name, values, problems, stored)
    local ok, err = M.save(name, values)
    if not ok then
        local log = "cannot save: " .. tostring(err)
        local names = stored and #stored > 0 and stored or {"settings"}
        for i, member in ipairs(names) do
            M.problem(problems, member, "not saved", i == 1 and log or nil)
        end
    end
end

-- The objects of request table req whose "objid" is objid, in request order.
function M.objects(req, objid)
    local list = {}
    for pos, obj in pairs(req) do
        if type(obj) == "table" and obj.objid == objid and math.type(pos) == "integer" then
            list[#list + 1] = pos
        end
    end
    if #list > 1 then
        table.sort(list)
    end
    for i, pos in ipairs(list) do
        list[i] = req[pos]
    end
    return list
end

-- The warning texts of problems, joined: the reason of a failed replace or delete.
local function logged(problems)
    local lines = {}
    for _, p in ipairs(problems) do
        lines[#lines + 1] = p.log
    end
    return table.concat(lines, "; ")
end

-- A response table for req: the client's transaction number (when the request table still has
-- it; an object at position 2 hides it) and status 0, or, when the list problems is given and
-- not empty, status 1 with the problems as its reason.
function M.reply(req, problems)
    local r = {[STATUS] = 0}
    if math.type(req[TRANSACTION]) == "integer" then
        r[TRANSACTION] = req[TRANSACTION]
    end
    if problems and #problems > 0 then
        M.fail(r, logged(problems))
    end
    return r
end

-- Appends members (tag id -> value), a table of the caller's own, to reply r as an object with
-- that objid; the table becomes part of the reply.
function M.add_object(r, objid, members)
    local obj = members
    obj.objid = objid
    local key = OBJECT_KEY
    while r[key] ~= nil do
        key = key + 1
    end
    r[key] = obj
    return r
end

-- Member checks: each takes a value from a request and says whether it may be stored.
function M.text(v)
    return type(v) == "string"
end

-- A flag arrives as the u8 0 or 1, or as a boolean where a get's answer is given back.
function M.flag(v)
    return v == 0 or v == 1 or type(v) == "boolean"
end

function M.range(lo, hi)
    return function(v)
        return math.type(v) == "integer" and v >= lo and v <= hi
    end
end

-- An IPv4 address with prefix length ("192.0.2.10/24"), or "" for none.
function M.ipv4_prefix(v)
    if v == "" then
        return true
    end
    if type(v) ~= "string" then
        return false
    end
    local a, b, c, d, len = v:match("^(%d+)%.(%d+)%.(%d+)%.(%d+)/(%d+)$")
    if not a then
        return false
    end
    for _, part in ipairs({a, b, c, d}) do
        if tonumber(part) > 255 then
            return false
        end
    end
    return tonumber(len) <= 32
end

-- Copies the members of request object obj into values, under prefix .. the member's key.
-- members maps tag id -> {key = name in the file, valid = check, default = value,
-- readonly = true}. The tag skip (the one that addresses the object) is passed over, and so are
-- read-only members when replacing (a replace may give back a whole get's answer, live values
-- included); every other unknown, read-only or refused member adds a problem and is not stored.
-- A flag is stored as 1 or 0. The names of the members stored are appended to the list stored
-- when given. Returns the number of members stored.
function M.update(values, obj, members, prefix, problems, skip, stored, replacing)
    local count = 0
    for tag, v in pairs(obj) do
        if tag ~= "objid" and tag ~= skip then
            local m = members[tag]
            if not m then
                local name = "tag " .. tostring(tag)
                M.problem(problems, name, "unknown member", name .. " cannot be set")
            elseif m.readonly then
                if not replacing then
                    local cannot = "tag " .. tostring(tag) .. " cannot be set"
                    M.problem(problems, m.key, "read-only", cannot)
                end
            elseif not m.valid(v) then
                -- The value is the peer's: escaped, so it cannot forge a log line.
                M.problem(problems, m.key, "value refused",
                    m.key .. " = " .. escape(tostring(v)) .. " refused")
            else
                if type(v) == "boolean" then
                    v = v and 1 or 0
                end
                values[prefix .. m.key] = v
                count = count + 1
                if stored then
                    stored[#stored + 1] = m.key
                end
            end
        end
    end
    return count
end

-- The members to answer with: the saved value under prefix .. key, else the default. Flags go
-- out as booleans, which the reply carries as the u8 tags the dictionary names.
function M.members(values, members, prefix)
    local out = {}
    for tag, m in pairs(members) do
        local v = values[prefix .. m.key]
        if v == nil then
            v = m.default
        end
        if m.valid == M.flag and v ~= nil then
            v = v == 1
        end
        out[tag] = v
    end
    return out
end

-- Logs what a write could not do, as warnings of the script's own category.
function M.report(script, problems)
    for _, p in ipairs(problems) do
        if p.log then
            tamo.warn("%s: %s", script, p.log)
        end
    end
end

-- The reply of a set: nothing when every member was stored, else status 1 and the reasons of
-- the refused members, "<member>: <why>" joined with "; ".
function M.refusal(problems)
    if #problems == 0 then
        return nil
    end
    local reasons = {}
    for _, p in ipairs(problems) do
        reasons[#reasons + 1] = p.reason
    end
    return {[STATUS] = REFUSED, [REASON] = table.concat(reasons, "; ")}
end

-- Marks reply r as failed with a status code (1 when not given) and a reason for people.
function M.fail(r, reason, code)
    r[STATUS] = code or REFUSED
    r[REASON] = reason
    return r
end

-- The five entry points of a script that serves one object that exists once on the device, as
-- the table serve wants: getObjects names objid; getConfig answers each object of the
-- request with the members current(values) gives for the saved values (by default the saved
-- values over the defaults; values must not be changed), the whole object whatever members the
-- get names (a get's member tags cannot be told apart in Lua, see docs/scripting.md); setConfig
-- stores the members it accepts and answers with the refusal of the others, if any;
-- replaceConfig stores exactly the members given (the others go back to their defaults) and
-- answers as a get; deleteConfig forgets the saved settings.
function M.single(objid, name, members, current)
    if not current then
        -- The answer for the saved values, made again only when they change (save() replaces
        -- the cached table; nothing changes it in place).
        local last_values, last
        current = function(values)
            if values ~= last_values then
                last_values, last = values, M.members(values, members, "")
            end
            return last
        end
    end
    local script = name .. ".lua"

    -- Stores the members of req's objects over values; the file is written when any was taken,
    -- or always for a replace.
    local function set_members(req, values, replace)
        local problems, stored = {}, {}
        for _, obj in ipairs(M.objects(req, objid)) do
            M.update(values, obj, members, "", problems, nil, stored, replace)
        end
        if #stored > 0 or replace then
            M.save_or_report(name, values, problems, stored)
        end
        return problems
    end

    local api = {}

    function api.getObjects()
        return {objid}
    end

    function api.getConfig(req)
        local r = M.reply(req)
        for _ in ipairs(M.objects(req, objid)) do
            M.add_object(r, objid, current(M.saved(name)))
        end
        return r
    end

    function api.setConfig(req)
        local problems = set_members(req, M.load(name))
        M.report(script, problems)
        return M.refusal(problems)
    end

    function api.replaceConfig(req)
        local problems = set_members(req, {}, true)
        local r = api.getConfig(req)
        if #problems > 0 then
            M.fail(r, logged(problems))
        end
        return r
    end

    function api.deleteConfig(req)
        local r = M.reply(req)
        local ok, err = M.save(name, {})
        if not ok then
            M.fail(r, "cannot save: " .. tostring(err))
        end
        return r
    end

    return api
end

-- What serve built, by the version of the file that built it (the compiled chunk, which the
-- daemon runs again unchanged until the file changes). Weak: a replaced version goes.
local built = setmetatable({}, {__mode = "k"})
local getinfo = debug and debug.getinfo

-- Returns the calling script's five entry points from the table build() returns, in the order
-- getObjects, getConfig, setConfig, replaceConfig, deleteConfig, for the script to assign to its
-- globals. build runs at the first run of each version of the calling file; later runs reuse its
-- table. Call it from the file's top level.
function M.serve(build)
    local chunk = getinfo and getinfo(2, "f").func
    local api = chunk and built[chunk]
    if api == nil then
        api = build()
        if chunk then
            built[chunk] = api
        end
    end
    return api.getObjects, api.getConfig, api.setConfig, api.replaceConfig, api.deleteConfig
end

return M
