"""Call traffic for the lab: RTP streams of G.711 and G.729 calls in both
directions and the SIP messages that set the calls up and tear them down.

Every stream sends one packet every 20 ms from a phone's socket to the far
host, or back.  The tunnel rebuilds RTP sequence numbers and timestamps from
its templates, so they cannot tell loss or reordering at the receiver; each
payload therefore starts with a stamp of its own (call, direction, packet
counter, send time), checked on arrival along with the RTP version, payload
type, SSRC and the payload's filler bytes.

Sockets are handed in already bound (the lab opens them inside its network
namespaces); everything here is one thread and one selector.  Python 3
standard library only.
"""

import errno
import selectors
import struct
import time

import quality

PTIME = 0.020                     # seconds of audio per packet
RTP_TS_STEP = 160                 # 8 kHz clock, 20 ms
UP, DOWN = "up", "down"           # phones -> host, host -> phones
DIRECTIONS = (UP, DOWN)

# name: (RTP payload type, payload bytes per 20 ms)
CODECS = {
    "G.711": (0, 160),
    "G.729": (18, 20),
}

STAMP = struct.Struct("!HBBIQ")   # call, direction, magic, counter, send time (ns)
STAMP_MAGIC = 0xC7
FILLER = 0xD5                     # mu-law silence

IP_UDP = 28                       # outer IPv4 + UDP header bytes
RTP_HEADER = 12


def codec_for_call(index):
    """Calls alternate between G.711 and G.729."""
    return "G.711" if index % 2 == 0 else "G.729"


def packet_bytes(codec):
    """Bytes of one packet of the codec as plain IPv4/UDP/RTP."""
    return IP_UDP + RTP_HEADER + CODECS[codec][1]


def rtp_header(payload_type, seq, timestamp, ssrc):
    return struct.pack("!BBHII", 0x80, payload_type & 0x7F, seq & 0xFFFF,
                       timestamp & 0xFFFFFFFF, ssrc & 0xFFFFFFFF)


def stamped_payload(size, call, direction, counter, sent_ns):
    stamp = STAMP.pack(call & 0xFFFF, DIRECTIONS.index(direction), STAMP_MAGIC,
                       counter & 0xFFFFFFFF, sent_ns)
    return stamp + bytes([FILLER]) * (size - len(stamp))


def ssrc_for(call, direction):
    return 0x5EED0000 | (call << 1) | DIRECTIONS.index(direction)


class StreamStats:
    """What a receiver saw of one stream."""

    __slots__ = ("sent", "received", "duplicates", "out_of_order", "corrupt", "highest",
                 "seen", "latency_sum", "latency_max", "latency_n", "arrivals")

    def __init__(self):
        self.sent = 0
        self.received = 0          # distinct packets
        self.duplicates = 0
        self.out_of_order = 0      # arrived after a packet sent later
        self.corrupt = 0           # wrong header, size or filler
        self.highest = -1
        self.seen = set()
        self.latency_sum = 0.0
        self.latency_max = 0.0
        self.latency_n = 0
        self.arrivals = []         # (arrival s, one-way delay s, RTP timestamp, counter)

    def on_counter(self, counter, latency, arrival=None, timestamp=None):
        if counter in self.seen:
            self.duplicates += 1
            return
        self.seen.add(counter)
        self.received += 1
        if arrival is not None:
            self.arrivals.append((arrival, latency, timestamp, counter))
        if counter < self.highest:
            self.out_of_order += 1
        else:
            self.highest = counter
        if latency is not None:
            self.latency_sum += latency
            self.latency_n += 1
            if latency > self.latency_max:
                self.latency_max = latency


