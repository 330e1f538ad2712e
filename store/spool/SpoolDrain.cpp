#include "store/spool/Spool.h"

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include "store/OwnDirectory.h"
#include "store/spool/SpoolNames.h"

// The write-back of waiting rows: what a drain surveys, claims, draws identifiers for and
// inserts, one row or one batch at a time, and what it does with each answer.
namespace qbnotify {

using namespace spool;

// A claim is taken back when its claimer has ended: no process runs under its id, or the
// one that does started at another time than the claimer did. A claim of this very process
// can only be left over from a step that could not put the row back, and is taken back at
// once. A claim of an earlier version names no start time: it is taken back once no process
// runs under its id. Temporary files likewise go when their writer has ended.
void Spool::TakeBackOrphanedClaims(const Survey& survey, DrainReport& report) {
  std::map<std::uint32_t, ProcessInfo> processes;
  const auto process = [&](std::uint32_t id) -> const ProcessInfo& {
    auto found = processes.find(id);
    if (found == processes.end()) found = processes.emplace(id, platform_.QueryProcess(id)).first;
    return found->second;
  };
  for (const std::string& name : survey.temporaries)
    if (IsLeftOverTemporary(platform_, name)) platform_.RemoveFile(PathOf(name));
  for (const std::string& name : survey.claims) {
    const std::optional<ClaimName> claim = ParseClaimName(name);
    if (!claim) continue;
    // A start time of 0 is one the claimer's platform could not tell: the id alone decides.
    const std::uint64_t start = claim->start.value_or(0);
    bool orphaned = false;
    if (claim->claimer == process_ && (start == 0 || start == processStart_)) {
      orphaned = true;
    } else {
      const ProcessInfo& claimer = process(claim->claimer);
      orphaned = claimer.state == ProcessState::Gone ||
                 (claimer.state == ProcessState::Running && start != 0 && claimer.startTime != start);
    }
    if (!orphaned) continue;
    if (platform_.RenameWithoutReplacing(PathOf(name), PathOf(RowNameOf(claim->base))) ==
        FileResult::Ok)
      ++report.takenBack;
  }
}

Spool::Survey Spool::SurveyDirectory(const std::set<std::string>& skip, std::size_t keep, std::size_t stopAfter) {
  Survey survey;
  std::size_t rowsSeen = 0;
  // The oldest `keep` names as a max-heap: a name newer than all of them costs one comparison.
  std::vector<std::string>& rows = survey.rows;
  survey.result = platform_.ListNames(directory_, [&](std::string_view name) {
    if (IsUnclaimedRow(name)) {
      if (skip.count(std::string(name))) return true;
      if (rows.size() < keep) {
        rows.emplace_back(name);
        std::push_heap(rows.begin(), rows.end());
      } else if (keep > 0 && name < rows.front()) {
        std::pop_heap(rows.begin(), rows.end());
        rows.back().assign(name);
        std::push_heap(rows.begin(), rows.end());
      }
      if (++rowsSeen >= stopAfter) {
        survey.complete = false;
        return false;
      }
    } else if (IsClaimedRow(name)) {
      survey.claims.emplace_back(name);
    } else if (EndsWith(name, kTemporarySuffix)) {
      survey.temporaries.emplace_back(name);
    } else if (EndsWith(name, kBadSuffix) || EndsWith(name, kRefusedSuffix)) {
      ++survey.setAside;
    }
    return true;
  });
  std::sort_heap(rows.begin(), rows.end());
  return survey;
}

DrainReport Spool::Drain(const DrainCallbacks& callbacks, std::optional<std::uint32_t> budgetMs) {
  DrainReport report;
  try {
    // Nothing is read from a directory that is not the library's own.
    if (!EnsureOwn(false)) {
      report.directoryRefused = untrustedDirectories_ != 0;
      return report;
    }
    std::uint32_t start = 0;  // the budget counts from the first listing on: a large
                              // directory's listing must not eat the time for its rows
    std::uint64_t settledBefore = 0;
    std::set<std::string> declined;
    const std::size_t keep = budgetMs ? kBudgetedDrainRows : kDrainBatchRows;
    const std::size_t stopAfter = budgetMs ? kBudgetedDrainRows : SIZE_MAX;
    for (bool firstPass = true;; firstPass = false) {
      Survey survey = SurveyDirectory(declined, keep, stopAfter);
      if (survey.result == FileResult::NotFound) return report;
      if (survey.result != FileResult::Ok) {
        report.diskFailed = true;
        return report;
      }
      if (firstPass) {
        setAsideFiles_ = survey.setAside;
        setAsideKnown_ = survey.complete;
        const std::uint64_t before = report.takenBack;
        TakeBackOrphanedClaims(survey, report);
        if (report.takenBack != before) survey = SurveyDirectory(declined, keep, stopAfter);
        start = platform_.ElapsedMilliseconds();
      }
      const std::vector<std::string>& waiting = survey.rows;
      if (waiting.empty()) return report;

      bool tried = false;
      int declinedInARow = 0;
      const bool batches = callbacks.drawIdentifiers && callbacks.insertAll;
      const std::size_t batchRows = budgetMs ? kBudgetedBatchRows : kBatchRows;
      for (std::size_t at = 0; batches && at < waiting.size(); at += batchRows) {
        if (budgetMs && tried && static_cast<std::uint32_t>(platform_.ElapsedMilliseconds() - start) >= *budgetMs) {
          report.outOfTime = true;
          return report;
        }
        tried = true;
        const std::vector<std::string> batch(waiting.begin() + static_cast<std::ptrdiff_t>(at),
                                             waiting.begin() + static_cast<std::ptrdiff_t>(std::min(waiting.size(), at + batchRows)));
        if (DrainBatch(batch, callbacks, report, declined) == Step::Stop) return report;
      }
      for (const std::string& name : batches ? std::vector<std::string>() : waiting) {
        if (budgetMs && tried && static_cast<std::uint32_t>(platform_.ElapsedMilliseconds() - start) >= *budgetMs) {
          report.outOfTime = true;
          return report;
        }
        tried = true;
        const std::uint64_t declinedBefore = report.declined;
        std::string putBackAs = name;  // a row given its identifier is put back under a new name
        if (DrainOne(name, callbacks, report, putBackAs) == Step::Stop) return report;
        declinedInARow = report.declined != declinedBefore ? declinedInARow + 1 : 0;
        if (declinedInARow > 0) declined.insert(putBackAs);  // not tried again by this drain
        if (declinedInARow >= kDeclinedInARowLimit) {
          report.serverUnavailable = true;
          return report;
        }
      }
      // Rows that other processes added meanwhile are found by the next listing; a spool
      // drained with a budget leaves them to the next handler. A pass that settled no row
      // (every claim lost to other processes, or refused by the file system) ends it too.
      const std::uint64_t settled = report.written + report.alreadyWritten + report.refused + report.setAside;
      if (budgetMs || settled == settledBefore) return report;
      settledBefore = settled;
    }
  } catch (...) {
    // The drain stops where the disk failed; the rows stay for the next handler.
    report.diskFailed = true;
    return report;
  }
}

std::optional<Spool::Claimed> Spool::ClaimAndRead(const std::string& name, DrainReport& report) {
  Claimed claimed;
  const std::optional<std::string> base = WaitingRowBase(name);
  if (!base) return std::nullopt;
  claimed.base = *base;
  claimed.name = RowNameOf(claimed.base);  // put back under this version's name
  claimed.claim = PathOf(ClaimNameOf(claimed.base, ClaimTag(process_, processStart_)));
  // NotFound: another process has it.
  if (platform_.RenameWithoutReplacing(PathOf(name), claimed.claim) != FileResult::Ok) return std::nullopt;

  const FileContent content = platform_.ReadWholeFile(claimed.claim, kMaxSpoolEntryBytes);
  if (content.result == FileResult::NotFound) return std::nullopt;  // removed under us
  std::optional<SpooledRow> row;
  if (content.result == FileResult::Ok) row = DecodeSpoolEntry(content.bytes);
  // An entry that cannot be read (a link, a file the system will not open) is set aside as
  // one that does not decode is: the rows after it are not held up.
  if (!row) {
    if (SetAside(claimed, kBadSuffix, report)) ++report.setAside;
    return std::nullopt;
  }
  // The content's identifier is the latest (a row given a new one is rewritten); the name's
  // counts for a content without one.
  if (RowIdentifier(*row).empty())
    if (std::optional<std::string> identifier = IdentifierInBase(claimed.base)) SetRowIdentifier(*row, std::move(*identifier));
  claimed.row = std::move(*row);
  return claimed;
}

bool Spool::NameIdentifier(Claimed& claimed, const std::string& identifier) {
  const std::string base = claimed.base + "." + identifier;
  const std::string claim = PathOf(ClaimNameOf(base, ClaimTag(process_, processStart_)));
  if (platform_.RenameWithoutReplacing(claimed.claim, claim) != FileResult::Ok) return false;
  claimed.base = base;
  claimed.name = RowNameOf(base);
  claimed.claim = claim;
  return true;
}

void Spool::PutBack(const Claimed& claimed) { platform_.RenameWithoutReplacing(claimed.claim, PathOf(claimed.name)); }

// Set-aside files are bounded: past kMaxSetAsideFiles a file is removed instead (it stays
// counted). A drain that saw only part of the directory does not know how many there are:
// the row goes back and waits for one that sees the whole directory. False then.
bool Spool::SetAside(const Claimed& claimed, std::string_view suffix, DrainReport& report) {
  if (!setAsideKnown_) {
    PutBack(claimed);
    ++report.deferred;
    return false;
  }
  if (setAsideFiles_ >= kMaxSetAsideFiles ||
      platform_.RenameWithoutReplacing(claimed.claim, PathOf(claimed.base + std::string(suffix))) != FileResult::Ok)
    platform_.RemoveFile(claimed.claim);  // or the same row is already set aside under that name
  else
    ++setAsideFiles_;
  return true;
}

Spool::Step Spool::DrainOne(const std::string& name, const DrainCallbacks& callbacks, DrainReport& report,
                            std::string& putBackAs) {
  std::optional<Claimed> claimed = ClaimAndRead(name, report);
  if (!claimed) return Step::Next;
  const Step step = WriteBackClaimed(*claimed, callbacks, report);
  putBackAs = claimed->name;
  return step;
}

Spool::Step Spool::WriteBackClaimed(Claimed& claimed, const DrainCallbacks& callbacks, DrainReport& report) {
  SpooledRow& row = claimed.row;
  // A row whose identifier another row holds draws a new one, a few times at most.
  InsertOutcome outcome = InsertOutcome::Unavailable;
  for (int draw = 0;; ++draw) {
    if (RowIdentifier(row).empty()) {
      std::string identifier;
      try {
        identifier = callbacks.drawIdentifier(RowHead(row));
      } catch (...) {
        // No identifier drawn, whatever the reason: the row is put back below.
      }
      if (identifier.empty()) {
        PutBack(claimed);
        report.serverUnavailable = true;
        return Step::Stop;
      }
      // A row kept under a name without an identifier takes one in its name first (earlier
      // versions skip such names), then in its content.
      if (!IdentifierInBase(claimed.base) && IsNameIdentifier(identifier) &&
          !NameIdentifier(claimed, identifier)) {
        PutBack(claimed);
        report.diskFailed = true;
        return Step::Stop;
      }
      SetRowIdentifier(row, std::move(identifier));
      const std::optional<std::string> bytes = EncodeSpoolEntry(row);
      // The identifier is on the disk before the row can reach the server: whatever happens
      // after this, the row is only ever inserted under this identifier, unless the server
      // shows another row under it (then this row never landed there).
      if (!bytes || platform_.WriteFileDurably(claimed.claim, *bytes, true) != FileResult::Ok) {
        PutBack(claimed);
        report.diskFailed = true;
        return Step::Stop;
      }
    }

    outcome = InsertOutcome::Unavailable;
    try {
      outcome = callbacks.insert(row);
    } catch (...) {
      // Any failure leaves the outcome "unavailable": the row stays waiting for a later drain.
    }
    if (outcome != InsertOutcome::KeyTaken || draw == kKeyTakenDrawLimit) break;
    ++report.redrawn;
    SetRowIdentifier(row, std::string());
  }
  switch (outcome) {
    case InsertOutcome::Written:
      ++report.written;
      platform_.RemoveFile(claimed.claim);
      return Step::Next;
    case InsertOutcome::AlreadyWritten:
      ++report.alreadyWritten;
      platform_.RemoveFile(claimed.claim);
      return Step::Next;
    case InsertOutcome::Refused:
      if (!SetAside(claimed, kRefusedSuffix, report)) return Step::Next;
      ++report.refused;
      CountRefused();
      return Step::Next;
    case InsertOutcome::Declined:
    case InsertOutcome::KeyTaken:  // every new identifier was taken too: the row stays
      ++report.declined;
      PutBack(claimed);
      return Step::Next;
    case InsertOutcome::Unavailable:
      break;
  }
  PutBack(claimed);
  report.serverUnavailable = true;
  return Step::Stop;
}

// Rows of a batch: the identifiers of each head drawn at once and put on the disk, in the
// claims' names, with one wait for them all, then one insert for the rows of each head. When that insert fails, each row is written back on
// its own (and told apart: written, already there, refused, declined).
Spool::Step Spool::DrainBatch(const std::vector<std::string>& names, const DrainCallbacks& callbacks,
                              DrainReport& report, std::set<std::string>& declined) {
  std::vector<Claimed> claimed;
  for (const std::string& name : names)
    if (std::optional<Claimed> one = ClaimAndRead(name, report)) claimed.push_back(std::move(*one));
  std::size_t settledUpTo = 0;  // claimed[settledUpTo..] are still to be put back on a stop
  const auto stop = [&] {
    for (std::size_t i = settledUpTo; i < claimed.size(); ++i) PutBack(claimed[i]);
    return Step::Stop;
  };
  bool renamed = false;
  for (const char* head : {kHeadEvent, kHeadAudit}) {
    std::vector<Claimed*> unnamed;
    for (Claimed& one : claimed)
      if (std::string_view(RowHead(one.row)) == head && RowIdentifier(one.row).empty()) unnamed.push_back(&one);
    if (unnamed.empty()) continue;
    std::vector<std::string> identifiers;
    try {
      identifiers = callbacks.drawIdentifiers(head, static_cast<int>(unnamed.size()));
    } catch (...) {
      // No identifiers drawn, whatever the reason: the rows are put back.
    }
    if (identifiers.size() != unnamed.size()) {
      report.serverUnavailable = true;
      return stop();
    }
    // Each claim renamed to carry its row's identifier; put back or set aside, the row keeps it.
    for (std::size_t i = 0; i < unnamed.size(); ++i) {
      Claimed& one = *unnamed[i];
      if (!IsNameIdentifier(identifiers[i])) {
        report.serverUnavailable = true;  // not an identifier this library draws
        return stop();
      }
      if (!NameIdentifier(one, identifiers[i])) {
        report.diskFailed = true;
        return stop();
      }
      SetRowIdentifier(one.row, std::move(identifiers[i]));
      renamed = true;
    }
  }
  // As for a single row: the identifiers are on the disk before any row reaches the server.
  // A system that cannot flush a directory settles the renames with a durable write in it:
  // the first renamed row's entry, rewritten with its identifier.
  if (renamed && platform_.FlushRenames(directory_) != FileResult::Ok) {
    const auto first = std::find_if(claimed.begin(), claimed.end(),
                                    [](const Claimed& one) { return IdentifierInBase(one.base).has_value(); });
    const std::optional<std::string> bytes = first != claimed.end() ? EncodeSpoolEntry(first->row) : std::nullopt;
    if (!bytes || platform_.WriteFileDurably(first->claim, *bytes, true) != FileResult::Ok) {
      report.diskFailed = true;
      return stop();
    }
  }
  // Claims are settled in their order from here on; the groups' inserts go by head.
  std::map<std::string, bool> insertedHeads;
  for (const char* head : {kHeadEvent, kHeadAudit}) {
    std::vector<const SpooledRow*> rows;
    for (const Claimed& one : claimed)
      if (std::string_view(RowHead(one.row)) == head) rows.push_back(&one.row);
    bool inserted = false;
    if (!rows.empty()) {
      try {
        inserted = callbacks.insertAll(rows);
      } catch (...) {
        // Nothing is known: each row is inserted on its own below.
      }
    }
    insertedHeads[head] = inserted;
  }
  int declinedInARow = 0;
  for (; settledUpTo < claimed.size(); ++settledUpTo) {
    Claimed& one = claimed[settledUpTo];
    if (insertedHeads[RowHead(one.row)]) {
      ++report.written;
      platform_.RemoveFile(one.claim);
      continue;
    }
    const std::uint64_t declinedBefore = report.declined;
    if (WriteBackClaimed(one, callbacks, report) == Step::Stop) {
      ++settledUpTo;  // put back already
      return stop();
    }
    declinedInARow = report.declined != declinedBefore ? declinedInARow + 1 : 0;
    if (declinedInARow > 0) declined.insert(one.name);
    if (declinedInARow >= kDeclinedInARowLimit) {
      ++settledUpTo;
      report.serverUnavailable = true;
      return stop();
    }
  }
  return Step::Next;
}

}  // namespace qbnotify
