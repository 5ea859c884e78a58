-- Wireshark dissector (Lua, Wireshark 4.0 and later) for the Tessara CAN
-- gateway's telegrams over TCP and UDP. Tools: field debugging of links.
--
-- Install: copy into the personal Lua plugins folder (Help > About >
-- Folders, usually ~/.local/lib/wireshark/plugins/) or load it once with
--   wireshark -X lua_script:tessara.lua   /   tshark -X lua_script:tessara.lua
-- Filters are named tessara.*, e.g. tessara.cmd == 0x0203, tessara.can.id == 0x123.

local bit = bit32

local tessara = Proto("tessara", "Tessara CAN gateway protocol")

-- ---------------------------------------------------------------- tables

-- Requests by code. Codes 0x03, 0x64 and 0x67 also name indications, which
-- only the gateway sends without the confirmation flag.
local request_names = {
    [0x01] = "CONNECT", [0x02] = "DISCONNECT", [0x03] = "WRITE", [0x05] = "SET_CONFIG",
    [0x07] = "SET_GLOBALS", [0x08] = "GET_GLOBALS", [0x09] = "INFO", [0x0A] = "STATUS",
    [0x0B] = "SET_TIME", [0x0C] = "CLOSE", [0x0D] = "ALIVE", [0x0E] = "GET_TIME",
    [0x20] = "SET_FILTER", [0x21] = "GET_FILTER", [0x22] = "GET_POWERSTATUS",
    [0x23] = "SET_POWERRELAIS", [0x24] = "SET_POWERACTIVESUPPLIES",
    [0x40] = "READ_DIGITAL", [0x41] = "WRITE_DIGITAL", [0x42] = "READ_ANALOG",
    [0x43] = "WRITE_ANALOG",
    [0x60] = "CANOPEN_SET_CONFIG", [0x61] = "CANOPEN_GET_CONFIG", [0x62] = "CANOPEN_SYNC_MODE",
    [0x63] = "CANOPEN_NMT", [0x64] = "CANOPEN_SYNC", [0x65] = "CANOPEN_TIME",
    [0x67] = "CANOPEN_PDO", [0x68] = "CANOPEN_SDO_READ", [0x69] = "CANOPEN_SDO_WRITE",
    [0x6A] = "CANOPEN_SDO_READ_BLOCK", [0x6B] = "CANOPEN_SDO_WRITE_BLOCK",
}
local indication_names = {
    [0x03] = "CAN_FRAME_IND", [0x64] = "CANOPEN_SYNC_IND", [0x66] = "CANOPEN_EMCY_IND",
    [0x67] = "CANOPEN_PDO_IND", [0x6C] = "CANOPEN_GUARD_IND", [0x6D] = "CANOPEN_UNDEFINED_IND",
}
-- Link control may be requested by either side.
local link_control = { [0x01] = true, [0x02] = true, [0x0D] = true }

local result_names = {
    [0x00] = "executed", [0x21] = "CAN transmit error", [0x24] = "bit rate not supported",
    [0xFD] = "CANopen node does not answer", [0xFE] = "CANopen mode not switched on",
    [0xFF] = "command failed",
}
local connect_results = { [0x00] = "accepted", [0x01] = "refused: maximum number of connections reached" }
local kind_names = { [0] = "request", [1] = "confirmation", [2] = "indication" }
local mode_names = { [0] = "normal", [1] = "listen-only", [2] = "off" }
local canopen_mode_names = { [0] = "off", [1] = "CANopen manager" }
local nmt_names = {
    [0x01] = "start", [0x02] = "stop", [0x80] = "enter pre-operational",
    [0x81] = "reset node", [0x82] = "reset communication",
}
local pdo_type_names = {
    [1] = "TPDO1", [2] = "TPDO2", [3] = "TPDO3", [4] = "TPDO4",
    [5] = "RPDO1", [6] = "RPDO2", [7] = "RPDO3", [8] = "RPDO4",
}
local sdo_reply_names = {
    [0x4F] = "read, 1 byte", [0x4B] = "read, 2 bytes", [0x47] = "read, 3 bytes",
    [0x43] = "read, 4 bytes", [0x41] = "entry longer than 4 bytes: value is its size",
    [0x60] = "written", [0xC1] = "block read complete", [0xA1] = "block write complete",
    [0x80] = "aborted",
}
local sdo_read_sizes = { [0x4F] = 1, [0x4B] = 2, [0x47] = 3, [0x43] = 4 }
local abort_names = {
    [0x05040001] = "bad command specifier (SDO write type)",
    [0x06010002] = "attempt to write a read-only object",
    [0x06020000] = "object does not exist",
    [0x06070010] = "data type does not match, length does not match",
    [0x06070012] = "data type does not match, length too high",
    [0x06090011] = "subindex does not exist",
}
local guard_state_names = {
    [0x00] = "boot-up", [0x04] = "stopped", [0x05] = "operational", [0x7F] = "pre-operational",
}
local checksum_status = { [0] = "bad", [1] = "good" }

-- ---------------------------------------------------------------- fields

