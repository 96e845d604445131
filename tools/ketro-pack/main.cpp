// ketro-pack: builds, lists and unpacks payload archives.
//
//   ketro-pack create --manifest MANIFEST --root DIR --output ARCHIVE [--date "Y-M-D h:m:s"]
//   ketro-pack list ARCHIVE
//   ketro-pack extract ARCHIVE NAME --output FILE
//   ketro-pack --version
//
// Exit codes: 0 done, 1 refused or failed (nothing written), 2 wrong usage.
#include "base/text.h"
#include "engine/archive.h"
#include "engine/archive_writer.h"
#include "engine/date_time.h"
#include "ket_version.h"
#include "platform/posix/mapped_file.h"
#include "platform/posix/posix_file_system.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using ket::PackError;

constexpr int kRefused = 1;
constexpr int kUsage = 2;

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const char* const kUsageText =
    "usage: ketro-pack create --manifest MANIFEST --root DIR --output ARCHIVE\n"
    "                         [--date \"YYYY-MM-DD HH:MM:SS\"]\n"
    "       ketro-pack list ARCHIVE\n"
    "       ketro-pack extract ARCHIVE NAME --output FILE\n"
    "       ketro-pack --version\n";

// Options ("--name value" or "--name=value") and positional arguments of one command.
struct Args {
  std::map<std::string, std::string> options;
  std::vector<std::string> positional;
};

Args ParseArgs(int argc, char** argv, int first, const std::vector<std::string>& known) {
  Args a;
  for (int i = first; i < argc; ++i) {
    std::string arg = argv[i];
    if (!arg.starts_with("--")) {
      a.positional.push_back(arg);
      continue;
    }
    std::string value;
    bool hasValue = false;
    if (const auto eq = arg.find('='); eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      hasValue = true;
    }
    if (std::find(known.begin(), known.end(), arg) == known.end()) {
      throw UsageError("unknown option " + arg);
    }
    if (!hasValue) {
      if (i + 1 >= argc) {
        throw UsageError(arg + " needs a value");
      }
      value = argv[++i];
    }
    if (!a.options.emplace(arg, value).second) {
      throw UsageError(arg + " given twice");
    }
  }
  return a;
}

std::string Need(const Args& a, const std::string& name) {
  const auto it = a.options.find(name);
  if (it == a.options.end()) {
    throw UsageError("missing " + name);
  }
  return it->second;
}

std::vector<std::uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw PackError("cannot read " + path + ": " + std::strerror(errno));
  }
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  if (in.bad()) {
    throw PackError("cannot read " + path);
  }
  return bytes;
}

// Writes to a temporary file next to the output and renames it into place at the end, so a
// refusal or failure leaves no output file behind (and an older one untouched).
class AtomicOutput {
 public:
  explicit AtomicOutput(std::string path) : path_(std::move(path)) {
    temp_ = path_ + ".tmp.XXXXXX";
    fd_ = ::mkstemp(temp_.data());
    if (fd_ < 0) {
      throw PackError("cannot create " + path_ + ": " + std::strerror(errno));
    }
  }
  ~AtomicOutput() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    if (!committed_) {
      ::unlink(temp_.c_str());
    }
  }
  AtomicOutput(const AtomicOutput&) = delete;
  AtomicOutput& operator=(const AtomicOutput&) = delete;

  void Write(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
      const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
      if (n < 0 && errno == EINTR) {
        continue;
      }
      if (n <= 0) {
        throw PackError("cannot write " + path_ + ": " + std::strerror(errno));
      }
      bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
  }

  void Commit() {
    // mkstemp makes the file private; give it the usual permissions.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd_, 0666 & ~mask) != 0 || ::close(fd_) != 0) {
      fd_ = -1;
      throw PackError("cannot write " + path_ + ": " + std::strerror(errno));
    }
    fd_ = -1;
    if (::rename(temp_.c_str(), path_.c_str()) != 0) {
      throw PackError("cannot create " + path_ + ": " + std::strerror(errno));
    }
    committed_ = true;
  }

 private:
  std::string path_;
  std::string temp_;
  int fd_ = -1;
  bool committed_ = false;
};

// "YYYY-MM-DD HH:MM:SS" as a DOS date-time; nullopt unless it is a valid time of 1980..2107.
std::optional<std::uint32_t> ParseDate(const std::string& text) {
  int y, mo, d, h, mi, s;
  char tail;
  if (text.size() != 19 || std::sscanf(text.c_str(), "%4d-%2d-%2d %2d:%2d:%2d%c", &y, &mo, &d, &h,
                                       &mi, &s, &tail) != 6) {
    return std::nullopt;
  }
  if (y < 1980 || y > 2107 || mo < 1 || mo > 12 || d < 1 || d > ket::DaysInMonth(y, mo) || h > 23 ||
      mi > 59 || s > 59 || h < 0 || mi < 0 || s < 0) {
    return std::nullopt;
  }
  ket::CalendarTime f;
  f.year = static_cast<std::uint16_t>(y);
  f.month = static_cast<std::uint16_t>(mo);
  f.day = static_cast<std::uint16_t>(d);
  f.hour = static_cast<std::uint16_t>(h);
  f.minute = static_cast<std::uint16_t>(mi);
  f.second = static_cast<std::uint16_t>(s);
  return ket::CalendarToDosDateTime(f);
}

// The file's last-write time as local clock time, for the entry's date.
std::uint32_t FileDosDate(const std::string& path, const struct stat& st) {
  const ket::CalendarTime f = ket::LocalCalendarTime(st.st_mtim);
  if (f.year == 0) {
    throw PackError("cannot read the time of " + path);
  }
  const std::uint32_t dos = ket::CalendarToDosDateTime(f);
  if (dos == 0) {
    throw PackError("the last-write time of " + path +
                    " lies outside 1980..2107, which the archive cannot store; use --date");
  }
  return dos;
}

