// The kernel benchmark: every variant this CPU runs, per operation and size, taking turns with
// a read floor (plain vector loads of the same bytes) within each round.
//
//   bench_kernels [--ops a,b] [--sizes 1k,1M] [--variants avx2,avx512] [--rounds N]
//                 [--batch-us N] [--json FILE] [--offset B] [--clock thread|wall] [--cold]
//                 [--floor-survey] [--list]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "floor.h"
#include "kernels/kernels.h"
#include "platform/compiler.h"
#include "platform/memory.h"
#include "storage.h"

#if TW_ARCH_X86_64
#include <emmintrin.h>
#endif
#if defined(__unix__) || defined(__APPLE__)
#include <time.h>
#endif

namespace tw::bench {
namespace {

using namespace tw::kernels;
using Clock = std::chrono::steady_clock;

constexpr int kNear = 10;          // bits between the query and the last row, its only near one
constexpr size_t kDim = 384;       // encoder input
constexpr size_t kCodeBits = 256;  // encoder output
constexpr size_t kEncodeBatchMax = 10'000;  // encode_batch rows beyond this add only run time
constexpr size_t kRecord = sizeof(CacheEntry);
constexpr size_t kLastAccessed = offsetof(CacheEntry, last_accessed);

volatile uint64_t sink;  // every result ends here, so no call is optimised away

// Bytes past a 64-byte boundary where the inputs that come from NumPy start (--offset): 0, or
// 16 or 48 as NumPy 2 hands out many of its buffers. The store's records and the encoder's
// panels are the module's own allocations, always on a 64-byte line.
size_t start_offset = 0;

enum class Owner { NumPy, Module };

// An input block starting on a 64-byte line (plus `start_offset` for NumPy's), offered for huge
// pages like the module's records and NumPy's large arrays.
template <class T>
class Block {
 public:
  explicit Block(size_t n, Owner owner = Owner::NumPy)
      : n_(n), offset_(owner == Owner::NumPy ? start_offset : 0), p_(allocate(n)) {}
  T* data() const { return reinterpret_cast<T*>(p_.get() + offset_); }
  size_t size() const { return n_; }
  size_t bytes() const { return n_ * sizeof(T); }
  T& operator[](size_t i) const { return data()[i]; }

