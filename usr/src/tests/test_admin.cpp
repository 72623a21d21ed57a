// SPDX-License-Identifier: MIT
// varkel_admin beside a running server, and the modes of the files the
// server makes.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "support.h"
#include "support_server.h"

static ProcessResult Admin(const std::vector<std::string> &arguments) {
  std::vector<std::string> argv = {VARKEL_ADMIN_BINARY};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return RunProcess(argv, "/", 30000);
}

static unsigned Mode(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 0777;
}

// The rows of a query on an SQLite file, one column, joined by "\n".
static std::string SqliteRows(const std::string &path, const std::string &sql) {
  sqlite3 *db = NULL;
  std::string rows;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, NULL), SQLITE_OK);
  sqlite3_stmt *statement = NULL;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, NULL), SQLITE_OK);
  while (statement != NULL && sqlite3_step(statement) == SQLITE_ROW)
    rows += std::string((const char *)sqlite3_column_text(statement, 0)) + "\n";
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return rows;
}

class AdminTool : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_GT(server.port, 0) << server.Log();
    ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
    ASSERT_TRUE(CreateCharacter(server.port, "bob", "pw"));
    ASSERT_TRUE(CreateCharacter(server.port, "c d", "pw"));
    Dialog wake(server.port);
    ASSERT_TRUE(Identify(&wake, WIRE_QUERY_CONNECT, "ann", "pw"));
    Dialog end(server.port);
    ASSERT_TRUE(Identify(&end, WIRE_QUERY_UNSUBSCRIBE, "bob", "pw"));
    ASSERT_EQ(end.Hear(), WIRE_FAREWELL);
  }
  void TearDown() override {
    server.Stop(SIGKILL);
    RemoveTree(dir);
  }
  std::string dir = MakeTempDir();
  std::string db = dir + "varkel.db";
  ServerProcess server{db};
};

TEST_F(AdminTool, ListsAndShowsCharactersWithoutTheirHashes) {
  ProcessResult list = Admin({"--db", db, "list"});
  EXPECT_EQ(list.status, 0) << list.out;
  EXPECT_EQ(list.out, "name\tstate\thunger\tthirst\tsleep\tbody\n"
                      "ann\talive\t0\t0\t0\tawake\n"
                      "bob\tdead\t0\t0\t0\tsleeping\n"
                      "c d\talive\t0\t0\t0\tsleeping\n");
  ProcessResult show = Admin({"--db=" + db, "show", "ann"});
  EXPECT_EQ(show.status, 0) << show.out;
  EXPECT_EQ(show.out, "name: ann\nstate: alive\nhunger: 0\nthirst: 0\nsleep: 0\nbody: awake\n");
  ProcessResult unknown = Admin({"--db", db, "show", "zed"});
  EXPECT_EQ(unknown.status, 1);
  EXPECT_EQ(unknown.out, "varkel_admin: no character is named \"zed\"\n");
  for (const ProcessResult &result : {list, show})
    EXPECT_EQ(result.out.find("argon2"), std::string::npos);
}

TEST_F(AdminTool, ARemovedNameIsFreeForAnyoneAndTheServerGoesOn) {
  ProcessResult removed = Admin({"--db", db, "remove", "bob"});
  EXPECT_EQ(removed.status, 0) << removed.out;
  EXPECT_EQ(removed.out, "removed \"bob\"; the name is free\n");
  EXPECT_EQ(Admin({"--db", db, "remove", "bob"}).status, 1);
  // The dead one's name is taken again, with another password.
  ASSERT_TRUE(CreateCharacter(server.port, "bob", "neuf"));
  Dialog wake(server.port);
  EXPECT_TRUE(Identify(&wake, WIRE_QUERY_CONNECT, "bob", "neuf"));
  // A living one can be removed as well; its player is then refused.
  ASSERT_EQ(Admin({"--db", db, "remove", "ann"}).status, 0);
  Dialog gone(server.port);
  EXPECT_EQ(gone.Say(WIRE_VERSION_TEXT), WIRE_OK);
  EXPECT_EQ(gone.Say(WIRE_QUERY_CONNECT), WIRE_OK);
  EXPECT_EQ(gone.Say("ann"), WIRE_BAD_LOGIN);
  EXPECT_EQ(Admin({"--db", db, "list"}).out, "name\tstate\thunger\tthirst\tsleep\tbody\n"
                                             "bob\talive\t0\t0\t0\tawake\n"
                                             "c d\talive\t0\t0\t0\tsleeping\n");
}

