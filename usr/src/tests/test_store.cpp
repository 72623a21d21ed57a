// SPDX-License-Identifier: MIT
// The store through its one interface, the same cases on every engine:
// characters, the chat memory, the admin calls, schema versions.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include "support.h"
#include "support_postgres.h"
#include "support_server.h"
// A change that remembers its owner's address is a job of the server's own.
#include "server_internal.h"

// Runs SQL on an SQLite file outside the store; the first column of the
// first row, or "" when there is none.
static std::string SqliteValue(const std::string &path, const std::string &sql) {
  sqlite3 *db = NULL;
  std::string value;
  EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, NULL),
            SQLITE_OK);
  sqlite3_stmt *statement = NULL;
  EXPECT_EQ(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, NULL), SQLITE_OK)
      << sqlite3_errmsg(db);
  int rc = sqlite3_step(statement);
  if (rc == SQLITE_ROW && sqlite3_column_text(statement, 0) != NULL)
    value = (const char *)sqlite3_column_text(statement, 0);
  EXPECT_TRUE(rc == SQLITE_ROW || rc == SQLITE_DONE) << sqlite3_errmsg(db);
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return value;
}

class StoreTest : public ::testing::TestWithParam<std::string> {
protected:
  void SetUp() override {
    where = GetParam() == "sqlite" ? dir + "store.db" : SharedPostgres()->NewDatabase();
    log = fopen((dir + "store.log").c_str(), "w+");
    setvbuf(log, NULL, _IOLBF, 0);
    ASSERT_EQ(StoreOpen(&store, where.c_str(), log), 0) << Log();
  }
  void TearDown() override {
    StoreClose(&store);
    fclose(log);
    RemoveTree(dir);
  }
  std::string Log() const { return ReadFileText(dir + "store.log"); }
  // SQL run outside the store.
  std::string Value(const std::string &sql) {
    return GetParam() == "sqlite" ? SqliteValue(where, sql) : PostgresValue(where, sql);
  }
  void Reopen() {
    StoreClose(&store);
    ASSERT_EQ(StoreOpen(&store, where.c_str(), log), 0) << Log();
  }
  int Create(const char *name, double now = 1000.0) {
    int created = -1;
    EXPECT_EQ(StoreCreate(&store, name,
                          "$hash$of$"
                          "pw",
                          now, &created),
              0)
        << Log();
    return created;
  }
  Body Update(const char *name, BodyChange change, double now, int *was_dead = NULL) {
    Body body;
    int dead = -1;
    EXPECT_EQ(StoreUpdate(&store, name, change, now, &body, &dead), 0) << Log();
    if (was_dead != NULL) *was_dead = dead;
    return body;
  }
  std::vector<std::string> Heard() {
    std::vector<std::string> lines;
    EXPECT_EQ(StoreListen(&store, &lines), 0) << Log();
    return lines;
  }
  std::string dir = MakeTempDir();
  std::string where;
  FILE *log = NULL;
  Store store;
};

TEST_P(StoreTest, CharactersAreCreatedOnceChangedAndKeptAcrossAReopen) {
  EXPECT_EQ(Create("ann"), 1);
  EXPECT_EQ(Create("ann"), 0);
  Account account;
  int found = -1;
  ASSERT_EQ(StoreFind(&store, "ann", &account, &found), 0);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(account.password_hash, "$hash$of$pw");
  EXPECT_EQ(account.body.asleep, 1);
  EXPECT_EQ(account.body.since, 1000.0);
  ASSERT_EQ(StoreFind(&store, "nobody", &account, &found), 0);
  EXPECT_EQ(found, 0);

  Update("ann", BODY_WAKE, 1000.0);
  // An hour awake, then a drink: thirst cleared, hunger kept.
  Body body = Update("ann", BODY_DRINK, 1000.0 + 3600.0);
  EXPECT_EQ(body.thirst, 0.0);
  EXPECT_EQ(WholePercent(body.hunger), 16);
  EXPECT_EQ(body.asleep, 0);
  Reopen();
  ASSERT_EQ(StoreFind(&store, "ann", &account, &found), 0);
  ASSERT_EQ(found, 1);
  EXPECT_EQ(account.body.thirst, 0.0);
  EXPECT_EQ(WholePercent(account.body.hunger), 16);
  EXPECT_EQ(account.body.since, 1000.0 + 3600.0);
  EXPECT_EQ(account.body.asleep, 0);

  // Looking changes nothing stored; a change to an unknown name fails.
  Update("ann", BODY_KEEP, 1000.0 + 7200.0);
  ASSERT_EQ(StoreFind(&store, "ann", &account, &found), 0);
  EXPECT_EQ(account.body.since, 1000.0 + 3600.0);
  Body ignored;
  int was_dead;
  EXPECT_EQ(StoreUpdate(&store, "nobody", BODY_DRINK, 2000.0, &ignored, &was_dead), 1);
}

