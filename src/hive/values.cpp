#include "hive/values.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "hive/names.h"

namespace tarvos::hive {

WalkOutcome ValueCheck::CheckKeyValues(uint32_t key, uint32_t checked) {
  uint8_t* k = Cell(key);
  FieldRef countField = FieldRef::Image32(k + key::kValueCount);
  FieldRef listField = FieldRef::Image32(k + key::kValueList);
  uint32_t list = listField.Get();
  if (countField.Get() == 0) {
    if (list == kNullOffset) return WalkOutcome::Continue;
    return faults_.ReportFault(kOrphanValueList, key + key::kValueCount, listField, 0);
  }
  if (frames_.OffsetCheck(list) != kOffsetValid) return Report(kInvalidOffset, key + key::kValueList, listField);
  if (list == kNullOffset) {
    return faults_.ReportFault(kErasedValueList, key + key::kValueList, countField, 0);
  }
  WalkOutcome outcome = marks_.MarkCell(list);
  if (outcome != WalkOutcome::Continue) return outcome;
  // A count larger than the list holds: the entries the cell holds are read (each is checked as
  // any), so that the values a damaged count would hide are kept.
  const uint32_t holds = (marks_.CellLength(list) - value::kListEntries) / 4;
  if (countField.Get() > holds && holds > 0) {
    if (!faults_.ReportAndFix(kDataOverlapped, list, FieldRef::None(), 0)) return WalkOutcome::Stop;
    countField.Set(holds);
    faults_.MarkChanged();
  }
  outcome = marks_.CheckOverlap(list, value::kListEntries + 4 * uint64_t{countField.Get()});
  if (outcome != WalkOutcome::Continue) return outcome;

  list_ = list;
  count_ = countField.Get();
  taken_.reset();
  ListCompactor entries(Cell(list) + value::kListEntries, countField.Get(), 4);
  bool defaultSeen = false;
  hashes_.clear();
  while (!entries.Done()) {
    uint32_t value = Le32(entries.Bring());
    if (entries.Slot() < checked && CheckedBefore(value)) {
      defaultSeen = defaultSeen || Le16(Cell(value) + value::kNameLength) == 0;
      outcome = WalkOutcome::Continue;
    } else {
      outcome = CheckValue(value, list + value::kListEntries + 4 * entries.Slot(), defaultSeen);
    }
    if (outcome == WalkOutcome::Continue) {
      // A hash of the name as checked (and mended; the cell holds it whole), from its length and
      // its first and last characters: names alike always share it. 0 for the default value's.
      // A key of one value has no names to compare.
      if (countField.Get() > 1) {
        const uint8_t* v = Cell(value);
        const bool compressed = (Le16(v + value::kFlags) & value::kFlagCompressedName) != 0;
        const uint32_t units = compressed ? Le16(v + value::kNameLength) : Le16(v + value::kNameLength) / 2u;
        auto unit = [&](uint32_t i) { return UpperUnit(compressed ? v[value::kName + i] : Le16(v + value::kName + 2 * i)); };
        uint32_t hash = units;
        for (uint32_t i = 0; i < units && i < 3; ++i) hash = hash * 37 + unit(i);
        if (units > 0) hash = hash * 37 + unit(units - 1);
        hashes_.emplace_back(units == 0 ? 0 : hash | 1, entries.Slot());
      }
      entries.Keep();
    } else if (outcome == WalkOutcome::Drop) {
      image_.valuesTakenOut.push_back({key, value, 1, false});
      entries.Drop();
    } else {
      break;
    }
  }
  if (entries.Count() != countField.Get()) {
    entries.Close();
    countField.Set(entries.Count());
    if (entries.Count() == 0) listField.Set(kNullOffset);
    faults_.MarkChanged();
  }
  if (outcome == WalkOutcome::Stop) return outcome;
  return NamesApart() ? WalkOutcome::Continue : WalkOutcome::Stop;
}

bool ValueCheck::CheckedBefore(uint32_t value) {
  if (frames_.OffsetCheck(value) != kOffsetValid || value == kNullOffset || !marks_.Marked(value)) return false;
  return (frames_.Lookup(value)->Kind() & kCellKindMask) == kCellValue &&
         marks_.CellLength(value) >= value::kName + uint32_t{Le16(Cell(value) + value::kNameLength)};
}

void ValueCheck::UnhookList(uint32_t key, uint32_t list, uint32_t count) {
  image_.valuesTakenOut.push_back({key, list, count, true});
  PutLe32(Cell(key) + key::kValueCount, 0);
  PutLe32(Cell(key) + key::kValueList, kNullOffset);
  faults_.MarkChanged();
}

bool ValueCheck::NamesApart() {
  // Windows finds a value by its name, the first of a list that has it: a second value of one
  // name, ignoring case, is never found, and gets a name apart (code 51). The names' hashes, taken
  // as the values were checked, are sorted and compared first; only names of one hash are read
  // again.
  auto name = [this](uint32_t i) {
    const uint32_t value = Le32(Cell(list_) + value::kListEntries + 4 * i);
    return StoredName::OfValue(Cell(value), marks_.CellLength(value));
  };
  const uint32_t count = static_cast<uint32_t>(hashes_.size());  // the values kept, in list order
  std::vector<uint32_t> alike;  // places in the list of values whose name an earlier one has
  std::sort(hashes_.begin(), hashes_.end());  // by hash, then by place
  for (uint32_t i = 1; i < count; ++i) {
    // Within a run of one hash, against the values before it (names of one hash are rare).
    for (uint32_t j = i; j-- > 0 && hashes_[j].first == hashes_[i].first && hashes_[i].first != 0;) {
      if (CompareNames(name(hashes_[i].second), name(hashes_[j].second)) == 0) {
        alike.push_back(hashes_[i].second);
        break;
      }
    }
  }
  if (alike.empty()) return true;
  std::sort(alike.begin(), alike.end());
  TakenNames taken;
  for (uint32_t i = 0; i < count; ++i) taken.Add(name(i).Upper());
  for (uint32_t i : alike) {
    const uint32_t value = Le32(Cell(list_) + value::kListEntries + 4 * i);
    if (!faults_.ReportAndFix(kInvalidValueName, value + value::kNameLength, FieldRef::None(), 0)) return false;
    taken.Remove(name(i).Upper());
    taken.ClaimOrRename(name(i));
  }
  faults_.MarkChanged();
  return true;
}

WalkOutcome ValueCheck::CheckValue(uint32_t value, uint32_t position, bool& defaultSeen) {
  if (frames_.OffsetCheck(value) != kOffsetValid) return Report(kInvalidOffset, position, FieldRef::Image32(Cell(position)));
  if (value == kNullOffset) return Report(kNullOffsetInValueList, position);
  WalkOutcome outcome = marks_.MarkCell(value);
  if (outcome != WalkOutcome::Continue) return outcome;
  uint8_t* v = Cell(value);
  uint16_t nameLength = Le16(v + value::kNameLength);
  outcome = marks_.CheckOverlap(value, value::kName + uint64_t{nameLength});
  if (outcome != WalkOutcome::Continue) return outcome;
  if (Le16(v + cell::kSignature) != cell::kValueSignature) return Report(kInvalidValueSignature, value + cell::kSignature);

  if (nameLength == 0) {  // the key's default value
    FieldRef flags = FieldRef::Image16(v + value::kFlags);
    if (defaultSeen) return Report(kDefaultValueExists, value + value::kNameLength, flags);  // the first one stays
    if ((flags.Get() & value::kFlagCompressedName) != 0 &&
        !faults_.ReportAndFix(kDefaultValueHasName, value + value::kFlags, flags, 0)) {
      return WalkOutcome::Stop;
    }
    defaultSeen = true;
  } else if (!CheckName(value)) {
    return WalkOutcome::Stop;
  }

  FieldRef length = FieldRef::Image32(v + value::kDataLength);
  // Windows writes a value without data as length 0 and no data cell: that is sound.
  if (length.Get() == 0 && Le32(v + value::kData) == kNullOffset) return WalkOutcome::Continue;
  if (length.Get() == 0 && !faults_.ReportAndFix(kZeroDataLength, value + value::kDataLength, length, 0)) {
    return WalkOutcome::Stop;
  }
  if (length.Get() & value::kDataInline) {
    if ((length.Get() & ~value::kDataInline) <= value::kInlineMax) return WalkOutcome::Continue;
    return faults_.ReportFault(kDataLengthTooLarge, value + value::kDataLength, length, 0);
  }
  FieldRef dataField = FieldRef::Image32(v + value::kData);
  uint32_t data = dataField.Get();
  // A value whose data is gone keeps its name and type, with no data (held in the value cell,
  // which every reader takes): what names it still finds it.
  auto withoutData = [&](WalkOutcome reported) {
    if (reported != WalkOutcome::Drop) return reported;
    length.Set(value::kDataInline);
    dataField.Set(0);
    faults_.MarkChanged();
    return WalkOutcome::Continue;
  };
  if (frames_.OffsetCheck(data) != kOffsetValid) return withoutData(Report(kInvalidOffset, value + value::kData, dataField));
  if (data == kNullOffset) return withoutData(Report(kNullDataOffset, value + value::kData));
  if ((frames_.Lookup(data)->Kind() & kCellKindMask) == kCellBigData) return withoutData(CheckSegmented(data, value));
  outcome = marks_.MarkCell(data);
  if (outcome != WalkOutcome::Continue) return withoutData(outcome);
  return withoutData(marks_.CheckOverlap(data, 4 + uint64_t{length.Get()}));
}

bool ValueCheck::CheckName(uint32_t value) {
  uint8_t* v = Cell(value);
  const uint32_t length = Le16(v + value::kNameLength);
  const uint8_t* text = v + value::kName;
  const bool compressed = (Le16(v + value::kFlags) & value::kFlagCompressedName) != 0;
  // A name that starts with a NUL reads as no name at all (the default value's) to every reader
  // that stops at one; a NUL further on is what Windows and hivex write and readers show.
  bool sound = (compressed || length % 2 == 0) && (compressed ? text[0] != 0 : Le16(text) != 0);
  if (sound) return true;
  if (!faults_.ReportAndFix(kInvalidValueName, value + value::kNameLength, FieldRef::None(), 0)) return false;
  faults_.MarkChanged();
  if (PrintableLatin1(text, length)) {  // compressed text whose flag was lost
    PutLe16(v + value::kFlags, static_cast<uint16_t>(Le16(v + value::kFlags) | value::kFlagCompressedName));
    return true;
  }
  // The key's other values whose names can be read: the new name is apart from theirs.
  if (!taken_) {
    taken_.emplace();
    for (uint32_t i = 0; i < count_; ++i) {
      uint32_t other = Le32(Cell(list_) + value::kListEntries + 4 * i);
      if (other == value || frames_.OffsetCheck(other) != kOffsetValid || other == kNullOffset) continue;
      if ((frames_.Lookup(other)->Kind() & kCellKindMask) != kCellValue) continue;
      uint32_t otherLength = marks_.CellLength(other);
      if (otherLength < value::kName) continue;
      taken_->Add(StoredName::OfValue(Cell(other), otherLength).Upper());
    }
  }
  char made[9];
  std::snprintf(made, sizeof made, "%08X", value);
  StoredName name = StoredName::OfValue(v, marks_.CellLength(value));
  PutLe16(v + value::kNameLength, 0);
  std::vector<uint16_t> units(made, made + 8);
  name.Write(units);  // as much of it as the cell holds
  taken_->ClaimOrRename(name);
  return true;
}

WalkOutcome ValueCheck::CheckSegmented(uint32_t db, uint32_t value) {
  WalkOutcome outcome = marks_.MarkCell(db);
  if (outcome != WalkOutcome::Continue) return outcome;
  uint8_t* d = Cell(db);
  FieldRef segments = FieldRef::Image16(d + bigdata::kSegmentCount);
  if (segments.Get() == 0) return Report(kOrphanSegmentList, db + bigdata::kSegmentCount);
  outcome = marks_.CheckOverlap(db, bigdata::kCellSize);
  if (outcome != WalkOutcome::Continue) return outcome;
  FieldRef listField = FieldRef::Image32(d + bigdata::kSegmentList);
  uint32_t list = listField.Get();
  if (frames_.OffsetCheck(list) != kOffsetValid) return Report(kInvalidOffset, db + bigdata::kSegmentList, listField);
  if (list == kNullOffset) return Report(kErasedSegmentList, db + bigdata::kSegmentList);
  outcome = marks_.MarkCell(list);
  if (outcome != WalkOutcome::Continue) return outcome;
  outcome = marks_.CheckOverlap(list, value::kListEntries + 4 * uint64_t{segments.Get()});
  if (outcome != WalkOutcome::Continue) return outcome;

  ListCompactor entries(Cell(list) + value::kListEntries, segments.Get(), 4);
  uint32_t capacity = 0;
  outcome = WalkOutcome::Continue;
  // Every segment the data needs but the last holds a whole 16344 bytes: readers take the data a
  // segment at a time. The segments after one that is shorter are cut off, and the data ends in
  // it (code 46).
  bool cut = false;
  while (!entries.Done() && !cut) {
    uint32_t position = list + value::kListEntries + 4 * entries.Slot();
    FieldRef entry = FieldRef::Image32(entries.Bring());
    uint32_t segment = entry.Get();
    uint32_t code = frames_.OffsetCheck(segment) != kOffsetValid ? kInvalidOffset
                    : segment == kNullOffset                     ? kNullOffsetInSegmentList
                                                                 : kNoError;
    if (code != kNoError) {
      if (!faults_.ReportAndFix(code, position, code == kInvalidOffset ? entry : FieldRef::None(), 0)) {
        outcome = WalkOutcome::Stop;
        break;
      }
      entries.Drop();
      continue;
    }
    outcome = marks_.MarkCell(segment);
    if (outcome != WalkOutcome::Continue) break;
    uint32_t length = marks_.CellLength(segment) - 4;
    capacity += length < bigdata::kSegmentCapacity ? length : bigdata::kSegmentCapacity;
    entries.Keep();
    FieldRef dataLength = FieldRef::Image32(Cell(value) + value::kDataLength);
    if (length < bigdata::kSegmentCapacity && !entries.Done() && dataLength.Get() > capacity) {
      if (!faults_.ReportAndFix(kIncorrectSegmentedSize, segment, dataLength, capacity)) {
        outcome = WalkOutcome::Stop;
        break;
      }
      cut = true;
    }
  }
  const uint32_t kept = cut ? entries.Slot() : entries.Count();
  bool removed = kept != segments.Get();
  if (removed) {
    if (!cut) entries.Close();
    segments.Set(static_cast<uint16_t>(kept));
    faults_.MarkChanged();
  }
  if (outcome != WalkOutcome::Continue) return outcome;
  if (cut) return WalkOutcome::Continue;
  if (entries.Count() == 0) return WalkOutcome::Drop;  // no segment left: the value goes

  FieldRef length = FieldRef::Image32(Cell(value) + value::kDataLength);
  if (length.Get() <= capacity) return WalkOutcome::Continue;
  if (removed) {
    length.Set(capacity);
    faults_.MarkChanged();
    return WalkOutcome::Continue;
  }
  return faults_.ReportFault(kIncorrectSegmentedSize, value + value::kDataLength, length, capacity);
}

}  // namespace tarvos::hive
