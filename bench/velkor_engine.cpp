// velkor index through its C interface, as a host links it.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <unordered_map>

#include "answer_parse.h"
#include "engines.h"
#include "velkor_index.h"

namespace bench {
namespace {

constexpr uint32_t kFailure = 0xFFFFFFFFu;

std::string last_error(const std::string& what) {
  return what + ": " + _get_err_id() + " " + _get_err_msg() + " (" + _get_err_where() + ") " +
         _get_err_params();
}

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(last_error(what)); }

// Closing clears the error record, so its texts are taken first.
[[noreturn]] void fail_closing(idx_handle index, const std::string& what) {
  const std::string error = last_error(what);
  idx_close(index);
  throw std::runtime_error(error);
}

class VelkorEngine : public Engine {
 public:
  VelkorEngine(std::string file, const CacheLimits& limits)
      : file_(std::move(file)), limits_(limits) {}
  ~VelkorEngine() override {
    if (handle_ != nullptr) idx_close(handle_);
  }

  std::size_t build(const std::vector<Mail>& mails, std::size_t n,
                    Clock::time_point deadline) override {
    // The index file must exist; an empty one opens as a new index.
    std::FILE* created = std::fopen(file_.c_str(), "wb");
    if (created == nullptr) throw std::runtime_error("cannot create " + file_);
    std::fclose(created);
    idx_handle index = idx_open(file_.c_str(), false);
    if (index == nullptr) fail("idx_open");
    if (limits_.tokens > 0 || limits_.paths > 0) {
      idx_adjust_cache(index, limits_.tokens, limits_.paths);
    }
    std::size_t done = 0;
    for (; done < n && Clock::now() < deadline; ++done) {
      const uint32_t id = idx_id_of(index, mails[done].path.c_str(), true);
      if (id == kFailure) fail("idx_id_of");
      if (idx_index(index, id, mails[done].text.c_str(), " ") == kFailure) fail("idx_index");
    }
    if (!idx_save(index)) fail("idx_save");
    idx_close(index);
    return done;
  }

  uint64_t stored_bytes() const override { return std::filesystem::file_size(file_); }

  void open() override {
    handle_ = idx_open(file_.c_str(), true);
    if (handle_ == nullptr) fail("idx_open");
  }

  void query(const std::string& token, std::vector<Posting>& out) override {
    parse_answer(idx_query(handle_, token.c_str(), ","), out);
    // A failed query answers "" as a token that is not there does.
    if (*_get_err_id() != '\0') fail("idx_query");
  }

  void close() override {
    if (handle_ != nullptr) idx_close(handle_);
    handle_ = nullptr;
  }

  // A host that indexes one mail per session keeps the engine's cache limits:
  // raising them pays only when many texts go through one handle.
  SessionTimes update_session(const Mail& mail, uint32_t /*number*/, uint32_t* doc) override {
    const Clock::time_point start = Clock::now();
    idx_handle index = idx_open(file_.c_str(), false);
    if (index == nullptr) fail("idx_open");
    const Clock::time_point opened = Clock::now();
    const uint32_t id = idx_id_of(index, mail.path.c_str(), true);
    if (id == kFailure) fail_closing(index, "idx_id_of");
    if (idx_index(index, id, mail.text.c_str(), " ") == kFailure) fail_closing(index, "idx_index");
    const Clock::time_point indexed = Clock::now();
    if (!idx_save(index)) fail_closing(index, "idx_save");
    const Clock::time_point saved = Clock::now();
    idx_close(index);
    const Clock::time_point closed = Clock::now();
    const SessionTimes times = session_times(start, opened, indexed, saved, closed);
    *doc = id;
    return times;
  }

  void map_documents(const std::vector<Mail>& mails, std::size_t n) override {
    for (std::size_t i = 0; i < n; ++i) {
      const uint32_t id = idx_id_of(handle_, mails[i].path.c_str(), false);
      if (id != kFailure) mail_of_id_[id] = static_cast<uint32_t>(i);
    }
  }

  uint32_t mail_of(uint32_t doc) const override {
    auto found = mail_of_id_.find(doc);
    return found == mail_of_id_.end() ? kFailure : found->second;
  }

 private:
  std::string file_;
  CacheLimits limits_;
  idx_handle handle_ = nullptr;
  std::unordered_map<uint32_t, uint32_t> mail_of_id_;
};

}  // namespace

std::unique_ptr<Engine> make_velkor_engine(const std::string& file, const CacheLimits& limits) {
  return std::make_unique<VelkorEngine>(file, limits);
}

}  // namespace bench
