#include <fcntl.h>
#include <pwd.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <thread>

#include "TestSupport.h"
#include "platform/PlatformWrapper.h"
#include "store/spool/Spool.h"
#include "store/spool/SpoolCounts.h"
#include "store/spool/SpoolNames.h"

namespace qbnotify {
namespace {

namespace fs = std::filesystem;

EventRow Event(int n, DateTime time = DateTime{2026, 12, 7, 10, 0, 0}) {
  EventRow row;
  row.time = time;
  row.typeId = 2;
  row.sourceId = 1;
  row.eventId = 3;
  row.userId = "U1";
  row.parameter1 = "row-" + std::to_string(n);
  return row;
}

std::string Label(const SpooledRow& row) {
  if (const auto* event = std::get_if<EventRow>(&row)) return event->parameter1;
  return std::get<AuditRow>(row).record.sessionid;
}

// A stand-in for the farm's tables: identifiers from one counter, inserts keyed on the
// identifier, both shared between processes (anonymous shared memory and marker files).
class FakeFarm {
 public:
  explicit FakeFarm(const fs::path& directory) : directory_(directory / "farm") {
    fs::create_directories(directory_);
    void* memory = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    shared_ = new (memory) Shared{};
  }
  ~FakeFarm() { munmap(shared_, sizeof(Shared)); }

