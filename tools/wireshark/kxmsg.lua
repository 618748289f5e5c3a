-- Wireshark dissector for kxRedIro's TLV messages, as kxctl captures them
-- (kxctl monitor --pcap, kxctl camera --pcap: link type USER0, one message
-- a packet). Install: copy into ~/.local/lib/wireshark/plugins/, or run
--   tshark -X lua_script:tools/wireshark/kxmsg.lua -r capture.pcapng
--
-- A message: big-endian 16-bit total length, spare byte, message type, then
-- elements of spare byte, big-endian 16-bit value length, type byte and
-- value, closed by the zero-length end element 0xEE.

local kx = Proto("kxmsg", "kxRedIro TLV message")

local element_names = {
    [0x41] = "code", [0x42] = "arguments", [0x43] = "destination",
    [0x44] = "source", [0x45] = "response", [0x57] = "void", [0xEE] = "end",
}

local f = kx.fields
f.length = ProtoField.uint16("kxmsg.length", "Total length")
f.spare = ProtoField.uint8("kxmsg.spare", "Spare")
f.type = ProtoField.uint8("kxmsg.type", "Message type")
f.el_type = ProtoField.uint8("kxmsg.element.type", "Element type", base.HEX, element_names)
f.el_length = ProtoField.uint16("kxmsg.element.length", "Value length")
f.el_value = ProtoField.bytes("kxmsg.element.value", "Value")
f.code = ProtoField.string("kxmsg.code", "Command code")
f.args = ProtoField.bytes("kxmsg.args", "Arguments")
f.dst = ProtoField.string("kxmsg.dst", "Destination")
f.src = ProtoField.string("kxmsg.src", "Source")
f.resp = ProtoField.bytes("kxmsg.resp", "Response")
f.status = ProtoField.uint8("kxmsg.status", "Status", base.HEX, { [0] = "accepted", [1] = "refused" })

local malformed = ProtoExpert.new("kxmsg.malformed", "Malformed message",
                                  expert.group.MALFORMED, expert.severity.ERROR)
local cut = ProtoExpert.new("kxmsg.cut", "Only part of the message was captured",
                            expert.group.UNDECODED, expert.severity.NOTE)
kx.experts = { malformed, cut }

local value_fields = { [0x41] = f.code, [0x42] = f.args, [0x43] = f.dst, [0x44] = f.src, [0x45] = f.resp }

-- One element at off; returns its type, the offset after it, and whether
-- it is whole in the captured bytes.
local function element(tvb, tree, off, total)
    local vlen = tvb(off + 1, 2):uint()
    local etype = tvb(off + 3, 1):uint()
    local name = element_names[etype] or string.format("element 0x%02x", etype)
    local have = math.min(vlen, tvb:len() - off - 4)
    local sub = tree:add(kx, tvb(off, 4 + have), string.format("%s, %d bytes", name, vlen))
    sub:add(f.spare, tvb(off, 1))
    sub:add(f.el_length, tvb(off + 1, 2))
    sub:add(f.el_type, tvb(off + 3, 1))
    if have > 0 then
        sub:add(f.el_value, tvb(off + 4, have))
        if value_fields[etype] then tree:add(value_fields[etype], tvb(off + 4, have)) end
        if etype == 0x45 then tree:add(f.status, tvb(off + 4, 1)) end
    end
    if off + 4 + vlen > total then sub:add_proto_expert_info(malformed, "value reaches beyond the total length") end
    return etype, off + 4 + vlen, have == vlen
end


function kx.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "KXMSG"
    local t = tree:add(kx, tvb())
    if tvb:len() < 4 then
        t:add_proto_expert_info(malformed, "shorter than the 4-byte header")
        return
    end
    local total = tvb(0, 2):uint()
    t:add(f.length, tvb(0, 2))
    t:add(f.spare, tvb(2, 1))
    t:add(f.type, tvb(3, 1))
    if total ~= tvb:reported_len() then
        t:add_proto_expert_info(malformed, string.format("declares %d bytes, has %d", total, tvb:reported_len()))
    end
    local off, ended, code, is_response, status = 4, false, "?", false, nil
    while off + 4 <= tvb:len() and off < total do
        local etype, after, whole = element(tvb, t, off, total)
        if etype == 0x41 and whole then code = tvb(off + 4, after - off - 4):string() end
        if etype == 0x45 then is_response = true; if after > off + 4 and off + 4 < tvb:len() then status = tvb(off + 4, 1):uint() end end
        if etype == 0xEE then
            ended = after == total and after == off + 4
            if not ended then t:add_proto_expert_info(malformed, "the end element is not where it belongs") end
            break
        end
        off = after
    end
    if tvb:len() < tvb:reported_len() then
        t:add_proto_expert_info(cut, string.format("%d of %d bytes", tvb:len(), tvb:reported_len()))
    elseif not ended then
        t:add_proto_expert_info(malformed, "no end element")
    end
    local info = code .. (is_response and " response" or " command")
    if status then info = info .. (status == 0 and " accepted" or " refused") end
    pinfo.cols.info = info
end

local encaps = wtap_encaps or wtap
DissectorTable.get("wtap_encap"):add(encaps.USER0, kx)