 private:
  struct Free {
    void operator()(unsigned char* p) const noexcept { aligned_free(p, 64); }
  };
  static unsigned char* allocate(size_t n) {
    const size_t bytes = n * sizeof(T) + 64;
    void* p = aligned_allocate(bytes, 64);
    advise_huge_pages(p, bytes);
    return static_cast<unsigned char*>(p);
  }
  size_t n_;
  size_t offset_;
  std::unique_ptr<unsigned char, Free> p_;
};

[[noreturn]] void fail(const std::string& text) {
  std::fprintf(stderr, "bench_kernels: %s\n", text.c_str());
  std::exit(1);
}

// --- inputs ---

void fill_random(uint64_t* words, size_t n, std::mt19937_64& rng) {
  for (size_t i = 0; i < n; ++i) words[i] = rng();
}

// Flips kNear distinct bits of a `words`-word code.
void flip_near(uint64_t* code, size_t words, std::mt19937_64& rng) {
  std::vector<size_t> bits(words * 64);
  for (size_t i = 0; i < bits.size(); ++i) bits[i] = i;
  std::shuffle(bits.begin(), bits.end(), rng);
  for (int k = 0; k < kNear; ++k) code[bits[k] / 64] ^= uint64_t{1} << (bits[k] % 64);
}

std::vector<float> normal_floats(size_t n, std::mt19937_64& rng) {
  std::normal_distribution<float> dist;
  std::vector<float> v(n);
  for (float& f : v) f = dist(rng);
  return v;
}

// --- cases ---

struct Contender {
  std::string name;  // "floor", "mul+add" or a variant's name
  size_t units;      // rows (or calls) that one call counts for
  std::function<void()> call;
};

struct Case {
  std::string op;                       // "nearest"
  size_t rows;                          // the size asked for
  Op kernel_op;                         // what chosen() is asked about
  size_t words;                         // words a row (of the long codes, for xor_popcount)
  size_t bytes;                         // bytes of codes or records one call reads
  std::string unit;                     // "row" or "call"
  std::vector<std::string> ref_labels;  // per reference, the table row it leads ("encode_batch")
  std::vector<Contender> refs;          // refs[0] is the read floor
  std::vector<std::pair<Isa, Contender>> variants;
  std::vector<std::pair<const void*, size_t>> inputs = {};  // what --cold flushes first
};

using Variants = std::vector<std::pair<Isa, const KernelTable*>>;

Contender variant(const KernelTable* t, size_t units, std::function<void()> call) {
  return Contender{t->name, units, std::move(call)};
}

Contender read_floor_of(std::shared_ptr<const void> keep, const void* p, size_t bytes,
                        size_t units) {
  return Contender{"floor", units, [keep, p, bytes] { sink = sink + read_floor(p, bytes); }};
}

[[noreturn]] void wrong(const char* isa, const std::string& op, size_t rows) {
  fail(std::string(isa) + " gives another result than scalar for " + op + " on " +
       std::to_string(rows) + " rows: not benchmarked");
}

// A rows x words matrix of random codes and a query whose only near row is the last.
struct Matrix {
  Block<uint64_t> codes;
  std::vector<uint64_t> query;
  Matrix(size_t rows, size_t words, uint64_t seed) : codes(rows * words), query(words) {
    std::mt19937_64 rng(seed);
    fill_random(codes.data(), codes.size(), rng);
    std::copy(codes.data() + (rows - 1) * words, codes.data() + rows * words, query.begin());
    flip_near(query.data(), words, rng);
  }
};

Case nearest_case(const std::string& op, size_t words, size_t rows, const Variants& vs) {
  auto m = std::make_shared<Matrix>(rows, words, 1000 + rows + words);
  Case c{op, rows, Op::Nearest, words, m->codes.bytes(), "row", {op}, {}, {}};
  c.inputs = {{m->codes.data(), m->codes.bytes()}};
  c.refs.push_back(read_floor_of(m, m->codes.data(), m->codes.bytes(), rows));
  for (const auto& [isa, t] : vs) {
    const auto f = t->hamming.nearest;
    const Nearest n = f(m->query.data(), m->codes.data(), rows, words);
    if (n.index != rows - 1 || n.distance != kNear) wrong(t->name, op, rows);
    c.variants.emplace_back(isa, variant(t, rows, [m, f, rows, words] {
                              const Nearest r = f(m->query.data(), m->codes.data(), rows, words);
                              sink = sink + r.index + r.distance;
                            }));
  }
  return c;
}

template <class Out, class Run>
Case batch_case(const std::string& op, Op kernel_op, size_t rows, const Variants& vs, Run run) {
  auto m = std::make_shared<Matrix>(rows, 4, 2000 + rows);
  auto out = std::make_shared<Block<Out>>(rows);
  Case c{op, rows, kernel_op, 4, m->codes.bytes(), "row", {op}, {}, {}};
  c.inputs = {{m->codes.data(), m->codes.bytes()}};
  c.refs.push_back(read_floor_of(m, m->codes.data(), m->codes.bytes(), rows));
  std::vector<Out> expected(rows);
  run(*table_for(Isa::Scalar), *m, expected.data());
  for (const auto& [isa, t] : vs) {
    run(*t, *m, out->data());
    if (std::memcmp(out->data(), expected.data(), rows * sizeof(Out)) != 0) {
      wrong(t->name, op, rows);
    }
    c.variants.emplace_back(isa, variant(t, rows, [m, out, t, run] {
                              run(*t, *m, out->data());
                              sink = sink + (*out)[0];
                            }));
  }
  return c;
}

Case distances_case(size_t rows, const Variants& vs) {
  return batch_case<uint32_t>("distances", Op::Distances, rows, vs,
                              [rows](const KernelTable& t, const Matrix& m, uint32_t* out) {
                                t.hamming.distances(m.query.data(), m.codes.data(), rows, 4, out);
                              });
}

Case similarities_case(size_t rows, const Variants& vs) {
  return batch_case<float>("similarities", Op::Similarities, rows, vs,
                           [rows](const KernelTable& t, const Matrix& m, float* out) {
                             t.hamming.similarities(m.query.data(), m.codes.data(), rows, 4, 256.0f,
                                                    out);
                           });
}

// The store's records: random codes and timestamps; the last record holds the query's only
// near code and the oldest last_accessed, so neither scan can stop early.
struct Records {
  Block<unsigned char> bytes;
  uint64_t query[4];
  explicit Records(size_t rows) : bytes(rows * kRecord, Owner::Module) {
    std::mt19937_64 rng(3000 + rows);
    for (size_t r = 0; r < rows; ++r) {
      CacheEntry e;
      fill_random(e.code, 4, rng);
      e.created_at = static_cast<uint32_t>(rng());
      e.last_accessed = 1000 + static_cast<uint32_t>(rng() % (UINT32_MAX - 1000));
      e.access_count = static_cast<uint32_t>(rng() % 100);
      if (r + 1 == rows) e.last_accessed = 7;
      std::memcpy(bytes.data() + r * kRecord, &e, kRecord);
    }
    std::memcpy(query, bytes.data() + (rows - 1) * kRecord, sizeof query);
    flip_near(query, 4, rng);
  }
};

Case records_case(size_t rows, const Variants& vs) {
  auto m = std::make_shared<Records>(rows);
  Case c{"nearest_records",
         rows,
         Op::NearestRecords,
         4,
         m->bytes.bytes(),
         "row",
         {"nearest_records"},
         {},
         {}};
  c.inputs = {{m->bytes.data(), m->bytes.bytes()}};
  c.refs.push_back(read_floor_of(m, m->bytes.data(), m->bytes.bytes(), rows));
  for (const auto& [isa, t] : vs) {
    const auto f = t->hamming.nearest_records;
    const Nearest n = f(m->query, m->bytes.data(), rows, kRecord);
    if (n.index != rows - 1 || n.distance != kNear) wrong(t->name, c.op, rows);
    c.variants.emplace_back(isa, variant(t, rows, [m, f, rows] {
                              const Nearest r = f(m->query, m->bytes.data(), rows, kRecord);
                              sink = sink + r.index + r.distance;
                            }));
  }
  return c;
}

Case argmin_case(size_t rows, const Variants& vs) {
  auto m = std::make_shared<Records>(rows);
  Case c{"argmin_u32", rows, Op::ArgminU32, 4, m->bytes.bytes(), "row", {"argmin_u32"}, {}, {}};
  c.inputs = {{m->bytes.data(), m->bytes.bytes()}};
  c.refs.push_back(read_floor_of(m, m->bytes.data(), m->bytes.bytes(), rows));
  for (const auto& [isa, t] : vs) {
    const auto f = t->hamming.argmin_u32;
    if (f(m->bytes.data() + kLastAccessed, rows, kRecord) != rows - 1) wrong(t->name, c.op, rows);
    c.variants.emplace_back(isa, variant(t, rows, [m, f, rows] {
                              sink = sink + f(m->bytes.data() + kLastAccessed, rows, kRecord);
                            }));
  }
  return c;
}

// Two codes of 4 * rows words each, side by side, so that one read covers both.
Case xor_popcount_case(size_t rows, const Variants& vs) {
  const size_t words = 4 * rows;
  auto m = std::make_shared<Block<uint64_t>>(2 * words);
  std::mt19937_64 rng(4000 + rows);
  fill_random(m->data(), m->size(), rng);
  Case c{"xor_popcount", rows, Op::XorPopcount, words, m->bytes(), "row", {"xor_popcount"}, {}, {}};
  c.inputs = {{m->data(), m->bytes()}};
  c.refs.push_back(read_floor_of(m, m->data(), m->bytes(), rows));
  const uint64_t* a = m->data();
  const uint64_t* b = a + words;
  const uint64_t expected = table_for(Isa::Scalar)->hamming.xor_popcount(a, b, words);
  for (const auto& [isa, t] : vs) {
    const auto f = t->hamming.xor_popcount;
    if (f(a, b, words) != expected) wrong(t->name, c.op, rows);
    c.variants.emplace_back(
        isa, variant(t, rows, [m, f, a, b, words] { sink = sink + f(a, b, words); }));
  }
  return c;
}

// A projection in the encoder's panel layout and `rows` embeddings.
struct EncodeInput {
  Block<float> panels;  // 64-byte aligned, as the encoder keeps them
  Block<float> x;
  std::shared_ptr<Block<uint64_t>> out;
  explicit EncodeInput(size_t rows)
      : panels(panel_count(kCodeBits) * kDim * kPanelRows, Owner::Module),
        x(rows * kDim),
        out(std::make_shared<Block<uint64_t>>(rows * code_words(kCodeBits))) {
    std::mt19937_64 rng(5000 + rows);
    const std::vector<float> m = normal_floats(kCodeBits * kDim, rng);
    std::fill(panels.data(), panels.data() + panels.size(), 0.0f);
    for (size_t r = 0; r < kCodeBits; ++r) {
      for (size_t j = 0; j < kDim; ++j) panels[panel_index(r, j, kDim)] = m[r * kDim + j];
    }
    const std::vector<float> v = normal_floats(rows * kDim, rng);
    std::copy(v.begin(), v.end(), x.data());
  }
  Projection projection() const { return {panels.data(), kDim, kCodeBits}; }
  Embeddings embeddings() const {
    return {reinterpret_cast<const char*>(x.data()), x.size() / kDim,
            static_cast<ptrdiff_t>(kDim * sizeof(float)), sizeof(float)};
  }
  size_t matrix_bytes() const { return panels.bytes(); }
};

// One embedding or a batch; the floor is one read of the projection per embedding, and for a
// batch also the multiply-add ceiling of the same arithmetic.
Case encode_case(size_t rows, const Variants& vs, bool one) {
  auto m = std::make_shared<EncodeInput>(rows);
  const std::string op = one ? "encode" : "encode_batch";
  Case c{op, rows, Op::Encode, 0, m->x.bytes(), one ? "call" : "row", {op}, {}, {}};
  c.inputs = {{m->x.data(), m->x.bytes()}, {m->panels.data(), m->panels.bytes()}};
  c.refs.push_back(read_floor_of(m, m->panels.data(), m->matrix_bytes(), 1));
  if (!one) {
    const FloorKernels& f = widest_floor();
    const auto mul_add = f.mul_add[f.best_mul_add];
    c.ref_labels.push_back(op + " vs mul+add");
    c.refs.push_back(Contender{
        "mul+add", rows, [m, mul_add, rows] {
          sink =
              sink + static_cast<uint64_t>(mul_add(m->panels.data(), m->panels.size(), rows) != 0);
        }});
  }
  const size_t words = rows * code_words(kCodeBits);
  std::vector<uint64_t> expected(words);
  table_for(Isa::Scalar)->encode.encode(m->projection(), m->embeddings(), expected.data());
  for (const auto& [isa, t] : vs) {
    const auto f = t->encode.encode;
    f(m->projection(), m->embeddings(), m->out->data());
    if (!std::equal(expected.begin(), expected.end(), m->out->data())) wrong(t->name, op, rows);
    c.variants.emplace_back(isa, variant(t, rows, [m, f] {
                              f(m->projection(), m->embeddings(), m->out->data());
                              sink = sink + (*m->out)[0];
                            }));
  }
  return c;
}

struct OpSpec {
  const char* name;
  Op op;
  const char* what;
  Case (*make)(size_t rows, const Variants& vs);
  size_t only_rows = 0;        // run at this size alone, whatever the sizes asked for
  size_t max_rows = SIZE_MAX;  // sizes above this are left out
};

const OpSpec kOps[] = {
    {"nearest", Op::Nearest, "nearest of 4-word rows (32 B/row)",
     [](size_t r, const Variants& v) { return nearest_case("nearest", 4, r, v); }},
    {"nearest_w8", Op::Nearest, "nearest of 8-word rows (64 B/row)",
     [](size_t r, const Variants& v) { return nearest_case("nearest_w8", 8, r, v); }},
    {"nearest_w3", Op::Nearest, "nearest of 3-word rows (24 B/row)",
     [](size_t r, const Variants& v) { return nearest_case("nearest_w3", 3, r, v); }},
    {"distances", Op::Distances, "distances of 4-word rows, 4 B out per row", distances_case},
    {"similarities", Op::Similarities, "similarities of 4-word rows, 4 B out per row",
     similarities_case},
    {"nearest_records", Op::NearestRecords, "search of 44-byte records", records_case},
    {"argmin_u32", Op::ArgminU32, "evict_lru: oldest last_accessed of 44-byte records",
     argmin_case},
    {"xor_popcount", Op::XorPopcount, "two long codes, 4 words a row each (64 B/row)",
     xor_popcount_case},
    {"encode", Op::Encode, "one embedding, 384 -> 256 bits, one size",
     [](size_t, const Variants& v) { return encode_case(1, v, true); }, 1},
    {"encode_batch", Op::Encode, "embeddings 384 -> 256 bits, up to 10k rows",
     [](size_t r, const Variants& v) { return encode_case(r, v, false); }, 0, kEncodeBatchMax},
};

// Bytes of one call at `rows` rows, as the cases pass them to chosen().
size_t bytes_for(Op op, size_t rows) {
  switch (op) {
    case Op::NearestRecords:
    case Op::ArgminU32:
      return rows * kRecord;
    case Op::XorPopcount:
      return rows * 64;
    case Op::Encode:
      return rows * kDim * sizeof(float);
    default:
      return rows * 32;
  }
}

// --- timing ---

// Whether batches are timed by the thread's CPU clock (--clock thread, where there is one) rather
// than the wall clock. On a shared machine a batch of a few milliseconds is often preempted,
// and the wall clock then counts the neighbour's time slice as the kernel's.
bool thread_clock = true;

#if defined(CLOCK_THREAD_CPUTIME_ID)
constexpr bool kHasThreadClock = true;
#else
constexpr bool kHasThreadClock = false;
#endif

double now_ns() {
#if defined(CLOCK_THREAD_CPUTIME_ID)
  if (thread_clock) {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
  }
#endif
  return std::chrono::duration<double, std::nano>(Clock::now().time_since_epoch()).count();
}

double batch_ns(const std::function<void()>& f, size_t reps) {
  const double start = now_ns();
  for (size_t i = 0; i < reps; ++i) f();
  return now_ns() - start;
}

// Calls per timed batch so that one batch lasts at least `target` ns; warms caches and pages.
size_t calibrate(const std::function<void()>& f, double target) {
  f();
  size_t reps = 1;
  for (;;) {
    const double t = batch_ns(f, reps);
    if (t >= target) return reps;
    const double want = target / std::max(t, 1.0) * static_cast<double>(reps) * 1.1;
    reps = std::clamp<size_t>(static_cast<size_t>(want), reps * 2, reps * 100);
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The interquartile range over the median: how far a neighbour's load moved the rounds.
double spread(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return (v[n - 1 - (n - 1) / 4] - v[(n - 1) / 4]) / median(v);
}

using Regions = std::vector<std::pair<const void*, size_t>>;

// Writes the regions' lines back to memory and drops them from every cache level (--cold).
void flush(const Regions& regions) {
#if TW_ARCH_X86_64
  for (const auto& [p, n] : regions) {
    const char* bytes = static_cast<const char*>(p);
    for (size_t i = 0; i < n; i += 64) _mm_clflush(bytes + i);
    if (n > 0) _mm_clflush(bytes + n - 1);
  }
  _mm_mfence();
#else
  (void)regions;
#endif
}

// ns per unit of each contender, per round. Each round gives every contender one batch, the
// starting one moving on a place per round. With `cold`, every batch is one call on inputs
// flushed from the caches just before.
std::vector<std::vector<double>> take_turns(const std::vector<const Contender*>& all, int rounds,
                                            double target, const Regions* cold = nullptr) {
  std::vector<size_t> reps;
  for (const Contender* c : all) reps.push_back(cold ? (c->call(), 1) : calibrate(c->call, target));
  std::vector<std::vector<double>> ns(all.size());
  for (int r = 0; r < rounds; ++r) {
    for (size_t k = 0; k < all.size(); ++k) {
      const size_t i = (k + static_cast<size_t>(r)) % all.size();
      if (cold) flush(*cold);
      const double t = batch_ns(all[i]->call, reps[i]);
      ns[i].push_back(t / static_cast<double>(reps[i] * all[i]->units));
    }
  }
  return ns;
}

struct Row {
  std::string op, label, unit;
  Op kernel_op;
  size_t rows, words, bytes;
  std::string ref;  // the reference's name
  double ref_ns;
  double spread;  // the widest of the floor's times' and the variants' ratios' spreads
  std::vector<std::string> names;  // variants run
  std::vector<double> ns, ratio;   // per variant: median ns/unit, median ratio to the reference
  std::string picked;              // chosen(op, words, bytes)
};

std::vector<Row> measure(const Case& c, int rounds, double target, bool cold) {
  std::vector<const Contender*> all;
  for (const Contender& r : c.refs) all.push_back(&r);
  for (const auto& v : c.variants) all.push_back(&v.second);
  const std::vector<std::vector<double>> ns =
      take_turns(all, rounds, target, cold ? &c.inputs : nullptr);
  std::vector<Row> out;
  for (size_t f = 0; f < c.refs.size(); ++f) {
    Row row{c.op,
            c.ref_labels[f],
            c.unit,
            c.kernel_op,
            c.rows,
            c.words,
            c.bytes,
            c.refs[f].name,
            median(ns[f]),
            spread(ns[f]),
            {},
            {},
            {},
            isa_name(chosen(c.kernel_op, c.words, c.bytes))};
    for (size_t v = 0; v < c.variants.size(); ++v) {
      const std::vector<double>& t = ns[c.refs.size() + v];
      std::vector<double> ratios;
      for (int r = 0; r < rounds; ++r) ratios.push_back(t[r] / ns[f][r]);
      row.names.push_back(c.variants[v].second.name);
      row.ns.push_back(median(t));
      row.ratio.push_back(median(ratios));
      row.spread = std::max(row.spread, spread(ratios));
    }
    out.push_back(std::move(row));
  }
  return out;
}

// --- output ---

std::string size_label(size_t n) {
  if (n >= 1'000'000 && n % 1'000'000 == 0) return std::to_string(n / 1'000'000) + "M";
  if (n >= 1'000 && n % 1'000 == 0) return std::to_string(n / 1'000) + "k";
  return std::to_string(n);
}

std::string fixed(double v, int digits) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", digits, v);
  return text;
}

std::string ns_text(double ns) { return fixed(ns, ns < 10 ? 3 : ns < 1000 ? 1 : 0); }

std::string cpu_description() {
  std::ifstream in("/proc/cpuinfo");
  std::string line, model, family, number;
  auto value = [&] { return line.substr(line.find(':') + 2); };
  while (std::getline(in, line)) {
    if (model.empty() && line.rfind("model name", 0) == 0) model = value();
    if (family.empty() && line.rfind("cpu family", 0) == 0) family = value();
    if (number.empty() && line.rfind("model\t", 0) == 0) number = value();
  }
  if (model.empty()) return "unknown CPU";
  return model + (family.empty() ? "" : ", family " + family + " model " + number);
}

std::string variant_line() {
  std::string run, skipped;
  for (Isa isa : kAllIsas) {
    if (const char* why = unavailable_reason(isa)) {
      skipped += std::string(skipped.empty() ? "" : ", ") + isa_name(isa) + " (" + why + ")";
    } else {
      run += std::string(run.empty() ? "" : " ") + isa_name(isa);
    }
  }
  return "variants run natively: " + run + "; skipped: " + (skipped.empty() ? "none" : skipped) +
         "; the module's table, active(): " + active().name + " (the widest it may use)";
}

void print_table(const std::vector<Row>& rows, const std::vector<std::string>& names, int rounds,
                 double target, bool cold) {
  const FloorKernels& f = widest_floor();
  const std::string turn =
      cold ? "one call each on inputs just flushed from every cache level (--cold)"
           : "one timed batch (at least " + fixed(target / 1000, 0) + " us) each, on warm data";
  const char* clock = thread_clock ? "the thread's CPU clock" : "the wall clock";
  std::printf("CPU: %s; %s.\n\n", cpu_description().c_str(), variant_line().c_str());
  std::printf(
      "Nanoseconds per row (per call for `encode`), the median of %d rounds in which the read "
      "floor and every variant take %s, timed by %s; in "
      "brackets the median of the per-round ratios to the floor. Code matrices and embeddings "
      "start %zu bytes past a 64-byte boundary (--offset; NumPy 2 hands out buffers 0, 16 or 48 "
      "bytes past one), the 44-byte records and the projection on one, as the store and the "
      "encoder allocate them. The floor reads the same bytes "
      "with plain %s loads, %d an iteration; for `encode` it is one read of the %zu-byte "
      "projection per embedding, and `vs mul+add` compares with the multiply-add ceiling (%zu "
      "multiplies and adds per embedding, %s, %d embeddings a pass). `picked` is the variant "
      "chosen() names for the call, `fastest` the one with the lowest ratio. After the floor, half "
      "the widest interquartile range over its median among the floor's times and every "
      "variant's ratios: beyond a few percent, a neighbour's load moved the rounds, and the "
      "row deserves another run.\n\n",
      rounds, turn.c_str(), clock, start_offset, f.name, kUnrolls[f.best_read],
      panel_count(kCodeBits) * kDim * kPanelRows * sizeof(float),
      panel_count(kCodeBits) * kDim * kPanelRows, f.name, kBlocks[f.best_mul_add]);
  std::printf("| op | rows | B/row | floor |");
  for (const std::string& n : names) std::printf(" %s |", n.c_str());
  std::printf(" picked | fastest | picked within 3%% |\n|---|---:|---:|---:|");
  for (size_t i = 0; i < names.size(); ++i) std::printf("---:|");
  std::printf("---|---|---|\n");
  for (const Row& r : rows) {
    std::printf("| %s | %s | %s | %s ±%.0f%% |", r.label.c_str(), size_label(r.rows).c_str(),
                r.unit == "call" ? "-" : fixed(double(r.bytes) / double(r.rows), 0).c_str(),
                ns_text(r.ref_ns).c_str(), 100 * r.spread / 2);
    size_t best = 0;
    for (size_t v = 1; v < r.ratio.size(); ++v) {
      if (r.ratio[v] < r.ratio[best]) best = v;
    }
    std::string picked_cell = "not run";
    for (const std::string& n : names) {
      auto it = std::find(r.names.begin(), r.names.end(), n);
      if (it == r.names.end()) {
        std::printf(" - |");
        continue;
      }
      const size_t v = it - r.names.begin();
      std::printf(" %s (%.2fx) |", ns_text(r.ns[v]).c_str(), r.ratio[v]);
      if (n == r.picked) {
        const double over = r.ratio[v] / r.ratio[best] - 1;
        picked_cell = over <= 0.03 ? "yes" : "**no** (+" + fixed(100 * over, 0) + "%)";
      }
    }
    std::printf(" %s | %s | %s |\n", r.picked.c_str(),
                r.names.empty() ? "-" : r.names[best].c_str(), picked_cell.c_str());
  }
}

// Which variant chosen() names per operation and size, for every operation of kAllOps.
void print_choices(const std::vector<size_t>& sizes) {
  std::printf("\nchosen() per operation, for a call over the rows' bytes:\n\n| op |");
  for (size_t s : sizes) std::printf(" %s |", size_label(s).c_str());
  std::printf("\n|---|");
  for (size_t i = 0; i < sizes.size(); ++i) std::printf("---|");
  std::printf("\n");
  for (Op op : kAllOps) {
    bool benched = false;
    for (const OpSpec& s : kOps) benched = benched || s.op == op;
    std::printf("| %s%s |", op_name(op), benched ? "" : " (no benchmark case)");
    for (size_t s : sizes) std::printf(" %s |", isa_name(chosen(op, 4, bytes_for(op, s))));
    std::printf("\n");
  }
}

std::string vendor_name(CpuVendor v) {
  return v == CpuVendor::Intel ? "intel" : v == CpuVendor::Amd ? "amd" : "other";
}

// The run as a record of this CPU (bench/cpus/): who made it, its features and caches, and the
// rows with what each asked chosen() about, so that tests can replay them through choose().
void write_json(const std::string& path, const std::vector<Row>& rows, int rounds, bool cold) {
  std::ofstream out(path);
  if (!out) fail("cannot write " + path);
  out.precision(6);
  const CpuModel m = tw::cpu_model();
  out << "{\"cpu\": \"" << cpu_description() << "\", \"vendor\": \"" << vendor_name(m.vendor)
      << "\", \"family\": " << m.family << ", \"model\": " << m.model << ", \"features\": [";
  bool first = true;
  for (int i = 0; i < static_cast<int>(CpuFeature::Count); ++i) {
    if (!cpu_features().has(static_cast<CpuFeature>(i))) continue;
    out << (first ? "" : ", ") << "\"" << feature_name(static_cast<CpuFeature>(i)) << "\"";
    first = false;
  }
  out << "], \"caches\": {\"l1d\": " << m.caches.l1d << ", \"l2\": " << m.caches.l2
      << ", \"l3\": " << m.caches.l3 << "},\n \"floor\": \"" << widest_floor().name
      << "\", \"rounds\": " << rounds << ", \"clock\": \"" << (thread_clock ? "thread" : "wall")
      << "\", \"offset\": " << start_offset << ", \"cold\": " << (cold ? "true" : "false")
      << ", \"rows\": [\n";
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    out << "  {\"op\": \"" << r.label << "\", \"kernel_op\": \"" << op_name(r.kernel_op)
        << "\", \"words\": " << r.words << ", \"rows\": " << r.rows << ", \"bytes\": " << r.bytes
        << ", \"unit\": \"" << r.unit << "\", \"reference\": \"" << r.ref
        << "\", \"reference_ns\": " << r.ref_ns << ", \"spread\": " << r.spread
        << ", \"picked\": \"" << r.picked << "\", \"variants\": {";
    for (size_t v = 0; v < r.names.size(); ++v) {
      out << (v ? ", " : "") << "\"" << r.names[v] << "\": {\"ns\": " << r.ns[v]
          << ", \"ratio\": " << r.ratio[v] << "}";
    }
    out << "}}" << (i + 1 < rows.size() ? "," : "") << "\n";
  }
  out << "]}\n";
}

// Every read floor and unrolling, and every multiply-add blocking, side by side: which is the
// fastest plain read here.
void floor_survey(const std::vector<size_t>& sizes, int rounds, double target) {
  const std::vector<const FloorKernels*> sets = runnable_floors();
  std::printf("CPU: %s.\n\nRead floors, ns per 32 bytes (median of %d rounds taking turns):\n\n",
              cpu_description().c_str(), rounds);
  std::printf("| floor | loads an iteration |");
  for (size_t s : sizes)
    std::printf(" %s rows (%s B) |", size_label(s).c_str(), size_label(s * 32).c_str());
  std::printf("\n|---|---:|");
  for (size_t i = 0; i < sizes.size(); ++i) std::printf("---:|");
  std::printf("\n");
  std::vector<std::vector<double>> table;  // [size][set * unrolls + u]
  for (size_t s : sizes) {
    auto buf = std::make_shared<Block<uint64_t>>(4 * s);
    std::mt19937_64 rng(s);
    fill_random(buf->data(), buf->size(), rng);
    std::vector<Contender> cs;
    for (const FloorKernels* f : sets) {
      for (size_t u = 0; u < kUnrollCount; ++u) {
        const auto read = f->read[u];
        cs.push_back({f->name, s, [buf, read] {
                        sink = sink + read(reinterpret_cast<const unsigned char*>(buf->data()),
                                           buf->bytes());
                      }});
      }
    }
    std::vector<const Contender*> all;
    for (const Contender& c : cs) all.push_back(&c);
    std::vector<double> med;
    for (const auto& t : take_turns(all, rounds, target)) med.push_back(median(t));
    table.push_back(med);
  }
  for (size_t i = 0; i < sets.size() * kUnrollCount; ++i) {
    std::printf("| %s | %d |", sets[i / kUnrollCount]->name, kUnrolls[i % kUnrollCount]);
    for (const auto& med : table) {
      const bool best = med[i] == *std::min_element(med.begin(), med.end());
      std::printf(" %s%s%s |", best ? "**" : "", ns_text(med[i]).c_str(), best ? "**" : "");
    }
    std::printf("\n");
  }
  const size_t rows = 1000;
  EncodeInput in(1);
  std::vector<Contender> cs;
  for (const FloorKernels* f : sets) {
    for (size_t b = 0; b < kBlockCount; ++b) {
      const auto mul_add = f->mul_add[b];
      const float* m = in.panels.data();
      const size_t n = in.panels.size();
      cs.push_back({f->name, rows, [mul_add, m, n] {
                      sink = sink + static_cast<uint64_t>(mul_add(m, n, rows) != 0);
                    }});
    }
  }
  std::vector<const Contender*> all;
  for (const Contender& c : cs) all.push_back(&c);
  const auto ns = take_turns(all, rounds, target);
  std::printf(
      "\nMultiply-add ceilings, ns per embedding (%zu multiplies and adds), %zu "
      "embeddings a call:\n\n| ceiling | embeddings a pass | ns |\n|---|---:|---:|\n",
      in.panels.size(), rows);
  for (size_t i = 0; i < cs.size(); ++i) {
    std::printf("| %s | %d | %s |\n", cs[i].name.c_str(), kBlocks[i % kBlockCount],
                ns_text(median(ns[i])).c_str());
  }
}

// Keeps a core busy for `ms` milliseconds first, so that the first case does not meet a clock
// still ramping up.
void spin_up(double ms) {
  Block<unsigned char> buf(32 << 10);
  std::fill(buf.data(), buf.data() + buf.size(), 1);
  const auto until = Clock::now() + std::chrono::duration<double, std::milli>(ms);
  while (Clock::now() < until) sink = sink + read_floor(buf.data(), buf.size());
}

// A floor that skipped bytes would flatter every ratio: each must see a lone set bit anywhere,
// from any start.
void check_floors() {
  Block<unsigned char> buf(4096 + 128);
  std::fill(buf.data(), buf.data() + buf.size(), 0);
  for (const FloorKernels* f : runnable_floors()) {
    for (size_t u = 0; u < kUnrollCount; ++u) {
      for (size_t start : {0, 1, 16, 33}) {
        for (size_t n : {1, 15, 17, 63, 65, 127, 129, 1000, 1025, 4096}) {
          unsigned char* p = buf.data() + start;
          for (size_t at = 0; at < n; at += (at + 130 < n ? 61 : 1)) {
            p[at] = 0x40;
            const uint64_t seen = f->read[u](p, n);
            p[at] = 0;
            if (seen == 0) {
              fail(std::string("the ") + f->name + " floor, " + std::to_string(kUnrolls[u]) +
                   " loads an iteration, misses byte " + std::to_string(at) + " of " +
                   std::to_string(n) + " from offset " + std::to_string(start));
            }
          }
        }
      }
    }
  }
}

// --- options ---

std::vector<std::string> split(const std::string& text) {
  std::vector<std::string> out;
  std::stringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    if (!item.empty()) out.push_back(item);
  }
  return out;
}

size_t parse_size(const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  double scale = 1;
  if (*end == 'k' || *end == 'K')
    scale = 1e3, ++end;
  else if (*end == 'M' || *end == 'm')
    scale = 1e6, ++end;
  if (*end != '\0' || !(v * scale >= 1)) fail("not a size: " + text);
  return static_cast<size_t>(std::llround(v * scale));
}

struct Options {
  std::vector<std::string> ops;
  std::vector<size_t> sizes{1'000, 10'000, 100'000, 1'000'000};
  std::vector<std::string> variants;
  int rounds = 15;
  double batch_us = 60;
  std::string json;
  size_t offset = 0;
  bool cold = false;
  bool wall = !kHasThreadClock;
  bool survey = false;
};

void usage() {
  std::printf(
      "usage: bench_kernels [--ops LIST] [--sizes LIST] [--variants LIST] [--rounds N]\n"
      "                     [--batch-us N] [--json FILE] [--offset B] [--clock thread|wall]\n"
      "                     [--cold] [--floor-survey] [--list]\n"
      "  --ops       operations to run (default: all; --list names them)\n"
      "  --sizes     rows, e.g. 1k,10k,100k,1M (the default)\n"
      "  --variants  kernel variants, e.g. avx2,avx512 (default: every one this CPU runs)\n"
      "  --rounds    rounds of turns; medians are taken over them (default 15)\n"
      "  --batch-us  shortest timed batch in microseconds (default 60)\n"
      "  --json      also write the results to FILE\n"
      "  --offset    start the code matrices and embeddings this many bytes past a 64-byte\n"
      "              boundary (0, 16, 32, 48; default 0; NumPy 2 hands out 0, 16 or 48);\n"
      "              records and the projection stay on one, as the module allocates them\n"
      "  --clock     thread (the default where there is one: time on the CPU only, so that a\n"
      "              neighbour's time slice does not count) or wall\n"
      "  --cold      flush the inputs from the caches before every batch of one call: the\n"
      "              DRAM regime, whatever the size (for large sizes: one call is timed)\n"
      "  --floor-survey  compare every read floor and unrolling instead\n");
}

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) fail(a + " needs a value");
      return argv[++i];
    };
    if (a == "--ops") {
      o.ops = split(next());
    } else if (a == "--sizes") {
      o.sizes.clear();
      for (const std::string& s : split(next())) o.sizes.push_back(parse_size(s));
    } else if (a == "--variants") {
      o.variants = split(next());
    } else if (a == "--rounds") {
      o.rounds = std::max(1, std::atoi(next().c_str()));
    } else if (a == "--batch-us") {
      o.batch_us = std::max(1.0, std::atof(next().c_str()));
    } else if (a == "--json") {
      o.json = next();
    } else if (a == "--offset") {
      o.offset = static_cast<size_t>(std::atoi(next().c_str()));
      if (o.offset % 16 != 0 || o.offset >= 64) fail("--offset must be 0, 16, 32 or 48");
    } else if (a == "--clock") {
      const std::string c = next();
      if (c != "thread" && c != "wall") fail("--clock must be thread or wall");
      if (c == "thread" && !kHasThreadClock) fail("no thread CPU clock here: use --clock wall");
      o.wall = c == "wall";
    } else if (a == "--cold") {
      o.cold = true;
#if !TW_ARCH_X86_64
      fail("--cold flushes caches with x86-64's clflush: not available here");
#endif
    } else if (a == "--floor-survey") {
      o.survey = true;
    } else if (a == "--list") {
      for (const OpSpec& s : kOps) std::printf("%-16s %s\n", s.name, s.what);
      std::exit(0);
    } else if (a == "--help" || a == "-h") {
      usage();
      std::exit(0);
    } else {
      usage();
      fail("unknown option " + a);
    }
  }
  for (const std::string& name : o.ops) {
    bool known = false;
    for (const OpSpec& s : kOps) known = known || name == s.name;
    if (!known) fail("unknown operation " + name + " (see --list)");
  }
  for (const std::string& name : o.variants) {
    bool known = false;
    for (Isa isa : kAllIsas) known = known || name == isa_name(isa);
    if (!known) fail("unknown variant " + name);
  }
  return o;
}

