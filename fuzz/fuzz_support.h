// Shared pieces of the fuzz targets: the input reader, the record format,
// the scripted results of the system calls, configuration and session set-up
// without real endpoints (every module wired as session_open wires it, with
// exactly sized buffers) and its teardown, ASan poisoning of the unused tail
// of a receive slot, and independent reference versions of the byte rules
// the targets check the product code against.
#pragma once

#include <sys/select.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "session.h"

// A failed check is a crash: libFuzzer saves the input that caused it.
#define FZ_CHECK(cond)                                                       \
  do {                                                                       \
    if (!(cond)) {                                                           \
      fprintf(stderr, "fuzz check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      __builtin_trap();                                                      \
    }                                                                        \
  } while (0)

// ---------------------------------------------------------------- input --

struct fz_reader {
  const uint8_t* data;
  size_t len;
  size_t pos;
};

uint8_t fz_u8(fz_reader* r);    // 0 once the input is used up
uint32_t fz_be32(fz_reader* r);

// One record of the input: a 4-byte head (ctl, aux, 16-bit big-endian length
// of which the low 13 bits count, capped at 4096 and at what is left), then
// the bytes. Records drive one datagram, one TUN packet or one event each.
struct fz_record {
  uint8_t ctl;
  uint8_t aux;
  uint16_t len_field;
  const uint8_t* data;
  size_t len;
};

// False when fewer than 4 bytes are left.
bool fz_next_record(fz_reader* r, fz_record* rec);

// ------------------------------------------------------- I/O behaviour --

// Results a record scripts for the system calls made while it is current.
enum fz_result { FZ_OK, FZ_TRANSIENT, FZ_FATAL };

// ctl bits 2-3: the socket send; bits 4-5: the TUN write; aux bits 3-4: the
// receive. aux bits 0-2 pick the errno within the class.
fz_result fz_send_result(uint8_t ctl);
fz_result fz_write_result(uint8_t ctl);
fz_result fz_recv_result(uint8_t aux);
int fz_send_errno(fz_result r, uint8_t aux);
int fz_write_errno(fz_result r, uint8_t aux);
int fz_recv_errno(fz_result r, uint8_t aux);

// What a scripted send or TUN write of `len` bytes returns: len, or -1 with
// errno set, as the record's ctl and aux bytes choose.
ssize_t fz_send_return(uint8_t ctl, uint8_t aux, size_t len);
ssize_t fz_write_return(uint8_t ctl, uint8_t aux, size_t len);
// True, with errno set, when the record's aux byte makes a receive fail.
bool fz_recv_fails(uint8_t aux);

// Reads every byte of a buffer the product code hands to a system call, so
// that the sanitizers trap on any byte it does not own or did not set.
void fz_touch(const void* buf, size_t len);

// ------------------------------------------------------------- context --

constexpr int FZ_SOCK_FD = 11;
constexpr int FZ_TUN_FD = 12;

// A password of `len` non-zero bytes in a heap block of exactly len + 1
// bytes, so that a read past its terminator is caught.
char* fz_make_password(size_t len, uint8_t seed);

// The password a setting picks by `choice` bits 0-1: 0 none (nullptr), 1
// empty, 2-3 `len` bytes made from `seed`. The caller frees it.
char* fz_pick_password(unsigned choice, size_t len, uint8_t seed);

// Zeroes cfg and gives it the defaults, the password and server 127.0.0.1,
// the base that every target varies.
void fz_config_init(mux_config* cfg, const char* password);

// Zeroes the session and wires it as session_open would, without opening
// anything: the link gets the given descriptor and the server address (IPv4
// 127.0.0.1:42000 or [::1]:42000), the TUN device its descriptor, and
// session_prepare the rest (frame buffer of exactly mtu bytes). With
// `batch_slots` the link also gets its frame batch (FRAME_BATCH_MAX slots of
// mtu bytes), as link_open gives it.
void fz_session_init(mux_ctx* s, const mux_config* cfg, bool ipv6_server, int sock_fd,
                     int tun_fd, bool batch_slots);

// Frees the templates, call entries and buffers; the descriptors are left.
void fz_session_free(mux_ctx* s);

// Ends one input: fz_session_free, frees the password and clears the verbose
// flag.
void fz_end_input(mux_ctx* s, char* password);

// Copies `len` bytes (at most RX_SLOT_SIZE) into the receive slot at `slot`
// and poisons the rest of the slot, so that any read or write beyond what was
// actually read or received traps. Returns the count copied.
size_t fz_fill_slot(uint8_t* slot, const uint8_t* data, size_t len);
// fz_fill_slot on the first slot of the session's receive block.
size_t fz_fill_rx(mux_ctx* s, const uint8_t* data, size_t len);
void fz_unpoison_rx(mux_ctx* s);

// Source addresses a record can claim: 0 and 1 the server's, 2 the server's
// address with another port, 3 the server's bytes with a longer length.
void fz_source_address(const mux_ctx* s, uint8_t choice, sockaddr_storage* out,
                       socklen_t* out_len);
bool fz_source_is_server(uint8_t choice);
// Writes that source address as a receive reports it: cut to the *fromlen
// bytes the caller offers, *fromlen set to its full length.
void fz_report_source(const mux_ctx* s, uint8_t choice, sockaddr* from, socklen_t* fromlen);

// True when the address is the session's server address (length and bytes).
bool fz_is_server_address(const mux_ctx* s, const void* addr, socklen_t len);

// Interesting values for the configuration fields.
uint16_t fz_pick_mtu(uint8_t b);
uint32_t fz_pick_timeout(uint8_t b);
uint32_t fz_pick_muxing_time(uint8_t b);
uint8_t fz_pick_max_call(uint8_t b);

// ---------------------------------------------------- reference rules --

// The password XOR of multiplexed frames (an empty password counts as none).
void ref_password_xor(uint8_t* buf, size_t len, const char* password, uint8_t key_len);
bool ref_is_static_pt(uint8_t pt);
// The RTP test for a packet of at least 30 bytes.
bool ref_is_rtp(const uint8_t* pkt, size_t len);
// The forwarding filter; *decided is false when the answer would depend on
// bytes beyond the packet.
bool ref_is_forwardable(const mux_config* cfg, const uint8_t* pkt, size_t len, bool* decided);
uint32_t ref_xorshift32(uint32_t x);
// Matches a control payload against keywords 0 to 4 by prefix; -1 none.
int ref_match_keyword(const uint8_t* payload, size_t len);
// MD5 of a byte string (RFC 1321), written here independently.
void ref_md5(const uint8_t* data, size_t len, uint8_t out[16]);
// The registration digest: MD5(challenge, password, password, ":", challenge).
void ref_digest(const uint8_t* challenge, size_t l, const char* password, size_t p,
                uint8_t out[16]);

// Silences log lines written with the verbose flag set (they go to stdout).
void fz_quiet_stdout();