// Players keep speaking and drinking while the copy is made.
TEST_F(AdminTool, ABackupWhileServingHoldsEveryCharacterAndPassesTheIntegrityCheck) {
  for (int i = 0; i < 40; i++)
    ASSERT_TRUE(CreateCharacter(server.port, "p" + std::to_string(i), "pw"));
  std::atomic<bool> done(false);
  std::atomic<int> acknowledged(0);
  std::thread players([&] {
    for (int i = 0; i < 2000 && !done; i++) {
      if (Speak(server.port, "ann", "pw", "ligne " + std::to_string(i)) == WIRE_OK) acknowledged++;
    }
  });
  std::vector<std::string> copies;
  for (int i = 0; i < 3; i++) {
    copies.push_back(dir + "backup" + std::to_string(i) + ".db");
    ProcessResult backup = Admin({"--db", db, "backup", copies.back()});
    EXPECT_EQ(backup.status, 0) << backup.out;
    EXPECT_EQ(backup.out, "backup written to " + copies.back() + "\n");
  }
  done = true;
  players.join();
  EXPECT_GT(acknowledged.load(), 0);
  std::set<std::string> sorted = {"ann", "bob", "c d"};
  for (int i = 0; i < 40; i++)
    sorted.insert("p" + std::to_string(i));
  std::string names;
  for (const std::string &name : sorted)
    names += name + "\n";
  for (const std::string &copy : copies) {
    EXPECT_EQ(SqliteRows(copy, "PRAGMA integrity_check"), "ok\n");
    EXPECT_EQ(SqliteRows(copy, "SELECT name FROM characters ORDER BY name"), names);
    EXPECT_EQ(Mode(copy), 0600u);
  }
  // The server served all along and still does.
  EXPECT_EQ(Status(server.port, "ann", "pw").size(), 3u);
}

