// Cost per id of the batch MD5-crypt digest, at each vector width this
// processor offers and for several batch sizes.
//
//   md5_bench [--lanes 1,8,16] [--batches 16,32,64,128,1000] [--repeats N] [--min-ms MS]
//
// Paths are about 80 bytes (36 to 44 UTF-16 units, as ids digest them), so
// lanes of a batch differ in length as the entries of a listing do. Each
// figure is the median over the repeats of the time per id, printed for
// people and once more as "RESULT key value" for scripts. The time is this
// thread's processor time: the development machine is shared, and wall
// time would count the other jobs' turns.
#include <time.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "server_lib/core/Md5CryptBatch.h"

namespace {

double ThreadMs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

struct Options {
  std::vector<size_t> lanes;  // empty: every width offered
  std::vector<size_t> batches = {16, 32, 64, 128, 1000};
  int repeats = 7;
  double minMs = 150;
};

std::vector<size_t> ParseList(const char* text) {
  std::vector<size_t> values;
  std::stringstream stream(text);
  std::string item;
  while (std::getline(stream, item, ',')) values.push_back(std::strtoul(item.c_str(), nullptr, 10));
  return values;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--lanes" && hasValue) {
      options.lanes = ParseList(argv[++i]);
    } else if (arg == "--batches" && hasValue) {
      options.batches = ParseList(argv[++i]);
    } else if (arg == "--repeats" && hasValue) {
      options.repeats = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--min-ms" && hasValue) {
      options.minMs = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: %s [--lanes 1,8,16] [--batches 16,32,64,128,1000] [--repeats N] [--min-ms MS]\n",
                   argv[0]);
      return false;
    }
  }
  return true;
}

// What ObjectId digests: a path's UTF-16LE code units and the kind's salt.
std::vector<std::vector<uint8_t>> MakePasswords(size_t count) {
  std::mt19937 random(20261207);
  static const char kNameChars[] = "abcdefghijklmnopqrstuvwxyz0123456789-_.";
  std::vector<std::vector<uint8_t>> passwords;
  for (size_t i = 0; i < count; ++i) {
    std::string path = "/share/projects/reports/";
    const size_t units = 36 + random() % 9;
    while (path.size() < units) path.push_back(kNameChars[random() % (sizeof kNameChars - 1)]);
    std::vector<uint8_t> bytes;
    for (char c : path) {
      bytes.push_back(static_cast<uint8_t>(c));
      bytes.push_back(0);
    }
    passwords.push_back(std::move(bytes));
  }
  return passwords;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) return 2;
  const size_t offered = NFS::Md5CryptLanes();
  if (options.lanes.empty()) {
    for (size_t lanes : {size_t{1}, size_t{8}, size_t{16}}) {
      if (lanes <= offered) options.lanes.push_back(lanes);
    }
  }
  std::printf("processor offers %zu lanes\n", offered);

  const size_t most = *std::max_element(options.batches.begin(), options.batches.end());
  const auto passwords = MakePasswords(most);
  const std::array<uint8_t, 4> salts[2] = {{1, 0, 0, 0}, {2, 0, 0, 0}};
  std::vector<NFS::Md5CryptInput> all;
  for (size_t i = 0; i < most; ++i) all.push_back({passwords[i], salts[i % 7 == 0 ? 0 : 1]});

  for (size_t lanes : options.lanes) {
    if (lanes > offered) {
      std::printf("%zu lanes: not offered here\n", lanes);
      continue;
    }
    for (size_t batch : options.batches) {
      const std::span<const NFS::Md5CryptInput> inputs(all.data(), batch);
      // Every width must give the digests one at a time gives: a wrong
      // figure is worse than none.
      const auto reference = NFS::Md5CryptBatch(inputs, 1);
      std::vector<double> perId;
      for (int repeat = 0; repeat < options.repeats; ++repeat) {
        size_t ids = 0;
        const double start = ThreadMs();
        double elapsedMs = 0;
        do {
          const auto digests = NFS::Md5CryptBatch(inputs, lanes);
          if (digests != reference) {
            std::fprintf(stderr, "%zu lanes, batch of %zu: digests differ from one at a time\n", lanes, batch);
            return 1;
          }
          ids += batch;
          elapsedMs = ThreadMs() - start;
        } while (elapsedMs < options.minMs);
        perId.push_back(elapsedMs * 1000.0 / static_cast<double>(ids));
      }
      const double median = Median(perId);
      std::printf("%2zu lanes, batch of %4zu: %7.2f us per id (median of %d, %.2f to %.2f)\n", lanes, batch, median,
                  options.repeats, *std::min_element(perId.begin(), perId.end()),
                  *std::max_element(perId.begin(), perId.end()));
      std::printf("RESULT md5crypt_us_per_id_lanes%zu_batch%zu %.4g\n", lanes, batch, median);
      std::fflush(stdout);
    }
  }
  return 0;
}
