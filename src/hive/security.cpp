#include "hive/security.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "hive/allocator.h"
#include "hive/events.h"

namespace tarvos::hive {

bool SecurityRegistry::SetUp() {
  Release();
  if (!entries_.Resize(security::kRegistryStep)) {
    faults_.ReportFault(kSecurityAllocationError, kNullOffset, FieldRef::None(), 0);
    return false;
  }
  return true;
}

void SecurityRegistry::Release() {
  for (uint32_t i = 0; i < count_; ++i) {
    if (CellEntry* entry = frames_.Lookup(entries_[i].offset)) marks_.SetRegistered(entry, false);
  }
  entries_.Clear();
  count_ = 0;
  relink_ = false;
  pending_ = 0;
  pendingStart_ = nullptr;
  users_.clear();
  lastUsers_ = nullptr;
}

uint32_t SecurityRegistry::Lookup(uint32_t offset) const {
  if (!IsRegistered(offset)) return 0;
  for (uint32_t i = 0; i < count_; ++i) {
    if (entries_[i].offset == offset) return i + 1;
  }
  return 0;
}

bool SecurityRegistry::IsRegistered(uint32_t offset) const {
  if (offset == kNullOffset) return false;
  const CellEntry* entry = frames_.Lookup(offset);
  return entry != nullptr && marks_.IsRegistered(entry);
}

WalkOutcome SecurityRegistry::CheckKeySecurity(uint32_t key, const WalkNode* ancestor, WalkNode& root) {
  FieldRef s = FieldRef::Image32(image_.AtHiveOffset(key) + key::kSecurity);
  uint32_t inherited = ancestor != nullptr ? Le32(image_.AtHiveOffset(ancestor->keyOffset) + key::kSecurity)
                                           : kNullOffset;
  const uint32_t position = key + key::kSecurity;
  bool reported = false;
  if (frames_.OffsetCheck(s.Get()) != kOffsetValid) {
    if (!faults_.ReportAndFix(kInvalidOffset, position, s, 0)) return WalkOutcome::Stop;
    s.Set(kNullOffset);
    faults_.MarkChanged();
    reported = true;
  }
  if (s.Get() == kNullOffset) {
    if (ancestor == nullptr) {
      if (!reported && !faults_.ReportAndFix(kNullSecurityOffset, position, FieldRef::None(), 0)) {
        return WalkOutcome::Stop;
      }
      pendingStart_ = &root;
      pending_ = 1;
      return WalkOutcome::Continue;
    }
    if (!reported) {
      if (!faults_.ReportAndFix(kNullSecurityOffset, position, s, inherited)) return WalkOutcome::Stop;
    } else if (inherited != kNullOffset) {
      s.Set(inherited);
      faults_.MarkChanged();
    }
    if (s.Get() == kNullOffset) ++pending_;
    return WalkOutcome::Continue;
  }

  uint32_t block = s.Get();
  if (IsRegistered(block)) return WalkOutcome::Continue;  // tested at its first key only
  // A cell that is no security block is left unmarked, for what it is (a key named here by a
  // damaged field stays its parent's).
  uint8_t* sk = image_.AtHiveOffset(block);
  if (Le16(sk + cell::kSignature) != cell::kSecuritySignature) {
    if (ancestor == nullptr) {
      if (!faults_.ReportAndFix(kInvalidSecuritySignature, block + cell::kSignature, FieldRef::None(), 0)) {
        return WalkOutcome::Stop;
      }
      s.Set(kNullOffset);
      faults_.MarkChanged();
      pendingStart_ = &root;
      pending_ = 1;
      return WalkOutcome::Continue;
    }
    if (!faults_.ReportAndFix(kInvalidSecuritySignature, block + cell::kSignature, s, inherited)) {
      return WalkOutcome::Stop;
    }
    if (s.Get() == kNullOffset) ++pending_;
    return WalkOutcome::Continue;
  }
  WalkOutcome outcome = marks_.MarkCell(block);
  if (outcome != WalkOutcome::Continue) return outcome;
  // The links and the descriptor length lie in the block's first 24 bytes; a smaller cell goes
  // straight to the overlap check.
  if (marks_.CellLength(block) >= security::kDescriptor) {
    if (!CheckLink(block, security::kLinkB) || !CheckLink(block, security::kLinkA)) return WalkOutcome::Stop;
  }
  uint64_t needed = security::kDescriptor;
  if (marks_.CellLength(block) >= security::kDescriptor) needed += Le32(sk + security::kDescriptorLength);
  outcome = marks_.CheckOverlap(block, needed);
  if (outcome != WalkOutcome::Continue) return outcome;
  if (!Register(block)) return WalkOutcome::Stop;
  if (pending_ > 0) {
    users_[block] += GiveToWaitingKeys(block);
    pending_ = 0;
    faults_.MarkChanged();
  }
  return WalkOutcome::Continue;
}

void SecurityRegistry::CountUser(uint32_t key) {
  // A field settled names a registered block, or none; keys after keys mostly name the same.
  uint32_t block = Le32(image_.AtHiveOffset(key) + key::kSecurity);
  if (block == kNullOffset) return;
  if (block != lastBlock_ || lastUsers_ == nullptr) {
    lastBlock_ = block;
    lastUsers_ = &users_[block];
  }
  ++*lastUsers_;
}

uint32_t SecurityRegistry::Users(uint32_t block) const {
  auto found = users_.find(block);
  return found != users_.end() ? found->second : 0;
}

bool SecurityRegistry::TakeOver(const SecurityRegistry& other) {
  SoftArray<Entry> merged;
  if (!merged.Resize(size_t{count_} + other.count_ + security::kRegistryStep)) return false;
  std::unordered_set<uint32_t> taken;
  uint32_t count = 0;
  for (uint32_t i = 0, j = 0; i < count_ || j < other.count_;) {
    bool mine = j == other.count_ || (i < count_ && entries_[i].tag <= other.entries_[j].tag);
    const Entry& entry = mine ? entries_[i++] : other.entries_[j++];
    if (taken.insert(entry.offset).second) merged[count++] = entry;
  }
  for (uint32_t i = 0; i < count; ++i) marks_.SetRegistered(frames_.Lookup(merged[i].offset), true);
  // A block both walks registered is used by the keys of both.
  for (const auto& [block, users] : other.users_) users_[block] += users;
  // The room a registry grown one step at a time would have.
  merged.Resize((size_t{count} / security::kRegistryStep + 1) * security::kRegistryStep);
  entries_.Swap(merged);
  count_ = count;
  return true;
}

bool SecurityRegistry::CheckLink(uint32_t block, uint32_t at) {
  FieldRef link = FieldRef::Image32(image_.AtHiveOffset(block) + at);
  bool reported = false;
  if (frames_.OffsetCheck(link.Get()) != kOffsetValid) {
    if (!faults_.ReportAndFix(kInvalidOffset, block + at, link, 0)) return false;
    link.Set(kNullOffset);
    faults_.MarkChanged();
    reported = true;
  }
  if (link.Get() == kNullOffset && !reported) {
    if (!faults_.ReportAndFix(kNullSecurityLink, block + at, link, 0)) return false;
    relink_ = true;
  }
  return true;
}

bool SecurityRegistry::Register(uint32_t block) {
  entries_[count_] = Entry{block, tag_};
  ++count_;
  marks_.SetRegistered(frames_.Lookup(block), true);
  if (count_ == entries_.Size() && !entries_.Resize(entries_.Size() + security::kRegistryStep)) {
    --count_;  // the entry is given up
    marks_.SetRegistered(frames_.Lookup(block), false);
    faults_.ReportFault(kSecurityReallocationError, kNullOffset, FieldRef::None(), 0);
    return false;
  }
  return true;
}

uint32_t SecurityRegistry::GiveToWaitingKeys(uint32_t block) {
  // Depth first through the records reached so far, without recursion: a record, then its
  // children in list order.
  WalkNode* start = pendingStart_;
  if (start == nullptr) return 0;
  uint32_t left = pending_;
  WalkNode* node = start;
  while (node != nullptr && left > 0) {
    if (node->kind == WalkNode::kKey && node->checked && node->keyOffset != kNullOffset) {
      uint8_t* field = image_.AtHiveOffset(node->keyOffset) + key::kSecurity;
      if (Le32(field) == kNullOffset) {
        PutLe32(field, block);
        --left;
      }
    }
    if (node->children != nullptr && node->childCount > 0) {
      node = &node->children[0];
      continue;
    }
    // The next sibling, or that of the nearest record above that has one.
    while (node != start) {
      WalkNode* parent = node->parent;
      uint32_t index = static_cast<uint32_t>(node - parent->children);
      if (index + 1 < parent->childCount) {
        node = &parent->children[index + 1];
        break;
      }
      node = parent;
    }
    if (node == start) break;
  }
  return pending_ - left;
}

namespace {

// The descriptor of a block made for a hive that has none left: owner and group Administrators;
// full control for SYSTEM and Administrators and read for Everyone, inherited by subkeys.
constexpr uint8_t kStandardDescriptor[] = {
    0x01, 0x00, 0x04, 0x80,                          // revision 1; self-relative, DACL present
    0x5C, 0x00, 0x00, 0x00, 0x6C, 0x00, 0x00, 0x00,  // owner at 92, group at 108
    0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 0x00, 0x00,  // no SACL; DACL at 20
    0x02, 0x00, 0x48, 0x00, 0x03, 0x00, 0x00, 0x00,  // ACL revision 2, 72 bytes, 3 entries
    0x00, 0x02, 0x14, 0x00, 0x3F, 0x00, 0x0F, 0x00,  // allow, container inherit: full control
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x12, 0x00, 0x00, 0x00,  // SYSTEM
    0x00, 0x02, 0x18, 0x00, 0x3F, 0x00, 0x0F, 0x00,  // allow, container inherit: full control
    0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00,  // Administrators
    0x00, 0x02, 0x14, 0x00, 0x19, 0x00, 0x02, 0x00,  // allow, container inherit: read
    0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00,  // Everyone
    0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00,  // owner
    0x01, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x05, 0x20, 0x00, 0x00, 0x00, 0x20, 0x02, 0x00, 0x00,  // group
};

}  // namespace

void SecurityRegistry::Log(Event event, uint32_t block, uint64_t count, uint64_t was) {
  EventRecord e{event, block};
  e.count = count;
  e.was = was;
  faults_.Services().log.Happened(e);
}

void SecurityRegistry::FinalRelink() {
  if (count_ == 0 && pending_ > 0 && pendingStart_ != nullptr) {
    // Every block of the hive was lost, and Windows wants one on every key: a new one, in a
    // ring of its own, for every key that waits.
    uint32_t block = AllocateCell(image_, frames_, security::kDescriptor + sizeof kStandardDescriptor);
    if (block == kNullOffset) {
      faults_.ReportFault(kSecurityAllocationError, kNullOffset, FieldRef::None(), 0);
      return;
    }
    uint8_t* sk = image_.AtHiveOffset(block);
    PutLe16(sk + cell::kSignature, cell::kSecuritySignature);
    PutLe32(sk + security::kLinkA, block);
    PutLe32(sk + security::kLinkB, block);
    PutLe32(sk + security::kDescriptorLength, sizeof kStandardDescriptor);
    std::memcpy(sk + security::kDescriptor, kStandardDescriptor, sizeof kStandardDescriptor);
    frames_.Reclassify(block);
    uint32_t given = GiveToWaitingKeys(block);
    PutLe32(sk + security::kReferences, given);
    pending_ = 0;
    faults_.MarkChanged();
    Log(Event::SecurityBlockMade, block, given);
    return;
  }
  if (count_ == 0) return;
  if (relink_ || !RingSound()) Relink();
  SetReferenceCounts();
}

bool SecurityRegistry::RingSound() const {
  std::unordered_map<uint32_t, uint32_t> index;  // block -> its entry
  index.reserve(count_);
  for (uint32_t i = 0; i < count_; ++i) index.emplace(entries_[i].offset, i);
  auto link = [this](uint32_t entry, uint32_t field) {
    return Le32(image_.AtHiveOffset(entries_[entry].offset) + field);
  };
  std::vector<uint32_t> next(count_);
  for (uint32_t i = 0; i < count_; ++i) {
    auto forward = index.find(link(i, security::kLinkB));
    if (forward == index.end() || index.count(link(i, security::kLinkA)) == 0) return false;
    if (link(forward->second, security::kLinkA) != entries_[i].offset) return false;
    next[i] = forward->second;
  }
  // With every block the previous of its next, the next links go round in rings: the one from
  // the first block must pass every block before it comes back.
  uint32_t at = 0;
  for (uint32_t steps = 1; steps < count_; ++steps) {
    at = next[at];
    if (at == 0) return false;
  }
  return true;
}

void SecurityRegistry::Relink() {
  for (uint32_t i = 0; i < count_; ++i) {
    uint8_t* sk = image_.AtHiveOffset(entries_[i].offset);
    PutLe32(sk + security::kLinkB, entries_[(i + 1) % count_].offset);
    PutLe32(sk + security::kLinkA, entries_[(i + count_ - 1) % count_].offset);
  }
  faults_.MarkChanged();
  Log(Event::SecurityRingRelinked, kNullOffset, count_);
}

void SecurityRegistry::SetReferenceCounts() {
  for (uint32_t i = 0; i < count_; ++i) {
    const uint32_t block = entries_[i].offset;
    uint8_t* references = image_.AtHiveOffset(block) + security::kReferences;
    const uint32_t counted = Users(block);
    const uint32_t was = Le32(references);
    if (was == counted) continue;
    // Windows frees a block when its count falls to 0 as keys are deleted: a count below the keys
    // that use it would free a block still in use.
    PutLe32(references, counted);
    faults_.MarkChanged();
    Log(Event::ReferenceCountSet, block, counted, was);
  }
}

}  // namespace tarvos::hive