TEST_P(StoreTest, DeathIsStoredAndTold) {
  ASSERT_EQ(Create("ann"), 1);
  ASSERT_EQ(Create("bob"), 1);
  int was_dead = -1;
  Body body = Update("ann", BODY_KILL, 1001.0, &was_dead);
  EXPECT_EQ(was_dead, 0);
  EXPECT_EQ(body.dead, 1);
  Update("ann", BODY_DRINK, 1002.0, &was_dead);
  EXPECT_EQ(was_dead, 1);
  // Thirst full while asleep: 12 hours.
  Update("bob", BODY_KEEP, 1000.0 + 12 * 3600.0, &was_dead);
  EXPECT_EQ(was_dead, 1);
  Reopen();
  Account account;
  int found;
  ASSERT_EQ(StoreFind(&store, "bob", &account, &found), 0);
  EXPECT_EQ(account.body.dead, 1);
}

TEST_P(StoreTest, TheMemoryKeepsTheLastHundredLinesInTheDatabase) {
  std::vector<std::string> lines = Heard();
  ASSERT_EQ(lines.size(), 100u);
  EXPECT_EQ(lines.back(), "");
  for (int i = 0; i < 130; i++)
    ASSERT_EQ(StoreSay(&store, "line " + std::to_string(i)), 0) << Log();
  lines = Heard();
  ASSERT_EQ(lines.size(), 100u);
  EXPECT_EQ(lines.front(), "line 30");
  EXPECT_EQ(lines.back(), "line 129");
  Reopen();
  EXPECT_EQ(Heard(), lines);
  // Trimmed there, not only in what is sent.
  EXPECT_EQ(Value("SELECT count(*) FROM lines"), "100");
}

TEST_P(StoreTest, ListShowsEveryCharacterByNameAndRemoveFreesTheName) {
  for (const char *name : {"cid", "ann", "b b"})
    ASSERT_EQ(Create(name), 1);
  Update("cid", BODY_KILL, 1001.0);
  std::vector<CharacterRow> rows;
  ASSERT_EQ(StoreList(&store, &rows), 0);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].name, "ann");
  EXPECT_EQ(rows[1].name, "b b");
  EXPECT_EQ(rows[2].name, "cid");
  EXPECT_EQ(rows[2].body.dead, 1);
  int removed = -1;
  ASSERT_EQ(StoreRemove(&store, "cid", &removed), 0);
  EXPECT_EQ(removed, 1);
  ASSERT_EQ(StoreRemove(&store, "cid", &removed), 0);
  EXPECT_EQ(removed, 0);
  EXPECT_EQ(Create("cid", 5000.0), 1);
  Account account;
  int found;
  ASSERT_EQ(StoreFind(&store, "cid", &account, &found), 0);
  EXPECT_EQ(account.body.dead, 0);
  EXPECT_EQ(account.body.since, 5000.0);
}

