// Drives random sequences of the exports from the input bytes, on a fresh
// index file, against the reference model of the tests: every answer must
// agree with it, and every save must leave a file that passes the format
// check.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "format_check/format_check.h"
#include "reliability/reference_model.h"
#include "velkor_index.h"

namespace {

using velkor_fuzz::fail;
using velkor_model::kNone;

const char* const kWords[] = {"a",   "b",  "ab", "`g",
                              "ac",  "`h", "A",  "\xE9",
                              "x,y", "to", "be", "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLL"};
const char* const kDelimiters[] = {" ", ",", ", ", "ab", ""};
const char* const kPaths[] = {"docs/a", "docs/A", "b", "\xC3\xA9"};
const uint32_t kHostIds[] = {0, 5, 0x7FFFFFFF, 0x80000000u, 0xFFFFFFF0u, 0xFFFFFFFFu};

class driver {
 public:
  driver(FuzzedDataProvider& in, const std::string& file) : in_(in), file_(file) {}

  void run() {
    open(false);
    for (int step = 0; step < 64 && in_.remaining_bytes() > 0; ++step) one_step();
    idx_close(handle_);
  }

 private:
  void expect(bool ok, const std::string& what) {
    if (!ok) fail(what + " (last error: " + _get_err_id() + " " + _get_err_msg() + ")");
  }

  void open(bool read_only) {
    handle_ = idx_open(file_.c_str(), read_only);
    expect(handle_ != nullptr, "idx_open");
    model_.reopen(read_only);
  }

  uint32_t path_id() {
    if (!model_.current.names.empty() && in_.ConsumeBool()) {
      auto it = model_.current.names.begin();
      std::advance(it, in_.ConsumeIntegralInRange<std::size_t>(0, model_.current.names.size() - 1));
      return static_cast<uint32_t>(it->first);
    }
    return in_.ConsumeBool() ? in_.PickValueInArray(kHostIds) : in_.ConsumeIntegral<uint32_t>();
  }

  std::string text(const std::string& delimiter) {
    std::string out;
    const int pieces = in_.ConsumeIntegralInRange(0, 12);
    for (int i = 0; i < pieces; ++i) {
      if (i > 0) out += in_.ConsumeBool() ? delimiter : delimiter + delimiter;
      out += in_.ConsumeBool() ? std::string(in_.PickValueInArray(kWords))
                               : in_.ConsumeRandomLengthString(8);
    }
    return std::string(out.c_str());  // a C string ends at its first zero byte
  }

  void one_step() {
    switch (in_.ConsumeIntegralInRange(0, 11)) {
      case 0:
      case 1: {
        const std::string path = in_.PickValueInArray(kPaths);
        const bool create = in_.ConsumeBool();
        const uint32_t id = idx_id_of(handle_, path.c_str(), create);
        const uint32_t known = model_.id_of(path);
        if (known != kNone || !create) return expect(id == known, "idx_id_of");
        expect(id != kNone && model_.name_of(id) == nullptr, "idx_id_of create");
        model_.register_path(path, id, static_cast<int32_t>(idx_time_of(handle_, id)));
        return;
      }
      case 2:
      case 3: {
        const std::string delimiter = in_.PickValueInArray(kDelimiters);
        const std::string t = text(delimiter.empty() ? " " : delimiter);
        const uint32_t id = path_id();
        const uint32_t n = idx_index(handle_, id, t.c_str(), delimiter.c_str());
        if (model_.read_only) return expect(n == kNone, "idx_index on a read-only index");
        return expect(n == model_.index(id, t, delimiter), "idx_index");
      }
      case 4: {
        const std::string q = in_.ConsumeBool()
                                  ? std::string(in_.PickValueInArray(kWords))
                                  : std::string(in_.ConsumeRandomLengthString(40).c_str());
        return expect(model_.query(q, ";") == idx_query(handle_, q.c_str(), ";"), "idx_query " + q);
      }
      case 5: {
        const uint32_t id = path_id();
        const uint32_t got = idx_discard(handle_, id);
        if (model_.read_only) return expect(got == kNone, "idx_discard on a read-only index");
        return expect((got != kNone) == model_.discard(id), "idx_discard");
      }
      case 6: {
        const uint32_t id = path_id();
        const velkor_model::path_name* name = model_.name_of(id);
        expect(std::string(idx_path_of(handle_, id)) == (name ? name->path : ""), "idx_path_of");
        return expect(idx_time_of(handle_, static_cast<int32_t>(id)) == (name ? name->time : 0),
                      "idx_time_of");
      }
      case 7:
        expect(idx_count_of(handle_, 3) == static_cast<int32_t>(model_.current.postings.size()),
               "idx_count_of(3)");
        expect(idx_count_of(handle_, 4) == model_.current.path_entry_count(), "idx_count_of(4)");
        return expect(idx_count_of(handle_, 9) == static_cast<int32_t>(model_.current.names.size()),
                      "idx_count_of(9)");
      case 8:
        return expect(idx_get_modify(handle_) == model_.modified, "idx_get_modify");
      case 9:
        idx_adjust_cache(handle_, in_.ConsumeIntegral<int32_t>(), in_.ConsumeIntegral<int32_t>());
        return;
      case 10:
        return save();
      default: {
        // Reopen after a save, read-only or not.
        save();
        idx_close(handle_);
        return open(in_.ConsumeBool());
      }
    }
  }

  void save() {
    const bool ok = idx_save(handle_);
    expect(ok == !model_.read_only, "idx_save");
    if (!ok) return;
    model_.save();
    const std::vector<std::string> findings = velkor::check_index_file(file_);
    if (!findings.empty()) fail("unsound file after a save: " + findings.front());
  }

  FuzzedDataProvider& in_;
  std::string file_;
  idx_handle handle_ = nullptr;
  velkor_model::reference_model model_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::srand(1);
  const std::string& file = velkor_fuzz::scratch_file("ops");
  velkor_fuzz::write_bytes(file, nullptr, 0);
  FuzzedDataProvider in(data, size);
  driver(in, file).run();
  return 0;
}
