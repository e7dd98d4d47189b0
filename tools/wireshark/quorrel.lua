-- Wireshark dissector for Quorrel, the UDP protocol of the tamo configuration daemon.
--
-- Decodes the 8-byte segment header and every tag (id, type, cut marks, length, value), names
-- message kinds, objects and members from the device dictionary, marks the pieces of cut tags,
-- and joins the segments of a message into one reassembled view in the frame of its last
-- segment. A datagram that breaks a rule of the wire format is shown as malformed with the
-- reason; the dissector never raises a Lua error. docs/wire-format.md and docs/dictionary.md
-- describe the protocol.
--
-- The build writes a copy of this file with the dictionary filled in (quorrel-dict-lua, from
-- libzeldict); that copy is the one installed. Loaded as it stands here, the dissector decodes
-- everything but shows tags and messages by number only.
--
-- Runs on the Lua 5.2 of Wireshark 4: no integer division or bit operators.

-- BEGIN GENERATED DICTIONARY
local dictionary = {name = "", messages = {}, common = {}, objects = {}}
-- END GENERATED DICTIONARY

local HEADER = 8
local TAG_HEADER = 4
local MAGIC = 0x51
local VERSION = 1
-- Limits of a reassembled message, those of the message library: no capture can make the
-- dissector hold more.
local MAX_TAGS = 4096
local MAX_DATA = 256 * 1024
local MAX_TAG_DATA = 65535

local T_NULL, T_STRING, T_U32, T_U16, T_U8, T_BYTES, T_FLOAT = 0, 1, 2, 3, 4, 5, 6
local TYPE_NAMES = {[0] = "null", "string", "u32", "u16", "u8", "bytes", "float"}
local FIXED_SIZE = {[T_NULL] = 0, [T_U32] = 4, [T_U16] = 2, [T_U8] = 1, [T_FLOAT] = 4}

local function type_name(t)
    return TYPE_NAMES[t] or ("unknown type " .. t)
end

-- Every tag id resolves on its own, as the dictionary keeps the ids of common tags, objects and
-- members apart.
local by_id = {}
local message_vs, type_vs = {}, {}
for id, m in pairs(dictionary.messages) do
    message_vs[id] = m.name
end
for t = 0, 63 do
    type_vs[t] = type_name(t)
end
for id, def in pairs(dictionary.common) do
    by_id[id] = {kind = "common", def = def}
end
for id, obj in pairs(dictionary.objects) do
    by_id[id] = {kind = "object", def = obj}
    for mid, def in pairs(obj.members) do
        by_id[mid] = {kind = "member", def = def, object = id}
    end
end

local quorrel = Proto("quorrel", "Quorrel")

local f = {
    magic = ProtoField.uint8("quorrel.magic", "Magic", base.HEX),
    version = ProtoField.uint8("quorrel.version", "Version", base.DEC),
    msgid = ProtoField.uint8("quorrel.msgid", "Message", base.DEC, message_vs),
    seq = ProtoField.uint8("quorrel.seq", "Sequence number", base.DEC, nil, 0x7F),
    more = ProtoField.bool("quorrel.more", "More segments follow", 8, nil, 0x80),
    index = ProtoField.uint16("quorrel.segment", "Segment index", base.DEC),
    length = ProtoField.uint16("quorrel.length", "Payload length", base.DEC),
    tag_id = ProtoField.uint8("quorrel.tag.id", "Tag id", base.DEC),
    tag_name = ProtoField.string("quorrel.tag.name", "Tag name"),
    tag_type = ProtoField.uint8("quorrel.tag.type", "Type", base.DEC, type_vs, 0x3F),
    cut_more = ProtoField.bool("quorrel.tag.cut_more", "Cut: goes on in the next segment", 8,
                               nil, 0x80),
    cut_cont = ProtoField.bool("quorrel.tag.cut_cont", "Cut: goes on from the previous segment",
                               8, nil, 0x40),
    tag_length = ProtoField.uint16("quorrel.tag.length", "Data length", base.DEC),
    v_string = ProtoField.string("quorrel.value.string", "Value"),
    v_u32 = ProtoField.uint32("quorrel.value.u32", "Value", base.DEC),
    v_u16 = ProtoField.uint16("quorrel.value.u16", "Value", base.DEC),
    v_u8 = ProtoField.uint8("quorrel.value.u8", "Value", base.DEC),
    v_float = ProtoField.float("quorrel.value.float", "Value"),
    v_bytes = ProtoField.bytes("quorrel.value.bytes", "Value", base.COLON),
    object = ProtoField.string("quorrel.object", "Object"),
    object_id = ProtoField.uint8("quorrel.object.id", "Object id", base.DEC),
    segments = ProtoField.uint16("quorrel.segments", "Segments", base.DEC),
    segment_frame = ProtoField.framenum("quorrel.segment.frame", "Segment in frame"),
    reassembled_in = ProtoField.framenum("quorrel.reassembled_in", "Reassembled in frame"),
    reassembled_length = ProtoField.uint32("quorrel.reassembled.length", "Reassembled tag bytes",
                                           base.DEC),
}
quorrel.fields = {}
for _, field in pairs(f) do
    table.insert(quorrel.fields, field)
