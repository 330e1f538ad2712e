// The local spool of rows the database could not take.
#include "store/OwnDirectory.h"
#include "store/spool/Spool.h"
#include "store/StateDirectory.h"
#include "store/spool/SpoolWriteBack.h"
#include "tools/qbnotify-doctor/DoctorChecks.h"

namespace qbnotify::tools {

void Doctor::SpoolChecks() {
  std::optional<Spool> spool = Spool::Locate(platform_);
  if (!spool) return Skip("spool", "rows kept", "the spool's directory cannot be located");
  if (options_.writeBackSpool) {
    Connections connections;
    if (!::qbnotify::OpenConnections(platform_, connections)) {
      Add("spool", "write back", Status::Failed, "the library's connections did not open",
          "mend the connections above, then write back again");
    } else {
      const DrainReport report = WriteBackSpool(platform_, connections, false);
      const bool stopped = report.serverUnavailable || report.diskFailed || report.directoryRefused;
      Add("spool", "write back", stopped ? Status::Failed : Status::Ok,
          std::to_string(report.written) + " written, " + std::to_string(report.alreadyWritten) +
              " already there, " + std::to_string(report.refused) + " refused, " + std::to_string(report.declined) +
              " declined, " + std::to_string(report.setAside) + " unreadable set aside" +
              (report.serverUnavailable ? "; stopped: the server did not take rows" : "") +
              (report.diskFailed ? "; stopped: the spool could not be read or written" : "") +
              (report.directoryRefused ? "; stopped: the spool's directory was not the library's own" : ""),
          stopped ? "mend what stops it, then write back again" : "");
    }
  }
  const SpoolState state = spool->State();
  if (!state.directoryProblem.empty())
    return Add("spool", "directory", Status::Failed, state.directory + ": " + state.directoryProblem,
               "no row is kept or read there. Narrow the folder named (qbnotify-settings protect, or by hand above "
               "Data); a spool not the library's own is moved aside (\"" + state.directory +
                   ".untrusted-<tick>\") at the next outage: look at what it holds, then remove it");
  Add("spool", "directory", Status::Ok, state.directory);
  if (const std::optional<StateDirectory> stateDirectory = StateDirectory::Locate(platform_)) {
    const std::string problem = DescribeOwnDirectoryProblem(platform_, stateDirectory->Directory());
    Add("spool", "state directory", problem.empty() ? Status::Ok : Status::Failed,
        stateDirectory->Directory() + (problem.empty() ? "" : ": " + problem),
        problem.empty() ? "" : "no state is kept or read there (no snapshot, no deny state). Narrow the folder named "
                               "(qbnotify-settings protect, or by hand above Data)");
  }
  if (state.rowsWaiting == 0) {
    Add("spool", "rows waiting", Status::Ok, "none");
  } else {
    Add("spool", "rows waiting", Status::Warning,
        std::to_string(state.rowsWaiting) + " rows, the oldest of " +
            (state.oldest ? FormatDateTime(*state.oldest) : std::string("an unknown time")) + " (" +
            std::to_string(state.bytes) + " bytes of " + std::to_string(state.settings.MaxBytes) + ", at most " +
            std::to_string(state.settings.MaxRows) + " rows)",
        "the next sessions write them back; qbnotify-doctor --write-back does it now");
  }
  const auto lost = [&](const char* name, std::uint64_t rows, const char* what, const char* fix) {
    Add("spool", name, rows == 0 ? Status::Ok : Status::Warning, std::to_string(rows) + " " + what, rows ? fix : "");
  };
  lost("dropped rows", state.dropped, "rows lost because the spool was full or could not be written",
       "raise MaxRows or MaxBytes in [Spool] of the settings file, or mend the database sooner");
  lost("refused rows", state.refused, "rows the server refused for their content (the .refused files keep them)",
       "compare the columns of log and appshenji with db/log.sql");
  lost("unreadable files", state.setAside, "spool files that were not whole rows, set aside as .bad",
       "look at the .bad files in the spool's directory; remove them when read");
}

}  // namespace qbnotify::tools
