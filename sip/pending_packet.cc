#include "sip/pending_packet.h"

#include "base/digest.h"
#include "base/random.h"

std::map<int, pending_packet> pending_packets;
std::unordered_multimap<str, int, str_hash> pending_packet_callids;
int pending_number = 0;
uint64_t sip_transmit = 0;
uint64_t sip_receive = 0;

namespace {

struct dialog_counter {
  uint32_t next = 0;
  uint32_t last_invite = 0;
};

std::unordered_map<str, dialog_counter, str_hash> dialog_cseqs;

str dialog_key(const str& call_id, const str& tag) {
  if (tag.empty()) return call_id;
  str key = call_id;
  key += ' ';
  key += tag;
  return key;
}

}  // namespace

pending_packet& new_pending_packet(const str& call_id) {
  int number = --pending_number;
  pending_packet& p = pending_packets.try_emplace(number).first->second;
  p.number = number;
  link_pending_packet(call_id, number);
  return p;
}

pending_packet* find_pending_packet(int number) {
  auto it = pending_packets.find(number);
  return it == pending_packets.end() ? nullptr : &it->second;
}

void link_pending_packet(const str& call_id, int number) {
  pending_packet_callids.emplace(call_id, number);
}

void erase_pending_packet(int number) {
  auto it = pending_packets.find(number);
  if (it == pending_packets.end()) return;
  pending_packet& p = it->second;
  p.retransmit_timer.clear();
  p.transaction_timer.clear();
  auto range = pending_packet_callids.equal_range(p.call_id());
  for (auto l = range.first; l != range.second; ++l) {
    if (l->second == number) {
      pending_packet_callids.erase(l);
      break;
    }
  }
  pending_packets.erase(it);
}

void clear_pending_packets() {
  pending_packets.clear();
  pending_packet_callids.clear();
  dialog_cseqs.clear();
  pending_number = 0;
}

void register_dialog(const str& call_id, const str& tag) {
  dialog_cseqs.try_emplace(dialog_key(call_id, tag), dialog_counter{random_below(32768), 0});
}

void unregister_dialog(const str& call_id, const str& tag) {
  dialog_cseqs.erase(dialog_key(call_id, tag));
}

uint32_t get_dialog_cseq(const str& method, const str& call_id, const str& tag) {
  auto it = dialog_cseqs.find(dialog_key(call_id, tag));
  if (it == dialog_cseqs.end()) return random_below(32768) + 1;
  dialog_counter& d = it->second;
  if (method == m_ack || method == m_cancel) return d.last_invite;
  uint32_t cseq = d.next++;
  if (method == m_invite) d.last_invite = cseq;
  return cseq;
}

uint32_t peek_dialog_cseq(const str& method, const str& call_id, const str& tag) {
  auto it = dialog_cseqs.find(dialog_key(call_id, tag));
  if (it == dialog_cseqs.end()) return 0;
  return method == m_ack || method == m_cancel ? it->second.last_invite : it->second.next;
}

size_t dialog_cseq_count() { return dialog_cseqs.size(); }

str transaction_meminfo() {
  return str::sprintf("pending_packets: %d\r\npending_packet_callids: %d\r\ndialog_cseqs: %d\r\n",
                      int(pending_packets.size()), int(pending_packet_callids.size()),
                      int(dialog_cseqs.size()));
}

str get_branch(const sip_message& message) {
  str text = message.call_id;
  text += ' ';
  if (!message.via.empty()) {
    str branch = get_via_parameter(message.via[0], "branch");
    if (!branch.empty()) {
      text += branch;
      text += ' ';
    }
  }
  text.appendf("%u", unsigned(message.cseq));
  text += message.same_branch_as_invite ? m_invite : message.method;
  return md5_hex(text);
}

str make_branch_param(const sip_message& message) {
  return ";branch=z9hG4bK-" + get_branch(message);
}
