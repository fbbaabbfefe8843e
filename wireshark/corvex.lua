-- corvex.lua: reads the corvex tunnel in Wireshark and tshark (4.0 and later).
--
-- One UDP association carries everything between a router and its server:
-- control messages of the registration exchange, recovery requests, non-RTP
-- messages (a whole IP packet behind a pad) and multiplexed frames of RTP
-- sub-packets. Frames are shown with the password XOR undone; the packets
-- inside go to the ip dissector. Compressed sub-packets are rebuilt from the
-- call's header template exactly as the receiving side rebuilds them, so RTP
-- stream analysis and SIP statistics work on a capture of the tunnel.
--
--   tshark -X lua_script:corvex.lua -o corvex.password:secret -r wan.pcap
--
-- Preferences: corvex.port (UDP port of the server, 42000) and
-- corvex.password (the shared password: needed to undo the XOR of frames,
-- and its length is the pad length of non-RTP messages).

local corvex = Proto("corvex", "corvex voice tunnel")

local bxor = bit32.bxor
local band = bit32.band
local bnot = bit32.bnot
local unpack = table.unpack or unpack

local DEFAULT_PORT = 42000
local HEADER_LEN = 40          -- IPv4 (20) + UDP (8) + RTP fixed header (12)
local RECEIVE_BUFFER = 4096    -- the receiver's buffer: a rebuilt packet must fit it
local TIMESTAMP_STEP = 160
local SUB_LONG = 0x80

-- Fields ---------------------------------------------------------------------

local f = corvex.fields
f.kind = ProtoField.string("corvex.kind", "Kind")
f.direction = ProtoField.string("corvex.direction", "Direction")
f.keyword = ProtoField.string("corvex.keyword", "Keyword")
f.challenge = ProtoField.bytes("corvex.challenge", "Challenge")
f.challenge_length = ProtoField.uint8("corvex.challenge_length", "Challenge length (modulo 256)")
f.digest = ProtoField.bytes("corvex.digest", "Digest")
f.trailing = ProtoField.bytes("corvex.trailing", "Bytes after the keyword")
f.call_id = ProtoField.uint8("corvex.call_id", "Call id")
f.type = ProtoField.uint8("corvex.type", "Type byte", base.HEX)
f.pad = ProtoField.bytes("corvex.pad", "Pad")
f.form = ProtoField.string("corvex.form", "Form")
f.length = ProtoField.uint16("corvex.length", "Length")
f.payload = ProtoField.bytes("corvex.payload", "RTP payload")
f.template_frame = ProtoField.framenum("corvex.template_frame", "Header template from frame")
f.sub_packets = ProtoField.uint16("corvex.sub_packets", "Sub-packets")

local MALFORMED, ERROR = expert.group.MALFORMED, expert.severity.ERROR
local function malformed(abbr, text) return ProtoExpert.new(abbr, text, MALFORMED, ERROR) end

local e = {
  short = malformed("corvex.malformed.short", "Datagram too short for its kind"),
  bad_type = malformed("corvex.malformed.bad_type",
                       "Invalid type byte: the receiver drops the rest of the frame"),
  bad_call_id = malformed("corvex.malformed.bad_call_id",
                          "Call id 0: the receiver drops the rest of the frame"),
  truncated = malformed("corvex.malformed.truncated",
                        "Sub-packet runs past the end of the datagram: the receiver drops it"),
  short_full = malformed("corvex.malformed.short_full",
                         "Full form under 40 bytes: the receiver drops the rest of the frame"),
  too_large = malformed("corvex.malformed.too_large",
                        "Rebuilt packet exceeds the receiver's buffer: the rest of the frame "
                          .. "is dropped"),
  recovery_call_id = malformed("corvex.recovery.bad_call_id",
                               "Recovery request for call id 0: ignored by the receiver"),
  no_template = ProtoExpert.new("corvex.no_template",
                                "No header template for this call: the receiver drops the packet "
                                  .. "and asks for recovery",
                                expert.group.SEQUENCE, expert.severity.WARN),
  odd_length = ProtoExpert.new("corvex.odd_length", "Unusual length for this message",
                               expert.group.PROTOCOL, expert.severity.WARN),
  challenge = ProtoExpert.new("corvex.challenge_unusable",
                              "Challenge length outside 15 to 63: the client answers with a new "
                                .. "REQUEST",
                              expert.group.PROTOCOL, expert.severity.NOTE),
  keyword = ProtoExpert.new("corvex.unknown_keyword", "Keyword without effect on the receiver",
                            expert.group.PROTOCOL, expert.severity.NOTE),
}
corvex.experts = { e.short, e.bad_type, e.bad_call_id, e.truncated, e.short_full, e.too_large,
                   e.no_template, e.recovery_call_id, e.odd_length, e.challenge, e.keyword }

