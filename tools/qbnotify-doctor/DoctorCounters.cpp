// The identifier counters and the clock.
#include "store/Identifiers.h"
#include "tools/qbnotify-doctor/DoctorChecks.h"

namespace qbnotify::tools {

void Doctor::Counters() {
  if (!ds_) {
    Skip("identifier counters", "GloabolInc", "DS is not open");
    return;
  }
  for (const char* head : {kHeadEvent, kHeadAudit}) {
    try {
      Statement statement(ds_.get());
      statement.SetSql("select ID from GloabolInc where Head=:np");
      statement.BindText("np", head);
      statement.Open();
      if (statement.RowCount() == 0) {
        Add("identifier counters", head, Status::Ok, "no counter row yet: the first draw creates it");
        continue;
      }
      if (statement.RowCount() > 1) {
        Add("identifier counters", head, Status::Warning,
            std::to_string(statement.RowCount()) + " counter rows for one head: the first decides and all advance "
            "together, and a cluster cannot replicate them by a key",
            std::string("keep only the row with the highest ID, then add a primary key on Head"));
        continue;
      }
      const std::string id = statement.ColumnText(std::size_t{0});
      const std::optional<std::int64_t> stored = NumberAfterHead(id, head);
      const std::int64_t number = stored.value_or(0);
      if (!stored) {
        Add("identifier counters", head, Status::Failed,
            "ID '" + id + "' is not the head followed by a number: every record of this head fails",
            "set ID to the head and the highest number in use, e.g. " + FormatIdentifier(head, 1));
      } else if (number >= INT32_MAX) {
        Add("identifier counters", head, Status::Failed, "ID '" + id + "' has used up the 32-bit numbers",
            "archive the table and restart the counter");
      } else if (number > INT32_MAX - 10000000) {
        Add("identifier counters", head, Status::Warning,
            "ID '" + id + "': " + std::to_string(INT32_MAX - number) + " identifiers left before 2147483647",
            "plan to archive the table and restart the counter");
      } else {
        Add("identifier counters", head, Status::Ok, "last issued " + id);
      }
    } catch (const std::exception& error) {
      Add("identifier counters", head, Status::Failed, error.what());
    }
  }
}

void Doctor::Clock() {
  try {
    const std::string local = FormatDateTime(platform_.LocalNow());
    Statement statement(Any());
    statement.SetSql("select timestampdiff(second, :local, now()), now()");
    statement.BindText("local", local);
    statement.Open();
    const std::int32_t difference = statement.ColumnInteger(std::size_t{0});
    const std::string detail = "server " + statement.ColumnText(std::size_t{1}) + ", this machine " + local + " (" +
                               std::to_string(difference) + " s)";
    if (difference > 60 || difference < -60)
      Add("clock", "difference", Status::Warning, detail + ": the time rules run on the server's clock",
          "synchronise both clocks, or write the time groups in the server's time");
    else
      Add("clock", "difference", Status::Ok, detail);
  } catch (const std::exception& error) {
    Add("clock", "difference", Status::Failed, error.what());
  }
}

}  // namespace qbnotify::tools
