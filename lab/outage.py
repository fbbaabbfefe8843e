"""The lab's server outages: how long the calls took to flow again after the
server moved or came back, and what they lost before, during and after.

Each stream sends packet k at about start + k * PTIME; the receiver notes,
for each packet that arrived, when it was sent (from its stamp) and when it
arrived.  An outage begins at `begin` (the move, or the start of a silence)
and is over for the server at `since` (the move itself, or the server's
return).  A stream is carried again by the first packet sent after `begin`
that arrived; its arrival, less `since`, is the stream's time to recover.
Packets missing before that one are the outage's; packets missing after it
are lost after the recovery, which should never happen.

Python 3 standard library only; the arithmetic is free of sockets and clocks.
"""

import time

import rtpgen


class ArrivalStats(rtpgen.StreamStats):
    """A stream's receiver figures, plus (send time, arrival time) of every
    packet that arrived, by its counter (time.monotonic() seconds)."""

    __slots__ = ("times",)

    def __init__(self):
        super().__init__()
        self.times = {}

    def on_counter(self, counter, latency, *rest):
        if counter not in self.seen and latency is not None:
            now = time.monotonic()
            self.times[counter] = (now - latency, now)
        super().on_counter(counter, latency, *rest)


def stream_recovery(start, sent, times, begin, since, ptime=rtpgen.PTIME):
    """One stream's outage: a dict of
        recovered   arrival of its first packet sent after `begin`, less `since`
                    (None: none arrived)
        before      packets due before `begin` that never arrived
        during      packets from `begin` up to the first one carried again
                    that never arrived (all of them if none came again)
        after       packets sent after that one that never arrived
    `times` maps the counter of every packet that arrived to (sent, arrived);
    a packet that never arrived counts as sent when it was due."""
    def sent_at(k):
        return times[k][0] if k in times else start + k * ptime

    first = None
    for k in sorted(times):
        if times[k][0] >= begin:
            first = k
            break
    out = {"recovered": None if first is None else times[first][1] - since,
           "before": 0, "during": 0, "after": 0}
    for k in range(sent):
        if k in times:
            continue
        if sent_at(k) < begin:
            out["before"] += 1
        elif first is None or k < first:
            out["during"] += 1
        else:
            out["after"] += 1
    return out


def recovery(streams, begin, since, ptime=rtpgen.PTIME):
    """The outage over the streams of one direction, each given as (start,
    sent, times): the first and the last stream's time to recover (None for
    the last while any stream never recovered), how many recovered, and the
    packets missing before, during and after, summed."""
    per = [stream_recovery(start, sent, times, begin, since, ptime)
           for start, sent, times in streams]
    times = [p["recovered"] for p in per if p["recovered"] is not None]
    out = {"streams": len(per), "recovered_streams": len(times),
           "first_s": min(times) if times else None,
           "all_s": max(times) if times and len(times) == len(per) else None}
    for key in ("before", "during", "after"):
        out["lost_" + key] = sum(p[key] for p in per)
    return out


def parse_down(text):
    """'SEC:DURATION' -> (SEC, DURATION), both seconds, DURATION above 0."""
    at, sep, duration = text.partition(":")
    if not sep:
        raise ValueError("SEC:DURATION wanted, not %r" % text)
    at, duration = float(at), float(duration)
    if at < 0 or duration <= 0:
        raise ValueError("SEC must not be negative and DURATION must be above 0")
    return at, duration
