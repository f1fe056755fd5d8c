// Writes one of the benchmark trees, the same bytes, names and times for the
// same kind, scale and seed, so figures from different runs and machines are
// taken on the same tree.
//
//   make_tree KIND OUT [--scale S] [--seed N]
//     many  ~100,000 files of 0-4 KiB in ~10,000 folders, up to 6 deep
//     big   64 files of 2-8 MiB (about 320 MiB) in the top folder
//     wide  one folder of 100,000 files of 0-4 KiB
//   make_tree touch TREE [--fraction F] [--seed N]
//     gives a seeded choice of F of the files (default 0.01) the current time
//     as last-modified time, the same files for the same seed.
//
// --scale multiplies the counts of "many" and "wide" and the sizes of "big"
// (0.01 for the quick mode).
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kMaxDepth = 6;
// 2023-11-14: a fixed base keeps the times the same from run to run.
constexpr int64_t kBaseSeconds = 1700000000;
constexpr int64_t kTimeSpread = 30000000;

[[noreturn]] void Fail(const char* operation, const std::string& path) {
  std::fprintf(stderr, "make_tree: %s %s: %s\n", operation, path.c_str(),
               std::strerror(errno));
  std::exit(1);
}

// splitmix64: small, fast and the same on every platform.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  /// Uniform in [0, bound).
  uint64_t Below(uint64_t bound) { return bound == 0 ? 0 : Next() % bound; }
  void Fill(char* data, size_t size) {
    for (size_t i = 0; i < size; i += 8) {
      const uint64_t word = Next();
      std::memcpy(data + i, &word, std::min<size_t>(8, size - i));
    }
  }

 private:
  uint64_t state_;
};

struct Options {
  std::string kind;
  std::string out;
  double scale = 1.0;
  double fraction = 0.01;
  uint64_t seed = 1;
};

struct Totals {
  long files = 0;
  long folders = 0;
  long long bytes = 0;
};

std::string Base36(uint64_t value) {
  std::string digits;
  do {
    digits.insert(digits.begin(),
                  "0123456789abcdefghijklmnopqrstuvwxyz"[value % 36]);
    value /= 36;
  } while (value != 0);
  return digits;
}

// A stem of letters, "-" and a number unique in the tree: names never
// collide, and their lengths vary like real ones. About one in a hundred is
// a dot file.
std::string MakeName(Random& random, uint64_t number, bool folder) {
  static const char* const kExtensions[] = {".txt", ".c",  ".h", ".json",
                                            ".png", ".md", "",   ".dat"};
  std::string name = random.Below(100) == 0 ? "." : "";
  const uint64_t length = 2 + random.Below(11);
  for (uint64_t i = 0; i < length; ++i)
    name += static_cast<char>('a' + random.Below(26));
  name += '-';
  name += Base36(number);
  if (!folder) name += kExtensions[random.Below(8)];
  return name;
}

void SetTime(const std::string& path, Random& random) {
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec =
      kBaseSeconds + static_cast<int64_t>(random.Below(kTimeSpread));
  times[0].tv_nsec = times[1].tv_nsec =
      static_cast<long>(random.Below(1000000000));
  if (utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
    Fail("set time of", path);
}

void WriteFile(const std::string& path, size_t size, Random& random,
               std::vector<char>& buffer) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) Fail("create", path);
  for (size_t done = 0; done < size;) {
    const size_t chunk = std::min(buffer.size(), size - done);
    random.Fill(buffer.data(), chunk);
    if (write(fd, buffer.data(), chunk) != static_cast<ssize_t>(chunk))
      Fail("write", path);
    done += chunk;
  }
  if (close(fd) != 0) Fail("close", path);
}

void MakeFolder(const std::string& path, Totals& totals) {
  if (mkdir(path.c_str(), 0755) != 0) Fail("create folder", path);
  ++totals.folders;
}

long Scaled(long count, double scale) {
  return std::max(1L, std::lround(static_cast<double>(count) * scale));
}

// The folders of "many": each new one below a random folder that is not yet
// at the deepest level, so the tree is bushy near the top and thins out.
std::vector<std::string> MakeFolders(const Options& options, Random& random,
                                     Totals& totals) {
  std::vector<std::string> paths = {options.out};
  std::vector<int> depths = {0};
  std::vector<size_t> open_parents = {0};
  const long count = Scaled(10000, options.scale);
  for (long i = 0; i < count; ++i) {
    const size_t parent = open_parents[random.Below(open_parents.size())];
    paths.push_back(paths[parent] + "/" + MakeName(random, i, true));
    depths.push_back(depths[parent] + 1);
    MakeFolder(paths.back(), totals);
    if (depths.back() < kMaxDepth) open_parents.push_back(paths.size() - 1);
  }
  return paths;
}

