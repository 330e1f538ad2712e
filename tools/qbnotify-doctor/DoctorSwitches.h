// The switches that the doctor takes on every platform, beside the ones that say where the
// install path comes from.
#pragma once

#include <CLI/CLI.hpp>

#include "tools/qbnotify-doctor/Doctor.h"

namespace qbnotify::tools {

inline void AddDoctorSwitches(CLI::App& app, DoctorOptions& options, bool& asJson) {
  app.add_option("--connect-timeout", options.connectTimeoutSeconds, "seconds to wait for the server")
      ->capture_default_str();
  app.add_flag("--json", asJson, "print the checks as JSON");
  app.add_flag("--grants", options.printGrants,
               "print the statements of the roles qbnotify_library and qbnotify_reader for the databases the settings "
               "name, and nothing else");
  app.add_flag("--write-back", options.writeBackSpool, "write the rows kept in the local spool back to the database now");
}

}  // namespace qbnotify::tools
