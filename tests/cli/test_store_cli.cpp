// sigpat with a detections store: scan --db and monitor --db store every detection with the
// JSON line printed, export prints those lines back (or CSV); bad input and store faults (a
// file size limit, a kill during writes) get one line and an exit status, and lose nothing
// that was reported.
#include <signal.h>
#include <sndfile.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "cli_audio.h"
#include "pg_server.h"
#include "sigpat_runner.h"

namespace {

std::string Sql1(const std::string& db, const std::string& sql) {
  sqlite3* h = nullptr;
  std::string out;
  if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK)
    sqlite3_exec(h, sql.c_str(), [](void* o, int, char** v, char**) {
      *static_cast<std::string*>(o) += v[0] != nullptr ? v[0] : "NULL";
      return 0;
    }, &out, nullptr);
  sqlite3_close(h);
  return out;
}

std::multiset<std::string> Lines(const std::string& text) {
  std::multiset<std::string> lines;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) lines.insert(l);
  return lines;
}

}  // namespace

class StoreCli : public SigpatTest {
 protected:
  static void SetUpTestSuite() {
    OpenDir();
    ASSERT_TRUE(sigpat::synth::WriteAudioFile(File("clip.wav"), Clip(), 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    ASSERT_TRUE(sigpat::synth::WriteAudioFile(File("stream.wav"), Stream(40, {3.0, 12.5, 24.0, 33.0}, 3), 44100, 1,
                                              SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    RunResult r = Run("create " + File("clip.wav") + " -o " + File("clip.tvs"));
    ASSERT_EQ(r.status, 0) << r.err;
  }
  static std::string Db(const std::string& name) { return File(name); }
  // Noise of `seconds` with the clip every 7 s, as a WAV file of the suite (made once).
  static std::string Long(const std::string& name, double seconds) {
    if (!std::filesystem::exists(File(name))) {
      std::vector<double> at;
      for (double t = 2.0; t < seconds - 5.0; t += 7.0) at.push_back(t);
      EXPECT_TRUE(sigpat::synth::WriteAudioFile(File(name), Stream(seconds, at, 5), 44100, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_16));
    }
    return File(name);
  }
  // Starts sigpat in the background, its output in files; returns its process id.
  static pid_t Start(const std::string& args, const std::string& out, const std::string& err = "/dev/null") {
    const pid_t pid = fork();
    if (pid == 0) {
      const std::string cmd = "exec " + std::string(SIGPAT_EXE) + " " + args + " >" + out + " 2>" + err + " </dev/null";
      execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid;
  }
  static bool WaitForLines(const std::string& file, std::size_t n, double seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
      if (Lines(ReadText(file)).size() >= n) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }
  static int Exit(pid_t pid) {
    int raw = 0;
    waitpid(pid, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  }
};

TEST_F(StoreCli, ScanStoresEachDetectionOnceAndExportPrintsItsLinesAndCsv) {
  const std::string label = "Radio \"Zoë\", 1\nnorth";  // quotes, a comma, a newline, non-ASCII
  {
    std::ofstream c(File("cat.csv"), std::ios::binary);
    c << "file,spot_id,advertiser,campaign,version,title\r\nclip.tvs,SP-1,\"Acme, \"\"Inc\"\"\",Winter,v2,<b>Clip</b>\r\n";
  }
  const std::string db = Db("scan.db");
  const std::string scan = "scan --json -p " + File("clip.tvs") + " --db " + db + " --catalogue " + File("cat.csv") +
                           " --label $'Radio \"Zoë\", 1\\nnorth' --start-utc 2026-12-07T06:00:00Z " + File("stream.wav");
  RunResult first = Run(scan);
  ASSERT_EQ(first.status, 0) << first.err;
  ASSERT_EQ(first.outLines().size(), 4u) << first.out;
  const nlohmann::json j = nlohmann::json::parse(first.outLines()[0]);
  EXPECT_EQ(j["input"], label);
  EXPECT_EQ(j["clock"], "start");
  EXPECT_EQ(j["begin_utc"].get<std::string>().substr(0, 20), "2026-12-07T06:00:03.");

  RunResult exported = Run("export --db " + db);
  EXPECT_EQ(exported.status, 0) << exported.err;
  EXPECT_EQ(exported.out, first.out);  // byte for byte
  // The same recording again: nothing stored twice.
  ASSERT_EQ(Run(scan).status, 0);
  EXPECT_EQ(Run("export --db " + db + " --json").out, first.out);
  EXPECT_EQ(Sql1(db, "SELECT count(*) FROM detections"), "4");
  EXPECT_EQ(Sql1(db, "SELECT spot_id || '|' || advertiser || '|' || title FROM patterns"), "SP-1|Acme, \"Inc\"|<b>Clip</b>");
  EXPECT_EQ(Sql1(db, "SELECT count(*) FROM detections WHERE begin_utc IS NOT NULL AND clock = 'start'"), "4");

  // Filters: [from, to) on the begin time, stations by label.
  EXPECT_EQ(Run("export --db " + db + " --from 2026-12-07T06:00:12Z --to 2026-12-07T06:00:30Z").outLines().size(), 2u);
  EXPECT_EQ(Run("export --db " + db + " --station nobody").out, "");
  EXPECT_EQ(Run("export --db " + db + " --station $'Radio \"Zoë\", 1\\nnorth'").out, first.out);

  RunResult csv = Run("export --db " + db + " --csv --to 2026-12-07T06:00:05Z");
  ASSERT_EQ(csv.status, 0) << csv.err;
  const std::string header = "station,pattern,pattern_hash,spot_id,advertiser,campaign,version,title,begin_utc,end_utc,"
                             "clock,begin_s,end_s,begin_sample,end_sample,rule,confidence,distance,threshold,seen,match,evidence\n";
  ASSERT_EQ(csv.out.rfind(header, 0), 0u) << csv.out;
  const std::string row = csv.out.substr(header.size());
  EXPECT_EQ(row.rfind("\"Radio \"\"Zoë\"\", 1\nnorth\",clip.tvs,", 0), 0u) << row;
  EXPECT_NE(row.find(",SP-1,\"Acme, \"\"Inc\"\"\",Winter,v2,<b>Clip</b>,2026-12-07T06:00:03."), std::string::npos) << row;
  EXPECT_NE(row.find(",start,"), std::string::npos) << row;

  // Without --start-utc: no UTC times, keyed by the sample; export still gives the lines.
  RunResult plain = Run("scan --json -p " + File("clip.tvs") + " --db " + Db("plain.db") + " " + File("stream.wav"));
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(Run("export --db " + Db("plain.db")).out, plain.out);
  EXPECT_EQ(Sql1(Db("plain.db"), "SELECT count(*) FROM detections WHERE begin_utc IS NULL"), "4");
}

TEST_F(StoreCli, BadDatabasesCataloguesAndTimesGetOneLineAndTheirExitStatus) {
  const std::string scan = "scan -p " + File("clip.tvs") + " ";
  {
    std::ofstream t(File("notes.txt"));
    t << std::string(5000, 'x');
    std::ofstream c(File("bad.csv"));
    c << "file,spot_id\nclip.tvs,A\nclip.tvs,B\n";
  }
  struct Case {
    std::string args;
    int status;
    std::string message;
    int lines = 1;  // command-line parser's errors: and a line on where to find the usage
  };
  const Case cases[] = {
      {"export --db " + File("missing.db"), 1, "sigpat: error: " + File("missing.db") + ": no such database"},
      {"export --db " + File("notes.txt"), 1, "sigpat: error: " + File("notes.txt") + ": cannot read the database (file is not a database)"},
      {"export --db " + Db("x.db") + " --from yesterday", 2, "--from \"yesterday\" is not an ISO 8601 UTC time"},
      {"export --db " + Db("x.db") + " --json --csv", 2, "excludes", 2},
      {scan + "--db " + File("notes.txt") + " " + File("stream.wav"), 1, "file is not a database"},
      {scan + "--db " + Db("c.db") + " --catalogue " + File("bad.csv") + " " + File("stream.wav"), 1,
       "sigpat: error: " + File("bad.csv") + ":3: \"clip.tvs\" is listed again (first on line 2)"},
      {scan + "--catalogue " + File("bad.csv") + " " + File("stream.wav"), 2, "--catalogue fills the store's patterns: give --db too"},
      {scan + "--start-utc 2026-02-30T00:00:00Z " + File("stream.wav"), 2, "is not an ISO 8601 UTC time"},
      {scan + "--start-utc 2026-12-07T00:00:00Z " + File("stream.wav") + " " + File("clip.wav"), 2,
       "--start-utc gives the time of a single input"},
      {scan + "--db /no/such/dir/s.db " + File("stream.wav"), 1, "/no/such/dir/s.db: cannot open the database"},
  };
  for (const Case& c : cases) {
    RunResult r = Run(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << "\n" << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.lines) << r.err;
    EXPECT_EQ(r.out, "") << c.args;
  }
  EXPECT_FALSE(std::filesystem::exists(File("missing.db")));
}

// A file size limit (a full disk) while detections are written: the scan says which detection
// could not be stored and stops with status 1; what it stored is whole, and a run after it
// stores the rest without storing anything twice.
TEST_F(StoreCli, AFullDiskStopsTheScanAndARunAfterItStoresTheRestOnce) {
  const std::string db = Db("full.db");
  const std::string scan = "scan --json -p " + File("clip.tvs") + " --db " + db + " " + File("stream.wav");
  ASSERT_EQ(Run("export --db " + db).status, 1);
  ASSERT_EQ(Run(scan + " --start-utc 2026-01-01T00:00:00Z").status, 0);  // another airing: the schema and a few rows
  // 36 KiB: room for the shared-memory index (32 KiB) and the first writes of the journal.
  RunResult full = Shell("ulimit -f 36; " + std::string(SIGPAT_EXE) + " " + scan);
  EXPECT_EQ(full.status, 1) << full.err;
  EXPECT_NE(full.err.find("sigpat: error: " + db + ": cannot store the detection of clip.tvs on " + File("stream.wav")),
            std::string::npos) << full.err;
  EXPECT_NE(full.err.find("File too large); stopping"), std::string::npos) << full.err;
  EXPECT_EQ(std::count(full.err.begin(), full.err.end(), '\n'), 1) << full.err;
  EXPECT_GE(full.outLines().size(), 1u);  // the detection it could not store is still printed
  EXPECT_EQ(Sql1(db, "PRAGMA integrity_check"), "ok");
  RunResult after = Run(scan);
  ASSERT_EQ(after.status, 0) << after.err;
  EXPECT_EQ(Sql1(db, "SELECT count(*) FROM detections"), "8");
  EXPECT_EQ(Sql1(db, "SELECT count(DISTINCT json) FROM detections"), "8");
}

// An archive: a database this user may only read, in a folder it cannot write. export reads it
// (a WAL database there cannot get its shared-memory index), a scan into it is one error line.
TEST_F(StoreCli, AReadOnlyArchiveIsReadAndRefusesWrites) {
  if (geteuid() != 0 || std::system("command -v runuser >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "needs root and runuser to run sigpat as nobody";
  char dirTemplate[] = "/tmp/sp-archive-XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate, db = dir + "/airings.db";
  RunResult made = Run("scan --json -p " + File("clip.tvs") + " --db " + db + " --start-utc 2026-12-07T06:00:00Z " +
                       File("stream.wav"));
  ASSERT_EQ(made.status, 0) << made.err;
  std::filesystem::copy_file(File("clip.tvs"), dir + "/clip.tvs");
  std::filesystem::copy_file(File("stream.wav"), dir + "/stream.wav");
  ASSERT_EQ(chmod(db.c_str(), 0444), 0);
  ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
  const std::string asNobody = "runuser -u nobody -- " + std::string(SIGPAT_EXE) + " ";
  RunResult read = Shell(asNobody + "export --db " + db);
  EXPECT_EQ(read.status, 0) << read.err;
  EXPECT_EQ(read.out, made.out);
  RunResult write = Shell(asNobody + "scan -p " + dir + "/clip.tvs --db " + db + " " + dir + "/stream.wav");
  EXPECT_EQ(write.status, 1);
  EXPECT_EQ(write.err, "sigpat: error: " + db + ": cannot store the pattern \"clip.tvs\": attempt to write a readonly database\n");
  chmod(dir.c_str(), 0755);
  std::filesystem::remove_all(dir);
}

#ifdef SIGPAT_WITH_FFMPEG
// Monitor: every detection printed is in the store with its line, the status lines are station
// events; killed (SIGKILL) in the middle of its writes it loses nothing it printed; stopped
// (SIGTERM) it writes and prints the batch waiting first.
TEST_F(StoreCli, MonitorStoresWhatItPrintsAndAKillOrAStopLosesNothingPrinted) {
  const std::string db = Db("monitor.db");
  std::string stations;
  for (int i = 0; i < 3; ++i) stations += " --station s" + std::to_string(i) + "=" + File("stream.wav");
  RunResult m = Run("monitor --json --threads 2 -p " + File("clip.tvs") + stations + " --db " + db + " --status " +
                    File("status.jsonl"));
  ASSERT_EQ(m.status, 0) << m.err;
  ASSERT_EQ(m.outLines().size(), 12u) << m.out;
  EXPECT_EQ(Lines(Run("export --db " + db).out), Lines(m.out));
  EXPECT_EQ(Lines(Sql1(db, "SELECT group_concat(json, char(10)) FROM station_events") + "\n"),
            Lines(ReadText(File("status.jsonl"))));
  EXPECT_EQ(Sql1(db, "SELECT count(*) FROM station_events WHERE station = 's1' AND event = 'connected'"), "1");
  EXPECT_EQ(Sql1(db, "SELECT url FROM stations WHERE label = 's2'"), File("stream.wav"));

  // Twelve long stations, killed once a few detections are out.
  stations.clear();
  for (int i = 0; i < 12; ++i) stations += " --station k" + std::to_string(i) + "=" + Long("long.wav", 600);
  const std::string killed = Db("killed.db"), out = File("killed.out");
  const pid_t pid = Start("monitor --json -p " + File("clip.tvs") + stations + " --db " + killed, out);
  WaitForLines(out, 30, 30);
  kill(pid, SIGKILL);
  ASSERT_EQ(Exit(pid), 128 + SIGKILL);
  // Only whole lines count as printed (a line is written with one write).
  std::multiset<std::string> printed = Lines(ReadText(out));
  ASSERT_GE(printed.size(), 30u);
  ASSERT_LT(printed.size(), 12u * 84u) << "the monitor finished before it was killed";
  EXPECT_EQ(Sql1(killed, "PRAGMA integrity_check"), "ok");
  const std::multiset<std::string> stored = Lines(Run("export --db " + killed).out);
  EXPECT_TRUE(std::includes(stored.begin(), stored.end(), printed.begin(), printed.end()));
  // Stored and not yet printed: at most one batch (64 detections, store_recorder.h), committed
  // while its lines were being printed.
  EXPECT_LE(stored.size(), printed.size() + 64);
  EXPECT_EQ(Sql1(killed, "SELECT count(*) - count(DISTINCT json) FROM detections"), "0");

  // SIGTERM: the batch waiting is written and printed before the exit; the store holds exactly
  // the lines printed.
  const std::string stopped = Db("stopped.db"), stoppedOut = File("stopped.out");
  const pid_t term = Start("monitor --json -p " + File("clip.tvs") + stations + " --db " + stopped, stoppedOut);
  WaitForLines(stoppedOut, 30, 30);
  kill(term, SIGTERM);
  ASSERT_EQ(Exit(term), 128 + SIGTERM);
  printed = Lines(ReadText(stoppedOut));
  ASSERT_GE(printed.size(), 30u);
  ASSERT_LT(printed.size(), 12u * 84u) << "the monitor finished before it was stopped";
  EXPECT_EQ(Lines(Run("export --db " + stopped).out), printed);
}

// PostgreSQL killed (SIGKILL) and restarted while a monitor writes into it: the detections of
// the time between wait in the spool and are written once it is back; in the end the database
// holds every line printed, once. The monitor is held (SIGSTOP) while the server is killed and
// while it restarts, so that it is surely running on both sides of each.
TEST_F(StoreCli, MonitorIntoPostgresOutlivesAServerKilledAndRestarted) {
  sptest::PgServer server(PG_SERVER_SCRIPT);
  if (!server.available()) GTEST_SKIP() << server.reason();
  const std::string url = server.CreateDatabase("monitor");
  std::string stations;
  for (int i = 0; i < 8; ++i) stations += " --station p" + std::to_string(i) + "=" + Long("long.wav", 600);
  const std::string out = File("pg.out"), err = File("pg.err");
  const pid_t pid = Start("monitor --json --threads 2 -p " + File("clip.tvs") + stations + " --db " + url + " --status " +
                              File("pg-status.jsonl"), out, err);
  ASSERT_TRUE(WaitForLines(out, 20, 120)) << ReadText(err);
  kill(pid, SIGSTOP);
  server.Kill();
  kill(pid, SIGCONT);
  const std::size_t atKill = Lines(ReadText(out)).size();
  ASSERT_TRUE(WaitForLines(out, atKill + 20, 120)) << ReadText(err);
  kill(pid, SIGSTOP);
  const std::size_t atRestart = Lines(ReadText(out)).size();
  ASSERT_TRUE(server.Restart());
  kill(pid, SIGCONT);
  EXPECT_EQ(Exit(pid), 0) << ReadText(err);
  const std::multiset<std::string> printed = Lines(ReadText(out));
  EXPECT_GT(printed.size(), atRestart);
  EXPECT_EQ(printed.size(), 8u * 85u);
  EXPECT_EQ(ReadText(err), "");
  RunResult exported = Run("export --db " + url);
  ASSERT_EQ(exported.status, 0) << exported.err;
  EXPECT_EQ(Lines(exported.out), printed);
}
// A monitor started while its PostgreSQL server is down (here: killed after the database was
// made, so the schema is made late) writes into the spool, says so in a status line, and once
// the server is up writes the spool and goes on: every line printed is in the database once.
// A scan meanwhile warns on stderr and leaves its rows in the spool for the next store opened.
TEST_F(StoreCli, MonitorAndScanStartedBeforeTheirPostgresServerStoreEverythingOnce) {
  sptest::PgServer server(PG_SERVER_SCRIPT);
  if (!server.available()) GTEST_SKIP() << server.reason();
  const std::string url = server.CreateDatabase("late");
  server.Kill();
  std::string stations;
  for (int i = 0; i < 4; ++i) stations += " --station l" + std::to_string(i) + "=" + Long("long.wav", 600);
  const std::string out = File("late.out"), err = File("late.err"), status = File("late-status.jsonl");
  const pid_t pid = Start("monitor --json --threads 2 -p " + File("clip.tvs") + stations + " --db " + url + " --status " +
                              status, out, err);
  ASSERT_TRUE(WaitForLines(out, 20, 120)) << ReadText(err);
  kill(pid, SIGSTOP);
  const std::size_t atStart = Lines(ReadText(out)).size();
  ASSERT_TRUE(server.Restart());
  kill(pid, SIGCONT);
  EXPECT_EQ(Exit(pid), 0) << ReadText(err);
  const std::multiset<std::string> printed = Lines(ReadText(out));
  EXPECT_GT(printed.size(), atStart);
  EXPECT_EQ(printed.size(), 4u * 85u);
  EXPECT_EQ(ReadText(err), "");
  const std::string log = ReadText(status);
  const std::size_t away = log.find("\"store_unreachable\""), back = log.find("\"store_reachable\"");
  ASSERT_NE(away, std::string::npos) << log;
  ASSERT_NE(back, std::string::npos) << log;
  EXPECT_LT(away, back);
  EXPECT_NE(log.find("cannot connect"), std::string::npos);
  RunResult exported = Run("export --db " + url);
  ASSERT_EQ(exported.status, 0) << exported.err;
  EXPECT_EQ(Lines(exported.out), printed);

  // A scan while the server is away: a warning, status 0, its rows stored by the next opening.
  server.Kill();
  RunResult scan = Run("scan --json --label away --start-utc 2026-03-01T00:00:00Z -p " + File("clip.tvs") + " " +
                       File("stream.wav") + " --db " + url);
  ASSERT_EQ(scan.status, 0) << scan.err;
  EXPECT_NE(scan.err.find("cannot connect"), std::string::npos) << scan.err;
  EXPECT_NE(scan.err.find("wait in the spool"), std::string::npos) << scan.err;
  ASSERT_TRUE(server.Restart());
  exported = Run("export --db " + url + " --station away");
  ASSERT_EQ(exported.status, 0) << exported.err;
  EXPECT_EQ(Lines(exported.out), Lines(scan.out));
  EXPECT_EQ(Lines(Run("export --db " + url).out).size(), 4u * 85u + 4u);
}
#endif
