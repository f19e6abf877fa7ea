// Whose file a spool is: one process at a time holds it (a second learns
// which), another program's database is refused and left as it was, and a
// spool written before spools were marked is still taken.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "gateway/spool/spool.h"

namespace qor::gateway {
namespace {

class GatewaySpoolOwner : public ::testing::Test {
  protected:
    void SetUp() override {
        char folder[] = "/tmp/qor-spool-owner.XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir_ = folder;
        path_ = dir_ + "/gw.db";
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    // Runs SQL on the file as another program would.
    void Sql(const char *sql) const {
        sqlite3 *db = nullptr;
        ASSERT_EQ(sqlite3_open(path_.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sql;
        sqlite3_close(db);
    }
    std::string Bytes() const {
        std::ifstream f(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(f), {});
    }
    std::unique_ptr<Spool> Open(std::string *why, bool *refused) const {
        std::string aside;
        *refused = false;
        auto spool = Spool::Open(path_, why, &aside, refused);
        EXPECT_EQ(aside, "");
        return spool;
    }

    std::string dir_;
    std::string path_;
};

TEST_F(GatewaySpoolOwner, ASecondProcessIsRefusedWithTheHoldersPid) {
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    pid_t holder = fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
        // The holder: opens the spool, says so, and keeps it until told.
        close(ready[0]);
        close(release[1]);
        std::string why;
        std::string aside;
        auto spool = Spool::Open(path_, &why, &aside);
        char held = spool ? 'y' : 'n';
        (void)!write(ready[1], &held, 1);
        (void)!read(release[0], &held, 1);
        _exit(0);
    }
    close(ready[1]);
    close(release[0]);
    char held = 0;
    ASSERT_EQ(read(ready[0], &held, 1), 1);
    ASSERT_EQ(held, 'y');
    std::string why;
    bool refused = false;
    EXPECT_FALSE(Open(&why, &refused));
    EXPECT_TRUE(refused);
    EXPECT_EQ(why, "in use by another process (pid " + std::to_string(holder) +
                       "); each gateway needs a spool of its own");
    // Once the holder is gone, the spool is free, and whole.
    close(release[1]);
    int status = 0;
    waitpid(holder, &status, 0);
    auto spool = Open(&why, &refused);
    ASSERT_TRUE(spool) << why;
    EXPECT_FALSE(refused);
    close(ready[0]);
}

TEST_F(GatewaySpoolOwner, AnotherProgramsDatabaseIsRefusedUntouched) {
    Sql("CREATE TABLE readings(at INTEGER, value REAL); INSERT INTO readings VALUES(1, 2.5);");
    std::string before = Bytes();
    std::string why;
    bool refused = false;
    EXPECT_FALSE(Open(&why, &refused));
    EXPECT_TRUE(refused);
    EXPECT_EQ(why,
              "not a spool of qor-gateway (application id 0, tables readings); left untouched");
    EXPECT_EQ(Bytes(), before);
    // Nor is a database that has our tables beside others, or another
    // application's id on them.
    Sql("CREATE TABLE messages(id INTEGER); CREATE TABLE streams(topic TEXT); "
        "CREATE TABLE meta(key TEXT);");
    EXPECT_FALSE(Open(&why, &refused));
    EXPECT_TRUE(refused);
    Sql("DROP TABLE readings; PRAGMA application_id = 42;");
    EXPECT_FALSE(Open(&why, &refused));
    EXPECT_NE(why.find("application id 42"), std::string::npos) << why;
    // An empty one another program has marked its own is its own too.
    Sql("DROP TABLE messages; DROP TABLE streams; DROP TABLE meta;");
    before = Bytes();
    EXPECT_FALSE(Open(&why, &refused));
    EXPECT_TRUE(refused);
    EXPECT_EQ(why, "not a spool of qor-gateway (application id 42, no tables); left untouched");
    EXPECT_EQ(Bytes(), before);
}

TEST_F(GatewaySpoolOwner, AnEmptyFileAndAnUnmarkedSpoolAreTakenAndMarked) {
    std::ofstream(path_).close();
    std::string why;
    bool refused = false;
    ASSERT_TRUE(Open(&why, &refused)) << why;
    // A spool of an earlier version: its three tables, no application id.
    std::system(("rm -f '" + path_ + "'*").c_str());
    Sql("CREATE TABLE messages(id INTEGER PRIMARY KEY, topic TEXT NOT NULL, payload BLOB NOT "
        "NULL, correlation BLOB NOT NULL, at_ms INTEGER NOT NULL, size INTEGER NOT NULL);"
        "CREATE TABLE streams(topic TEXT PRIMARY KEY, seq INTEGER NOT NULL);"
        "CREATE TABLE meta(key TEXT PRIMARY KEY, value INTEGER NOT NULL);"
        "INSERT INTO messages VALUES(7, 't', 'p', '', 1, 26);"
        "INSERT INTO streams VALUES('t', 41);");
    auto spool = Open(&why, &refused);
    ASSERT_TRUE(spool) << why;
    EXPECT_EQ(spool->Count(), 1u);
    EXPECT_EQ(spool->Seqs().at("t"), 41u);
    spool.reset();
    // Marked now: a table added later does not make it another's.
    Sql("CREATE TABLE notes(text TEXT);");
    EXPECT_TRUE(Open(&why, &refused)) << why;
}

}  // namespace
}  // namespace qor::gateway
