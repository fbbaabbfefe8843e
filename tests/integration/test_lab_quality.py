"""The lab's call-quality figures (lab/quality.py, lab/sipphones.py) over
made-up arrivals: no namespaces, no binary."""
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "lab"))

import quality  # noqa: E402
import sipphones  # noqa: E402


def test_rfc3550_jitter_of_one_late_packet():
    # Sent every 20 ms (160 timestamp units at 8 kHz); the third arrives
    # 10 ms late: D = 0, +10, -10, 0 and J += (|D| - J) / 16.
    arrivals = [0.000, 0.020, 0.050, 0.060, 0.080]
    timestamps = [1000 + 160 * i for i in range(5)]
    j = quality.rfc3550_jitter(arrivals, timestamps)
    expected = [0.0, 0.625, 0.625 + (10 - 0.625) / 16]
    expected.append(expected[-1] * 15 / 16)
    assert j == pytest.approx(expected)


def test_rfc3550_jitter_counts_across_the_timestamp_wrap():
    timestamps = [(0xFFFFFF00 + 160 * i) & 0xFFFFFFFF for i in range(6)]
    assert quality.rfc3550_jitter([0.02 * i for i in range(6)], timestamps) == pytest.approx([0.0] * 5)


def test_frames_of_four_packets_every_80_ms_as_one_call_sees_them():
    # A lone call's packets leave together when the frame is 80 ms old:
    # delays 80, 60, 40, 20 ms, gaps of 80 ms, and |D| of 20, 20, 20, 60.
    packets = []
    for i in range(400):
        sent = 0.020 * i
        arrival = 0.080 * (i // 4 + 1)
        packets.append((arrival, arrival - sent, 160 * i))
    q = quality.summarize([quality.stream_quality(packets)])
    assert q["delay_mean_ms"] == pytest.approx(50.0)
    assert q["delay_p99_ms"] == pytest.approx(80.0)
    assert q["gap_max_ms"] == pytest.approx(80.0)
    # J settles near the mean |D|, 30 ms, and swings around it.
    assert 27 < q["jitter_mean_ms"] < 33 and q["jitter_max_ms"] < 34


def test_percentile_is_the_nearest_rank():
    values = list(range(100, 0, -1))
    assert quality.percentile(values, 99) == 99
    assert quality.percentile(values, 100) == 100
    assert quality.percentile([7.5], 99) == 7.5
    assert quality.percentile([], 99) is None


def test_added_delay_is_tunnel_minus_direct_and_a_missing_side_gives_none():
    tunnel = quality.summarize([quality.stream_quality([(0.0, 0.050, 0), (0.02, 0.030, 160)])])
    direct = quality.summarize([quality.stream_quality([(0.0, 0.001, 0), (0.02, 0.003, 160)])])
    assert quality.added(tunnel, direct) == pytest.approx({"added_mean_ms": 38.0,
                                                           "added_p99_ms": 47.0})
    assert quality.added(tunnel, None) == {"added_mean_ms": None, "added_p99_ms": None}


def test_phone_captures_pair_departures_and_arrivals_by_ssrc_and_payload():
    # (time, src, dst, ssrc, timestamp, payload): the tunnel rebuilds the
    # headers, so only SSRC and payload identify a packet at both ends.
    a, b = "10.77.1.10", "10.77.3.2"
    sender = [(10.000, a, b, 7, 0, "aa"), (10.020, a, b, 7, 160, "bb"),
              (10.040, a, b, 7, 320, "cc"), (10.005, b, a, 9, 0, "aa")]
    receiver = [(10.070, a, b, 7, 0, "aa"), (10.071, a, b, 7, 160, "bb"),
                (10.072, a, b, 7, 999, "dd"), (10.073, b, a, 9, 0, "zz")]
    q = sipphones.path_quality(sender, receiver, a, b)
    assert (q["sent"], q["received"], q["unmatched"]) == (3, 3, 1)
    assert q["delay_mean_ms"] == pytest.approx(60.5)
    assert q["delay_max_ms"] == pytest.approx(70.0)
    assert q["gap_max_ms"] == pytest.approx(1.0)
