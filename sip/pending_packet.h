// pending_packet: one outstanding transaction of this side, a request it sent or a response it
// gave, with its resolution state and its two timers; the tables that hold them; the dialog
// CSeq counters; the branch parameter.
//
// A packet lives from send_packet until its transaction timer (default 32 s). Answers stop
// its retransmission but keep it, so that repetitions are still recognised and answered from
// it. Packets are keyed by a negative number (-1, -2, ...); logs print it negated. Timers
// carry only that number and look the packet up when they fire, so an erased packet's late
// timer finds nothing.
//
// srv side: every table here is used under srv_run_mutex only.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <unordered_map>
#include <vector>

#include "base/ip_port.h"
#include "base/str.h"
#include "frame/timeout.h"
#include "sip/sip_message.h"
#include "sip/transport_type.h"

// The resolution steps still to try, first step first. A handful at most, and none at all
// once a packet is routed, so it is a vector (which costs nothing while empty) rather than a
// deque (which allocates even when empty).
class resolve_steps {
 public:
  bool empty() const { return steps_.empty(); }
  size_t size() const { return steps_.size(); }
  const str& front() const { return steps_.front(); }
  void pop_front() { steps_.erase(steps_.begin()); }
  void push_front(const str& step) { steps_.insert(steps_.begin(), step); }
  void push_back(const str& step) { steps_.push_back(step); }
  void clear() { steps_.clear(); }
  std::vector<str>::const_iterator begin() const { return steps_.begin(); }
  std::vector<str>::const_iterator end() const { return steps_.end(); }
  template <class It>
  void insert(std::vector<str>::const_iterator at, It first, It last) {
    steps_.insert(at, first, last);
  }

 private:
  std::vector<str> steps_;
};

struct pending_packet {
  int number = 0;
  str last_text;  // the text last serialised and sent
  // As sent (with the added Via). Null once the packet keeps only its bytes for repeats
  // (keep_resend_bytes_only): then the answered fields below are what matching reads, through
  // the accessors.
  std::unique_ptr<sip_message> message;
  int steps_left = 50;  // resolution budget
  bool final_received = false;
  str port_name;             // local UDP port name or connection name of the last send
  ip_port destination;       // current destination
  transport_type transport;  // transport of the current destination
  bool retransmit = false;
  resolve_steps resolve_list;  // remaining resolution steps, front first
  timeout retransmit_timer;    // resend_packet(number)
  int interval = 1;            // retransmission interval in units of 500 ms
  timeout transaction_timer;   // pending_packet_timeout(number)

  bool via_added = false;     // message carries a Via this layer inserted at the front
  bool challenge_answered = false;  // a challenge to it was answered; repeats are absorbed
  bool awaiting_dns = false;  // a query is outstanding; its callback resumes routing

  // What a slimmed packet keeps: Call-ID, CSeq method (a request's method) and From tag as
  // windows on one small buffer of their own, with the code and the CSeq number.
  struct answered_fields {
    str call_id, cseq_method, from_tag;
    uint32_t cseq = 0;
    int code = 0;  // 0 for a request
    int call_port_index = -1;
    bool request = false;
  } answered;

  // The fields matching reads, from the message or, once slimmed, from answered.
  bool is_request() const { return message ? message->is_request : answered.request; }
  uint32_t cseq() const { return message ? message->cseq : answered.cseq; }
  int code() const { return message ? message->code : answered.code; }
  const str& call_id() const { return message ? message->call_id : answered.call_id; }
  const str& cseq_method() const { return message ? message->cseq_method : answered.cseq_method; }
  const str& from_tag() const { return message ? message->from.tag() : answered.from_tag; }
  int call_port_index() const {
    return message ? message->call_port_index : answered.call_port_index;
  }

  // The message as handed to send_packet (with its dialog CSeq): message without the Via
  // this layer added. Derived rather than stored, which saves a whole sip_message per packet.
  // Only for packets that still hold their message.
  sip_message given() const {
    sip_message m = *message;
    if (via_added && !m.via.empty()) m.via.erase(m.via.begin());
    return m;
  }

  pending_packet() = default;
  pending_packet(const pending_packet&) = delete;
  pending_packet& operator=(const pending_packet&) = delete;
};

// Resolution budget of a new packet.
constexpr int pending_initial_steps = 50;
// Default transaction time-out.
constexpr int pending_default_timeout_ms = 32000;

// Packet number -> packet. std::map keeps the nodes in place, so a pointer to a packet stays
// valid until that packet is erased.
extern std::map<int, pending_packet> pending_packets;
// Call-ID -> packet numbers.
extern std::unordered_multimap<str, int, str_hash> pending_packet_callids;
// Decremented before each use.
extern int pending_number;
// Messages sent (counting retransmissions) and received.
extern uint64_t sip_transmit;
extern uint64_t sip_receive;

// A new empty packet under a fresh number, linked under call_id.
pending_packet& new_pending_packet(const str& call_id);
pending_packet* find_pending_packet(int number);
// Adds number under call_id.
void link_pending_packet(const str& call_id, int number);
// Clears the packet's timers, unlinks it and erases it. Nothing when unknown.
void erase_pending_packet(int number);
// Calls f(number) for every packet linked under call_id until f returns false. The numbers
// are collected first, so f may erase packets.
template <class F>
void for_each_pending_packet(const str& call_id, F&& f) {
  auto range = pending_packet_callids.equal_range(call_id);
  int numbers[16];
  size_t n = 0;
  std::vector<int> more;
  for (auto it = range.first; it != range.second; ++it) {
    if (n < 16) {
      numbers[n++] = it->second;
    } else {
      more.push_back(it->second);
    }
  }
  for (size_t i = 0; i < n; ++i) {
    if (!f(numbers[i])) return;
  }
  for (int number : more) {
    if (!f(number)) return;
  }
}
// The sizes of the tables for the memory report, one "name: count\r\n" line each
// (pending_packets, pending_packet_callids, dialog_cseqs).
str transaction_meminfo();
// Erases every packet and dialog counter and restarts the numbering (tests and benchmarks).
void clear_pending_packets();

// ---- Dialog CSeq ----------------------------------------------------------------------------
// Starts a dialog's counter at a random number from 0 to 32767 (kept when already there).
void register_dialog(const str& call_id, const str& tag);
void unregister_dialog(const str& call_id, const str& tag);
// Without a registered dialog: a random number plus one. Otherwise ACK and CANCEL get the
// CSeq of the last INVITE, every other method the next number (then incremented), and an
// INVITE records its number as the last INVITE.
uint32_t get_dialog_cseq(const str& method, const str& call_id, const str& tag);
// The number get_dialog_cseq will give that request next, without taking it; 0 without a
// registered dialog.
uint32_t peek_dialog_cseq(const str& method, const str& call_id, const str& tag);
size_t dialog_cseq_count();

// ---- Branch ---------------------------------------------------------------------------------
// The lower-case hex MD5 of: Call-ID, " ", [top Via's branch, " "], CSeq number, and "INVITE"
// when same_branch_as_invite is set, else the method.
str get_branch(const sip_message& message);
// ";branch=z9hG4bK-" and get_branch.
str make_branch_param(const sip_message& message);
