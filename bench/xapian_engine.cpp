// Xapian (glass backend): one add_term per token occurrence, so that a term's
// wdf in a document is its count there; a build commits once at the end, an
// update session once for its mail.
#include <xapian.h>

#include <filesystem>

#include "engines.h"

namespace bench {
namespace {

class XapianEngine : public Engine {
 public:
  XapianEngine(std::string folder, bool sync) : folder_(std::move(folder)), sync_(sync) {}

  std::size_t build(const std::vector<Mail>& mails, std::size_t n,
                    Clock::time_point deadline) override {
    std::filesystem::remove_all(folder_);
    Xapian::WritableDatabase db(folder_, Xapian::DB_CREATE_OR_OVERWRITE);
    std::size_t done = 0;
    for (; done < n && Clock::now() < deadline; ++done) {
      db.replace_document(static_cast<Xapian::docid>(done + 1), document_of(mails[done]));
    }
    db.commit();
    db.close();
    return done;
  }

  uint64_t stored_bytes() const override {
    uint64_t total = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_)) {
      if (entry.is_regular_file()) total += entry.file_size();
    }
    return total;
  }

  void open() override { db_ = Xapian::Database(folder_); }

  void close() override { db_.close(); }

  void query(const std::string& token, std::vector<Posting>& out) override {
    out.clear();
    for (Xapian::PostingIterator it = db_.postlist_begin(token), end = db_.postlist_end(token);
         it != end; ++it) {
      out.push_back({*it, it.get_wdf()});
    }
  }

  SessionTimes update_session(const Mail& mail, uint32_t /*number*/, uint32_t* doc) override {
    const Clock::time_point start = Clock::now();
    Xapian::WritableDatabase db(folder_, Xapian::DB_OPEN | (sync_ ? 0 : Xapian::DB_NO_SYNC));
    const Clock::time_point opened = Clock::now();
    *doc = db.add_document(document_of(mail));
    const Clock::time_point added = Clock::now();
    db.commit();
    const Clock::time_point committed = Clock::now();
    db.close();
    const Clock::time_point closed = Clock::now();
    const SessionTimes times = session_times(start, opened, added, committed, closed);
    return times;
  }

 private:
  static Xapian::Document document_of(const Mail& mail) {
    Xapian::Document document;
    const std::string& text = mail.text;
    std::size_t start = 0;
    while (start < text.size()) {
      std::size_t end = text.find(' ', start);
      if (end == std::string::npos) end = text.size();
      if (end > start) document.add_term(text.substr(start, end - start));
      start = end + 1;
    }
    return document;
  }

  std::string folder_;
  bool sync_;
  Xapian::Database db_;
};

}  // namespace

std::unique_ptr<Engine> make_xapian_engine(const std::string& folder, bool sync) {
  return std::make_unique<XapianEngine>(folder, sync);
}

}  // namespace bench