class Stream:
    """One direction of one call, sent from `sock` to `dst`."""

    def __init__(self, call, direction, codec, sock, dst, start, packets):
        self.call = call
        self.direction = direction
        self.codec = codec
        self.payload_type, self.payload_size = CODECS[codec]
        self.sock = sock
        self.dst = dst
        self.start = start
        self.packets = packets
        self.counter = 0
        self.seq = (call * 977 + 11) & 0xFFFF
        self.timestamp = (call * 7919) & 0xFFFFFFFF
        self.ssrc = ssrc_for(call, direction)
        self.stats = StreamStats()
        self.send_errors = 0

    @property
    def done(self):
        return self.counter >= self.packets

    def next_due(self):
        return self.start + self.counter * PTIME

    def send_one(self):
        payload = stamped_payload(self.payload_size, self.call, self.direction, self.counter,
                                  time.monotonic_ns())
        data = rtp_header(self.payload_type, self.seq, self.timestamp, self.ssrc) + payload
        self.counter += 1
        self.seq = (self.seq + 1) & 0xFFFF
        self.timestamp = (self.timestamp + RTP_TS_STEP) & 0xFFFFFFFF
        try:
            self.sock.sendto(data, self.dst)
        except OSError as exc:
            if exc.errno not in (errno.EAGAIN, errno.ENOBUFS, errno.ECONNREFUSED):
                raise
            self.send_errors += 1
            return
        self.stats.sent += 1

    def check(self, data, now_ns):
        """Account for one datagram that arrived for this stream."""
        size = RTP_HEADER + self.payload_size
        if len(data) != size or data[0] & 0xC0 != 0x80 or data[1] & 0x7F != self.payload_type \
                or struct.unpack_from("!I", data, 8)[0] != self.ssrc:
            self.stats.corrupt += 1
            return
        call, direction, magic, counter, sent_ns = STAMP.unpack_from(data, RTP_HEADER)
        if magic != STAMP_MAGIC or call != self.call or direction != DIRECTIONS.index(self.direction) \
                or counter >= self.counter \
                or data[RTP_HEADER + STAMP.size:] != bytes([FILLER]) * (self.payload_size - STAMP.size):
            self.stats.corrupt += 1
            return
        self.stats.on_counter(counter, (now_ns - sent_ns) / 1e9, now_ns / 1e9,
                              struct.unpack_from("!I", data, 4)[0])


class ExternalStream:
    """A stream some other program sends (GStreamer): the receiver counts
    its packets and checks their header and size; what was sent is counted
    elsewhere (by the kernel)."""

    def __init__(self, call, direction, codec, tool):
        self.call = call
        self.direction = direction
        self.codec = codec
        self.tool = tool
        self.payload_type, self.payload_size = CODECS[codec]
        self.stats = StreamStats()
        self.last_seq = None
        self.done = True
        self.send_errors = 0

    def check(self, data, now_ns):
        if len(data) != RTP_HEADER + self.payload_size or data[0] & 0xC0 != 0x80 \
                or data[1] & 0x7F != self.payload_type:
            self.stats.corrupt += 1
            return
        seq = struct.unpack_from("!H", data, 2)[0]
        if self.last_seq is not None and (seq - self.last_seq) & 0xFFFF > 0x8000:
            self.stats.out_of_order += 1
        else:
            self.last_seq = seq
        self.stats.received += 1


# ---------------------------------------------------------------------------
# SIP
# ---------------------------------------------------------------------------

SIP_PORT = 5060


def sip_request(method, call, phone, host, rtp_port, codec, cseq):
    user = "phone%d" % call
    call_id = "lab-call-%d@%s" % (call, phone)
    body = b""
    if method == "INVITE":
        payload_type = CODECS[codec][0]
        name = "PCMU/8000" if payload_type == 0 else "G729/8000"
        body = ("v=0\r\no=%s 1 1 IN IP4 %s\r\ns=call\r\nc=IN IP4 %s\r\nt=0 0\r\n"
                "m=audio %d RTP/AVP %d\r\na=rtpmap:%d %s\r\na=ptime:20\r\n"
                % (user, phone, phone, rtp_port, payload_type, payload_type, name)).encode()
    head = ("%s sip:gw@%s SIP/2.0\r\n"
            "Via: SIP/2.0/UDP %s:%d;branch=z9hG4bK%d%s\r\n"
            "Max-Forwards: 70\r\n"
            "From: <sip:%s@%s>;tag=%d\r\n"
            "To: <sip:gw@%s>\r\n"
            "Call-ID: %s\r\n"
            "CSeq: %d %s\r\n"
            "Contact: <sip:%s@%s:%d>\r\n"
            "%s"
            "Content-Length: %d\r\n\r\n"
            % (method, host, phone, SIP_PORT, call, method.lower(), user, phone, 1000 + call,
               host, call_id, cseq, method, user, phone, SIP_PORT,
               "Content-Type: application/sdp\r\n" if body else "", len(body)))
    return head.encode() + body