TEST_P(StoreTest, OwnersAreKeptAcrossAReopenAndGoWithTheirCharacter) {
  ASSERT_EQ(Create("ann"), 1);
  for (const char *owner : {"192.0.2.7", "2001:db8::/64", "192.0.2.7"}) {
    StoreJob job = StoreJobFor(&store, STORE_UPDATE, "ann");
    job.change = BODY_WAKE;
    job.now = 1000.0;
    job.owner = owner;
    ASSERT_EQ(StoreRunJob(&store, &job), 0) << Log();
  }
  Reopen();
  Account account;
  int found = 0;
  ASSERT_EQ(StoreFind(&store, "ann", &account, &found), 0);
  EXPECT_TRUE(account.owners == "192.0.2.7 2001:db8::/64" ||
              account.owners == "2001:db8::/64 192.0.2.7")
      << account.owners;
  int removed = 0;
  ASSERT_EQ(StoreRemove(&store, "ann", &removed), 0);
  ASSERT_EQ(Create("ann"), 1);
  ASSERT_EQ(StoreFind(&store, "ann", &account, &found), 0);
  EXPECT_EQ(account.owners, "");
}

TEST_P(StoreTest, ADatabaseOfANewerSchemaIsRefused) {
  StoreClose(&store);
  const char *version =
      GetParam() == "sqlite" ? "PRAGMA user_version" : "SELECT version FROM varkel_schema";
  Value(GetParam() == "sqlite" ? "PRAGMA user_version = 99"
                               : "UPDATE varkel_schema SET version = 99");
  EXPECT_EQ(StoreOpen(&store, where.c_str(), log), 1);
  EXPECT_EQ(StoreOpenShared(&store, where.c_str(), "varkel_admin", log), 1);
  EXPECT_NE(Log().find("schema version 99 is newer than this program's 2; use a newer Varkel"),
            std::string::npos)
      << Log();
  EXPECT_EQ(store.db, nullptr);
  // What was there is left as it was.
  EXPECT_EQ(Value(version), "99");
}

INSTANTIATE_TEST_SUITE_P(Engines, StoreTest, ::testing::Values("sqlite", "postgresql"),
                         [](const ::testing::TestParamInfo<std::string> &info) {
                           return info.param;
                         });

// ---- What only an SQLite file has ----------------------------------------------

class SqliteFile : public ::testing::Test {
protected:
  void TearDown() override { RemoveTree(dir); }
  std::string dir = MakeTempDir();
  std::string db = dir + "varkel.db";
};

// The layout of files written before the schema had a version.
TEST_F(SqliteFile, AnUnversionedDatabaseIsMigratedWithItsCharactersAndLines) {
  SqliteValue(db, "CREATE TABLE characters (name TEXT PRIMARY KEY, password_hash TEXT NOT NULL,"
                  " hunger REAL NOT NULL, thirst REAL NOT NULL, sleep REAL NOT NULL,"
                  " asleep INTEGER NOT NULL, dead INTEGER NOT NULL, since REAL NOT NULL)");
  SqliteValue(db, "CREATE TABLE lines (id INTEGER PRIMARY KEY AUTOINCREMENT, text TEXT NOT NULL)");
  SqliteValue(db, "CREATE TRIGGER forget AFTER INSERT ON lines"
                  " BEGIN DELETE FROM lines WHERE id <= NEW.id - 100; END");
  SqliteValue(db, "INSERT INTO characters VALUES ('old', 'h', 10, 20, 30, 0, 0, 500)");
  SqliteValue(db, "INSERT INTO lines (text) VALUES ('old : bonjour')");
  ASSERT_EQ(SqliteValue(db, "PRAGMA user_version"), "0");
  Store store;
  ASSERT_EQ(StoreOpen(&store, db.c_str(), stderr), 0);
  Account account;
  int found = 0;
  ASSERT_EQ(StoreFind(&store, "old", &account, &found), 0);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(account.body.sleep, 30.0);
  std::vector<std::string> lines;
  ASSERT_EQ(StoreListen(&store, &lines), 0);
  EXPECT_EQ(lines.back(), "old : bonjour");
  StoreClose(&store);
  EXPECT_EQ(SqliteValue(db, "PRAGMA user_version"), "2");
}