local F = ProtoField
local f = {
    length = F.uint16("tessara.length", "Length", base.DEC, nil, nil, "bytes after the length field"),
    cmd = F.uint16("tessara.cmd", "Command word", base.HEX),
    cmd_code = F.uint16("tessara.cmd.code", "Command code", base.HEX, nil, 0x00FF),
    cmd_device = F.uint16("tessara.cmd.device_type", "Device type", base.DEC, nil, 0x7F00),
    cmd_conf = F.bool("tessara.cmd.confirmation", "Confirmation", 16, nil, 0x8000),
    name = F.string("tessara.name", "Command"),
    kind = F.uint8("tessara.kind", "Kind", base.DEC, kind_names),
    id = F.uint16("tessara.id", "Telegram id", base.DEC),
    result = F.uint8("tessara.result", "Result", base.HEX, result_names),
    connect_result = F.uint8("tessara.connect_result", "Result", base.HEX, connect_results),
    data = F.bytes("tessara.data", "Data"),
    checksum = F.uint8("tessara.checksum", "Checksum", base.HEX),
    checksum_calc = F.uint8("tessara.checksum.calculated", "Calculated checksum", base.HEX),
    checksum_status = F.uint8("tessara.checksum.status", "Checksum status", base.DEC, checksum_status),
    response_in = F.framenum("tessara.response_in", "Response in", base.NONE, frametype.RESPONSE),
    response_to = F.framenum("tessara.response_to", "Request in", base.NONE, frametype.REQUEST),
    response_time = F.relative_time("tessara.time", "Response time"),

    can_id = F.uint32("tessara.can.id", "CAN identifier", base.HEX),
    can_flags = F.uint8("tessara.can.flags", "Flags", base.HEX),
    can_ext = F.bool("tessara.can.extended", "Extended (29-bit) identifier", 8, nil, 0x01),
    can_rtr = F.bool("tessara.can.remote", "Remote frame", 8, nil, 0x02),
    can_tsf = F.bool("tessara.can.timestamp_follows", "Time stamp follows", 8, nil, 0x04),
    can_len = F.uint8("tessara.can.length", "Data length", base.DEC),
    can_data = F.bytes("tessara.can.data", "CAN data"),
    can_ts = F.absolute_time("tessara.can.timestamp", "Gateway time stamp", base.UTC),
    ts_sec = F.uint32("tessara.time.seconds", "Seconds", base.DEC),
    ts_usec = F.uint32("tessara.time.microseconds", "Microseconds", base.DEC),
    set_sec = F.int32("tessara.time.set_seconds", "Seconds", base.DEC),
    set_usec = F.int32("tessara.time.set_microseconds", "Microseconds", base.DEC),
    time_flag = F.uint8("tessara.time.flag", "Set since power-up", base.DEC),
    device_time = F.absolute_time("tessara.time.value", "Device clock", base.UTC),

    confirm_data = F.uint8("tessara.config.confirm_data", "ConfirmData", base.DEC),
    monitor = F.uint8("tessara.config.monitor", "Monitor", base.DEC),
    mode = F.uint8("tessara.globals.mode", "Operating mode", base.DEC, mode_names),
    bitrate = F.uint32("tessara.globals.bitrate", "Bit rate (bit/s)", base.DEC),
    termination = F.uint8("tessara.globals.termination", "Termination", base.DEC),
    high_speed = F.uint8("tessara.globals.high_speed", "High-speed transceiver", base.DEC),
    timestamps = F.uint8("tessara.globals.timestamps", "Time stamps on", base.DEC),

    filter_entry = F.none("tessara.filter.entry", "Filter entry"),
    filter_word = F.uint32("tessara.filter.word", "Identifier word", base.HEX),
    filter_used = F.bool("tessara.filter.in_use", "In use", 32, nil, 0x80000000),
    filter_ext = F.bool("tessara.filter.extended", "Extended identifiers", 32, nil, 0x40000000),
    filter_id = F.uint32("tessara.filter.id", "Identifier", base.HEX, nil, 0x1FFFFFFF),
    filter_mask = F.uint32("tessara.filter.mask", "Mask", base.HEX),

    alive_period = F.uint32("tessara.alive.period", "Keep-alive period (ms)", base.DEC),
    status_text = F.string("tessara.status", "Status"),
    info_serial = F.uint32("tessara.info.serial", "Serial number", base.HEX),
    info_hw = F.uint16("tessara.info.hardware", "Hardware revision", base.HEX),
    info_fw = F.uint16("tessara.info.firmware", "Firmware version", base.HEX),
    info_name = F.string("tessara.info.name", "Name"),
    info_ports = F.uint8("tessara.info.can_ports", "CAN ports", base.DEC),
    info_analog = F.uint8("tessara.info.analog_channels", "Analog channels", base.DEC),
    info_type = F.uint8("tessara.info.device_type", "Device type", base.DEC),
    info_supplies = F.uint8("tessara.info.power_supplies", "Power supplies", base.DEC),

    dig_in = F.uint32("tessara.io.digital_inputs", "Digital inputs", base.HEX),
    dig_out = F.uint32("tessara.io.digital_outputs", "Digital outputs", base.HEX),
    analog_count = F.uint32("tessara.io.analog_count", "Analog channels", base.DEC),
    analog_in = F.uint32("tessara.io.analog_input", "Analog input", base.DEC),
    analog_out = F.uint32("tessara.io.analog_output", "Analog output", base.DEC),

    relay = F.uint8("tessara.power.relay", "Power relay", base.DEC, { [0] = "open" }),
    supplies_mask = F.uint32("tessara.power.active_supplies", "Active supplies mask", base.HEX),
    pw_values = F.uint8("tessara.power.value_count", "Value count", base.DEC),
    pw_flags_a = F.uint8("tessara.power.flag_count_a", "Flag count A", base.DEC),
    pw_flags_b = F.uint8("tessara.power.flag_count_b", "Flag count B", base.DEC),
    pw_voltage = F.uint16("tessara.power.input_voltage", "Input voltage (mV)", base.DEC),
    pw_current = F.uint16("tessara.power.input_current", "Input current (mA)", base.DEC),
    pw_temp = F.uint16("tessara.power.temperature", "Board temperature (0.1 °C)", base.DEC),
    pw_flag = F.uint8("tessara.power.flag", "Power flag", base.HEX),
    pw_relay_closed = F.bool("tessara.power.relay_closed", "Relay closed", 8, nil, 0x01),
    pw_output = F.uint16("tessara.power.output_voltage", "Supply output voltage (mV)", base.DEC),
    pw_active = F.uint8("tessara.power.supply_active", "Supply active", base.DEC),
    pw_overload = F.uint8("tessara.power.supply_overloaded", "Supply overloaded", base.DEC),

    co_mode = F.uint8("tessara.canopen.mode", "CANopen mode", base.DEC, canopen_mode_names),
    co_sync_period = F.uint16("tessara.canopen.sync_period", "SYNC period (ms)", base.DEC),
    co_node = F.uint8("tessara.canopen.node", "Node", base.DEC),
    co_nmt = F.uint8("tessara.canopen.nmt", "NMT command", base.HEX, nmt_names),
    co_day = F.uint16("tessara.canopen.time.day", "Days since 1984-01-01", base.DEC),
    co_ms = F.uint32("tessara.canopen.time.ms", "Milliseconds after midnight", base.DEC),
    co_pdo_type = F.uint8("tessara.canopen.pdo.type", "PDO type", base.DEC, pdo_type_names),
    co_pdo_len = F.uint8("tessara.canopen.pdo.length", "PDO length", base.DEC),
    co_pdo_data = F.bytes("tessara.canopen.pdo.data", "PDO data"),
    co_index = F.uint16("tessara.canopen.sdo.index", "Index", base.HEX),
    co_sub = F.uint8("tessara.canopen.sdo.subindex", "Subindex", base.DEC),
    co_timeout = F.uint16("tessara.canopen.sdo.timeout", "Time-out (ms)", base.DEC),
    co_write_type = F.uint8("tessara.canopen.sdo.write_type", "SDO write type (bytes, 0 entry size)", base.DEC),
    co_value = F.uint32("tessara.canopen.sdo.value", "Value", base.HEX),
    co_reply = F.uint8("tessara.canopen.sdo.reply", "SDO reply", base.HEX, sdo_reply_names),
    co_abort = F.uint32("tessara.canopen.sdo.abort", "Abort code", base.HEX, abort_names),
    co_sdo_data = F.bytes("tessara.canopen.sdo.data", "SDO data"),
    co_sync_value = F.uint8("tessara.canopen.sync.value", "SYNC value", base.DEC),
    co_emcy_code = F.uint16("tessara.canopen.emcy.error_code", "Error code", base.HEX),
    co_emcy_reg = F.uint8("tessara.canopen.emcy.error_register", "Error register", base.HEX),
    co_emcy_vendor = F.bytes("tessara.canopen.emcy.vendor", "Vendor bytes"),
    co_guard_state = F.uint8("tessara.canopen.guard.state", "State", base.HEX, guard_state_names),
    co_guard_toggle = F.bool("tessara.canopen.guard.toggle", "Toggle bit", 8, nil, 0x80),
}
local field_list = {}
for _, v in pairs(f) do field_list[#field_list + 1] = v end
tessara.fields = field_list

local e_checksum = ProtoExpert.new("tessara.checksum.bad", "Checksum mismatch",
    expert.group.CHECKSUM, expert.severity.ERROR)
local e_length = ProtoExpert.new("tessara.length.bad", "Length field disagrees with the bytes",
    expert.group.MALFORMED, expert.severity.ERROR)
local e_short = ProtoExpert.new("tessara.data.short", "Data shorter than the command's layout",
    expert.group.MALFORMED, expert.severity.WARN)
local e_extra = ProtoExpert.new("tessara.data.extra", "Data longer than the command's layout",
    expert.group.PROTOCOL, expert.severity.NOTE)
local e_refused = ProtoExpert.new("tessara.result.refused", "The gateway refused the request",
    expert.group.RESPONSE_CODE, expert.severity.NOTE)
local e_unpaired = ProtoExpert.new("tessara.response.unpaired", "Confirmation without its request",
    expert.group.SEQUENCE, expert.severity.NOTE)
tessara.experts = { e_checksum, e_length, e_short, e_extra, e_refused, e_unpaired }

local default_ports = {}
for n = 0, 15 do default_ports[#default_ports + 1] = tostring(5001 + 100 * n) end
default_ports = table.concat(default_ports, ",")
tessara.prefs.ports = Pref.range("Ports", default_ports,
    "TCP and UDP ports of the gateway's CAN ports (5001 + 100 x CAN port)", 65535)
tessara.prefs.can = Pref.bool("Hand CAN frames to the CAN dissector", true,
    "Also show every carried CAN frame through Wireshark's CAN dissector, so that "
    .. "its next-level dissectors (Decode As CAN: CANopen and others) apply")

-- Port type of TCP in Wireshark's packet info.
local PT_TCP = 2

-- ---------------------------------------------------------------- state

-- Per capture: requests waiting for their confirmation, keyed by stream,
-- requesting side, command and telegram id; and the links found, keyed by
-- the telegram's frame and position in it.
local pending, links
local function reset()
    pending, links = {}, {}
end
reset()
tessara.init = reset

-- Set by the outer dissector for the telegrams of one packet.
local current = { frame = -1, infos = {}, column = nil, from_gateway = false, stream = "?" }

local can_dissector = Dissector.get("can-hostendian")
local registered_ports

-- ---------------------------------------------------------------- helpers

local function hex_bytes(range, max)
    if range == nil then return "" end
    local n = range:len()
    local shown = math.min(n, max)
    local out = {}
    for i = 0, shown - 1 do out[#out + 1] = string.format("%02X", range(i, 1):uint()) end
    local text = table.concat(out, " ")
    if n > shown then text = text .. " ..." end
    return text
end

-- Walks a command's data part. Reading past the end adds one "short"
-- expert and answers nil from then on; nothing raises.
local Reader = {}
Reader.__index = Reader

local function reader(tvb, offset, stop, tree, name)
    return setmetatable({ tvb = tvb, pos = offset, stop = stop, tree = tree, name = name,
        short = false }, Reader)
end

function Reader:left()
    return self.stop - self.pos
end

function Reader:range(n)
    if n < 0 or self:left() < n then
        if not self.short then
            self.short = true
            self.tree:add_proto_expert_info(e_short, string.format(
                "%s: %d data byte(s) left, %d more expected", self.name, math.max(self:left(), 0), n))
        end
        self.pos = self.stop
        return nil
    end
    if n == 0 then return nil end
    local r = self.tvb(self.pos, n)
    self.pos = self.pos + n
    return r
end

function Reader:uint(field, n, tree)
    local r = self:range(n)
    if r == nil then return nil end
    (tree or self.tree):add_le(field, r)
    return r:le_uint()
end

function Reader:int(field, n, tree)
    local r = self:range(n)
    if r == nil then return nil end
    (tree or self.tree):add_le(field, r)
    return r:le_int()
end

function Reader:bytes(field, n, tree)
    if n == nil then n = self:left() end
    if n <= 0 then return nil end
    local r = self:range(n)
    if r ~= nil then (tree or self.tree):add(field, r) end
    return r
end

function Reader:finish()
    if self:left() > 0 and not self.short then
        local r = self.tvb(self.pos, self:left())
        self.tree:add(f.data, r)
        self.tree:add_proto_expert_info(e_extra, string.format("%s: %d byte(s) beyond the layout",
            self.name, self:left()))
    end
end

local function can_text(id, flags, data)
    local ext = bit.band(flags, 1) ~= 0
    local text = ext and string.format("0x%08X X", id) or string.format("0x%03X", id)
    if bit.band(flags, 2) ~= 0 then text = text .. " R" end
    local n = data and data:len() or 0
    text = text .. string.format(" [%d]", n)
    if n > 0 then text = text .. " " .. hex_bytes(data, 8) end
    return text
end

-- Hands one CAN frame to Wireshark's CAN dissector as a SocketCAN frame
-- (identifier with the extended and remote flags in bits 31 and 30, length,
-- 8 data bytes). Longer frames are left to this dissector's own fields.
local function hand_to_can(pinfo, tree, id, flags, data)
    if not tessara.prefs.can or can_dissector == nil then return end
    local n = data and data:len() or 0
    if n > 8 then return end
    local word = bit.band(id, 0x1FFFFFFF)
    if bit.band(flags, 1) ~= 0 then word = bit.bor(word, 0x80000000) end
    if bit.band(flags, 2) ~= 0 then word = bit.bor(word, 0x40000000) end
    local b = ByteArray.new()
    b:set_size(16)
    for i = 0, 3 do b:set_index(i, bit.band(bit.rshift(word, 8 * i), 0xFF)) end
    b:set_index(4, n)
    for i = 0, n - 1 do b:set_index(8 + i, data(i, 1):uint()) end
    can_dissector:call(b:tvb("CAN frame"), pinfo, tree)
end

-- A CAN frame as WRITE and the frame indications carry it.
local function dissect_can_frame(rd, pinfo, tree, with_timestamp)
    local id = rd:uint(f.can_id, 4)
    local fr = rd:range(1)
    if id == nil or fr == nil then return "" end
    local flags = fr:uint()
    local ft = tree:add(f.can_flags, fr)
    ft:add(f.can_ext, fr)
    ft:add(f.can_rtr, fr)
    ft:add(f.can_tsf, fr)
    local stamped = with_timestamp and bit.band(flags, 4) ~= 0
    local n = rd:left() - (stamped and 8 or 0)
    if n < 0 then n = rd:left() end
    tree:add(f.can_len, n):set_generated()
    local data = nil
    if n > 0 then data = rd:bytes(f.can_data, n) end
    if stamped and rd:left() >= 8 then
        local sec = rd.tvb(rd.pos, 4):le_uint()
        local usec = rd.tvb(rd.pos + 4, 4):le_uint()
        tree:add(f.can_ts, rd.tvb(rd.pos, 8), NSTime.new(sec, (usec % 1000000) * 1000))
        rd:uint(f.ts_sec, 4)
        rd:uint(f.ts_usec, 4)
    end
    hand_to_can(pinfo, tree, id, flags, data)
    return can_text(id, flags, data)
end

local function device_time(rd, tree)
    if rd:left() < 8 then return end
    local sec = rd.tvb(rd.pos, 4):le_uint()
    local usec = rd.tvb(rd.pos + 4, 4):le_uint()
    tree:add(f.device_time, rd.tvb(rd.pos, 8), NSTime.new(sec, (usec % 1000000) * 1000))
    rd:uint(f.ts_sec, 4)
    rd:uint(f.ts_usec, 4)
    return string.format("%d.%06d", sec, usec)
end

local function globals(rd, tree)
    local mode = rd:uint(f.mode, 1)
    local rate = rd:uint(f.bitrate, 4)
    rd:uint(f.termination, 1)
    rd:uint(f.high_speed, 1)
    rd:uint(f.timestamps, 1)
    if rate == nil then return "" end
    return string.format("%d bit/s, %s", rate, mode_names[mode] or ("mode " .. mode))
end

local function filter_table(rd, tree)
    local used = 0
    for i = 0, 7 do
        if rd:left() < 8 then rd:range(8); break end
        local entry = tree:add(f.filter_entry, rd.tvb(rd.pos, 8))
        entry:set_text(string.format("Filter entry %d", i))
        local wr = rd:range(4)
        local word = wr:le_uint()
        local wt = entry:add_le(f.filter_word, wr)
        wt:add_le(f.filter_used, wr)
        wt:add_le(f.filter_ext, wr)
        wt:add_le(f.filter_id, wr)
        local mask = rd:uint(f.filter_mask, 4, entry)
        if bit.band(word, 0x80000000) ~= 0 then
            used = used + 1
            entry:append_text(string.format(": %s 0x%X mask 0x%X",
                bit.band(word, 0x40000000) ~= 0 and "extended" or "standard",
                bit.band(word, 0x1FFFFFFF), mask))
        else
            entry:append_text(": not in use")
        end
    end
    return used == 0 and "all frames pass" or string.format("%d entries in use", used)
end

local function sdo_address(rd)
    local node = rd:uint(f.co_node, 1)
    local index = rd:uint(f.co_index, 2)
    local sub = rd:uint(f.co_sub, 1)
    if sub == nil then return "" end
    return string.format("node %d 0x%04X:%d", node, index, sub)
end

-- Reply of the SDO services: the node's reply byte, then four value bytes
-- (a block read: the entry's bytes; an abort: the code).
local function sdo_reply(rd, tree, block)
    local reply = rd:uint(f.co_reply, 1)
    if reply == nil then return "" end
    local text = sdo_reply_names[reply] or string.format("reply 0x%02X", reply)
    if reply == 0x80 then
        local code = rd:uint(f.co_abort, 4)
        if code then text = string.format("aborted 0x%08X %s", code, abort_names[code] or "") end
    elseif block and reply == 0xC1 then
        local n = rd:left()
        rd:bytes(f.co_sdo_data)
        text = string.format("%d bytes read", n)
    else
        local r = rd:range(4)
        if r ~= nil then
            tree:add_le(f.co_value, r)
            local size = sdo_read_sizes[reply]
            if size then
                tree:add(f.co_sdo_data, r(0, size))
                text = string.format("value 0x%X", r(0, size):le_uint())
            elseif reply == 0x41 then
                text = string.format("entry of %d bytes", r:le_uint())
            end
        end
    end
    return text
end

-- ---------------------------------------------------------------- payloads

-- Each returns the text the packet list shows after the command's name.
local requests = {
    [0x01] = function(rd, tree) rd:bytes(f.data); return "" end,
    [0x03] = function(rd, tree, pinfo) return dissect_can_frame(rd, pinfo, tree, false) end,
    [0x05] = function(rd, tree)
        local c = rd:uint(f.confirm_data, 1)
        local m = rd:uint(f.monitor, 1)
        if m == nil then return "" end
        return string.format("ConfirmData %d Monitor %d", c, m)
    end,
    [0x07] = function(rd, tree) return globals(rd, tree) end,
    [0x0B] = function(rd, tree)
        local s = rd:int(f.set_sec, 4)
        local u = rd:int(f.set_usec, 4)
        if u == nil then return "" end
        return string.format("%d.%06d", s, u)
    end,
    [0x0D] = function(rd, tree)
        local p = rd:uint(f.alive_period, 4)
        return p and string.format("%d ms", p) or ""
    end,
    [0x20] = function(rd, tree) return filter_table(rd, tree) end,
    [0x23] = function(rd, tree)
        local r = rd:uint(f.relay, 1)
        return r and (r ~= 0 and "closed" or "open") or ""
    end,
    [0x24] = function(rd, tree)
        local m = rd:uint(f.supplies_mask, 4)
        return m and string.format("mask 0x%X", m) or ""
    end,
    [0x41] = function(rd, tree)
        local v = rd:uint(f.dig_out, 4)
        return v and string.format("0x%X", v) or ""
    end,
    [0x43] = function(rd, tree)
        local values = {}
        while rd:left() >= 4 do values[#values + 1] = tostring(rd:uint(f.analog_out, 4)) end
        return table.concat(values, " ")
    end,
    [0x60] = function(rd, tree)
        local m = rd:uint(f.co_mode, 1)
        return m and (canopen_mode_names[m] or tostring(m)) or ""
    end,
    [0x62] = function(rd, tree)
        local p = rd:uint(f.co_sync_period, 2)
        return p and string.format("%d ms", p) or ""
    end,
    [0x63] = function(rd, tree)
        local node = rd:uint(f.co_node, 1)
        local t = rd:uint(f.co_nmt, 1)
        if t == nil then return "" end
        return string.format("node %d %s", node, nmt_names[t] or string.format("0x%02X", t))
    end,
    [0x65] = function(rd, tree)
        local day = rd:uint(f.co_day, 2)
        local ms = rd:uint(f.co_ms, 4)
        if ms == nil then return "" end
        return string.format("day %d %d ms", day, ms)
    end,
    [0x67] = function(rd, tree)
        local node = rd:uint(f.co_node, 1)
        local t = rd:uint(f.co_pdo_type, 1)
        if t == nil then return "" end
        local d = rd:bytes(f.co_pdo_data)
        return string.format("node %d %s [%d] %s", node, pdo_type_names[t] or tostring(t),
            d and d:len() or 0, hex_bytes(d, 8))
    end,
    [0x68] = function(rd, tree)
        local text = sdo_address(rd)
        rd:uint(f.co_timeout, 2)
        return text
    end,
    [0x69] = function(rd, tree)
        local node = rd:uint(f.co_node, 1)
        rd:uint(f.co_write_type, 1)
        local index = rd:uint(f.co_index, 2)
        local sub = rd:uint(f.co_sub, 1)
        rd:uint(f.co_timeout, 2)
        local v = rd:uint(f.co_value, 4)
        if v == nil then return "" end
        return string.format("node %d 0x%04X:%d = 0x%X", node, index, sub, v)
    end,
    [0x6B] = function(rd, tree)
        local text = sdo_address(rd)
        rd:uint(f.co_timeout, 2)
        local n = rd:left()
        rd:bytes(f.co_sdo_data)
        return text .. string.format(" [%d bytes]", n)
    end,
}
requests[0x6A] = requests[0x68]

local confirmations = {
    [0x03] = function(rd, tree) device_time(rd, tree); return "" end,
    [0x08] = function(rd, tree) return globals(rd, tree) end,
    [0x09] = function(rd, tree)
        local serial = rd:uint(f.info_serial, 4)
        rd:uint(f.info_hw, 2)
        rd:uint(f.info_fw, 2)
        local nr = rd:range(8)
        local name = ""
        if nr ~= nil then
            name = nr:stringz(ENC_UTF_8)
            tree:add(f.info_name, nr, name)
        end
        rd:uint(f.info_ports, 1)
        rd:uint(f.info_analog, 1)
        rd:uint(f.info_type, 1)
        rd:uint(f.info_supplies, 1)
        return serial and string.format("%s serial 0x%08X", name, serial) or ""
    end,
    [0x0A] = function(rd, tree)
        local n = rd:left()
        if n <= 0 then return "" end
        local r = rd:range(n)
        local text = r:string(ENC_UTF_8)
        tree:add(f.status_text, r, text)
        return '"' .. text .. '"'
    end,
    [0x0E] = function(rd, tree)
        rd:uint(f.time_flag, 1)
        return device_time(rd, tree) or ""
    end,
    [0x21] = function(rd, tree) return filter_table(rd, tree) end,
    [0x22] = function(rd, tree)
        local values = rd:uint(f.pw_values, 1)
        local a = rd:uint(f.pw_flags_a, 1)
        local b = rd:uint(f.pw_flags_b, 1)
        if b == nil then return "" end
        local mv = rd:uint(f.pw_voltage, 2)
        rd:uint(f.pw_current, 2)
        rd:uint(f.pw_temp, 2)
        local fr = rd:range(1)
        if fr ~= nil then
            local ft = tree:add(f.pw_flag, fr)
            ft:add(f.pw_relay_closed, fr)
        end
        for _ = 1, values do if rd:uint(f.pw_output, 2) == nil then break end end
        for _ = 1, a do if rd:uint(f.pw_active, 1) == nil then break end end
        for _ = 1, b do if rd:uint(f.pw_overload, 1) == nil then break end end
        return mv and string.format("input %d mV", mv) or ""
    end,
    [0x40] = function(rd, tree)
        local i = rd:uint(f.dig_in, 4)
        local o = rd:uint(f.dig_out, 4)
        if o == nil then return "" end
        return string.format("in 0x%X out 0x%X", i, o)
    end,
    [0x42] = function(rd, tree)
        local n = rd:uint(f.analog_count, 4)
        if n == nil then return "" end
        local values = {}
        for _ = 1, n do
            local v = rd:uint(f.analog_in, 4)
            if v == nil then break end
            values[#values + 1] = tostring(v)
        end
        return table.concat(values, " ")
    end,
    [0x61] = function(rd, tree)
        local m = rd:uint(f.co_mode, 1)
        return m and (canopen_mode_names[m] or tostring(m)) or ""
    end,
    [0x68] = function(rd, tree) return sdo_reply(rd, tree, false) end,
    [0x69] = function(rd, tree) return sdo_reply(rd, tree, false) end,
    [0x6A] = function(rd, tree) return sdo_reply(rd, tree, true) end,
    [0x6B] = function(rd, tree) return sdo_reply(rd, tree, false) end,
}

local indications = {
    [0x03] = function(rd, tree, pinfo) return dissect_can_frame(rd, pinfo, tree, true) end,
    [0x6D] = function(rd, tree, pinfo) return dissect_can_frame(rd, pinfo, tree, true) end,
    [0x64] = function(rd, tree)
        local v = rd:uint(f.co_sync_value, 1)
        return v and string.format("value %d", v) or ""
    end,
    [0x66] = function(rd, tree)
        local node = rd:uint(f.co_node, 1)
        local code = rd:uint(f.co_emcy_code, 2)
        local reg = rd:uint(f.co_emcy_reg, 1)
        rd:bytes(f.co_emcy_vendor, 5)
        if reg == nil then return "" end
        return string.format("node %d error 0x%04X register 0x%02X", node, code, reg)
    end,
    [0x67] = function(rd, tree)
        local node = rd:uint(f.co_node, 1)
        local t = rd:uint(f.co_pdo_type, 1)
        local n = rd:uint(f.co_pdo_len, 1)
        if n == nil then return "" end
        local d = rd:bytes(f.co_pdo_data, math.min(n, rd:left()))
        if d == nil or d:len() < n then rd:range(n - (d and d:len() or 0)) end
        return string.format("node %d %s [%d] %s", node, pdo_type_names[t] or tostring(t), n,
            hex_bytes(d, 8))
    end,
    [0x6C] = function(rd, tree)
        local node = rd:uint(f.co_node, 1)
        local r = rd:range(1)
        if r == nil then return "" end
        local st = tree:add(f.co_guard_state, r)
        st:add(f.co_guard_toggle, r)
        local state = bit.band(r:uint(), 0x7F)
        return string.format("node %d %s", node, guard_state_names[state] or string.format("0x%02X", state))
    end,
}

-- ---------------------------------------------------------------- telegram

-- The packet list drops the CANOPEN_ prefix where no other command then
-- reads the same (SDO_READ, PDO_IND; not CANOPEN_SET_CONFIG).
local plain_names = {}
for _, n in pairs(request_names) do plain_names[n] = true end
local function short_name(name)
    local short = name:gsub("^CANOPEN_", "")
    if short ~= name and plain_names[short] then return name end
    return short
end

-- Where the checksum would fit if the telegram were shorter: the end of a
-- telegram the length field overstates, when a plausible header follows.
local function fitting_length(tvb, len)
    local x = 0
    for i = 2, 5 do x = bit.bxor(x, tvb(i, 1):uint()) end
    for e = 7, len - 1 do
        -- x is the XOR of bytes 2 .. e-2, byte e-1 taken as the checksum.
        local byte = tvb(e - 1, 1):uint()
        if x == byte then
            local plausible = e + 4 > len
            if not plausible then
                local high = tvb(e + 3, 1):uint()
                plausible = bit.band(high, 0x7F) == 0x02
            end
            if plausible then return e end
        end
        x = bit.bxor(x, byte)
    end
    return nil
end

-- One telegram; `declared` is the whole size its length field gives, which
-- in a datagram can exceed the bytes there are.
local function dissect_telegram(tvb, pinfo, tree, declared)
    local len = tvb:len()
    local t = tree:add(tessara, tvb())
    local length_field = tvb(0, 2):le_uint()
    local lt = t:add_le(f.length, tvb(0, 2))
    if length_field < 5 or len < 7 then
        lt:add_proto_expert_info(e_length, string.format(
            "length field %d: a telegram needs at least 5 (7 bytes in all)", length_field))
        if len > 2 then t:add(f.data, tvb(2)) end
        t:set_text("Tessara telegram, malformed")
        current.infos[#current.infos + 1] = "malformed telegram"
        return len
    end
    local truncated = declared > len
    if truncated then
        lt:add_proto_expert_info(e_length, string.format(
            "length field says %d bytes in all; the datagram holds %d", declared, len))
    end

    local word = tvb(2, 2):le_uint()
    local id = tvb(4, 2):le_uint()
    local code = bit.band(word, 0xFF)
    local device = bit.band(bit.rshift(word, 8), 0x7F)
    local conf = bit.band(word, 0x8000) ~= 0
    local from_gateway = current.from_gateway
    local kind, name
    if conf then
        kind, name = 1, request_names[code]
    elseif from_gateway and not link_control[code] then
        kind, name = 2, indication_names[code]
    else
        kind, name = 0, request_names[code]
    end
    if device ~= 2 then name = nil end  -- codes are defined for the CAN client only
    name = name or string.format("UNKNOWN_0x%02X", code)

    local ct = t:add_le(f.cmd, tvb(2, 2))
    ct:append_text(" (" .. name .. ", " .. kind_names[kind] .. ")")
    ct:add_le(f.cmd_code, tvb(2, 2))
    ct:add_le(f.cmd_device, tvb(2, 2))
    ct:add_le(f.cmd_conf, tvb(2, 2))
    t:add(f.name, name):set_generated()
    t:add(f.kind, kind):set_generated()
    t:add_le(f.id, tvb(4, 2))

    local stop = truncated and len or len - 1
    local rd = reader(tvb, 6, stop, t, name)
    local summary = ""
    local result = nil
    if kind == 1 then
        local rr = rd:range(1)
        if rr ~= nil then
            result = rr:uint()
            if code == 0x01 then
                t:add(f.connect_result, rr)
            else
                t:add(f.result, rr)
            end
            if result ~= 0 then
                t:add_proto_expert_info(e_refused, string.format("%s refused: result 0x%02X %s", name,
                    result, code == 0x01 and (connect_results[result] or "refused")
                        or (result_names[result] or "")))
            end
        end
    end
    local decoders = kind == 0 and requests or (kind == 1 and confirmations or indications)
    local decode = device == 2 and decoders[code] or nil
    if result ~= nil and result ~= 0 then decode = nil end  -- a refusal carries no reply data
    if decode ~= nil then
        summary = decode(rd, t, pinfo) or ""
        rd:finish()
    elseif rd:left() > 0 then
        t:add(f.data, tvb(rd.pos, rd:left()))
    end

    if not truncated then
        local cr = tvb(len - 1, 1)
        local stored = cr:uint()
        local x = 0
        for i = 2, len - 2 do x = bit.bxor(x, tvb(i, 1):uint()) end
        local ck = t:add(f.checksum, cr)
        ck:add(f.checksum_calc, cr, x):set_generated()
        ck:add(f.checksum_status, cr, stored == x and 1 or 0):set_generated()
        if stored ~= x then
            ck:add_proto_expert_info(e_checksum, string.format(
                "checksum 0x%02X, the bytes give 0x%02X", stored, x))
            local fit = fitting_length(tvb, len)
            if fit ~= nil then
                lt:add_proto_expert_info(e_length, string.format(
                    "length field %d; the checksum fits a telegram of %d bytes (length field %d)",
                    length_field, fit, fit - 2))
            end
        end
    end

    -- Pairing: the latest request with this word and id on this stream,
    -- from the requesting side, takes the confirmation.
    local requester_is_gateway = (kind == 0 and from_gateway) or (kind == 1 and not from_gateway)
    local key = table.concat({ current.stream, requester_is_gateway and "g" or "c",
        bit.band(word, 0x7FFF), id }, "/")
    -- Two telegrams of one packet never share word, id and side.
    local uid = pinfo.number .. "|" .. key
    local column = short_name(name)
    if summary ~= "" then column = column .. " " .. summary end
    -- A telegram can be handed over twice in one pass (TCP retrying after
    -- reassembly); only its first sight counts.
    if not pinfo.visited and links[uid] == nil then
        if kind == 0 then
            pending[key] = { frame = pinfo.number, uid = uid, ts = pinfo.rel_ts, text = column }
            links[uid] = {}
        elseif kind == 1 then
            local r = pending[key]
            if r ~= nil then
                pending[key] = nil
                links[uid] = { to = r.frame, delta = pinfo.rel_ts - r.ts, text = r.text }
                links[r.uid] = { response_in = pinfo.number }
            else
                links[uid] = { unpaired = true }
            end
        end
    end
    local l = links[uid]
    if l ~= nil and l.response_in ~= nil then
        t:add(f.response_in, l.response_in):set_generated()
    elseif l ~= nil and l.to ~= nil then
        t:add(f.response_to, l.to):set_generated()
        local secs = math.floor(l.delta)
        t:add(f.response_time, NSTime.new(secs, math.floor((l.delta - secs) * 1e9 + 0.5)))
            :set_generated()
    elseif l ~= nil and l.unpaired then
        t:add_proto_expert_info(e_unpaired)
    end

    if kind == 1 then
        local outcome
        if result == nil then
            outcome = "no result byte"
        elseif result == 0 then
            outcome = "confirmed"
        elseif code == 0x01 then
            outcome = string.format("refused 0x%02X (%s)", result, connect_results[result] or "refused")
        else
            outcome = string.format("refused 0x%02X (%s)", result, result_names[result] or "failed")
        end
        if summary ~= "" then outcome = outcome .. ", " .. summary end
        column = ((l and l.text) or short_name(name)) .. " -> " .. outcome
    end
    t:append_text(string.format(", %s %s, id %d", name, kind_names[kind], id))
    current.infos[#current.infos + 1] = column
    return len
end

-- ---------------------------------------------------------------- framing

local function telegram_length(tvb, pinfo, offset)
    return tvb(offset, 2):le_uint() + 2
end

local function tcp_pdu(tvb, pinfo, tree)
    return dissect_telegram(tvb, pinfo, tree, tvb:len())
end

local function in_ports(port)
    return registered_ports ~= nil and registered_ports[port] == true
end

function tessara.dissector(tvb, pinfo, tree)
    local n = tvb:len()
    if n == 0 then return 0 end
    -- TCP may hand over one packet's bytes in two calls (a reassembled
    -- telegram, then the rest of the segment): the column then keeps both.
    if current.frame ~= pinfo.number or current.column == nil
        or not tostring(pinfo.cols.info):find(current.column, 1, true) then
        current.infos = {}
    end
    current.frame = pinfo.number
    -- The gateway is the side of the port this dissector was chosen for
    -- (registered or Decode As); with both ports alike, the registered one.
    local from_gateway
    if pinfo.src_port == pinfo.dst_port then
        from_gateway = false
    elseif pinfo.match_uint == pinfo.src_port then
        from_gateway = true
    elseif pinfo.match_uint == pinfo.dst_port then
        from_gateway = false
    else
        from_gateway = in_ports(pinfo.src_port) and not in_ports(pinfo.dst_port)
    end
    current.from_gateway = from_gateway
    pinfo.cols.protocol = "TESSARA"
    -- A conversation is its address and port pair, whichever way a packet
    -- goes. (tcp.stream would be neater, but a first pass without a tree
    -- does not fill it in.)
    local a = tostring(pinfo.src) .. "/" .. pinfo.src_port
    local b = tostring(pinfo.dst) .. "/" .. pinfo.dst_port
    if a > b then a, b = b, a end
    local tcp = pinfo.port_type == PT_TCP
    current.stream = (tcp and "t " or "u ") .. a .. " " .. b

    if tcp then
        dissect_tcp_pdus(tvb, tree, 2, telegram_length, tcp_pdu, true)
    else
        local offset = 0
        while offset < n do
            local left = n - offset
            if left < 2 then
                local item = tree:add(tessara, tvb(offset))
                item:add(f.data, tvb(offset))
                item:add_proto_expert_info(e_length, "1 byte after the last telegram")
                current.infos[#current.infos + 1] = "trailing byte"
                break
            end
            local declared = tvb(offset, 2):le_uint() + 2
            local take = math.min(declared, left)
            dissect_telegram(tvb(offset, take):tvb(), pinfo, tree, declared)
            offset = offset + take
        end
    end
    if #current.infos > 0 then
        -- The CAN dissector and its next-level dissectors may have fenced
        -- the columns; the packet list shows the telegrams.
        pinfo.cols.protocol:clear_fence()
        pinfo.cols.info:clear_fence()
        pinfo.cols.protocol = "TESSARA"
        current.column = table.concat(current.infos, " | ")
        pinfo.cols.info = current.column
    end
    return n
end

-- ---------------------------------------------------------------- registration

local tcp_table = DissectorTable.get("tcp.port")
local udp_table = DissectorTable.get("udp.port")

local function register_ports()
    if registered_ports ~= nil then
        for port in pairs(registered_ports) do
            tcp_table:remove(port, tessara)
            udp_table:remove(port, tessara)
        end
    end
    registered_ports = {}
    local text = tostring(tessara.prefs.ports)
    for piece in text:gmatch("[^,%s]+") do
        local a, b = piece:match("^(%d+)%-(%d+)$")
        a = tonumber(a or piece)
        b = tonumber(b or a)
        if a ~= nil and b ~= nil and a <= b and b <= 65535 then
            for port = a, b do registered_ports[port] = true end
        end
    end
    for port in pairs(registered_ports) do
        tcp_table:add(port, tessara)
        udp_table:add(port, tessara)
    end
end

tessara.prefs_changed = register_ports

register_ports()
tcp_table:add_for_decode_as(tessara)
udp_table:add_for_decode_as(tessara)
