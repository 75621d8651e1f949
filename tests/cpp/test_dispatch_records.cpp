// The dispatch table against the kernel benchmark's records of real CPUs (bench/cpus/): on
// every recorded row, the variant choose() names for that CPU is within 5% of the fastest one
// measured (or within the row's spread, where that is larger), and every exception of the table
// rests on a record of its CPU.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "json_lite.h"
#include "kernels/kernels.h"

namespace tw::kernels {
namespace {

namespace fs = std::filesystem;

struct Record {
  std::string file;
  CpuModel model;
  CpuFeatures features;
  json::Value doc;
};

std::vector<Record> load_records() {
  std::vector<Record> out;
  const fs::path dir(TW_CPU_RECORDS_DIR);
  if (!fs::is_directory(dir)) return out;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() != ".json") continue;
    std::ifstream in(entry.path());
    std::stringstream text;
    text << in.rdbuf();
    Record r{entry.path().filename().string(), {}, {}, json::parse(text.str())};
    const json::Value& d = r.doc;
    const std::string vendor = d["vendor"].text;
    r.model.vendor = vendor == "intel" ? CpuVendor::Intel
                     : vendor == "amd" ? CpuVendor::Amd
                                       : CpuVendor::Other;
    r.model.family = static_cast<uint32_t>(d["family"].number);
    r.model.model = static_cast<uint32_t>(d["model"].number);
    r.model.caches = {static_cast<uint64_t>(d["caches"]["l1d"].number),
                      static_cast<uint64_t>(d["caches"]["l2"].number),
                      static_cast<uint64_t>(d["caches"]["l3"].number)};
    for (const json::Value& f : d["features"].items) {
      for (int i = 0; i < static_cast<int>(CpuFeature::Count); ++i) {
        if (f.text == feature_name(static_cast<CpuFeature>(i))) {
          r.features = r.features.with(static_cast<CpuFeature>(i));
        }
      }
    }
    out.push_back(std::move(r));
  }
  std::sort(out.begin(), out.end(),
            [](const Record& a, const Record& b) { return a.file < b.file; });
  return out;
}

const std::vector<Record>& records() {
  static const std::vector<Record> all = load_records();
  return all;
}

Op op_named(const std::string& name) {
  for (Op op : kAllOps) {
    if (name == op_name(op)) return op;
  }
  throw std::runtime_error("no operation " + name);
}

// One measured case of a record, its runs merged: per variant the lowest ratio to the floor
// any run gave, and the widest spread.
struct Merged {
  Op op;
  size_t words, bytes;
  double spread = 0;
  std::map<std::string, double> ratio;
};

// Keyed by the benchmark's label, rows, start offset and whether the caches were flushed.
using Key = std::tuple<std::string, size_t, int, bool>;

std::map<Key, Merged> merged_rows(const Record& r) {
  std::map<Key, Merged> out;
  for (const json::Value& run : r.doc["runs"].items) {
    for (const json::Value& row : run["rows"].items) {
      if (row["reference"].text != "floor") continue;
      const Key key{row["op"].text, static_cast<size_t>(row["rows"].number),
                    static_cast<int>(run["offset"].number), run["cold"].boolean};
      Merged& m = out[key];
      m.op = op_named(row["kernel_op"].text);
      m.words = static_cast<size_t>(row["words"].number);
      m.bytes = static_cast<size_t>(row["bytes"].number);
      m.spread = std::max(m.spread, row["spread"].number);
      for (const auto& [name, v] : row["variants"].fields) {
        const double ratio = v["ratio"].number;
        auto [it, fresh] = m.ratio.emplace(name, ratio);
        if (!fresh) it->second = std::min(it->second, ratio);
      }
    }
  }
  return out;
}

// Whether this build holds every variant the record measured: a record of another
// architecture's CPU cannot be replayed here.
bool built_here(const Record& r) {
  for (const json::Value& run : r.doc["runs"].items) {
    for (const json::Value& row : run["rows"].items) {
      for (const auto& [name, v] : row["variants"].fields) {
        const auto isa = std::find_if(std::begin(kAllIsas), std::end(kAllIsas),
                                      [&](Isa i) { return name == isa_name(i); });
        if (isa == std::end(kAllIsas) || !runs_on(*isa, required_features(*isa))) return false;
      }
    }
  }
  return true;
}

TEST(DispatchRecords, EveryRecordedCpuGetsTheFastestVariantWithinFivePercent) {
  ASSERT_FALSE(records().empty()) << "no records in " << TW_CPU_RECORDS_DIR;
  size_t replayed = 0;
  for (const Record& r : records()) {
    if (!built_here(r)) continue;
    ++replayed;
    for (const auto& [key, m] : merged_rows(r)) {
      const auto& [label, rows, offset, cold] = key;
      const std::string picked = isa_name(choose(m.op, m.words, m.bytes, r.features, r.model));
      const auto fastest = std::min_element(m.ratio.begin(), m.ratio.end(),
                                            [](auto& a, auto& b) { return a.second < b.second; });
      const auto it = m.ratio.find(picked);
      // The record's spread is the interquartile range over the median: half of it either way.
      const double allowed = std::max(0.05, m.spread / 2);
      SCOPED_TRACE(r.file + ": " + label + " at " + std::to_string(rows) + " rows, offset " +
                   std::to_string(offset) + (cold ? ", cold" : "") + " (" +
                   reach_name(reach_of(m.bytes, r.model.caches)) + "): picked " + picked +
                   ", fastest " + fastest->first);
      ASSERT_NE(it, m.ratio.end()) << "the record did not measure the picked variant";
      EXPECT_LE(it->second, fastest->second * (1 + allowed))
          << picked << " " << it->second << "x the floor, " << fastest->first << " "
          << fastest->second << "x (allowed +" << 100 * allowed << "%)";
    }
  }
  if (replayed == 0) GTEST_SKIP() << "no record of a CPU of this architecture";
}

TEST(DispatchRecords, EveryExceptionRestsOnARecordOfItsCpu) {
  size_t count = 0;
  const Exception* table = exceptions(&count);
  for (size_t i = 0; i < count; ++i) {
    const Exception& e = table[i];
    SCOPED_TRACE(std::string("exception ") + std::to_string(i) + ": " + op_name(e.op) + " " +
                 width_name(e.width) + " " + reach_name(e.from) + "-" + reach_name(e.to) +
                 " -> " + isa_name(e.isa) + ", " + e.record);
    const auto r = std::find_if(records().begin(), records().end(),
                                [&](const Record& rec) { return rec.file == e.record; });
    ASSERT_NE(r, records().end()) << "no such record";
    EXPECT_EQ(r->model.vendor, e.vendor);
    EXPECT_EQ(r->model.family, e.family);
    EXPECT_EQ(r->features.first_missing(e.needs), CpuFeature::Count);
    // At least one measured row falls under it.
    bool covered = false;
    for (const auto& [key, m] : merged_rows(*r)) {
      const Reach reach = reach_of(m.bytes, r->model.caches);
      const bool width = e.width == Width::Any || width_of(m.words) == e.width;
      covered = covered || (m.op == e.op && width && reach >= e.from && reach <= e.to);
    }
    EXPECT_TRUE(covered) << "no row of the record measures this case";
  }
}

}  // namespace
}  // namespace tw::kernels