TEST_F(AdminTool, RefusalsOfTheCommandLine) {
  EXPECT_EQ(Admin({"--db", db}).status, 2);
  EXPECT_EQ(Admin({"--db", db, "frobnicate"}).status, 2);
  EXPECT_EQ(Admin({"--db", db, "show"}).status, 2);
  EXPECT_EQ(Admin({"--db", db, "list", "extra"}).status, 2);
  ProcessResult help = Admin({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("backup FILE"), std::string::npos);
  ProcessResult version = Admin({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.find("varkel_admin version "), 0u) << version.out;
  ProcessResult missing = Admin({"--db", dir + "none.db", "list"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find("none.db: no database there"), std::string::npos) << missing.out;
}

// ---- Without a running server --------------------------------------------------

class AdminFiles : public ::testing::Test {
protected:
  void TearDown() override { RemoveTree(dir); }
  std::string dir = MakeTempDir();
};

// Like the server, the tool finds the tree's database from its own place.
TEST_F(AdminFiles, TheDefaultDatabaseIsTheTreesOwn) {
  ASSERT_EQ(RunProcess({"/bin/mkdir", "-p", dir + "usr/bin"}, "/", 10000).status, 0);
  ASSERT_EQ(RunProcess({"/bin/cp", VARKEL_ADMIN_BINARY, dir + "usr/bin/"}, "/", 10000).status, 0);
  ProcessResult missing = RunProcess({dir + "usr/bin/varkel_admin", "list"}, "/", 30000);
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.out.find(dir + "var/lib/varkel/varkel.db: no database there"),
            std::string::npos)
      << missing.out;
}

TEST_F(AdminFiles, ANewerDatabaseIsRefusedByTheServerAndTheTool) {
  std::string db = dir + "varkel.db";
  sqlite3 *handle = NULL;
  ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(handle, "PRAGMA user_version = 3", NULL, NULL, NULL), SQLITE_OK);
  sqlite3_close(handle);
  ProcessResult server = RunProcess(
      {VARKEL_SERVER_BINARY, "--port", "0", "--listen", "127.0.0.1", "--db", db}, "/", 20000);
  EXPECT_EQ(server.status, 1);
  std::string refusal = "varkel_server: " + db +
                        ": schema version 3 is newer than this program's 2; use a newer Varkel\n";
  EXPECT_NE(server.out.find(refusal), std::string::npos) << server.out;
  ProcessResult list = Admin({"--db", db, "list"});
  EXPECT_EQ(list.status, 1);
  EXPECT_NE(list.out.find("varkel_admin: " + db + ": schema version 3 is newer"), std::string::npos)
      << list.out;
}

// The database holds password hashes: it, its write-ahead log, its shared
// memory and the folder made for it are the owner's alone.
TEST_F(AdminFiles, TheServersFilesArePrivateUnderAnOpenUmask) {
  std::string db = dir + "state/varkel.db";
  mode_t old_mask = umask(022);
  ServerProcess server(db, {}, dir + "server.log");
  umask(old_mask);
  ASSERT_GT(server.port, 0) << server.Log();
  ASSERT_TRUE(CreateCharacter(server.port, "ann", "pw"));
  EXPECT_EQ(Mode(dir + "state"), 0700u);
  EXPECT_EQ(Mode(db), 0600u);
  EXPECT_EQ(Mode(db + "-wal"), 0600u);
  EXPECT_EQ(Mode(db + "-shm"), 0600u);
  // The backup made by the tool under the same umask.
  old_mask = umask(022);
  ProcessResult backup = Admin({"--db", db, "backup", dir + "copy.db"});
  umask(old_mask);
  EXPECT_EQ(backup.status, 0) << backup.out;
  EXPECT_EQ(Mode(dir + "copy.db"), 0600u);
  EXPECT_EQ(server.Stop(SIGTERM), 0);
}

// A backup put back after a kill -9: the stale write-ahead log of the
// replaced database must not be replayed over it, and the file keeps its
// owner and mode. Refused while a server runs on it.
TEST_F(AdminTool, ARestoreOverAStaleWriteAheadLogBringsBackTheBackup) {
  std::string backup = dir + "backup.db";
  ASSERT_EQ(Admin({"--db", db, "backup", backup}).status, 0);
  for (int i = 0; i < 30; i++)
    ASSERT_TRUE(CreateCharacter(server.port, "n" + std::to_string(i), "pw"));
  ProcessResult refused = Admin({"--db", db, "restore", backup});
  EXPECT_EQ(refused.status, 1);
  EXPECT_NE(refused.out.find("varkel_admin: " + db + ": flock: a server runs on it"),
            std::string::npos)
      << refused.out;
  server.Stop(SIGKILL);
  ASSERT_TRUE(FileExists(db + "-wal"));
  ASSERT_EQ(chmod(db.c_str(), 0640), 0);
  // Not a database: refused, the database untouched.
  WriteFileText(dir + "junk.db", std::string(8192, 'x'));
  EXPECT_EQ(Admin({"--db", db, "restore", dir + "junk.db"}).status, 1);
  EXPECT_TRUE(FileExists(db + "-wal"));
  ProcessResult restored = Admin({"--db", db, "restore", backup});
  EXPECT_EQ(restored.status, 0) << restored.out;
  EXPECT_FALSE(FileExists(db + "-wal"));
  EXPECT_FALSE(FileExists(backup + "-wal")) << "the check left files beside the backup";
  EXPECT_FALSE(FileExists(backup + "-shm"));
  EXPECT_EQ(Mode(db), 0640u);
  ServerProcess again{db};
  ASSERT_GT(again.port, 0) << again.Log();
  EXPECT_EQ(Wake(again.port, "ann", "pw"), WIRE_OK);
  EXPECT_EQ(Wake(again.port, "n0", "pw"), WIRE_BAD_LOGIN);
  again.Stop(SIGTERM);
  EXPECT_EQ(SqliteRows(db, "SELECT count(*) FROM characters"), "3\n");
}