end

local ef = {
    malformed = ProtoExpert.new("quorrel.malformed", "Malformed Quorrel datagram",
                                expert.group.MALFORMED, expert.severity.ERROR),
    cut = ProtoExpert.new("quorrel.cut", "Piece of a tag cut across segments",
                          expert.group.REASSEMBLE, expert.severity.NOTE),
    unjoined = ProtoExpert.new("quorrel.unjoined", "Segment not joined to its message",
                               expert.group.REASSEMBLE, expert.severity.WARN),
    unknown = ProtoExpert.new("quorrel.unknown", "Tag not in the dictionary here",
                              expert.group.UNDECODED, expert.severity.WARN),
    fault = ProtoExpert.new("quorrel.fault", "Quorrel dissector fault",
                            expert.group.MALFORMED, expert.severity.ERROR),
}
quorrel.experts = {ef.malformed, ef.cut, ef.unjoined, ef.unknown, ef.fault}

quorrel.prefs.ports = Pref.range("UDP ports", "60000,60010",
                                 "UDP ports that carry Quorrel: the daemon's broker port and " ..
                                 "the upstream daemon's port", 65535)

-- Parsing, separate from showing: the checks of the message library, reading only inside tvb.

-- Reads the tags in [first, last) of tvb. Returns the list of tags and, when a rule is broken,
-- the reason and the offset where it was found. A tag: {offset, id, typebyte, type, length,
-- more (cut-more), cont (cut-cont)}; its data starts at offset + 4.
local function read_tags(tvb, first, last)
    local tags = {}
    local off = first
    while off < last do
        if #tags >= MAX_TAGS then
            return tags, "more than " .. MAX_TAGS .. " tags", off
        end
        if last - off < TAG_HEADER then
            return tags, "tag header cut short (" .. (last - off) .. " bytes left)", off
        end
        local typebyte = tvb(off + 1, 1):uint()
        local tag = {
            offset = off,
            id = tvb(off, 1):uint(),
            typebyte = typebyte,
            type = typebyte % 64,
            more = typebyte >= 128,
            cont = typebyte % 128 >= 64,
            length = tvb(off + 2, 2):uint(),
        }
        if tag.length > last - off - TAG_HEADER then
            return tags, "tag " .. tag.id .. " data of " .. tag.length ..
                         " bytes reaches past the payload", off
        end
        table.insert(tags, tag)
        local fixed = FIXED_SIZE[tag.type]
        if fixed ~= nil and tag.length ~= fixed then
            tag.bad = true
            return tags, "tag " .. tag.id .. " of type " .. type_name(tag.type) .. " has " ..
                         tag.length .. " bytes, not " .. fixed, off
        end
        if fixed ~= nil and (tag.more or tag.cont) then
            tag.bad = true
            return tags, "tag " .. tag.id .. " of fixed size " .. type_name(tag.type) ..
                         " is cut", off
        end
        off = off + TAG_HEADER + tag.length
    end
    return tags
end