corvex.prefs.port = Pref.uint("UDP port", DEFAULT_PORT, "UDP port of the server")
corvex.prefs.password = Pref.string("Password", "",
  "The shared password: undoes the XOR of frames; its length is the pad length of non-RTP messages")

-- Helpers --------------------------------------------------------------------

-- Byte strings are 0-based here, as the wire offsets are.
local function u8(s, off) return s:byte(off + 1) end
local function be16(s, off) return s:byte(off + 1) * 256 + s:byte(off + 2) end

-- Joins byte values into a string without passing too many arguments at once.
local function bytes_to_string(t, first, last)
  local parts = {}
  local i = first
  while i <= last do
    local j = math.min(i + 255, last)
    parts[#parts + 1] = string.char(unpack(t, i, j))
    i = j + 1
  end
  return table.concat(parts)
end

-- The XOR key as the client holds it: the key index is an 8-bit counter reset
-- when it equals the password's length modulo 256, so a password of 256
-- bytes or more is used up to that many bytes, and one whose length is a
-- multiple of 256 in a cycle of its first 256. No password: no XOR.
local function password_key(pw)
  if pw == nil or #pw == 0 then return nil, 0 end
  local cycle = #pw % 256
  if cycle == 0 then cycle = 256 end
  if cycle > #pw then cycle = #pw end
  return { pw:byte(1, cycle) }, cycle
end

-- Bytes 0 and 1 stay; from byte 2 on each byte is XORed with the key, the
-- index running on across sub-packets.
local function undo_password_xor(raw, key, cycle)
  local out = { raw:byte(1, math.min(2, #raw)) }
  local k = 0
  for i = 3, #raw do
    if k == cycle then k = 0 end
    out[i] = bxor(raw:byte(i), key[k + 1])
    k = k + 1
  end
  return bytes_to_string(out, 1, #raw)
end

local function ip_dissector_for(first_byte)
  local version = math.floor(first_byte / 16)
  if version == 6 then return Dissector.get("ipv6") end
  if version == 4 then return Dissector.get("ip") end
  return Dissector.get("data")
end

-- Hands a packet to the IP dissectors. A packet the sender mangled makes them
-- throw; that is shown in their tree and must not end this dissection.
local function dissect_inner(raw, name, pinfo, tree)
  local tvb = ByteArray.new(raw, true):tvb(name)
  local ok = pcall(function()
    ip_dissector_for(raw:byte(1)):call(tvb, pinfo, tree)
  end)
  if not ok then
    tree:add(tvb(), "The inner packet could not be dissected")
  end
end

-- Header templates and per-frame results ---------------------------------------
--
-- templates[association .. direction .. call id] holds the 40 header bytes of
-- the call's last full form (as byte values, 1-based) and the frame it came
-- from. Templates advance only on the first, in-order pass over the capture;
-- what each frame's compressed sub-packets became is kept in results[frame
-- number], so a later dissection of any frame in any order shows the same.

local templates = {}
local results = {}

function corvex.init()
  templates = {}
  results = {}
end

local function template_from_full(pkt)
  local t = { pkt:byte(1, HEADER_LEN) }
  -- As delivered: UDP checksum 0, RTP timestamp 0.
  t[27], t[28] = 0, 0
  t[33], t[34], t[35], t[36] = 0, 0, 0, 0
  -- Rebuilt packets carry the marker bit clear.
  t[30] = band(t[30], 0x7F)
  return t
end

local function put16(t, off, v)
  t[off + 1] = math.floor(v / 256) % 256
  t[off + 2] = v % 256
end

local function get16(t, off) return t[off + 1] * 256 + t[off + 2] end

local function ipv4_checksum(t)
  local sum = 0
  for off = 0, 18, 2 do sum = sum + get16(t, off) end
  sum = band(sum, 0xFFFF) + math.floor(sum / 65536)
  sum = band(sum, 0xFFFF) + math.floor(sum / 65536)
  return band(bnot(sum), 0xFFFF)
end

-- Advances the template for one more packet of n payload bytes and gives
-- the 40 header bytes of the rebuilt packet.
local function rebuild(t, n)
  put16(t, 2, (n + HEADER_LEN) % 65536)
  put16(t, 24, (n + HEADER_LEN - 20) % 65536)
  put16(t, 30, (get16(t, 30) + 1) % 65536)
  local ts = (get16(t, 32) * 65536 + get16(t, 34) + TIMESTAMP_STEP) % 4294967296
  put16(t, 32, math.floor(ts / 65536))
  put16(t, 34, ts % 65536)
  put16(t, 10, 0)
  put16(t, 10, ipv4_checksum(t))
  return bytes_to_string(t, 1, HEADER_LEN)
end

-- The walk of a frame, as the receiver makes it -------------------------------
--
-- Gives the sub-packets in order and, if the frame is malformed, the fault
-- that ends the walk: { what = expert key, at = offset }.

local function walk_frame(raw)
  local items = {}
  local n = #raw
  local o = 0
  while o < n do
    if n - o < 2 then return items, { what = "truncated", at = o } end
    local call_id, h = u8(raw, o), u8(raw, o + 1)
    if h == 0x01 or h > SUB_LONG then return items, { what = "bad_type", at = o } end
    if call_id == 0 then return items, { what = "bad_call_id", at = o } end
    local item = { call_id = call_id, type = h, at = o }
    if h == 0x00 then
      -- The length is the carried packet's own IPv4 total length.
      if n - (o + 2) < 4 then return items, { what = "truncated", at = o } end
      item.form, item.data_at, item.len = "full", o + 2, be16(raw, o + 4)
      if item.len < HEADER_LEN then return items, { what = "short_full", at = o } end
    elseif h == SUB_LONG then
      if n - (o + 2) < 2 then return items, { what = "truncated", at = o } end
      item.form, item.data_at, item.len = "long", o + 4, be16(raw, o + 2)
    else
      item.form, item.data_at, item.len = "short", o + 2, h
    end
    if n - item.data_at < item.len then return items, { what = "truncated", at = o } end
    items[#items + 1] = item
    o = item.data_at + item.len
  end
  return items, nil
end

-- What the receiver does with the sub-packets, in order: a full form sets the
-- call's template; a compressed one is rebuilt from it, or lost (and a
-- recovery request sent) without one. Returns one entry per sub-packet.
local function receive_frame(raw, items, key_prefix, frame_number)
  local out = {}
  for i, item in ipairs(items) do
    local key = key_prefix .. item.call_id
    if item.form == "full" then
      templates[key] = { hdr = template_from_full(raw:sub(item.data_at + 1)), frame = frame_number }
      out[i] = {}
    else
      local t = templates[key]
      if t == nil then
        out[i] = { no_template = true }
      elseif item.len + HEADER_LEN > RECEIVE_BUFFER then
        out[i] = { too_large = true }
        return out
      else
        local header = rebuild(t.hdr, item.len)
        out[i] = { packet = header .. raw:sub(item.data_at + 1, item.data_at + item.len),
                   template_frame = t.frame }
      end
    end
  end
  return out
end

-- Dissection of each kind ------------------------------------------------------

local KEYWORDS = { "REQUEST", "CHANLLANGE", "DIGEST", "DECLINED", "AUTHORIZED" }
local NO_EFFECT_KEYWORD = "MAY BE SERVER RESTARTED!"

local function dissect_control(tvb, pinfo, tree)
  local n = tvb:len()
  local payload = tvb:raw(2, n - 2)
  local keyword
  for _, kw in ipairs(KEYWORDS) do
    if payload:sub(1, #kw) == kw then keyword = kw; break end
  end
  if keyword == nil and payload:sub(1, #NO_EFFECT_KEYWORD) == NO_EFFECT_KEYWORD then
    keyword = NO_EFFECT_KEYWORD
  end
  if keyword == nil then
    if n > 2 then tree:add(f.trailing, tvb(2)) end
    tree:add_proto_expert_info(e.keyword, "No known keyword")
    pinfo.cols.info = "Control message, no known keyword"
    return
  end
  local k = #keyword
  tree:add(f.keyword, tvb(2, k))
  pinfo.cols.info = "Control " .. keyword
  if keyword == "CHANLLANGE" then
    local l = (n - 12) % 256
    if n > 12 then tree:add(f.challenge, tvb(12)) end
    tree:add(f.challenge_length, l):set_generated()
    if l < 15 or l > 63 then tree:add_proto_expert_info(e.challenge) end
  elseif keyword == "DIGEST" then
    if n >= 24 then tree:add(f.digest, tvb(8, 16)) end
    if n ~= 24 then
      tree:add_proto_expert_info(e.odd_length, "A DIGEST message is 24 bytes long")
    end
  else
    if n > 2 + k then tree:add(f.trailing, tvb(2 + k)) end
    if keyword == NO_EFFECT_KEYWORD then tree:add_proto_expert_info(e.keyword) end
  end
end

local function dissect_recovery(tvb, pinfo, tree)
  local n = tvb:len()
  if n < 3 then
    tree:add_proto_expert_info(e.short, "Recovery request without a call id")
    pinfo.cols.info = "Recovery request, malformed"
    return
  end
  local call_id = tvb(2, 1):uint()
  tree:add(f.call_id, tvb(2, 1))
  if n >= 4 then tree:add(f.type, tvb(3, 1)) end
  if n ~= 4 then tree:add_proto_expert_info(e.odd_length, "A recovery request is 4 bytes long") end
  if call_id == 0 then tree:add_proto_expert_info(e.recovery_call_id) end
  pinfo.cols.info = "Recovery request, call " .. call_id
end

local function dissect_non_rtp(tvb, pinfo, tree, pw)
  local n = tvb:len()
  local p = #pw % 256
  if n <= 2 + p then
    tree:add_proto_expert_info(e.short, "Too short for a pad of " .. p .. " bytes and a packet")
    pinfo.cols.info = "Non-RTP message, malformed"
    return
  end
  pinfo.cols.info = "Non-RTP message | "
  pinfo.cols.info:fence()
  local body = tvb:raw(2 + p, n - 2 - p)
  if p > 0 then
    tree:add(f.pad, tvb(2, p))
    local pad = { tvb:raw(2, p):byte(1, p) }
    local out = {}
    for i = 1, #body do
      out[i] = bxor(body:byte(i), pad[(i - 1) % p + 1])
    end
    body = bytes_to_string(out, 1, #body)
  end
  tree:add(tvb(2 + p), "Packet (" .. #body .. " bytes, pad XOR undone)")
  dissect_inner(body, "Non-RTP packet", pinfo, tree)
end

local FAULT_TEXT = {
  truncated = "runs past the end of the datagram",
  bad_type = "invalid type byte",
  bad_call_id = "call id 0",
  short_full = "full form under 40 bytes",
}

local function dissect_frame(tvb, pinfo, tree, pw, key_prefix)
  local raw = tvb:raw()
  local key, cycle = password_key(pw)
  local ftvb = tvb
  if key ~= nil then
    raw = undo_password_xor(raw, key, cycle)
    ftvb = ByteArray.new(raw, true):tvb("Frame (password XOR undone)")
  end
  local items, fault = walk_frame(raw)

  local done = results[pinfo.number]
  if done == nil then
    if pinfo.visited then
      done = {}
    else
      done = receive_frame(raw, items, key_prefix, pinfo.number)
      results[pinfo.number] = done
    end
  end

  tree:add(f.sub_packets, #items):set_generated()
  pinfo.cols.info = "Frame, " .. #items .. " sub-packet" .. (#items == 1 and "" or "s")
  if fault ~= nil then pinfo.cols.info:append(", malformed") end
  pinfo.cols.info:append(" | ")
  pinfo.cols.info:fence()

  for i, item in ipairs(items) do
    local size = item.data_at - item.at + item.len
    local label = string.format("Sub-packet %d: call %d, %s form, %d bytes",
                                i, item.call_id, item.form, item.len)
    local st = tree:add(ftvb(item.at, size), label)
    st:add(f.call_id, ftvb(item.at, 1))
    st:add(f.type, ftvb(item.at + 1, 1))
    st:add(f.form, item.form):set_generated()
    if item.form == "long" then
      st:add(f.length, ftvb(item.at + 2, 2))
    else
      st:add(f.length, item.len):set_generated()
    end
    local r = done[i] or {}
    if item.form == "full" then
      -- Delivered with UDP checksum 0 and RTP timestamp 0, as the template.
      local pkt = raw:sub(item.data_at + 1, item.data_at + item.len)
      pkt = pkt:sub(1, 26) .. "\0\0" .. pkt:sub(29, 32) .. "\0\0\0\0" .. pkt:sub(37)
      dissect_inner(pkt, "Full-form packet (call " .. item.call_id .. ")", pinfo, st)
    else
      if item.len > 0 then st:add(f.payload, ftvb(item.data_at, item.len)) end
      if r.packet ~= nil then
        st:add(f.template_frame, r.template_frame):set_generated()
        dissect_inner(r.packet, "Rebuilt packet (call " .. item.call_id .. ")", pinfo, st)
      elseif r.too_large then
        st:add_proto_expert_info(e.too_large)
        fault = nil  -- the rest, if any, is dropped with it
        break
      else
        st:add_proto_expert_info(e.no_template)
      end
    end
  end

  if fault ~= nil then
    local st = tree:add(ftvb(fault.at), "Malformed from here on: " .. FAULT_TEXT[fault.what])
    if raw:len() - fault.at >= 1 then st:add(f.call_id, ftvb(fault.at, 1)) end
    if raw:len() - fault.at >= 2 then st:add(f.type, ftvb(fault.at + 1, 1)) end
    st:add_proto_expert_info(e[fault.what])
  end
end

-- Entry ------------------------------------------------------------------------

function corvex.dissector(tvb, pinfo, tree)
  local n = tvb:len()
  if n == 0 then return 0 end
  pinfo.cols.protocol = "CORVEX"
  local root = tree:add(corvex, tvb())
  local port = corvex.prefs.port
  local to_server = pinfo.dst_port == port or pinfo.src_port ~= port
  local direction = to_server and "to server" or "from server"
  root:add(f.direction, direction):set_generated()
  if n < 2 then
    root:add(f.kind, "short"):set_generated()
    root:add_proto_expert_info(e.short, "A datagram needs two bytes to tell its kind")
    pinfo.cols.info = "Malformed, " .. n .. " byte"
    return n
  end
  local b0, b1 = tvb(0, 1):uint(), tvb(1, 1):uint()
  local pw = corvex.prefs.password or ""
  local kind
  if b0 == 0x00 and b1 == 0x00 then
    kind = "non-rtp"
  elseif b0 == 0x00 and b1 == 0x81 then
    kind = "control"
  elseif b0 == 0x01 and b1 == 0x81 then
    kind = "recovery"
  else
    kind = "frame"
  end
  root:add(f.kind, kind):set_generated()
  if kind == "control" then
    dissect_control(tvb, pinfo, root)
  elseif kind == "recovery" then
    dissect_recovery(tvb, pinfo, root)
  elseif kind == "non-rtp" then
    dissect_non_rtp(tvb, pinfo, root, pw)
  else
    -- Templates belong to one association and one direction.
    local client, server
    if to_server then
      client = tostring(pinfo.src) .. ":" .. pinfo.src_port
      server = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
    else
      client = tostring(pinfo.dst) .. ":" .. pinfo.dst_port
      server = tostring(pinfo.src) .. ":" .. pinfo.src_port
    end
    dissect_frame(tvb, pinfo, root, pw, client .. ">" .. server .. ":" .. direction .. ":")
  end
  return n
end

-- Port registration --------------------------------------------------------------

local registered_port = nil

local function register_port()
  local udp = DissectorTable.get("udp.port")
  if registered_port ~= nil and registered_port ~= 0 then udp:remove(registered_port, corvex) end
  registered_port = corvex.prefs.port
  if registered_port ~= 0 then udp:add(registered_port, corvex) end
end

function corvex.prefs_changed()
  if corvex.prefs.port ~= registered_port then register_port() end
end

register_port()