// `count` small files spread at random over `folders`, written folder by
// folder.
void MakeSmallFiles(const std::vector<std::string>& folders, long count,
                    Random& random, Totals& totals) {
  std::vector<long> per_folder(folders.size(), 0);
  for (long i = 0; i < count; ++i) ++per_folder[random.Below(folders.size())];
  std::vector<char> buffer(4096);
  uint64_t number = 0;
  for (size_t f = 0; f < folders.size(); ++f) {
    for (long i = 0; i < per_folder[f]; ++i) {
      const std::string path =
          folders[f] + "/" + MakeName(random, number++, false);
      const size_t size = random.Below(4097);
      WriteFile(path, size, random, buffer);
      SetTime(path, random);
      ++totals.files;
      totals.bytes += static_cast<long long>(size);
    }
  }
}

void MakeBigFiles(const Options& options, Random& random, Totals& totals) {
  std::vector<char> buffer(1 << 20);
  for (uint64_t i = 0; i < 64; ++i) {
    const std::string path = options.out + "/" + MakeName(random, i, false);
    const double mebibytes =
        2.0 + static_cast<double>(random.Below(6001)) / 1000.0;
    const auto size =
        static_cast<size_t>(mebibytes * options.scale * (1 << 20));
    WriteFile(path, size, random, buffer);
    SetTime(path, random);
    ++totals.files;
    totals.bytes += static_cast<long long>(size);
  }
}

// Folder times last: creating an entry changes its folder's time.
void SetFolderTimes(const std::vector<std::string>& folders, Random& random) {
  for (const std::string& folder : folders) SetTime(folder, random);
}

int MakeTree(const Options& options) {
  Random random(options.seed);
  Totals totals;
  MakeFolder(options.out, totals);
  std::vector<std::string> folders = {options.out};
  if (options.kind == "many") {
    folders = MakeFolders(options, random, totals);
    MakeSmallFiles(folders, Scaled(100000, options.scale), random, totals);
  } else if (options.kind == "wide") {
    MakeSmallFiles(folders, Scaled(100000, options.scale), random, totals);
  } else {
    MakeBigFiles(options, random, totals);
  }
  SetFolderTimes(folders, random);
  std::printf("%s: %ld files, %ld folders, %lld bytes in %s\n",
              options.kind.c_str(), totals.files, totals.folders, totals.bytes,
              options.out.c_str());
  return 0;
}

// Every file below `folder`, in name order so the choice does not depend on
// the order the file system lists them in.
void CollectFiles(const std::string& folder, std::vector<std::string>& files) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) Fail("list", folder);
  std::vector<std::string> names;
  while (dirent* entry = readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 &&
        std::strcmp(entry->d_name, "..") != 0)
      names.emplace_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    const std::string path = folder + "/" + name;
    struct stat info;
    if (lstat(path.c_str(), &info) != 0) Fail("read", path);
    if (S_ISDIR(info.st_mode))
      CollectFiles(path, files);
    else
      files.push_back(path);
  }
}

int TouchTree(const Options& options) {
  std::vector<std::string> files;
  CollectFiles(options.out, files);
  Random random(options.seed);
  const auto threshold = static_cast<uint64_t>(options.fraction * 1000000.0);
  long touched = 0;
  for (const std::string& path : files) {
    if (random.Below(1000000) >= threshold) continue;
    if (utimensat(AT_FDCWD, path.c_str(), nullptr, AT_SYMLINK_NOFOLLOW) != 0)
      Fail("touch", path);
    ++touched;
  }
  std::printf("touched %ld of %zu files in %s\n", touched, files.size(),
              options.out.c_str());
  return 0;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  if (argc < 3) return false;
  options.kind = argv[1];
  options.out = argv[2];
  for (int i = 3; i + 1 < argc; i += 2) {
    const std::string flag = argv[i];
    if (flag == "--scale")
      options.scale = std::atof(argv[i + 1]);
    else if (flag == "--seed")
      options.seed = std::strtoull(argv[i + 1], nullptr, 10);
    else if (flag == "--fraction")
      options.fraction = std::atof(argv[i + 1]);
    else
      return false;
  }
  if ((argc - 3) % 2 != 0 || options.scale <= 0) return false;
  return options.kind == "many" || options.kind == "big" ||
         options.kind == "wide" || options.kind == "touch";
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: make_tree many|big|wide OUT [--scale S] [--seed N]\n"
                 "       make_tree touch TREE [--fraction F] [--seed N]\n");
    return 2;
  }
  return options.kind == "touch" ? TouchTree(options) : MakeTree(options);
}