  DrainCallbacks Callbacks(std::function<void(const SpooledRow&)> afterInsert = {}) {
    DrainCallbacks callbacks;
    callbacks.drawIdentifier = [this](const std::string& head) {
      if (down) throw std::runtime_error("server down");
      ++shared_->draws;
      return head + std::to_string(10000000 + shared_->counter.fetch_add(1));
    };
    callbacks.insert = [this, afterInsert](const SpooledRow& row) {
      if (down) return InsertOutcome::Unavailable;
      if (refuse && Label(row) == *refuse) return InsertOutcome::Refused;
      ++shared_->insertAttempts;
      // The key: one marker per identifier, holding the row it was written with.
      const fs::path marker = directory_ / RowIdentifier(row);
      const int fd = ::open(marker.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
      if (fd < 0) return InsertOutcome::AlreadyWritten;
      const std::string label = Label(row);
      EXPECT_EQ(::write(fd, label.data(), label.size()), static_cast<ssize_t>(label.size()));
      ::close(fd);
      if (afterInsert) afterInsert(row);
      return InsertOutcome::Written;
    };
    return callbacks;
  }

  // The rows in the tables by label, with how many identifiers each was written under.
  std::map<std::string, int> Rows() const {
    std::map<std::string, int> rows;
    for (const auto& file : fs::directory_iterator(directory_)) {
      std::ifstream in(file.path());
      std::string label((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      ++rows[label];
    }
    return rows;
  }
  int Draws() const { return shared_->draws; }
  int InsertAttempts() const { return shared_->insertAttempts; }

  bool down = false;
  std::optional<std::string> refuse;

 private:
  struct Shared {
    std::atomic<int> counter{0};
    std::atomic<int> draws{0};
    std::atomic<int> insertAttempts{0};
  };
  fs::path directory_;
  Shared* shared_;
};

class SpoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(dir_.Path() / "install" / "Data" / "CONFIG");
    test::SetInstallPath(session_, (dir_.Path() / "install").string());
    platform_.State() = session_;
  }

  fs::path SpoolPath() const { return dir_.Path() / "install" / "Data" / "Spool"; }
  Spool Make(SpoolSettings settings = {}) {
    const std::optional<std::string> directory = SpoolDirectory(platform_);
    EXPECT_TRUE(directory);
    return Spool(platform_, directory.value_or(""), settings);
  }
  std::vector<std::string> Files(std::string_view suffix) const {
    std::vector<std::string> names;
    if (!fs::exists(SpoolPath())) return names;
    for (const auto& file : fs::directory_iterator(SpoolPath())) {
      const std::string name = file.path().filename().string();
      if (name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  // Makes a file look written `seconds` ago.
  void Age(const std::string& name, int seconds) {
    const fs::path path = SpoolPath() / name;
    fs::last_write_time(path, fs::last_write_time(path) - std::chrono::seconds(seconds));
  }
  // The name of a claim of `row` by `process` that started at `start`; nullopt: the
  // shape of earlier versions, with a tick in place of the start time.
  static std::string ClaimName(const std::string& row, std::uint32_t process, std::optional<std::uint64_t> start) {
    char tag[48];
    if (start)
      std::snprintf(tag, sizeof tag, ".%08x-%016llx.claim", process, static_cast<unsigned long long>(*start));
    else
      std::snprintf(tag, sizeof tag, ".%08x-%08x.claim", process, 12345u);
    return row.substr(0, row.find('.')) + tag;
  }

  test::TempDir dir_;
  hosted::Session session_;
  hosted::HostedPlatform platform_{hosted::Session{}};
  FakeFarm farm_{dir_.Path()};
};

TEST_F(SpoolTest, LivesBesideTheSettingsInAPrivateDirectory) {
  Spool spool = Make();
  EXPECT_EQ(spool.Directory(), (dir_.Path() / "install").string() + "\\Data\\Spool");
  EXPECT_EQ(spool.State().rowsWaiting, 0u);
  EXPECT_FALSE(fs::exists(SpoolPath()));  // made with the first row, not before
  EXPECT_EQ(spool.Add(Event(1)), SpoolAddResult::Spooled);
  EXPECT_EQ(fs::status(SpoolPath()).permissions() & fs::perms::all, fs::perms::owner_all);
  const std::vector<std::string> rows = Files(".row");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].substr(0, 15), "20261207100000-");
  EXPECT_EQ(fs::status(SpoolPath() / rows[0]).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  hosted::Session noKey;
  platform_.State() = noKey;
  EXPECT_FALSE(SpoolDirectory(platform_));
}

TEST_F(SpoolTest, SettingsComeFromTheSpoolSectionAndFallBackToDefaults) {
  struct Case {
    std::string text;
    SpoolSettings expected;
  } cases[] = {
      {"", SpoolSettings{}},
      {"[Spool]\r\nMaxRows=500\r\nMaxBytes = 1048576 \r\nDrainBudgetMs=50\r\nStaleClaimSeconds=90\r\n",
       SpoolSettings{500, 1048576, 50, 90}},
      {"[Spool]\r\nStaleClaimSeconds=0\r\n", SpoolSettings{100000, 64ull << 20, 200, kMinStaleClaimSeconds}},
      {"[spool]\r\nmaxrows=0\r\n", SpoolSettings{0, SpoolSettings{}.MaxBytes, 200, 600}},
      {"[Spool]\r\nMaxRows=-5\r\nMaxBytes=12abc\r\nDrainBudgetMs=99999999999\r\nStaleClaimSeconds=\r\n",
       SpoolSettings{}},
      {"[Spool]\r\nMaxRows=18446744073709551616\r\n", SpoolSettings{}},  // past 64 bits
      {"[DSConnection]\r\nMaxRows=7\r\n", SpoolSettings{}},
  };
  for (const Case& c : cases) {
    test::WriteSettingsFile(dir_.Path() / "install", c.text);
    EXPECT_TRUE(ReadSpoolSettings(platform_) == c.expected) << c.text;
  }
}

// Past the limits the newest rows are dropped and counted; the rows kept stay as they were.
TEST_F(SpoolTest, AFullSpoolDropsNewRowsAndCountsThem) {
  // The limits count each row with room for the identifier it is given when written back.
  const std::size_t entryBytes = EncodeSpoolEntry(Event(1))->size() + spool::kIdentifierRoom;
  struct Case {
    const char* name;
    SpoolSettings settings;
    int added;
    std::size_t kept;
  } cases[] = {
      {"rows", SpoolSettings{3, 1u << 20, 200, 600}, 5, 3},
      {"bytes", SpoolSettings{100, 2 * entryBytes + entryBytes / 2, 200, 600}, 4, 2},
      {"nothing", SpoolSettings{0, 1u << 20, 200, 600}, 2, 0},
  };
  for (const Case& c : cases) {
    fs::remove_all(SpoolPath());
    FakeFarm farm(dir_.Path() / c.name);
    Spool spool = Make(c.settings);
    for (int n = 0; n < c.added; ++n) {
      const SpoolAddResult expected = n < static_cast<int>(c.kept) ? SpoolAddResult::Spooled : SpoolAddResult::Dropped;
      EXPECT_EQ(spool.Add(Event(n)), expected) << c.name << " row " << n;
    }
    const SpoolState state = Make(c.settings).State();  // the count is on the disk
    EXPECT_EQ(state.rowsWaiting, c.kept) << c.name;
    EXPECT_EQ(state.dropped, c.added - c.kept) << c.name;
    spool.Drain(farm.Callbacks(), std::nullopt);
    std::set<std::string> written;
    for (const auto& [label, count] : farm.Rows()) written.insert(label);
    for (std::size_t n = 0; n < c.kept; ++n) EXPECT_TRUE(written.count("row-" + std::to_string(n))) << c.name;
    EXPECT_EQ(Make(c.settings).State().dropped, c.added - c.kept) << c.name;  // the count outlives the rows
  }
}

TEST_F(SpoolTest, DrainsOldestFirstDrawingEachIdentifierBeforeItsInsert) {
  Spool spool = Make();
  spool.Add(Event(3, DateTime{2026, 12, 7, 12, 0, 0}));
  spool.Add(Event(1, DateTime{2026, 12, 6, 23, 59, 59}));
  AuditRow audit;
  audit.record.sessionid = "row-2";
  audit.record.starttime = DateTime{2026, 12, 7, 9, 0, 0};
  spool.Add(audit);
  EventRow drawn = Event(4, DateTime{2026, 12, 7, 13, 0, 0});
  drawn.id = "Log00000777";  // drawn before the failed insert: kept
  spool.Add(drawn);

  const SpoolState before = spool.State();
  EXPECT_EQ(before.rowsWaiting, 4u);
  EXPECT_EQ(before.oldest, (DateTime{2026, 12, 6, 23, 59, 59}));

  std::vector<std::string> order;
  const DrainReport report = spool.Drain(farm_.Callbacks([&](const SpooledRow& row) {
    order.push_back(Label(row) + "=" + RowIdentifier(row));
    // At the insert, the claimed file on the disk already holds the identifier.
    const std::vector<std::string> claims = Files("claim");
    ASSERT_EQ(claims.size(), 1u);
    std::ifstream in(SpoolPath() / claims[0], std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto onDisk = DecodeSpoolEntry(bytes);
    ASSERT_TRUE(onDisk);
    EXPECT_EQ(RowIdentifier(*onDisk), RowIdentifier(row));
  }), std::nullopt);

  const std::vector<std::string> expected = {"row-1=Log10000000", "row-2=lap10000001", "row-3=Log10000002",
                                             "row-4=Log00000777"};
  EXPECT_EQ(order, expected);
  EXPECT_EQ(report.written, 4u);
  EXPECT_EQ(farm_.Draws(), 3);
  EXPECT_EQ(spool.State().rowsWaiting, 0u);
  EXPECT_TRUE(Files("").empty());
}

// A server that fails in the middle: the row goes back as it was (with the identifier if one
// was drawn), nothing is lost, and the next drain goes on under the same identifier.
TEST_F(SpoolTest, AServerThatFailsLeavesTheRowForLaterUnderItsIdentifier) {
  Spool spool = Make();
  spool.Add(Event(1));
  spool.Add(Event(2));

  DrainCallbacks callbacks = farm_.Callbacks();
  callbacks.insert = [](const SpooledRow&) -> InsertOutcome { throw std::runtime_error("lost connection"); };
  DrainReport report = spool.Drain(callbacks, std::nullopt);
  EXPECT_TRUE(report.serverUnavailable);
  EXPECT_EQ(farm_.Draws(), 1);  // stopped at the first row
  EXPECT_EQ(Files("row").size(), 2u);
  EXPECT_TRUE(Files("claim").empty());

  farm_.down = true;
  report = spool.Drain(farm_.Callbacks(), std::nullopt);
  EXPECT_TRUE(report.serverUnavailable);
  EXPECT_EQ(farm_.Draws(), 1);

  farm_.down = false;
  report = spool.Drain(farm_.Callbacks(), std::nullopt);
  EXPECT_EQ(report.written, 2u);
  EXPECT_EQ(farm_.Draws(), 2);  // the first row kept the identifier drawn for it
  EXPECT_EQ(farm_.Rows(), (std::map<std::string, int>{{"row-1", 1}, {"row-2", 1}}));
}

TEST_F(SpoolTest, CutFilesAndGarbageAreSetAsideAndCounted) {
  Spool spool = Make();
  for (int n = 1; n <= 3; ++n) spool.Add(Event(n));
  const std::vector<std::string> rows = Files(".row");
  const std::string whole = [&] {
    std::ifstream in(SpoolPath() / rows[1], std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }();
  std::ofstream(SpoolPath() / rows[1], std::ios::binary | std::ios::trunc) << whole.substr(0, whole.size() / 2);
  std::ofstream(SpoolPath() / "20261207100000-00000000-00000001.row", std::ios::binary) << "\x01garbage";
  std::ofstream(SpoolPath() / "20261207100000-00000000-00000002.row", std::ios::binary);  // empty
  std::ofstream(SpoolPath() / "notes.txt") << "left alone";

  const DrainReport report = spool.Drain(farm_.Callbacks(), std::nullopt);
  EXPECT_EQ(report.written, 2u);
  EXPECT_EQ(report.setAside, 3u);
  EXPECT_EQ(farm_.Rows(), (std::map<std::string, int>{{"row-1", 1}, {"row-3", 1}}));
  const SpoolState state = spool.State();
  EXPECT_EQ(state.rowsWaiting, 0u);
  EXPECT_EQ(state.setAside, 3u);
  EXPECT_EQ(Files(".bad").size(), 3u);
  EXPECT_TRUE(fs::exists(SpoolPath() / "notes.txt"));
}

// The identifier a batch put in a row's name, and the names that carry none.
TEST(SpoolNames, AnIdentifierInANameIsLettersThenDigits) {
  const struct {
    const char* base;
    std::optional<std::string> identifier;
  } cases[] = {{"20261207100000-0000abcd-00000001.Log00000042", "Log00000042"},
               {"20261207100000-0000abcd-00000001.lap100000000", "lap100000000"},
               {"20261207100000-0000abcd-00000001", std::nullopt},
               {"20261207100000-0000abcd-00000001.", std::nullopt},
               {"20261207100000-0000abcd-00000001.00000042", std::nullopt},
               {"20261207100000-0000abcd-00000001.Log", std::nullopt},
               {"20261207100000-0000abcd-00000001.Log-0000042", std::nullopt},
               {"20261207100000-0000abcd-00000001.Log0000004200000", std::nullopt},
               {"20261207100000-0000abcd-00000001.Log\xD6\xD0" "42", std::nullopt}};
  for (const auto& c : cases) EXPECT_EQ(spool::IdentifierInBase(c.base), c.identifier) << c.base;
  // The room a row's name gives it, in every form of the name; none in earlier versions' names.
  const struct {
    const char* name;
    std::optional<std::uint64_t> bytes;
  } rooms[] = {{"20261207100000-0000abcd-00000001-180.row", 180},
               {"20261207100000-0000abcd-00000001-180.Log00000042.000004d2-00000000000003e8.claim", 180},
               {"20261207100000-0000abcd-00000001.row", std::nullopt},
               {"20261207100000-0000abcd-00000001-.row", std::nullopt},
               {"20261207100000-0000abcd-00000001-18x.row", std::nullopt}};
  for (const auto& c : rooms) EXPECT_EQ(spool::BytesInName(c.name), c.bytes) << c.name;
  EXPECT_EQ(spool::WaitingRowName(DateTime{2026, 12, 7, 10, 0, 1}, 0xabcd, 1, 180),
            "20261207100001-0000abcd-00000001-180.row");
  // A claim of such a row keeps it in its base, so that a claim taken back keeps it too.
  const std::optional<spool::ClaimName> claim =
      spool::ParseClaimName("20261207100000-0000abcd-00000001.Log00000042.000004d2-00000000000003e8.claim");
  ASSERT_TRUE(claim);
  EXPECT_EQ(claim->base, "20261207100000-0000abcd-00000001.Log00000042");
}

// A handler's drain within a budget looks at a bounded part of a large backlog: it stops
// listing at kBudgetedDrainRows rows, and a row it would set aside waits (it cannot know how
// many files are set aside already). A drain without a budget sees everything and settles all.
TEST_F(SpoolTest, ADrainWithinABudgetLooksAtABoundedPartOfALargeBacklog) {
  Spool spool = Make();
  ASSERT_EQ(spool.Add(Event(0)), SpoolAddResult::Spooled);
  const std::string entry = *EncodeSpoolEntry(Event(0));
  const std::size_t rows = kBudgetedDrainRows + 100;
  for (std::size_t n = 1; n < rows; ++n) {
    char name[64];
    std::snprintf(name, sizeof name, "20261207100000-00000000-%08zx.row", n);
    std::ofstream(SpoolPath() / name, std::ios::binary) << (n == 7 ? std::string("\x01garbage") : entry);
  }
  ASSERT_TRUE(spool.HasWaitingRows());

  DrainReport report = spool.Drain(farm_.Callbacks(), 600000);
  EXPECT_FALSE(report.outOfTime);
  EXPECT_EQ(report.written + report.deferred, kBudgetedDrainRows);
  EXPECT_LE(report.deferred, 1u);
  EXPECT_EQ(report.setAside, 0u);
  EXPECT_TRUE(Files(".bad").empty());
  EXPECT_EQ(Files(".row").size(), rows - report.written);

  report = spool.Drain(farm_.Callbacks(), std::nullopt);
  EXPECT_EQ(report.setAside, 1u);
  EXPECT_EQ(report.deferred, 0u);
  EXPECT_EQ(Files(".row").size(), 0u);
  EXPECT_EQ(Files(".bad").size(), 1u);
  EXPECT_EQ(static_cast<std::size_t>(farm_.Draws()), rows - 1);
  EXPECT_FALSE(spool.HasWaitingRows());
}

// Rows written back in batches: identifiers drawn for a batch at once and on the disk before
// its one insert; a batch insert that fails leaves each row to be written on its own; a draw
// that falls short puts the batch back untouched. No row is lost or written twice.
TEST_F(SpoolTest, RowsGoBackInBatchesAndABatchThatFailsGoesRowByRow) {
  enum class Batch { Taken, Failing, ShortDraw, GoneAfterDraw };
  const struct {
    Batch batch;
    std::size_t writtenFirst;  // by the first drain
  } cases[] = {{Batch::Taken, 40}, {Batch::Failing, 40}, {Batch::ShortDraw, 0}, {Batch::GoneAfterDraw, 0}};
  for (const auto& c : cases) {
    fs::remove_all(SpoolPath());
    FakeFarm farm(dir_.Path() / ("farm-" + std::to_string(static_cast<int>(c.batch))));
    Spool spool = Make();
    for (int n = 0; n < 40; ++n) {
      SpooledRow row = Event(n, DateTime{2026, 12, 7, 10, n / 60, n % 60});
      if (n % 10 == 3) {
        AuditRow audit;
        audit.record.sessionid = "row-" + std::to_string(n);
        audit.record.starttime = DateTime{2026, 12, 7, 10, n / 60, n % 60};
        row = audit;
      }
      ASSERT_EQ(spool.Add(row), SpoolAddResult::Spooled);
    }
    DrainCallbacks callbacks = farm.Callbacks();
    int batchDraws = 0, batchInserts = 0;
    callbacks.drawIdentifiers = [&](const std::string& head, int count) {
      ++batchDraws;
      std::vector<std::string> identifiers;
      for (int i = 0; i < count - (c.batch == Batch::ShortDraw ? 1 : 0); ++i)
        identifiers.push_back(callbacks.drawIdentifier(head));
      return identifiers;
    };
    callbacks.insertAll = [&](const std::vector<const SpooledRow*>& rows) {
      ++batchInserts;
      farm.down = c.batch == Batch::GoneAfterDraw;
      if (c.batch == Batch::Failing || farm.down) return false;
      // Every identifier is on the disk, in its claim's name, before the insert.
      const std::vector<std::string> claims = Files(".idclaim");
      for (const SpooledRow* row : rows) {
        EXPECT_FALSE(RowIdentifier(*row).empty());
        EXPECT_EQ(std::count_if(claims.begin(), claims.end(), [&](const std::string& claim) {
                    return claim.find("." + RowIdentifier(*row) + ".") != std::string::npos;
                  }), 1) << RowIdentifier(*row);
      }
      for (const SpooledRow* row : rows) EXPECT_EQ(callbacks.insert(*row), InsertOutcome::Written);
      return true;
    };
    DrainReport report = spool.Drain(callbacks, std::nullopt);
    EXPECT_EQ(report.written, c.writtenFirst) << static_cast<int>(c.batch);
    EXPECT_EQ(report.serverUnavailable, c.batch == Batch::ShortDraw || c.batch == Batch::GoneAfterDraw);
    EXPECT_GE(batchDraws, 1);
    EXPECT_EQ(Files("claim").size(), 0u);
    EXPECT_EQ(Files("row").size(), 40u - c.writtenFirst);
    if (c.batch == Batch::GoneAfterDraw) {
      // Put back with the identifiers in their names: written later under those, none drawn again.
      const int draws = farm.Draws();
      EXPECT_EQ(Files(".idrow").size(), 40u);
      for (const std::string& row : Files("row")) EXPECT_NE(row.find(".Log"), row.find(".lap")) << row;
      farm.down = false;
      report = spool.Drain(farm.Callbacks(), std::nullopt);
      EXPECT_EQ(report.written, 40u);
      EXPECT_EQ(farm.Draws(), draws);
    } else if (c.batch == Batch::ShortDraw) {
      report = spool.Drain(farm.Callbacks(), std::nullopt);  // one at a time now
      EXPECT_EQ(report.written + report.alreadyWritten, 40u);
    } else {
      EXPECT_LE(batchInserts, 4);  // two kinds in one batch of 64
    }
    const std::map<std::string, int> rows = farm.Rows();
    EXPECT_EQ(rows.size(), 40u);
    for (const auto& [label, times] : rows) EXPECT_EQ(times, 1) << label;
  }
}

TEST_F(SpoolTest, ARowRefusedForItsContentIsSetAsideAndCounted) {
  Spool spool = Make();
  spool.Add(Event(1));
  spool.Add(Event(2));
  spool.CountRefused();  // one refused at its first write
  farm_.refuse = "row-1";
  const DrainReport report = spool.Drain(farm_.Callbacks(), std::nullopt);
  EXPECT_EQ(report.refused, 1u);
  EXPECT_EQ(report.written, 1u);
  const SpoolState state = spool.State();
  EXPECT_EQ(state.refused, 2u);
  EXPECT_EQ(state.refusedAside, 1u);
  EXPECT_EQ(state.rowsWaiting, 0u);
}

// A row that the server declines for a reason not its own stays, and does not hold up the
// rows behind it; several declined in a row stop the drain.
TEST_F(SpoolTest, ADeclinedRowStaysWithoutHoldingUpTheOthers) {
  Spool spool = Make();
  for (int n = 1; n <= 6; ++n) spool.Add(Event(n, DateTime{2026, 12, 7, 10, 0, n}));
  std::set<std::string> declining = {"row-1"};
  DrainCallbacks callbacks = farm_.Callbacks();
  const auto insert = callbacks.insert;
  callbacks.insert = [&](const SpooledRow& row) {
    return declining.count(Label(row)) ? InsertOutcome::Declined : insert(row);
  };
  DrainReport report = spool.Drain(callbacks, std::nullopt);
  EXPECT_EQ(report.declined, 1u);
  EXPECT_EQ(report.written, 5u);
  EXPECT_FALSE(report.serverUnavailable);
  EXPECT_EQ(spool.State().rowsWaiting, 1u);

  for (int n = 7; n <= 10; ++n) spool.Add(Event(n, DateTime{2026, 12, 7, 10, 0, n}));
  declining = {"row-1", "row-7", "row-8", "row-9"};
  report = spool.Drain(callbacks, std::nullopt);
  EXPECT_EQ(report.declined, static_cast<std::uint64_t>(kDeclinedInARowLimit));
  EXPECT_TRUE(report.serverUnavailable);
  EXPECT_EQ(report.written, 0u);  // row-10 waits for the next drain
  EXPECT_EQ(spool.State().rowsWaiting, 5u);
  EXPECT_TRUE(Files("claim").empty());
}

TEST_F(SpoolTest, AHandlerSpendsNoMoreThanItsBudget) {
  Spool spool = Make();
  for (int n = 0; n < 20; ++n) spool.Add(Event(n));
  const DrainReport report = spool.Drain(farm_.Callbacks([](const SpooledRow&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }), 60);
  EXPECT_TRUE(report.outOfTime);
  EXPECT_GE(report.written, 1u);
  EXPECT_LT(report.written, 20u);
  EXPECT_EQ(spool.State().rowsWaiting, 20u - report.written);

  // With no time left at all, one row is still written, so that a large spool always moves.
  EXPECT_EQ(spool.Drain(farm_.Callbacks(), 0).written, 1u);
}

// A process that has run and ended, reaped: its id names no process now.
std::uint32_t EndedProcess() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return static_cast<std::uint32_t>(child);
}

// Claims and temporary files are judged by the process that made them, never by age.
TEST_F(SpoolTest, ClaimsAndTemporaryFilesGoBackOnlyWhenTheirProcessHasEnded) {
  const std::uint64_t initStart = platform_.QueryProcess(1).startTime;  // process 1 always runs
  const std::uint32_t ended = EndedProcess();
  const auto self = static_cast<std::uint32_t>(::getpid());
  const struct {
    const char* what;
    std::uint32_t claimer;
    std::optional<std::uint64_t> start;
    bool takenBack;
  } cases[] = {
      {"a running claimer, its row spooled long ago", 1, initStart, false},
      {"an ended claimer", ended, 77, true},
      {"a claimer's id reused by a later process", 1, initStart + 1, true},
      {"an earlier version's claim, its claimer ended", ended, std::nullopt, true},
      {"an earlier version's claim, its claimer's id running", 1, std::nullopt, false},
      {"a claim of this very process, left over", self, platform_.QueryProcess(self).startTime, true},
  };
  Spool spool = Make();
  for (int n = 0; n < static_cast<int>(std::size(cases)); ++n) spool.Add(Event(n));
  const std::vector<std::string> rows = Files(".row");
  std::vector<std::string> staying;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    Age(rows[i], 3600);
    const std::string claim = ClaimName(rows[i], cases[i].claimer, cases[i].start);
    fs::rename(SpoolPath() / rows[i], SpoolPath() / claim);
    if (!cases[i].takenBack) staying.push_back(claim);
  }
  std::sort(staying.begin(), staying.end());
  const std::string endedTemporary = "x.row." + std::to_string(ended) + "-1.tmp";
  const std::string runningTemporary = "y.row.1-2.tmp";
  std::ofstream(SpoolPath() / endedTemporary) << "half";
  std::ofstream(SpoolPath() / runningTemporary) << "half";
  Age(runningTemporary, 7 * 24 * 3600);

  const DrainReport report = spool.Drain(farm_.Callbacks(), std::nullopt);
  std::map<std::string, int> expected;
  for (std::size_t i = 0; i < std::size(cases); ++i)
    if (cases[i].takenBack) expected["row-" + std::to_string(i)] = 1;
  EXPECT_EQ(report.takenBack, expected.size());
  EXPECT_EQ(farm_.Rows(), expected);
  EXPECT_EQ(Files(".claim"), staying);
  EXPECT_EQ(Files(".tmp"), std::vector<std::string>{runningTemporary});
  EXPECT_EQ(spool.State().rowsClaimed, staying.size());
}

// A spool whose directory cannot be made loses the row, says so, and touches nothing else.
TEST_F(SpoolTest, ASpoolThatCannotBeWrittenLosesTheRowAndSaysSo) {
  test::SetInstallPath(session_, (dir_.Path() / "absent").string());
  platform_.State() = session_;
  Spool spool = Make();
  EXPECT_EQ(spool.Add(Event(1)), SpoolAddResult::Failed);
  EXPECT_FALSE(fs::exists(dir_.Path() / "absent"));
  const DrainReport report = spool.Drain(farm_.Callbacks(), std::nullopt);
  EXPECT_FALSE(report.diskFailed || report.serverUnavailable);
  EXPECT_EQ(farm_.Draws(), 0);
  const SpoolState state = spool.State();
  EXPECT_EQ(state.rowsWaiting, 0u);
  EXPECT_EQ(state.dropped, 0u);
}

TEST_F(SpoolTest, TheToolsSeeWhatWaitsSinceWhenAndWhatWasLost) {
  Spool spool = Make(SpoolSettings{2, 1u << 20, 200, 600});
  spool.Add(Event(1, DateTime{2026, 12, 7, 10, 0, 0}));
  spool.Add(Event(2, DateTime{2026, 12, 7, 9, 30, 5}));
  spool.Add(Event(3));
  spool.CountRefused(2);
  std::ofstream(SpoolPath() / "x.bad") << "?";
  SpoolState state = spool.State();
  const std::string expected = "spool: " + spool.Directory() + "\n" +
                               "rows waiting: 2 (0 being written back)\n"
                               "oldest row: 2026-12-07 09:30:05\n"
                               "bytes: " + std::to_string(state.bytes) + " of 1048576\n"
                               "row limit: 2\n"
                               "dropped rows: 1\n"
                               "refused rows: 2 (0 set aside)\n"
                               "unreadable files set aside: 1\n";
  EXPECT_EQ(DescribeSpoolState(state), expected);
  EXPECT_GT(state.bytes, 0u);
  EXPECT_NE(DescribeSpoolState(SpoolState{}).find("oldest row: none\n"), std::string::npos);
}

// Runs `body` in a child process and returns its exit status.
template <typename Body>
pid_t Fork(Body body) {
  const pid_t child = fork();
  if (child == 0) {
    body();
    _exit(0);
  }
  return child;
}

int Wait(pid_t child) {
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(SpoolTest, TwoProcessesDrainingOneSpoolNeverWriteARowTwice) {
  constexpr int kRows = 150;
  {
    Spool spool = Make();
    for (int n = 0; n < kRows; ++n) ASSERT_EQ(spool.Add(Event(n)), SpoolAddResult::Spooled);
  }
  std::vector<pid_t> children;
  for (int i = 0; i < 2; ++i)
    children.push_back(Fork([&] {
      hosted::HostedPlatform platform(session_);
      Spool spool(platform, *SpoolDirectory(platform), SpoolSettings{});
      spool.Drain(farm_.Callbacks(), std::nullopt);
    }));
  for (pid_t child : children) EXPECT_EQ(Wait(child), 0);

  const std::map<std::string, int> rows = farm_.Rows();
  EXPECT_EQ(rows.size(), static_cast<std::size_t>(kRows));
  for (const auto& [label, count] : rows) EXPECT_EQ(count, 1) << label;
  EXPECT_EQ(farm_.InsertAttempts(), kRows);  // not one insert was even tried twice
  EXPECT_EQ(farm_.Draws(), kRows);
  EXPECT_TRUE(Files("").empty());
}

// A crash right after an insert landed and before its entry was removed: the entry is taken
// back once its claimer has ended, inserted again under the same identifier, answered
// "already there".
TEST_F(SpoolTest, ACrashBetweenInsertAndRemovalWritesNothingTwice) {
  {
    Spool spool = Make();
    for (int n = 0; n < 5; ++n) spool.Add(Event(n));
  }
  int inserts = 0;
  const pid_t child = Fork([&] {
    hosted::HostedPlatform platform(session_);
    Spool spool(platform, *SpoolDirectory(platform), SpoolSettings{});
    spool.Drain(farm_.Callbacks([&](const SpooledRow&) {
      if (++inserts == 3) _exit(9);  // killed before the removal
    }), std::nullopt);
  });
  EXPECT_EQ(Wait(child), 9);
  EXPECT_EQ(farm_.Rows().size(), 3u);
  ASSERT_EQ(Files("claim").size(), 1u);

  Spool spool = Make();
  const DrainReport report = spool.Drain(farm_.Callbacks(), std::nullopt);
  EXPECT_EQ(report.takenBack, 1u);
  EXPECT_EQ(report.alreadyWritten, 1u);
  EXPECT_EQ(report.written, 2u);
  const std::map<std::string, int> rows = farm_.Rows();
  EXPECT_EQ(rows.size(), 5u);
  for (const auto& [label, count] : rows) EXPECT_EQ(count, 1) << label;
  EXPECT_EQ(farm_.Draws(), 5);
  EXPECT_TRUE(Files("").empty());
}

// An earlier version's write-back, as it reads a spool: it takes back every ".claim" (their
// claimers have ended here), claims every "*.row", reads its content, draws a new identifier
// for a row whose content carries none, and inserts it.
void EarlierVersionDrain(const fs::path& spool, FakeFarm& farm) {
  const DrainCallbacks callbacks = farm.Callbacks();
  for (const auto& file : fs::directory_iterator(spool)) {
    const std::string name = file.path().filename().string();
    if (!spool::EndsWith(name, ".claim")) continue;
    const std::string unclaimed = name.substr(0, name.rfind('.', name.size() - 7)) + ".row";
    fs::rename(file.path(), spool / unclaimed);
  }
  for (const auto& file : fs::directory_iterator(spool)) {
    if (!spool::EndsWith(file.path().filename().string(), ".row")) continue;
    std::ifstream in(file.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::optional<SpooledRow> row = DecodeSpoolEntry(bytes);
    ASSERT_TRUE(row) << file.path();
    if (RowIdentifier(*row).empty()) SetRowIdentifier(*row, callbacks.drawIdentifier(RowHead(*row)));
    if (callbacks.insert(*row) != InsertOutcome::Unavailable) fs::remove(file.path());
  }
}

// A session of an earlier version beside this one after an upgrade. Whatever this version
// left with an identifier drawn (a batch put back after its draw, a crash after an insert
// landed, in a batch or alone), the earlier version never writes it a second time, and this
// version writes back the rest, each row once.
TEST_F(SpoolTest, AnEarlierVersionBesideThisOneWritesNoRowTwice) {
  enum class Left { BatchPutBackAfterDraw, CrashAfterBatchInsert, CrashAfterSingleInsert };
  for (const Left left : {Left::BatchPutBackAfterDraw, Left::CrashAfterBatchInsert, Left::CrashAfterSingleInsert}) {
    SCOPED_TRACE(static_cast<int>(left));
    fs::remove_all(SpoolPath());
    FakeFarm farm(dir_.Path() / ("earlier-" + std::to_string(static_cast<int>(left))));
    {
      Spool spool = Make();
      for (int n = 0; n < 6; ++n) ASSERT_EQ(spool.Add(Event(n, DateTime{2026, 12, 7, 10, 0, n})), SpoolAddResult::Spooled);
    }
    const pid_t child = Fork([&] {
      hosted::HostedPlatform platform(session_);
      Spool spool(platform, *SpoolDirectory(platform), SpoolSettings{});
      DrainCallbacks callbacks = farm.Callbacks();
      int inserts = 0;
      if (left == Left::CrashAfterSingleInsert) {
        callbacks = farm.Callbacks([&](const SpooledRow&) {
          if (++inserts == 3) _exit(9);  // killed before the removal
        });
      } else {
        const DrainCallbacks single = callbacks;
        callbacks.drawIdentifiers = [single](const std::string& head, int count) {
          std::vector<std::string> identifiers;
          for (int i = 0; i < count; ++i) identifiers.push_back(single.drawIdentifier(head));
          return identifiers;
        };
        callbacks.insertAll = [single, left](const std::vector<const SpooledRow*>& rows) {
          if (left == Left::BatchPutBackAfterDraw) return false;
          for (const SpooledRow* row : rows) single.insert(*row);
          _exit(9);  // the batch landed; killed before the removals
          return true;
        };
        if (left == Left::BatchPutBackAfterDraw) callbacks.insert = [](const SpooledRow&) { return InsertOutcome::Unavailable; };
      }
      spool.Drain(callbacks, std::nullopt);
    });
    EXPECT_EQ(Wait(child), left == Left::BatchPutBackAfterDraw ? 0 : 9);
    const std::size_t landed = farm.Rows().size();
    EXPECT_EQ(landed, left == Left::BatchPutBackAfterDraw ? 0u : left == Left::CrashAfterBatchInsert ? 6u : 3u);

    EarlierVersionDrain(SpoolPath(), farm);
    for (const auto& [label, count] : farm.Rows()) EXPECT_EQ(count, 1) << label;

    Spool spool = Make();
    const DrainReport report = spool.Drain(farm.Callbacks(), std::nullopt);
    EXPECT_EQ(report.alreadyWritten, left == Left::CrashAfterSingleInsert ? 1u : landed);
    const std::map<std::string, int> rows = farm.Rows();
    EXPECT_EQ(rows.size(), 6u);
    for (const auto& [label, count] : rows) EXPECT_EQ(count, 1) << label;
    EXPECT_TRUE(Files("").empty());
  }
}

// Rows the previous version kept with their identifier in a ".row" name (and its claims)
// are read with that identifier and leave under this version's names.
TEST_F(SpoolTest, RowsOfThePreviousVersionKeepTheIdentifierInTheirName) {
  {
    Spool spool = Make();
    spool.Add(Event(1));
    spool.Add(Event(2));
  }
  const std::vector<std::string> rows = Files(".row");
  ASSERT_EQ(rows.size(), 2u);
  const std::string base0 = rows[0].substr(0, rows[0].size() - 4), base1 = rows[1].substr(0, rows[1].size() - 4);
  fs::rename(SpoolPath() / rows[0], SpoolPath() / (base0 + ".Log00000042.row"));
  fs::rename(SpoolPath() / rows[1], SpoolPath() / (base1 + ".Log00000043.000004d2-00000000000003e8.claim"));
  DrainCallbacks callbacks = farm_.Callbacks();
  callbacks.insert = [](const SpooledRow&) { return InsertOutcome::Unavailable; };
  Spool spool = Make();
  spool.Drain(callbacks, std::nullopt);
  EXPECT_EQ(Files(".idrow"), (std::vector<std::string>{base0 + ".Log00000042.idrow", base1 + ".Log00000043.idrow"}));
  EXPECT_EQ(farm_.Draws(), 0);
  const DrainReport report = spool.Drain(farm_.Callbacks(), std::nullopt);
  EXPECT_EQ(report.written, 2u);
  EXPECT_EQ(farm_.Draws(), 0);
  EXPECT_TRUE(Files("").empty());
}

// A claimer that stalls in its identifier draw (a paused machine, a resume from sleep) keeps
// its claim however long it stalls; it goes back only once the claimer is killed. Either way
// every row is written exactly once.
TEST_F(SpoolTest, AStalledClaimerKeepsItsClaimAndAKilledOneLosesIt) {
  for (const bool kill : {false, true}) {
    SCOPED_TRACE(kill ? "killed" : "resumed");
    fs::remove_all(SpoolPath());
    {
      Spool spool = Make();
      for (int n = 0; n < 3; ++n) spool.Add(Event(kill ? n + 10 : n));
    }
    int toChild[2];
    ASSERT_EQ(::pipe(toChild), 0);
    const pid_t child = Fork([&] {
      hosted::HostedPlatform platform(session_);
      Spool spool(platform, *SpoolDirectory(platform), SpoolSettings{});
      DrainCallbacks callbacks = farm_.Callbacks();
      const auto draw = callbacks.drawIdentifier;
      callbacks.drawIdentifier = [&](const std::string& head) {
        char go = 0;
        if (::read(toChild[0], &go, 1) != 1) _exit(3);  // stalled until told
        return draw(head);
      };
      spool.Drain(callbacks, std::nullopt);
    });
    while (Files(".claim").empty()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::vector<std::string> claim = Files(".claim");

    Spool spool = Make();
    DrainReport report = spool.Drain(farm_.Callbacks(), std::nullopt);
    EXPECT_EQ(report.takenBack, 0u);
    EXPECT_EQ(report.written, 2u);
    EXPECT_EQ(Files(".claim"), claim);
    if (kill) {
      ::kill(child, SIGKILL);
      EXPECT_EQ(Wait(child), 128 + SIGKILL);
      report = spool.Drain(farm_.Callbacks(), std::nullopt);
      EXPECT_EQ(report.takenBack, 1u);
      EXPECT_EQ(report.written, 1u);
    } else {
      ASSERT_EQ(::write(toChild[1], "g", 1), 1);
      EXPECT_EQ(Wait(child), 0);
    }
    ::close(toChild[0]);
    ::close(toChild[1]);
    const std::map<std::string, int> rows = farm_.Rows();
    EXPECT_EQ(rows.size(), kill ? 6u : 3u);
    for (const auto& [label, count] : rows) EXPECT_EQ(count, 1) << label;
    EXPECT_TRUE(Files("").empty());
  }
}

}  // namespace
}  // namespace qbnotify

namespace qbnotify {
namespace {

// Rows planted by another account never reach the database: a directory in the spool's
// place that is not the library's own is moved aside before anything is read from it.
TEST_F(SpoolTest, RowsPlantedInADirectoryThatIsNotTheLibrarysOwnAreNeverWritten) {
  if (::geteuid() != 0) GTEST_SKIP() << "planting another user's directory needs root";
  const passwd* nobody = ::getpwnam("nobody");
  const uid_t other = nobody ? nobody->pw_uid : 65534;
  // A genuine-looking row, as an attacker would write it.
  const std::string forged = *EncodeSpoolEntry(Event(99));
  const struct {
    const char* what;
    std::function<void(const fs::path&)> plant;
  } cases[] = {
      {"another user's directory, narrowed to 0700 by an earlier version",
       [&](const fs::path& path) {
         fs::create_directory(path);
         ::chmod(path.c_str(), 0700);
         ASSERT_EQ(::chown(path.c_str(), other, other), 0);
       }},
      {"a link to another user's directory",
       [&](const fs::path& path) {
         const fs::path target = dir_.Path() / "planted";
         fs::create_directory(target);
         ASSERT_EQ(::chown(target.c_str(), other, other), 0);
         fs::create_directory_symlink(target, path);
       }},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(SpoolPath().parent_path());
    fs::create_directories(SpoolPath().parent_path());
    fs::remove_all(dir_.Path() / "planted");
    c.plant(SpoolPath());
    std::ofstream(SpoolPath() / "20200101000000-00000001-00000001.row", std::ios::binary) << forged;
    const bool link = fs::is_symlink(SpoolPath());
    fs::path planted = fs::canonical(SpoolPath());
    const fs::perms plantedAccess = fs::status(planted).permissions();

    Spool spool = Make();
    EXPECT_FALSE(spool.HasWaitingRows());
    EXPECT_FALSE(spool.State().directoryProblem.empty());
    DrainReport report = spool.Drain(farm_.Callbacks(), std::nullopt);  // moves it aside
    EXPECT_TRUE(report.directoryRefused);
    EXPECT_EQ(report.written, 0u);
    EXPECT_EQ(spool.Add(Event(++n)), SpoolAddResult::Spooled);  // in a directory of its own
    report = spool.Drain(farm_.Callbacks(), std::nullopt);
    EXPECT_EQ(report.written, 1u);
    EXPECT_EQ(farm_.Rows().count("row-99"), 0u);
    EXPECT_FALSE(fs::is_symlink(SpoolPath()));
    EXPECT_EQ(fs::status(SpoolPath()).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_EQ(spool.State().directoryProblem, "");
    if (!link) {  // moved aside
      for (const auto& entry : fs::directory_iterator(SpoolPath().parent_path()))
        if (entry.path().filename().string().rfind("Spool.untrusted-", 0) == 0) planted = entry.path();
    }
    EXPECT_EQ(fs::status(planted).permissions(), plantedAccess);                // not changed
    EXPECT_TRUE(fs::exists(planted / "20200101000000-00000001-00000001.row"));  // nor emptied
  }
}

// An entry that is a link is never followed: a row pointed at from the spool is not read.
TEST_F(SpoolTest, AnEntryThatIsALinkIsNeverRead) {
  Spool spool = Make();
  spool.Add(Event(1));
  std::ofstream(dir_.Path() / "outside.row", std::ios::binary) << *EncodeSpoolEntry(Event(2));
  fs::create_symlink(dir_.Path() / "outside.row", SpoolPath() / "20200101000000-00000001-00000001.row");
  const DrainReport report = spool.Drain(farm_.Callbacks(), std::nullopt);
  EXPECT_EQ(farm_.Rows(), (std::map<std::string, int>{{"row-1", 1}}));
  EXPECT_EQ(report.written, 1u);
  EXPECT_TRUE(fs::exists(dir_.Path() / "outside.row"));
}

}  // namespace
}  // namespace qbnotify

namespace qbnotify {
namespace {

// A platform on which one entry cannot be read.
class OneUnreadable final : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  FileContent ReadWholeFile(std::string_view path, std::size_t limit) override {
    if (path.find("20200101000000-") != std::string_view::npos && path.find(".claim") != std::string_view::npos)
      return {};
    return PlatformWrapper::ReadWholeFile(path, limit);
  }
};

TEST_F(SpoolTest, AnUnreadableEntryIsSetAsideWithoutHoldingUpTheOthers) {
  Spool spool = Make();
  spool.Add(Event(1, DateTime{2020, 1, 1, 0, 0, 0}));  // the oldest, tried first
  spool.Add(Event(2));
  OneUnreadable platform(platform_);
  Spool other(platform, spool.Directory(), SpoolSettings{});
  const DrainReport report = other.Drain(farm_.Callbacks(), std::nullopt);
  EXPECT_FALSE(report.diskFailed);
  EXPECT_EQ(report.setAside, 1u);
  EXPECT_EQ(farm_.Rows(), (std::map<std::string, int>{{"row-2", 1}}));
  EXPECT_EQ(Files(".bad").size(), 1u);
}

// A platform that cannot flush a directory's renames.
class NoDirectoryFlush final : public PlatformWrapper {
 public:
  using PlatformWrapper::PlatformWrapper;
  FileResult FlushRenames(std::string_view) override { return FileResult::Failed; }
};

// Without the flush a batch's identifiers are settled by one durable write in the directory.
TEST_F(SpoolTest, ABatchWithoutADirectoryFlushSettlesItsIdentifiersByAWrite) {
  Spool spool = Make();
  for (int n = 0; n < 5; ++n) spool.Add(Event(n, DateTime{2026, 12, 7, 10, 0, n}));
  NoDirectoryFlush platform(platform_);
  Spool other(platform, spool.Directory(), SpoolSettings{});
  DrainCallbacks callbacks = farm_.Callbacks();
  std::string firstStored;
  callbacks.drawIdentifiers = [&](const std::string& head, int count) {
    std::vector<std::string> identifiers;
    for (int i = 0; i < count; ++i) identifiers.push_back(callbacks.drawIdentifier(head));
    return identifiers;
  };
  callbacks.insertAll = [&](const std::vector<const SpooledRow*>& rows) {
    const std::vector<std::string> claims = Files("claim");
    std::ifstream in(SpoolPath() / claims.front(), std::ios::binary);
    const std::optional<SpooledRow> stored =
        DecodeSpoolEntry(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()));
    firstStored = stored ? RowIdentifier(*stored) : "";
    for (const SpooledRow* row : rows) callbacks.insert(*row);
    return true;
  };
  const DrainReport report = other.Drain(callbacks, std::nullopt);
  EXPECT_FALSE(report.diskFailed);
  EXPECT_EQ(report.written, 5u);
  EXPECT_EQ(firstStored, "Log10000000");  // the oldest row's entry, rewritten durably
}

// The spool's own files do not count towards its limits, and are bounded themselves.
TEST_F(SpoolTest, BookkeepingFilesAreBoundedAndLeaveTheLimitsToRows) {
  const std::size_t entryBytes = EncodeSpoolEntry(Event(1))->size() + spool::kIdentifierRoom;
  Spool spool = Make(SpoolSettings{2, 2 * entryBytes, 200, 600});
  spool.Add(Event(1));
  std::ofstream(SpoolPath() / "old.bad") << std::string(10 * entryBytes, 'x');
  std::ofstream(SpoolPath() / "counts-00000001.cnt.bad") << std::string(10 * entryBytes, 'x');
  EXPECT_EQ(spool.Add(Event(2)), SpoolAddResult::Spooled);
  EXPECT_EQ(spool.Add(Event(3)), SpoolAddResult::Dropped);
  // A row of an earlier version, whose name tells no size, counts with its file's.
  fs::remove(SpoolPath() / Files(".row").back());
  std::ofstream(SpoolPath() / "20261207090000-00000001-00000001.row") << std::string(entryBytes + 1, 'x');
  EXPECT_EQ(spool.Add(Event(4)), SpoolAddResult::Dropped);

  // The counts of ended processes are folded into the counting process's own file.
  const std::uint32_t ended = EndedProcess();
  char name[32];
  std::snprintf(name, sizeof name, "counts-%08x.cnt", ended);
  std::ofstream(SpoolPath() / name) << spool::EncodeCounts({5, 2});
  std::ofstream(SpoolPath() / "counts-00000001.cnt") << spool::EncodeCounts({1, 1});  // process 1 runs
  spool.CountRefused();
  EXPECT_EQ(Files(".cnt").size(), 2u);  // this process's and process 1's
  const SpoolState state = spool.State();
  EXPECT_EQ(state.dropped, 2u + 5u + 1u);
  EXPECT_EQ(state.refused, 1u + 2u + 1u);
}

// Processes adding at once never take the spool past its row limit, and every row that is
// not kept is counted.
TEST_F(SpoolTest, TheLimitsHoldUnderConcurrentAdds) {
  constexpr int kProcesses = 4;
  constexpr int kRowsEach = 40;
  constexpr std::uint64_t kLimit = 60;
  { Make().Add(Event(0)); }  // the directory exists before the race
  fs::remove(SpoolPath() / Files(".row")[0]);
  std::vector<pid_t> children;
  for (int i = 0; i < kProcesses; ++i)
    children.push_back(Fork([&, i] {
      hosted::HostedPlatform platform(session_);
      Spool spool(platform, *SpoolDirectory(platform), SpoolSettings{kLimit, 1u << 30, 200, 600});
      for (int n = 0; n < kRowsEach; ++n) spool.Add(Event(i * 1000 + n));
    }));
  for (pid_t child : children) EXPECT_EQ(Wait(child), 0);
  const SpoolState state = Make().State();
  EXPECT_LE(state.rowsWaiting, kLimit);
  EXPECT_GE(state.rowsWaiting, kLimit - kProcesses);
  EXPECT_EQ(state.rowsWaiting + state.dropped, static_cast<std::uint64_t>(kProcesses * kRowsEach));
}

}  // namespace
}  // namespace qbnotify