TEST_F(SqliteFile, OneServerPerFileButTheAdminToolBesideIt) {
  Store server, second, admin;
  ASSERT_EQ(StoreOpen(&server, db.c_str(), stderr), 0);
  FILE *sink = fopen("/dev/null", "w");
  EXPECT_EQ(StoreOpen(&second, db.c_str(), sink), 1);
  ASSERT_EQ(StoreOpenShared(&admin, db.c_str(), "varkel_admin", stderr), 0);
  int created = 0;
  ASSERT_EQ(StoreCreate(&server, "ann", "h", 1.0, &created), 0);
  std::vector<CharacterRow> rows;
  ASSERT_EQ(StoreList(&admin, &rows), 0);
  EXPECT_EQ(rows.size(), 1u);
  int removed = 0;
  ASSERT_EQ(StoreRemove(&admin, "ann", &removed), 0);
  EXPECT_EQ(removed, 1);
  Account account;
  int found = 1;
  ASSERT_EQ(StoreFind(&server, "ann", &account, &found), 0);
  EXPECT_EQ(found, 0);
  StoreClose(&admin);
  StoreClose(&server);
  // Only a server makes a database; the admin tool needs one there.
  EXPECT_EQ(StoreOpenShared(&admin, (dir + "none.db").c_str(), "varkel_admin", sink), 1);
  EXPECT_FALSE(FileExists(dir + "none.db"));
  fclose(sink);
}

TEST_F(SqliteFile, ABackupIsWholeAndPrivate) {
  Store store;
  ASSERT_EQ(StoreOpen(&store, db.c_str(), stderr), 0);
  for (int i = 0; i < 50; i++) {
    int created = 0;
    ASSERT_EQ(StoreCreate(&store, ("p" + std::to_string(i)).c_str(), "h", 1.0, &created), 0);
  }
  ASSERT_EQ(StoreSay(&store, "p1 : salut"), 0);
  std::string copy = dir + "copy.db";
  WriteFileText(copy, "an older backup");
  mode_t old_mask = umask(022);
  EXPECT_EQ(StoreBackup(&store, copy.c_str()), 0);
  umask(old_mask);
  StoreClose(&store);
  struct stat st;
  ASSERT_EQ(stat(copy.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(FileExists(copy + ".partial"));
  EXPECT_EQ(SqliteValue(copy, "PRAGMA integrity_check"), "ok");
  EXPECT_EQ(SqliteValue(copy, "SELECT count(*) FROM characters"), "50");
  EXPECT_EQ(SqliteValue(copy, "SELECT text FROM lines"), "p1 : salut");
  EXPECT_EQ(SqliteValue(copy, "PRAGMA user_version"), "2");
  // A folder that is not there: an error, nothing left behind.
  ASSERT_EQ(StoreOpen(&store, db.c_str(), stderr), 0);
  FILE *sink = fopen("/dev/null", "w");
  store.log = sink;
  EXPECT_EQ(StoreBackup(&store, (dir + "none/copy.db").c_str()), 1);
  StoreClose(&store);
  fclose(sink);
}

// What the fuzzing targets use: a database in memory, no file at all.
TEST_F(SqliteFile, ADatabaseInMemoryServesAndLeavesNoFile) {
  Store store;
  ASSERT_EQ(StoreOpen(&store, ":memory:", stderr), 0);
  int created = 0;
  ASSERT_EQ(StoreCreate(&store, "ann", "h", 1.0, &created), 0);
  EXPECT_EQ(created, 1);
  ASSERT_EQ(StoreSay(&store, "ann : ici"), 0);
  std::vector<std::string> lines;
  ASSERT_EQ(StoreListen(&store, &lines), 0);
  EXPECT_EQ(lines.back(), "ann : ici");
  StoreClose(&store);
  EXPECT_FALSE(FileExists(":memory:"));
}

TEST(StoreEngines, TheDbValueNamesTheEngine) {
  EXPECT_STREQ(StoreEngineFor("postgresql://varkel@db/varkel")->name, "PostgreSQL");
  EXPECT_STREQ(StoreEngineFor("postgres://db:5433/varkel?sslmode=require")->name, "PostgreSQL");
  EXPECT_STREQ(StoreEngineFor("/var/lib/varkel/varkel.db")->name, "SQLite");
  EXPECT_STREQ(StoreEngineFor("postgresql.db")->name, "SQLite");
  EXPECT_STREQ(StoreEngineFor(":memory:")->name, "SQLite");
  // The server makes no folder for a URI.
  EXPECT_EQ(MakeParentFolders("postgresql://varkel@db/varkel"), 0);
  EXPECT_FALSE(FileExists("postgresql:"));
}
