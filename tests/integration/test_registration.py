"""The registration exchange of the real binary against the lab peer, in a
namespace of its own: REQUEST cadence, digests, challenge lengths, sources,
declines and odd datagrams."""
import hashlib
import signal

import pytest

from netlab import RegLab, labpeer

REQUEST_MSG = b"\x00\x81REQUEST"
PASSWORD = b"secret"
# The digest of challenge "ABCDEFGHIJKLMNOP" and password "secret":
# MD5("ABCDEFGHIJKLMNOP" "secret" "secret" ":" "ABCDEFGHIJKLMNOP").
KNOWN_CHALLENGE = b"ABCDEFGHIJKLMNOP"
KNOWN_DIGEST = bytes.fromhex("8ec3c442a566816875e6c9a5fc4c241d")
# Less than the 2-second repeat: an answer this fast was not a repeat.
AT_ONCE = 1.5


def digest_msg(challenge, password=PASSWORD):
    return b"\x00\x81DIGEST" + hashlib.md5(challenge + password + password + b":" + challenge).digest()


def challenge_msg(challenge):
    return b"\x00\x81CHANLLANGE" + challenge


@pytest.fixture
def reg(lab, corvex):
    return RegLab(lab, corvex)


def send_and_wait_reply(peer, data, via="main"):
    """Send data to the client from the peer; return (delay, reply bytes) of
    the first datagram the peer receives afterwards."""
    mark = peer.mark()
    peer.call("send", hex=data.hex(), via=via)
    sent_at = peer.sent(mark)[-1][0]
    t, reply, _ = peer.wait_received(1, since=mark, timeout=5)[0]
    return t - sent_at, reply


def test_silent_server_gets_request_at_once_then_every_two_seconds(reg):
    peer = reg.start_peer(mode="silent")
    client = reg.start_client()
    got = peer.wait_received(3, timeout=10, what="REQUESTs")
    assert [data for _, data, _ in got] == [REQUEST_MSG] * 3
    times = [t for t, _, _ in got]
    assert times[0] - client.started < AT_ONCE
    assert 1.9 <= (times[2] - times[0]) / 2 <= 2.3, times
    for earlier, later in zip(times, times[1:]):
        assert 1.8 <= later - earlier <= 2.8, times
    assert reg.script_events() == []

    # A stop request during the registration: the up script still runs,
    # then the down script, and the run ends with status 255.
    client.signal(signal.SIGTERM)
    assert client.wait() == 255
    assert reg.script_events() == ["up", "down"]


def test_known_challenge_gives_the_exact_digest_repeated_while_unanswered(reg):
    peer = reg.start_peer(mode="silent", challenge=KNOWN_CHALLENGE.hex())
    client = reg.start_client()
    peer.wait_received(1, what="REQUEST")
    mark = peer.mark()
    peer.call("challenge")
    got = peer.wait_received(2, since=mark, timeout=10, what="DIGESTs")
    expected = b"\x00\x81DIGEST" + KNOWN_DIGEST
    assert len(expected) == 24
    assert [data for _, data, _ in got] == [expected, expected]
    assert 1.8 <= got[1][0] - got[0][0] <= 2.8
    assert reg.script_events() == []

    peer.call("authorize")
    reg.wait_up(client)
    assert client.alive()


def test_challenge_lengths_outside_15_to_63_are_answered_with_request(reg):
    peer = reg.start_peer(mode="silent")
    reg.start_client()
    peer.wait_received(1, what="REQUEST")
    for length in (14, 64):
        delay, reply = send_and_wait_reply(peer, challenge_msg(bytes(range(1, length + 1))))
        assert reply == REQUEST_MSG, "L %d" % length
        assert delay < AT_ONCE
    for length in (15, 63):
        challenge = bytes((i * 7 + 3) & 0xFF for i in range(length))
        delay, reply = send_and_wait_reply(peer, challenge_msg(challenge))
        assert reply == digest_msg(challenge), "L %d" % length
        assert delay < AT_ONCE
    # 283 bytes: (283 - 12) mod 256 = 15, so the digest covers 15 bytes.
    challenge = bytes(range(0x30, 0x30 + 15)) + bytes(256)
    message = challenge_msg(challenge)
    assert len(message) == 283
    delay, reply = send_and_wait_reply(peer, message)
    assert reply == b"\x00\x81DIGEST" + bytes.fromhex("acc3f9629a69a83179fc1eb76b74a37d")
    assert reply == digest_msg(challenge[:15])


def test_a_new_challenge_while_the_digest_is_out_gets_a_new_digest(reg):
    peer = reg.start_peer(mode="silent")
    reg.start_client()
    peer.wait_received(1, what="REQUEST")
    first = bytes(range(20))
    second = bytes(range(100, 140))
    assert send_and_wait_reply(peer, challenge_msg(first))[1] == digest_msg(first)
    delay, reply = send_and_wait_reply(peer, challenge_msg(second))
    assert reply == digest_msg(second)
    assert delay < AT_ONCE


@pytest.mark.parametrize("how", ["peer-mode", "trailing-bytes"])
def test_authorized_before_any_challenge_ends_the_exchange(reg, how):
    if how == "peer-mode":
        peer = reg.start_peer(mode="authorize")
    else:
        peer = reg.start_peer(mode="silent")
    client = reg.start_client()
    peer.wait_received(1, what="REQUEST")
    if how == "trailing-bytes":
        peer.call("send", hex=(b"\x00\x81AUTHORIZED and more").hex())
    reg.wait_up(client)
    assert [data for _, data, _ in peer.received()] == [REQUEST_MSG]
    assert client.alive()


