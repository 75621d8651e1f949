// A main for the fuzz targets where libFuzzer is not available (GCC, cross builds run under an
// emulator) or not wanted (coverage): runs every file given, or every file in the directories
// given, once; with `-mutations=N` also N inputs derived from them by small random edits (seed
// fixed, so a run is repeatable), stopping early after `-max_total_time=S` seconds of them. A
// finding aborts as under libFuzzer; the input that caused it is named, and written to
// replay-crash-input in the working directory.
//   replay [-mutations=N] [-max_total_time=S] [-seed=S] FILE_OR_DIR...
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" [[gnu::weak]] int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

// What the abort handler reports: the input running and where it came from.
const std::vector<uint8_t>* g_current = nullptr;
char g_name[512] = "";

extern "C" void on_abort(int) {
  const char* say = "\n== the input: ";
  (void)!write(2, say, std::strlen(say));
  (void)!write(2, g_name, std::strlen(g_name));
  (void)!write(2, ", saved as replay-crash-input\n", 31);
  const int fd = open("replay-crash-input", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd >= 0 && g_current != nullptr) {
    (void)!write(fd, g_current->data(), g_current->size());
    close(fd);
  }
  std::signal(SIGABRT, SIG_DFL);
  std::abort();
}

void run(const std::vector<uint8_t>& input, const std::string& name) {
  g_current = &input;
  std::snprintf(g_name, sizeof g_name, "%s", name.c_str());
  LLVMFuzzerTestOneInput(input.data(), input.size());
}

std::vector<uint8_t> read_file(const std::filesystem::path& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

uint64_t next(uint64_t& state) {
  uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// A few byte flips, overwrites, insertions or deletions, or a splice with another input.
std::vector<uint8_t> mutate(const std::vector<std::vector<uint8_t>>& inputs, uint64_t& state) {
  std::vector<uint8_t> v = inputs[next(state) % inputs.size()];
  const int edits = 1 + static_cast<int>(next(state) % 4);
  for (int e = 0; e < edits; ++e) {
    const uint64_t r = next(state);
    const size_t at = v.empty() ? 0 : static_cast<size_t>(r >> 8) % v.size();
    switch (r % 5) {
      case 0:
        if (!v.empty()) v[at] ^= static_cast<uint8_t>(1u << ((r >> 40) % 8));
        break;
      case 1:
        if (!v.empty()) v[at] = static_cast<uint8_t>(r >> 40);
        break;
      case 2: v.insert(v.begin() + static_cast<ptrdiff_t>(at), static_cast<uint8_t>(r >> 40)); break;
      case 3:
        if (!v.empty()) v.erase(v.begin() + static_cast<ptrdiff_t>(at));
        break;
      default: {
        const std::vector<uint8_t>& other = inputs[(r >> 40) % inputs.size()];
        v.resize(at);
        v.insert(v.end(), other.begin() + static_cast<ptrdiff_t>(std::min(at, other.size())),
                 other.end());
      }
    }
  }
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  long mutations = 0;
  double max_seconds = 0;
  uint64_t seed = 1;
  std::vector<std::filesystem::path> files;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("-mutations=", 0) == 0) {
      mutations = std::strtol(arg.c_str() + 11, nullptr, 10);
    } else if (arg.rfind("-max_total_time=", 0) == 0) {
      max_seconds = std::strtod(arg.c_str() + 16, nullptr);
    } else if (arg.rfind("-seed=", 0) == 0) {
      seed = std::strtoull(arg.c_str() + 6, nullptr, 10);
    } else if (std::filesystem::is_directory(arg)) {
      std::vector<std::filesystem::path> in_dir;
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (entry.is_regular_file()) in_dir.push_back(entry.path());
      }
      std::sort(in_dir.begin(), in_dir.end());
      files.insert(files.end(), in_dir.begin(), in_dir.end());
    } else {
      files.emplace_back(arg);
    }
  }
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  std::signal(SIGABRT, on_abort);
  std::vector<std::vector<uint8_t>> inputs;
  inputs.reserve(files.size());
  for (const auto& path : files) {
    inputs.push_back(read_file(path));
    run(inputs.back(), path.string());
  }
  std::printf("replayed %zu inputs", inputs.size());
  if (mutations > 0 && !inputs.empty()) {
    uint64_t state = seed;
    const auto start = std::chrono::steady_clock::now();
    long done = 0;
    for (; done < mutations; ++done) {
      if (max_seconds > 0 && std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() > max_seconds) {
        break;
      }
      const std::vector<uint8_t> v = mutate(inputs, state);
      run(v, "mutation " + std::to_string(done) + " (seed " + std::to_string(seed) + ")");
    }
    std::printf(", then %ld mutations of them (seed %llu) in %.1f s", done,
                static_cast<unsigned long long>(seed),
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::printf(": no finding\n");
  return 0;
}