def sip_response(request):
    """200 OK echoing the request's Via, From, To, Call-ID and CSeq."""
    lines = request.split(b"\r\n")
    keep = [ln for ln in lines[1:] if ln.split(b":", 1)[0] in (b"Via", b"From", b"To", b"Call-ID",
                                                               b"CSeq")]
    return b"\r\n".join([b"SIP/2.0 200 OK"] + keep + [b"Content-Length: 0", b"", b""])


def sip_method(data):
    return data.split(b" ", 1)[0].decode("ascii", "replace")


# ---------------------------------------------------------------------------
# The whole load
# ---------------------------------------------------------------------------

class Traffic:
    """Every socket of the calls, in one selector.

    add_stream / add_external register the receiving side of a stream:
    `rx_sock` is the socket its packets arrive on.  Phones and host SIP
    sockets are added with add_phone_sip / set_host_sip."""

    def __init__(self):
        self.selector = selectors.DefaultSelector()
        self.streams = []
        self.references = []         # streams on the path around the tunnel
        self.receivers = {}          # fileno -> stream
        self.sip_counts = {UP: [0, 0], DOWN: [0, 0]}   # direction -> [sent, received]
        self.sip_answers = {}        # (call, method) -> answered
        self.phone_sip = {}          # call -> (socket, phone address)
        self.host_sip = None
        self.host_addr = None
        self.sockets = []
        self.last_arrival = 0.0

    def _register(self, sock, data):
        sock.setblocking(False)
        if sock not in self.sockets:
            self.sockets.append(sock)
            self.selector.register(sock, selectors.EVENT_READ, data)

    def add_stream(self, stream, rx_sock):
        self.streams.append(stream)
        self._register(rx_sock, ("rtp", stream))

    def add_external(self, stream, rx_sock):
        self.add_stream(stream, rx_sock)

    def add_reference(self, stream, rx_sock):
        """A stream sent like the others but on the path around the tunnel:
        the zero of the delay figures, kept out of the totals."""
        self.references.append(stream)
        self._register(rx_sock, ("rtp", stream))

    def add_phone_sip(self, call, sock, phone):
        self.phone_sip[call] = (sock, phone)
        self._register(sock, ("sip-phone", None))

    def set_host_sip(self, sock, addr):
        self.host_sip = sock
        self.host_addr = addr
        self._register(sock, ("sip-host", None))

    # -- receiving ----------------------------------------------------------

    def poll(self, timeout):
        for key, _ in self.selector.select(timeout):
            role, item = key.data
            sock = key.fileobj
            for _ in range(64):
                try:
                    data, src = sock.recvfrom(4096)
                except (BlockingIOError, InterruptedError):
                    break
                except ConnectionRefusedError:
                    continue
                self.last_arrival = time.monotonic()
                if role == "rtp":
                    item.check(data, time.monotonic_ns())
                elif role == "sip-host":
                    self._host_sip(data, src)
                else:
                    self._phone_sip(data)

    def _host_sip(self, data, src):
        self.sip_counts[UP][1] += 1
        method = sip_method(data)
        if method in ("INVITE", "BYE", "OPTIONS"):
            try:
                self.host_sip.sendto(sip_response(data), src)
                self.sip_counts[DOWN][0] += 1
            except BlockingIOError:
                pass

    def _phone_sip(self, data):
        """A response at a phone: its Call-ID names the call (phones may
        share an address, and so a socket), its CSeq the method."""
        self.sip_counts[DOWN][1] += 1
        if not data.startswith(b"SIP/2.0 200"):
            return
        call = method = None
        for line in data.split(b"\r\n"):
            if line.startswith(b"CSeq:"):
                method = line.split()[-1].decode("ascii", "replace")
            elif line.startswith(b"Call-ID: lab-call-"):
                digits = line[len(b"Call-ID: lab-call-"):].split(b"@", 1)[0]
                if digits.isdigit():
                    call = int(digits)
        if call is not None and method is not None:
            self.sip_answers[(call, method)] = True

    # -- SIP exchanges --------------------------------------------------------

    def send_sip(self, method, calls, rtp_port_of, codec_of, cseq):
        for call in calls:
            sock, phone = self.phone_sip[call]
            msg = sip_request(method, call, phone, self.host_addr[0], rtp_port_of(call),
                              codec_of(call), cseq)
            try:
                sock.sendto(msg, self.host_addr)
                self.sip_counts[UP][0] += 1
            except BlockingIOError:
                pass

    def answered(self, calls, method):
        return [c for c in calls if self.sip_answers.get((c, method))]

    def exchange_sip(self, method, calls, rtp_port_of, codec_of, cseq, timeout, retry=0.5):
        """Send the request for every call and wait for their 200 OKs,
        resending to the unanswered ones every `retry` seconds.  Returns
        the calls that were answered."""
        deadline = time.monotonic() + timeout
        pending = list(calls)
        while pending and time.monotonic() < deadline:
            self.send_sip(method, pending, rtp_port_of, codec_of, cseq)
            resend = min(deadline, time.monotonic() + retry)
            while time.monotonic() < resend:
                self.poll(max(0.0, resend - time.monotonic()))
                pending = [c for c in calls if not self.sip_answers.get((c, method))]
                if not pending:
                    break
        return self.answered(calls, method)

    # -- the media ------------------------------------------------------------

    def senders(self):
        return [s for s in self.streams + self.references if isinstance(s, Stream)]

    def run_media(self, end, tick=None, tick_every=1.0):
        """Send every stream's packets on time until all are sent (or `end`
        passes), receiving all along.  tick() is called about every
        `tick_every` seconds."""
        senders = self.senders()
        next_tick = time.monotonic() + tick_every
        while True:
            now = time.monotonic()
            due = None
            for s in senders:
                while not s.done and s.next_due() <= now:
                    s.send_one()
                if not s.done:
                    d = s.next_due()
                    due = d if due is None or d < due else due
            if due is None or now >= end:
                break
            if tick is not None:
                if now >= next_tick:
                    tick()
                    next_tick += tick_every
                due = min(due, next_tick)
            self.poll(max(0.0, due - time.monotonic()))

    def settle(self, complete, quiet=0.5, limit=3.0):
        """Keep receiving until complete() holds, or nothing arrived for
        `quiet` seconds, or `limit` seconds passed."""
        start = time.monotonic()
        self.last_arrival = max(self.last_arrival, start)
        while not complete():
            now = time.monotonic()
            if now - self.last_arrival >= quiet or now - start >= limit:
                break
            self.poll(0.05)

    def totals(self):
        """direction -> dict of summed stream figures."""
        out = {}
        for d in DIRECTIONS:
            streams = [s for s in self.streams if s.direction == d]
            st = [s.stats for s in streams]
            lat_n = sum(x.latency_n for x in st)
            out[d] = {
                "streams": len(streams),
                "sent": sum(x.sent for x in st),
                "received": sum(x.received for x in st),
                "duplicates": sum(x.duplicates for x in st),
                "out_of_order": sum(x.out_of_order for x in st),
                "corrupt": sum(x.corrupt for x in st),
                "send_errors": sum(s.send_errors for s in streams),
                "latency_mean_ms": (sum(x.latency_sum for x in st) / lat_n * 1e3) if lat_n else None,
                "latency_max_ms": max((x.latency_max for x in st), default=0.0) * 1e3 if lat_n else None,
            }
        return out

    def quality(self, tail=5):
        """direction -> the call quality of the streams through the tunnel
        (lab/quality.py), with "direct": the same for the reference streams
        around it, and what the tunnel added to the delay.  The last `tail`
        packets of every stream are left out: the lab's calls all end
        together, and their last frame then waits for its timer alone, as
        frames of a trunk whose calls end one by one do not."""
        def steady(s):
            return [p for p in s.stats.arrivals if p[3] < s.packets - tail]

        out = {}
        for d in DIRECTIONS:
            tunnel = quality.summarize([quality.stream_quality(steady(s)) for s in self.streams
                                        if s.direction == d and isinstance(s, Stream)])
            direct = None
            refs = [s for s in self.references if s.direction == d]
            if refs:
                direct = quality.summarize([quality.stream_quality(steady(s)) for s in refs])
            tunnel["direct"] = direct
            tunnel.update(quality.added(tunnel, direct))
            out[d] = tunnel
        return out

    def close(self):
        self.selector.close()
        for sock in self.sockets:
            sock.close()
        self.sockets = []