def test_nine_characters_of_authorized_match_nothing(reg):
    peer = reg.start_peer(mode="silent")
    client = reg.start_client()
    peer.wait_received(1, what="REQUEST")
    delay, reply = send_and_wait_reply(peer, b"\x00\x81AUTHORIZE")
    assert reply == REQUEST_MSG and delay < AT_ONCE
    delay, reply = send_and_wait_reply(peer, b"\x00\x81MAY BE SERVER RESTARTED!")
    assert reply == REQUEST_MSG and delay < AT_ONCE
    assert reg.script_events() == []
    assert client.alive()


def test_datagrams_from_another_address_or_port_are_ignored(reg):
    peer = reg.start_peer(mode="silent")
    client = reg.start_client()
    peer.wait_received(1, what="REQUEST")
    authorized = b"\x00\x81AUTHORIZED"
    for via in ("alt0", "alt1"):           # 127.0.0.2:42000, 127.0.0.1:42001
        mark = peer.mark()
        last_request = peer.received()[-1][0]
        for _ in range(20):
            peer.call("send", hex=authorized.hex(), via=via)
        t, reply, _ = peer.wait_received(1, since=mark, timeout=5)[0]
        # Dropped without ending the wait: the client does not take the
        # tunnel up, and its next REQUEST is the 2-second repeat, not an
        # answer to each foreign datagram.
        assert reply == REQUEST_MSG, via
        assert t - last_request > AT_ONCE, via
        assert len(peer.received(mark)) == 1, via
        assert reg.script_events() == [], via
    # Nothing the client sent went to the other sockets.
    assert peer.received(via="alt0") == [] and peer.received(via="alt1") == []
    peer.call("send", hex=authorized.hex())
    reg.wait_up(client)


def test_declined_starts_over_with_a_request(reg):
    peer = reg.start_peer(mode="normal", password="not-the-password", max_declines=2)
    client = reg.start_client()
    got = peer.wait_received(5, timeout=10, what="datagrams")[:5]
    kinds = [labpeer.control_keyword(data) for _, data, _ in got]
    assert kinds == [b"REQUEST", b"DIGEST", b"REQUEST", b"DIGEST", b"REQUEST"]
    sent = [labpeer.control_keyword(data) for _, data in peer.sent()][:4]
    assert sent == [b"CHANLLANGE", b"DECLINED", b"CHANLLANGE", b"DECLINED"]
    # The REQUEST after each DECLINED comes at once.
    declined_at = [t for t, data in peer.sent() if data == b"\x00\x81DECLINED"]
    requests_at = [t for t, data, _ in got if data == REQUEST_MSG][1:]
    for d, r in zip(declined_at, requests_at):
        assert 0 <= r - d < AT_ONCE
    assert reg.script_events() == []

    # With the right password the same client gets through.
    peer.call("set", password="secret", reset_declines=True)
    peer.call("challenge")
    reg.wait_up(client)
    assert peer.events(ev="authorized")


def test_rechallenge_is_answered_with_the_digest_of_the_new_challenge(reg):
    peer = reg.start_peer(mode="rechallenge", rechallenges=2)
    client = reg.start_client()
    reg.wait_up(client)
    challenges = [bytes.fromhex(e["challenge"]) for e in peer.events()
                  if e["ev"] in ("challenged", "rechallenged")]
    digests = [data for _, data, _ in peer.received() if data.startswith(b"\x00\x81DIGEST")]
    assert len(challenges) == 3 and len(set(challenges)) == 3
    assert digests == [digest_msg(c) for c in challenges]


def test_no_password_digest_covers_challenge_colon_challenge(reg):
    peer = reg.start_peer(mode="silent")
    reg.start_client(password=None)
    peer.wait_received(1, what="REQUEST")
    challenge = b"0123456789abcdefghij"
    reply = send_and_wait_reply(peer, challenge_msg(challenge))[1]
    assert reply == b"\x00\x81DIGEST" + hashlib.md5(challenge + b":" + challenge).digest()


def test_malformed_datagrams_leave_the_exchange_on_course(reg):
    peer = reg.start_peer(mode="malformed")
    client = reg.start_client()
    reg.wait_up(client, timeout=15)
    # Every DIGEST it sent was for the one challenge issued.
    challenges = {bytes.fromhex(e["challenge"]) for e in peer.events(ev="challenged")}
    assert len(challenges) == 1
    digests = [data for _, data, _ in peer.received() if data.startswith(b"\x00\x81DIGEST")]
    assert digests and set(digests) == {digest_msg(challenges.pop())}
    # The client is alive and still answers a challenge.
    mark = peer.mark()
    challenge = bytes.fromhex(peer.call("challenge")["hex"])[12:]
    _, reply, _ = peer.wait_received(1, since=mark, what="DIGEST")[0]
    assert reply == digest_msg(challenge)
    client.signal(signal.SIGTERM)
    assert client.wait() == 255


def test_registration_with_an_ipv6_server(reg):
    peer = reg.start_peer(listen="[::1]:42000", mode="normal")
    client = reg.start_client(server="::1")
    reg.wait_up(client)
    sources = {src for _, _, src in peer.received()}
    assert len(sources) == 1 and sources.pop().startswith("[::1]:")
    assert [labpeer.control_keyword(d) for _, d, _ in peer.received()] == [b"REQUEST", b"DIGEST"]


def test_peer_challenge_of_283_bytes_is_answered_over_15_bytes(reg):
    peer = reg.start_peer(mode="normal", challenge_len=271)
    client = reg.start_client()
    reg.wait_up(client)
    challenge = [d for t, d in peer.sent() if d.startswith(b"\x00\x81CHANLLANGE")][0]
    assert len(challenge) == 283
    digests = [d for _, d, _ in peer.received() if d.startswith(b"\x00\x81DIGEST")]
    assert digests == [digest_msg(challenge[12:27])]
