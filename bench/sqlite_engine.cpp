// SQLite FTS5: a contentless table with positions (detail=full), the closest
// FTS5 layout to a token -> (document, count) index. Counts come from the
// fts5vocab 'instance' table, one row per occurrence, grouped by document.
#include <sqlite3.h>

#include <filesystem>
#include <stdexcept>

#include "engines.h"

namespace bench {
namespace {

class SqliteEngine : public Engine {
 public:
  SqliteEngine(std::string file, bool sync) : file_(std::move(file)), sync_(sync) {}
  ~SqliteEngine() override {
    sqlite3_finalize(query_);
    sqlite3_close(db_);
  }

  std::size_t build(const std::vector<Mail>& mails, std::size_t n,
                    Clock::time_point deadline) override {
    std::filesystem::remove(file_);
    check(sqlite3_open(file_.c_str(), &db_), "open");
    exec("CREATE VIRTUAL TABLE t USING fts5(body, content='', tokenize='ascii', detail=full)");
    exec("CREATE VIRTUAL TABLE v USING fts5vocab(t, 'instance')");
    exec("BEGIN");
    sqlite3_stmt* insert = nullptr;
    check(sqlite3_prepare_v2(db_, "INSERT INTO t(rowid, body) VALUES(?, ?)", -1, &insert, nullptr),
          "prepare insert");
    std::size_t done = 0;
    for (; done < n && Clock::now() < deadline; ++done) {
      sqlite3_bind_int64(insert, 1, static_cast<sqlite3_int64>(done + 1));
      sqlite3_bind_text(insert, 2, mails[done].text.data(),
                        static_cast<int>(mails[done].text.size()), SQLITE_STATIC);
      if (sqlite3_step(insert) != SQLITE_DONE) check(sqlite3_errcode(db_), "insert");
      sqlite3_reset(insert);
    }
    sqlite3_finalize(insert);
    exec("COMMIT");
    check(sqlite3_close(db_), "close");
    db_ = nullptr;
    return done;
  }

  uint64_t stored_bytes() const override { return std::filesystem::file_size(file_); }

  void open() override {
    check(sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr), "open");
    // Preparing reads the schema: without it the open would be only a file open.
    check(sqlite3_prepare_v2(db_, "SELECT doc, count(*) FROM v WHERE term=? GROUP BY doc", -1,
                             &query_, nullptr),
          "prepare query");
  }

  void query(const std::string& token, std::vector<Posting>& out) override {
    out.clear();
    sqlite3_bind_text(query_, 1, token.data(), static_cast<int>(token.size()), SQLITE_STATIC);
    int step;
    while ((step = sqlite3_step(query_)) == SQLITE_ROW) {
      out.push_back({static_cast<uint32_t>(sqlite3_column_int64(query_, 0)),
                     static_cast<uint32_t>(sqlite3_column_int(query_, 1))});
    }
    if (step != SQLITE_DONE) check(step, "query");
    sqlite3_reset(query_);
  }

  void close() override {
    sqlite3_finalize(query_);
    query_ = nullptr;
    check(sqlite3_close(db_), "close");
    db_ = nullptr;
  }

  // One transaction per mail, as a host commits each mail it indexes. The
  // open prepares the insert, which reads the schema.
  SessionTimes update_session(const Mail& mail, uint32_t number, uint32_t* doc) override {
    const Clock::time_point start = Clock::now();
    check(sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr), "open");
    if (!sync_) exec("PRAGMA synchronous=OFF");
    sqlite3_stmt* insert = nullptr;
    check(sqlite3_prepare_v2(db_, "INSERT INTO t(rowid, body) VALUES(?, ?)", -1, &insert, nullptr),
          "prepare insert");
    const Clock::time_point opened = Clock::now();
    exec("BEGIN");
    sqlite3_bind_int64(insert, 1, number);
    sqlite3_bind_text(insert, 2, mail.text.data(), static_cast<int>(mail.text.size()),
                      SQLITE_STATIC);
    if (sqlite3_step(insert) != SQLITE_DONE) check(sqlite3_errcode(db_), "insert");
    sqlite3_reset(insert);
    const Clock::time_point added = Clock::now();
    exec("COMMIT");
    const Clock::time_point committed = Clock::now();
    sqlite3_finalize(insert);
    close();
    const Clock::time_point closed = Clock::now();
    const SessionTimes times = session_times(start, opened, added, committed, closed);
    *doc = number;
    return times;
  }

 private:
  void check(int code, const char* what) {
    if (code == SQLITE_OK) return;
    throw std::runtime_error(std::string("sqlite ") + what + ": " +
                             (db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code)));
  }
  void exec(const char* sql) { check(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), sql); }

  std::string file_;
  bool sync_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* query_ = nullptr;
};

}  // namespace

std::unique_ptr<Engine> make_sqlite_engine(const std::string& file, bool sync) {
  return std::make_unique<SqliteEngine>(file, sync);
}

}  // namespace bench
