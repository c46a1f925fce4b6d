// Xapian (glass backend): one add_term per token occurrence, so that a term's
// wdf in a document is its count there; one commit at the end.
#include <xapian.h>

#include <filesystem>

#include "engines.h"

namespace bench {
namespace {

class XapianEngine : public Engine {
 public:
  explicit XapianEngine(std::string folder) : folder_(std::move(folder)) {}

  std::size_t build(const std::vector<Mail>& mails, std::size_t n,
                    Clock::time_point deadline) override {
    std::filesystem::remove_all(folder_);
    Xapian::WritableDatabase db(folder_, Xapian::DB_CREATE_OR_OVERWRITE);
    std::size_t done = 0;
    for (; done < n && Clock::now() < deadline; ++done) {
      Xapian::Document document;
      const std::string& text = mails[done].text;
      std::size_t start = 0;
      while (start < text.size()) {
        std::size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) document.add_term(text.substr(start, end - start));
        start = end + 1;
      }
      db.replace_document(static_cast<Xapian::docid>(done + 1), document);
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

  void query(const std::string& token, std::vector<Posting>& out) override {
    out.clear();
    for (Xapian::PostingIterator it = db_.postlist_begin(token), end = db_.postlist_end(token);
         it != end; ++it) {
      out.push_back({*it, it.get_wdf()});
    }
  }

 private:
  std::string folder_;
  Xapian::Database db_;
};

}  // namespace

std::unique_ptr<Engine> make_xapian_engine(const std::string& folder) {
  return std::make_unique<XapianEngine>(folder);
}

}  // namespace bench
