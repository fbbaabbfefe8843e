"""Call quality as the receiving phone sees it, from what arrived.

Per stream, each packet that arrived gives its arrival time, its one-way
delay (arrival minus send time, when the send time is known) and its RTP
timestamp.  From those:

- one-way delay: mean, 99th percentile and largest;
- interarrival jitter as RFC 3550 (section 6.4.1) defines it: for packets i
  and j in arrival order, D = (Rj - Ri) - (Sj - Si), with R the arrival time
  and S the RTP timestamp, both converted to milliseconds (the RTP clock
  divided by its rate, 8 kHz for the lab's codecs), and J += (|D| - J) / 16.
  A phone reports J in RTP clock units: at 8 kHz, multiply the milliseconds
  by 8.  Reported are the mean of J over the stream's packets and its
  largest value;
- the longest gap between two arrivals (20 ms for a stream sent every 20 ms
  and delivered as sent).

Per direction the packets of all streams are pooled for the delays; jitter
is the mean over streams of each stream's mean J, and its largest value
anywhere; the gap is the longest of any stream.  Python 3 standard library
only, and no I/O: the lab, its phones' captures and the tests all feed it.
"""

import math


def percentile(values, pct):
    """The nearest-rank percentile (0 < pct <= 100) of `values`; None when
    there are none."""
    if not values:
        return None
    ordered = sorted(values)
    rank = max(1, int(math.ceil(pct / 100.0 * len(ordered))))
    return ordered[rank - 1]


def rfc3550_jitter(arrivals, timestamps, clock=8000):
    """J after each packet but the first, in ms, for packets in arrival
    order: `arrivals` in seconds, `timestamps` the RTP timestamps (32 bits,
    across the wrap)."""
    out = []
    j = 0.0
    for i in range(1, len(arrivals)):
        step = (timestamps[i] - timestamps[i - 1]) & 0xFFFFFFFF
        if step >= 0x80000000:
            step -= 0x100000000            # an earlier timestamp (reordered)
        d = 1e3 * (arrivals[i] - arrivals[i - 1]) - 1e3 * step / clock
        j += (abs(d) - j) / 16.0
        out.append(j)
    return out


def longest_gap_ms(arrivals):
    """The longest time between two consecutive arrivals, in ms."""
    return max((1e3 * (b - a) for a, b in zip(arrivals, arrivals[1:])), default=None)


def stream_quality(packets, clock=8000):
    """packets: (arrival s, delay s or None, RTP timestamp) in arrival order.
    Returns the stream's figures in ms."""
    arrivals = [p[0] for p in packets]
    delays = [1e3 * p[1] for p in packets if p[1] is not None]
    jitter = rfc3550_jitter(arrivals, [p[2] for p in packets], clock)
    return {
        "packets": len(packets),
        "delays_ms": delays,
        "jitter_mean_ms": sum(jitter) / len(jitter) if jitter else None,
        "jitter_max_ms": max(jitter) if jitter else None,
        "gap_max_ms": longest_gap_ms(arrivals),
    }


def summarize(streams):
    """Figures of one direction from stream_quality() results: delay mean,
    p99 and max over every packet, jitter and the longest gap."""
    delays = [d for s in streams for d in s["delays_ms"]]
    jitters = [s["jitter_mean_ms"] for s in streams if s["jitter_mean_ms"] is not None]
    return {
        "streams": len(streams),
        "packets": sum(s["packets"] for s in streams),
        "delay_mean_ms": sum(delays) / len(delays) if delays else None,
        "delay_p99_ms": percentile(delays, 99),
        "delay_max_ms": max(delays) if delays else None,
        "jitter_mean_ms": sum(jitters) / len(jitters) if jitters else None,
        "jitter_max_ms": max((s["jitter_max_ms"] for s in streams
                              if s["jitter_max_ms"] is not None), default=None),
        "gap_max_ms": max((s["gap_max_ms"] for s in streams if s["gap_max_ms"] is not None),
                          default=None),
    }


def added(tunnel, direct):
    """What the tunnel adds to the same path without it: the difference of
    the delay means and of the delay 99th percentiles, in ms (None when
    either side has no figure)."""
    out = {}
    for key in ("delay_mean_ms", "delay_p99_ms"):
        a, b = tunnel.get(key), direct.get(key) if direct else None
        out["added_" + key[len("delay_"):]] = None if a is None or b is None else a - b
    return out


def match_departures(sent, received):
    """Pair the packets that arrived with their departures by (SSRC, RTP
    sequence number): sent maps that key to a departure time; received is a
    list of (key, arrival s, RTP timestamp) in arrival order.  Returns the
    packets for stream_quality(), with the delay None where no departure was
    seen."""
    out = []
    for key, arrival, timestamp in received:
        t0 = sent.get(key)
        out.append((arrival, None if t0 is None else arrival - t0, timestamp))
    return out