int Create(const Args& a) {
  const std::string manifestPath = Need(a, "--manifest");
  const std::string root = Need(a, "--root");
  const std::string output = Need(a, "--output");
  if (!a.positional.empty()) {
    throw UsageError("unexpected argument " + a.positional.front());
  }
  std::optional<std::uint32_t> fixedDate;
  if (const auto it = a.options.find("--date"); it != a.options.end()) {
    fixedDate = ParseDate(it->second);
    if (!fixedDate) {
      throw UsageError("--date must be \"YYYY-MM-DD HH:MM:SS\", a valid time of 1980 to 2107");
    }
  }

  const std::vector<std::uint8_t> manifest = ReadWholeFile(manifestPath);
  const std::vector<ket::PackItem> items = ket::PlanPackItems(manifest);

  // Every file is checked before anything is written.
  std::vector<std::string> paths;
  std::vector<std::uint32_t> dates;
  for (const auto& item : items) {
    const std::string path = root + "/" + ket::NativePath(item.name);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      throw PackError("manifest line " + std::to_string(item.line) + ": missing file " + path);
    }
    if (!S_ISREG(st.st_mode)) {
      throw PackError("manifest line " + std::to_string(item.line) + ": not a file: " + path);
    }
    dates.push_back(fixedDate ? *fixedDate : FileDosDate(path, st));
    paths.push_back(path);
  }

  AtomicOutput out(output);
  ket::ArchiveWriter writer([&](std::span<const std::uint8_t> b) { out.Write(b); });
  writer.Add("list", manifest, 0);
  for (std::size_t i = 0; i < items.size(); ++i) {
    writer.Add(ket::Utf16ToUtf8(items[i].name), ReadWholeFile(paths[i]), dates[i]);
  }
  out.Commit();
  std::cout << "ketro-pack: " << output << ": " << items.size() + 1 << " entries\n";
  return 0;
}

std::string FormatDate(const ket::TFileItem& item) {
  if (item.FDate == 0) {
    return "-";
  }
  const ket::CalendarTime f = ket::DecodeDateTime(item.FDate);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u", unsigned{f.year},
                unsigned{f.month}, unsigned{f.day}, unsigned{f.hour}, unsigned{f.minute},
                unsigned{f.second});
  return buf;
}

struct OpenArchive {
  ket::Payload payload;
  explicit OpenArchive(const std::string& path) {
    payload.ArchiveStream =
        std::make_unique<ket::ArchiveInputStream>(std::make_unique<ket::MappedFileBytes>(path));
  }
};

int List(const Args& a) {
  if (a.positional.size() != 1) {
    throw UsageError("list takes one archive");
  }
  OpenArchive archive(a.positional[0]);
  auto& p = archive.payload;
  std::string out;
  int rc = 0;
  std::string error;
  try {
    p.ReadArchiveDirectory(*p.ArchiveStream, p.ArchiveContent);
  } catch (const ket::Error& e) {
    error = e.what();
    rc = kRefused;
  }
  // What was read before an error is still listed: it shows where the damage starts.
  for (std::size_t k = 0; k < p.ArchiveContent.size(); ++k) {
    const auto& item = p.ArchiveItems[k];
    out += std::to_string(k) + '\t' + ket::Utf16ToUtf8(p.ArchiveContent[k]) + '\t' +
           std::to_string(item.Size) + '\t' + std::to_string(item.PackSize) + '\t' +
           std::to_string(item.Position) + '\t' + FormatDate(item) + '\n';
  }
  std::cout << out << std::flush;
  if (rc != 0) {
    std::cerr << "ketro-pack: " << a.positional[0] << ": " << error << "\n";
  }
  return rc;
}

int Extract(const Args& a) {
  if (a.positional.size() != 2) {
    throw UsageError("extract takes an archive and an entry name");
  }
  const std::string output = Need(a, "--output");
  OpenArchive archive(a.positional[0]);
  auto& p = archive.payload;
  p.ReadArchiveDirectory(*p.ArchiveStream, p.ArchiveContent);
  const std::u16string name = ket::Utf8ToUtf16(a.positional[1]);
  auto bytes = p.InflateArchiveItem(*p.ArchiveStream, name);
  if (!bytes) {
    throw PackError("no entry named " + a.positional[1] + " in " + a.positional[0]);
  }
  AtomicOutput out(output);
  out.Write(*bytes);
  out.Commit();
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  try {
    if (argc < 2) {
      throw UsageError("no command");
    }
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
      std::cout << kUsageText;
      return 0;
    }
    if (command == "--version") {
      std::cout << "ketro-pack (" KET_PRODUCT_NAME ") " KET_VERSION_TEXT "\n";
      return 0;
    }
    if (command == "create") {
      return Create(ParseArgs(argc, argv, 2, {"--manifest", "--root", "--output", "--date"}));
    }
    if (command == "list") {
      return List(ParseArgs(argc, argv, 2, {}));
    }
    if (command == "extract") {
      return Extract(ParseArgs(argc, argv, 2, {"--output"}));
    }
    throw UsageError("unknown command " + command);
  } catch (const UsageError& e) {
    std::cerr << "ketro-pack: " << e.what() << "\n" << kUsageText;
    return kUsage;
  } catch (const std::exception& e) {
    std::cerr << "ketro-pack: " << e.what() << "\n";
    return kRefused;
  }
}