-- The segment in tvb: header fields, tags, and the first broken rule (reason, offset) if any.
local function parse_segment(tvb)
    local len = tvb:len()
    local seg = {len = len}
    if len < HEADER then
        seg.error, seg.error_at = "only " .. len .. (len == 1 and " byte" or " bytes") ..
                                  ", a segment header has 8", 0
        return seg
    end
    seg.magic = tvb(0, 1):uint()
    seg.version = tvb(1, 1):uint()
    seg.msgid = tvb(2, 1):uint()
    local seqbyte = tvb(3, 1):uint()
    seg.seq = seqbyte % 128
    seg.more = seqbyte >= 128
    seg.index = tvb(4, 2):uint()
    seg.length = tvb(6, 2):uint()
    if seg.magic ~= MAGIC then
        seg.error, seg.error_at = string.format("magic 0x%02x, not 0x51", seg.magic), 0
    elseif seg.version ~= VERSION then
        seg.error, seg.error_at = "version " .. seg.version .. ", not 1", 1
    elseif seg.length ~= len - HEADER then
        seg.error, seg.error_at = "payload length " .. seg.length .. " but " .. (len - HEADER) ..
                                  " bytes follow the header", 6
    end
    if seg.error then
        return seg
    end
    seg.tags, seg.error, seg.error_at = read_tags(tvb, HEADER, len)
    if seg.error then
        return seg
    end
    for i, tag in ipairs(seg.tags) do
        if tag.cont and (i ~= 1 or seg.index == 0) then
            seg.error, seg.error_at = "cut-cont on tag " .. tag.id ..
                                      (i ~= 1 and ", not the first tag of the segment" or
                                       " in the first segment"), tag.offset
            return seg
        end
        if tag.more and (i ~= #seg.tags or not seg.more) then
            seg.error, seg.error_at = "cut-more on tag " .. tag.id ..
                                      (i ~= #seg.tags and ", not the last tag of the segment" or
                                       " in the last segment of the message"), tag.offset
            return seg
        end
    end
    return seg
end

-- Reassembly. Segments are joined in arrival order as the message library joins them: same
-- endpoints, message id and sequence number, the next index, and a cut tag continued by a piece
-- with the same id and type. The first pass records what each frame became; later passes (the
-- GUI re-dissects frames in any order) read that record.

local pending   -- key -> message being joined
local joined    -- frame number of the last segment -> {bytes, frames, pieces}
local frame_note -- frame number -> {reassembled_in = n} or {refused = reason}

local function forget_all()
    pending, joined, frame_note = {}, {}, {}
end
forget_all()
quorrel.init = forget_all

local function flow_key(pinfo, seg)
    return table.concat({tostring(pinfo.src), pinfo.src_port, tostring(pinfo.dst), pinfo.dst_port,
                         seg.msgid, seg.seq}, "|")
end

-- The tags of one segment appended to a message being joined (a list of {id, type, bytes}).
-- Returns nil or the reason the segment is refused; on refusal msg is unchanged.
local function append_segment(msg, tvb, seg)
    local first = seg.tags[1]
    local open = msg.tags[#msg.tags]
    local continues = open ~= nil and open.more
    if first ~= nil and first.cont then
        if not continues then
            return "continues a tag, but no tag is open"
        end
        if first.id ~= open.id or first.type ~= open.type then
            return "continues tag " .. first.id .. ", but tag " .. open.id .. " is open"
        end
    elseif continues then
        return "tag " .. open.id .. " is cut, but this segment does not continue it"
    end
    local added_tags, added_data = 0, 0
    for _, tag in ipairs(seg.tags) do
        added_data = added_data + tag.length
        if not tag.cont then
            added_tags = added_tags + 1
        end
    end
    if #msg.tags + added_tags > MAX_TAGS or msg.data + added_data > MAX_DATA then
        return "the message would pass " .. MAX_TAGS .. " tags or " .. MAX_DATA .. " bytes"
    end
    if first ~= nil and first.cont and open.size + first.length > MAX_TAG_DATA then
        return "the joined tag would pass " .. MAX_TAG_DATA .. " bytes"
    end
    for _, tag in ipairs(seg.tags) do
        local bytes = tag.length > 0 and tvb(tag.offset + TAG_HEADER, tag.length):bytes() or nil
        if tag.cont then
            if bytes then
                open.bytes:append(bytes)
            end
            open.size = open.size + tag.length
            open.more = tag.more
            open.pieces = open.pieces + 1
        else
            local entry = {id = tag.id, type = tag.type, more = tag.more, size = tag.length,
                           bytes = bytes or ByteArray.new(), pieces = 1}
            table.insert(msg.tags, entry)
            open = entry
        end
    end
    msg.data = msg.data + added_data
    return nil
end

-- The joined tags serialised as one payload, each tag whole and without cut marks.
local function serialise(msg)
    local out = ByteArray.new()
    for _, tag in ipairs(msg.tags) do
        out:append(ByteArray.new(string.format("%02x%02x%04x", tag.id, tag.type, tag.size)))
        out:append(tag.bytes)
    end
    return out
end

local function track(pinfo, tvb, seg)
    if seg.error or (seg.index == 0 and not seg.more) then
        return
    end
    local key = flow_key(pinfo, seg)
    local frame = pinfo.number
    if seg.index == 0 then
        local msg = {tags = {}, data = 0, frames = {frame}, next = 1, msgid = seg.msgid,
                     seq = seg.seq}
        local reason = append_segment(msg, tvb, seg)
        if reason then
            frame_note[frame] = {refused = reason}
        else
            pending[key] = msg
        end
        return
    end
    local msg = pending[key]
    local reason
    if msg == nil then
        reason = "no first segment of this message was seen"
    elseif seg.index ~= msg.next then
        reason = "index " .. seg.index .. " where " .. msg.next .. " was due"
    else
        reason = append_segment(msg, tvb, seg)
    end
    if reason then
        frame_note[frame] = {refused = reason}
        return
    end
    table.insert(msg.frames, frame)
    msg.next = msg.next + 1
    if not seg.more then
        pending[key] = nil
        local pieces = {}
        for i, tag in ipairs(msg.tags) do
            pieces[i] = tag.pieces
        end
        joined[frame] = {bytes = serialise(msg), frames = msg.frames, pieces = pieces}
        for _, n in ipairs(msg.frames) do
            if n ~= frame then
                frame_note[n] = {reassembled_in = frame}
            end
        end
    end
end

-- Showing.

local function quoted(s)
    return '"' .. s:gsub('[%c"\\]', function(c)
        return string.format("\\x%02x", c:byte())
    end) .. '"'
end

-- The value of a tag for its label; at most a few dozen characters.
local function value_text(tvb, tag)
    local off, n = tag.offset + TAG_HEADER, tag.length
    if tag.type == T_STRING then
        -- Wireshark hands the text over as valid UTF-8; it is cut between characters.
        local s = n > 0 and tvb(off, n):string(ENC_UTF_8) or ""
        if #s <= 40 then
            return quoted(s)
        end
        local cut = 40
        while cut > 0 and s:byte(cut + 1) >= 0x80 and s:byte(cut + 1) < 0xC0 do
            cut = cut - 1
        end
        return quoted(s:sub(1, cut)) .. "... (" .. n .. " bytes)"
    elseif tag.type == T_U32 or tag.type == T_U16 or tag.type == T_U8 then
        return tostring(tvb(off, n):uint())
    elseif tag.type == T_FLOAT then
        return string.format("%.9g", tvb(off, n):float())
    elseif n == 0 then
        return "no bytes"
    end
    local hex = tostring(tvb(off, math.min(n, 16)):bytes()):lower():gsub("(..)", "%1:")
    return hex:sub(1, -2) .. (n > 16 and "... (" .. n .. " bytes)" or "")
end

-- One tag's subtree under tree. entry: the tag's dictionary entry or nil; note: why the tag is
-- out of place here, or nil; pieces: for a joined tag, the number of pieces it was cut into.
local function show_tag(tvb, tree, tag, entry, note, pieces)
    local off = tag.offset
    local label = string.format("%s%s (%d), %s", entry and entry.kind == "common" and "@" or "",
                                entry and entry.def.name or "tag", tag.id, type_name(tag.type))
    if tag.bad then
        label = label .. ": wrong size"
    elseif tag.type ~= T_NULL then
        label = label .. ": " .. value_text(tvb, tag)
    elseif entry and entry.kind == "object" then
        label = label .. ": opens the object"
    end
    if tag.cont then
        label = label .. " [cut: goes on from the previous segment]"
    end
    if tag.more then
        label = label .. " [cut: goes on in the next segment]"
    end
    if pieces and pieces > 1 then
        label = label .. " [joined from " .. pieces .. " pieces]"
    end
    if note then
        label = label .. " [" .. note .. "]"
    end
    local t = tree:add(tvb(off, TAG_HEADER + tag.length), label)
    t:add(f.tag_id, tvb(off, 1))
    if entry then
        t:add(f.tag_name, tvb(off, 1), entry.def.name):set_generated()
    end
    t:add(f.tag_type, tvb(off + 1, 1))
    t:add(f.cut_more, tvb(off + 1, 1))
    t:add(f.cut_cont, tvb(off + 1, 1))
    t:add(f.tag_length, tvb(off + 2, 2))
    local data = tag.length > 0 and tvb(off + TAG_HEADER, tag.length) or nil
    if tag.bad then
        t:add(f.v_bytes, data or tvb(off, 0))
    elseif tag.type == T_STRING then
        if data then
            t:add_packet_field(f.v_string, data, ENC_UTF_8)
        else
            t:add(f.v_string, tvb(off, TAG_HEADER), "")
        end
    elseif tag.type == T_U32 then
        t:add(f.v_u32, data)
    elseif tag.type == T_U16 then
        t:add(f.v_u16, data)
    elseif tag.type == T_U8 then
        t:add(f.v_u8, data)
    elseif tag.type == T_FLOAT then
        t:add(f.v_float, data)
    elseif tag.type ~= T_NULL then
        t:add(f.v_bytes, data or tvb(off, 0))
    end
    if tag.more or tag.cont then
        t:add_proto_expert_info(ef.cut)
    end
    if note then
        t:add_proto_expert_info(ef.unknown, note)
    end
end

-- The tags grouped as the dictionary check reads them: a member of the open object joins it, a
-- null tag with an object id opens an object, a common tag stands at message level and leaves
-- the object open. Tag names come from the dictionary wherever the tag stands, as every id has
-- one meaning. Appends a short name per tag to summary.
-- continued: the tags are a later segment's, whose object opened in an earlier segment.
local function show_tags(tvb, tree, tags, summary, pieces, continued)
    local open, open_tree, open_start = nil, nil, 0
    for i, tag in ipairs(tags) do
        local entry = by_id[tag.id]
        local n = pieces and pieces[i]
        if entry and entry.kind == "member" and entry.object == open then
            show_tag(tvb, open_tree, tag, entry, nil, n)
            table.insert(summary, dictionary.objects[open].name .. "." .. entry.def.name)
        elseif entry and entry.kind == "object" and tag.type == T_NULL then
            open, open_start = tag.id, tag.offset
            open_tree = tree:add(f.object, tvb(tag.offset, TAG_HEADER), entry.def.name)
            open_tree:set_text(string.format("Object: %s (%d), %s", entry.def.name, tag.id,
                                             entry.def.help))
            open_tree:add(f.object_id, tvb(tag.offset, 1))
            show_tag(tvb, open_tree, tag, entry)
            table.insert(summary, entry.def.name)
        elseif entry and entry.kind == "common" then
            local note = tag.type ~= entry.def.type and
                         "the dictionary gives it type " .. type_name(entry.def.type) or nil
            show_tag(tvb, tree, tag, entry, note, n)
            table.insert(summary, "@" .. entry.def.name)
        else
            local note = "not in the dictionary"
            if entry and entry.kind == "member" and continued and open == nil then
                note = nil
            elseif entry and entry.kind == "member" then
                note = "member of " .. dictionary.objects[entry.object].name ..
                       (open and ", not of " .. dictionary.objects[open].name or
                        ", outside any object")
            elseif entry then
                note = "object id on a tag that is not null"
            end
            show_tag(tvb, open_tree or tree, tag, entry, note, n)
            table.insert(summary, entry and entry.def.name or tostring(tag.id))
        end
        if open_tree then
            open_tree:set_len(tag.offset + TAG_HEADER + tag.length - open_start)
        end
    end
end

local function message_name(id)
    local m = dictionary.messages[id]
    return m and m.name or ("message " .. id)
end

local function summary_text(summary)
    local text = table.concat(summary, " ", 1, math.min(#summary, 12))
    return #summary > 12 and text .. " ..." or text
end

local function dissect(tvb, pinfo, tree)
    pinfo.cols.protocol = "Quorrel"
    local len = tvb:len()
    local seg = parse_segment(tvb)
    local root = len > 0 and tree:add(quorrel, tvb()) or tree:add(quorrel, tvb(0, 0))
    if len >= HEADER then
        local h = root:add(tvb(0, HEADER), string.format(
            "Segment header: %s (%d), seq %d, index %d%s", message_name(seg.msgid), seg.msgid,
            seg.seq, seg.index, seg.more and ", more follow" or ""))
        h:add(f.magic, tvb(0, 1))
        h:add(f.version, tvb(1, 1))
        h:add(f.msgid, tvb(2, 1))
        h:add(f.seq, tvb(3, 1))
        h:add(f.more, tvb(3, 1))
        h:add(f.index, tvb(4, 2))
        h:add(f.length, tvb(6, 2))
    end
    if not pinfo.visited then
        track(pinfo, tvb, seg)
    end
    local info
    if len >= HEADER and seg.magic == MAGIC then
        info = string.format("%s seq %d", message_name(seg.msgid), seg.seq)
        if seg.index ~= 0 or seg.more then
            info = info .. string.format(", segment %d%s", seg.index, seg.more and "" or " (last)")
        end
    else
        info = "not a Quorrel segment"
    end
    local summary = {}
    if seg.tags then
        show_tags(tvb, root, seg.tags, summary, nil, seg.index > 0)
    end
    if seg.error then
        root:append_text(" [Malformed: " .. seg.error .. "]")
        local at = seg.error_at < len and tvb(seg.error_at) or tvb(0, 0)
        root:add_proto_expert_info(ef.malformed, "Malformed: " .. seg.error)
        root:add(at, "Malformed: " .. seg.error)
        pinfo.cols.info = info .. " [Malformed: " .. seg.error .. "]"
        return len
    end
    local note = frame_note[pinfo.number]
    if note and note.refused then
        root:add_proto_expert_info(ef.unjoined, "Segment not joined: " .. note.refused)
        info = info .. " [not joined: " .. note.refused .. "]"
    elseif note and note.reassembled_in then
        root:add(f.reassembled_in, note.reassembled_in):set_generated()
        info = info .. " [reassembled in " .. note.reassembled_in .. "]"
    end
    local whole = joined[pinfo.number]
    if whole then
        local rtvb = whole.bytes:tvb("Reassembled Quorrel")
        local r = root:add(rtvb(), string.format("Reassembled message: %s (%d), seq %d, %d segments",
                                                 message_name(seg.msgid), seg.msgid, seg.seq,
                                                 #whole.frames))
        r:add(f.segments, #whole.frames):set_generated()
        for _, n in ipairs(whole.frames) do
            r:add(f.segment_frame, n):set_generated()
        end
        r:add(f.reassembled_length, rtvb:len()):set_generated()
        summary = {}
        show_tags(rtvb, r, read_tags(rtvb, 0, rtvb:len()), summary, whole.pieces)
        info = info .. string.format(" [reassembled from %d segments]", #whole.frames)
    end
    if #summary > 0 then
        info = info .. ": " .. summary_text(summary)
    elseif seg.msgid == 1 and seg.index == 0 and not seg.more then
        info = info .. " (no tags: keep-alive)"
    end
    pinfo.cols.info = info
    return len
end

-- A fault in this script must not surface as a Lua error: it is shown in the tree instead.
function quorrel.dissector(tvb, pinfo, tree)
    local ok, result = pcall(dissect, tvb, pinfo, tree)
    if ok then
        return result
    end
    pcall(function()
        tree:add_proto_expert_info(ef.fault, "Quorrel dissector fault: " .. tostring(result))
    end)
    return tvb:len()
end

-- The ports come from the preference; Decode As offers the dissector on any UDP port.
local udp_ports = DissectorTable.get("udp.port")
local registered = ""

local function register_ports()
    if registered ~= "" then
        udp_ports:remove(registered, quorrel)
    end
    registered = tostring(quorrel.prefs.ports or "")
    if registered ~= "" then
        udp_ports:add(registered, quorrel)
    end
end

quorrel.prefs_changed = register_ports
register_ports()
udp_ports:add_for_decode_as(quorrel)
