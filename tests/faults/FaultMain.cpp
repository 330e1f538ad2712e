// qbnotify-faults: plays demo sessions against a private server that misbehaves, one way per
// case, and prints the time of each handler, the exit status, the rows written against those
// expected and the startup decision. Exits 0 when every case passed.
//
//   qbnotify-faults --root SOURCE_TREE --work EMPTY_DIR --library libqbnotify.so [--only TEXT]
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "Suite.h"
#include "tests/Tally.h"

int main(int argc, char** argv) {
  CLI::App app{"Plays demo sessions against a private server under faults and prints what each handler did."};
  std::string root, work, library, only;
  app.add_option("--root", root, "the source tree (db/ and demo/sessions/)")->required();
  app.add_option("--work", work, "a directory for the server and the settings files")->required();
  app.add_option("--library", library, "the notification library")->required();
  app.add_option("--only", only, "run only the cases whose name holds this text");
  CLI11_PARSE(app, argc, argv);

  // A session process that has ended must not end the suite when it is told to go on.
  signal(SIGPIPE, SIG_IGN);
  try {
    qbnotify::faults::Suite suite(root, work, library);
    suite.Prepare();
    return suite.RunAll(qbnotify::faults::FaultCases(), only) ? 0 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "FAILED: qbnotify-faults: %s\n", error.what());
    qbnotify::check::Tally tally("faults");
    tally.Count(false);
    return tally.Finish();
  }
}