int run(int argc, char** argv) {
  const Options o = parse(argc, argv);
  check_floors();
  const double target = o.batch_us * 1000;
  start_offset = o.offset;
  thread_clock = !o.wall;
  spin_up(200);
  if (o.survey) {
    floor_survey(o.sizes, o.rounds, target);
    return 0;
  }
  Variants vs;
  std::vector<std::string> names;
  for (Isa isa : kAllIsas) {
    const KernelTable* t = table_for(isa);
    const bool wanted = o.variants.empty() || std::find(o.variants.begin(), o.variants.end(),
                                                        isa_name(isa)) != o.variants.end();
    if (t == nullptr) {
      if (!o.variants.empty() && wanted) {
        std::fprintf(stderr, "bench_kernels: %s skipped: %s\n", isa_name(isa),
                     unavailable_reason(isa));
      }
      continue;
    }
    if (!wanted) continue;
    vs.emplace_back(isa, t);
    names.push_back(t->name);
  }
  std::vector<Row> rows;
  for (const OpSpec& spec : kOps) {
    if (!o.ops.empty() && std::find(o.ops.begin(), o.ops.end(), spec.name) == o.ops.end()) {
      continue;
    }
    std::vector<size_t> sizes = o.sizes;
    if (spec.only_rows != 0) sizes = {spec.only_rows};
    for (size_t s : sizes) {
      if (s > spec.max_rows) continue;
      const Case c = spec.make(s, vs);
      for (Row& r : measure(c, o.rounds, target, o.cold)) rows.push_back(std::move(r));
    }
  }
  print_table(rows, names, o.rounds, target, o.cold);
  print_choices(o.sizes);
  if (!o.json.empty()) write_json(o.json, rows, o.rounds, o.cold);
  return 0;
}

}  // namespace
}  // namespace tw::bench

int main(int argc, char** argv) { return tw::bench::run(argc, argv); }
