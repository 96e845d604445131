// ketro-pack: builds, lists and unpacks payload archives.
//
//   ketro-pack create --manifest MANIFEST --root DIR --output ARCHIVE [--date "Y-M-D h:m:s"]
//   ketro-pack list ARCHIVE
//   ketro-pack extract ARCHIVE NAME --output FILE
//   ketro-pack --version
//
// Exit codes: 0 done, 1 refused or failed (nothing written), 3 wrong usage (tools/options.h).
#include "base/text.h"
#include "engine/archive.h"
#include "engine/archive_writer.h"
#include "engine/date_time.h"
#include "ket_version.h"
#include "platform/posix/mapped_file.h"
#include "platform/posix/posix_file_system.h"
#include "tools/options.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using ket::CommandLine;
using ket::PackError;
using ket::UsageError;

constexpr int kRefused = 1;

const char* const kUsageText =
    "usage: ketro-pack create --manifest MANIFEST --root DIR --output ARCHIVE\n"
    "                         [--date \"YYYY-MM-DD HH:MM:SS\"]\n"
    "       ketro-pack list ARCHIVE\n"
    "       ketro-pack extract ARCHIVE NAME --output FILE\n"
    "       ketro-pack --version\n";

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
    if (!ket::WriteAll(fd_, bytes)) {
      throw PackError("cannot write " + path_ + ": " + std::strerror(errno));
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

int Create(const CommandLine& a) {
  const std::string manifestPath = a.Need("--manifest");
  const std::string root = a.Need("--root");
  const std::string output = a.Need("--output");
  a.Operands(0, "create takes no operand");
  std::optional<std::uint32_t> fixedDate;
  if (const std::optional<std::string> date = a.Value("--date")) {
    fixedDate = ParseDate(*date);
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

ket::ArchiveOpener Mapped(const std::string& path) {
  return [&path] { return std::make_unique<ket::MappedFileBytes>(path); };
}

int List(const CommandLine& a) {
  const std::string archivePath = a.Operands(1, "list takes one archive")[0];
  ket::Payload p;
  std::string out;
  int rc = 0;
  std::string error;
  try {
    p.Load(Mapped(archivePath));
  } catch (const ket::DamagedSetupError& e) {
    error = e.what();
    rc = kRefused;
  }
  // What was read before an error is still listed: it shows where the damage starts.
  for (std::size_t k = 0; k < p.Content().size(); ++k) {
    const auto& item = p.Items()[k];
    out += std::to_string(k) + '\t' + ket::Utf16ToUtf8(p.Content()[k]) + '\t' +
           std::to_string(item.Size) + '\t' + std::to_string(item.PackSize) + '\t' +
           std::to_string(item.Position) + '\t' + FormatDate(item) + '\n';
  }
  std::cout << out << std::flush;
  if (rc != 0) {
    std::cerr << "ketro-pack: " << archivePath << ": " << error << "\n";
  }
  return rc;
}

int Extract(const CommandLine& a) {
  const std::vector<std::string>& operands =
      a.Operands(2, "extract takes an archive and an entry name");
  const std::string output = a.Need("--output");
  ket::Payload p;
  p.Load(Mapped(operands[0]));
  const std::u16string name = ket::Utf8ToUtf16(operands[1]);
  const auto found = p.InflateArchiveItem(name);
  if (!found) {
    throw PackError("no entry named " + operands[1] + " in " + operands[0]);
  }
  AtomicOutput out(output);
  out.Write(found->Bytes);
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
    const std::span<char* const> rest(argv + 2, argv + argc);
    if (command == "--help" || command == "-h" || command == "help") {
      std::cout << kUsageText;
      return 0;
    }
    if (command == "--version") {
      std::cout << "ketro-pack (" KET_PRODUCT_NAME ") " KET_VERSION_TEXT "\n";
      return 0;
    }
    if (command == "create") {
      return Create(CommandLine(
          rest, {{"--manifest", true}, {"--root", true}, {"--output", true}, {"--date", true}}));
    }
    if (command == "list") {
      return List(CommandLine(rest, {}));
    }
    if (command == "extract") {
      return Extract(CommandLine(rest, {{"--output", true}}));
    }
    throw UsageError("unknown command " + command);
  } catch (const UsageError& e) {
    return ket::UsageFailure("ketro-pack", e.what(), kUsageText);
  } catch (const std::exception& e) {
    std::cerr << "ketro-pack: " << e.what() << "\n";
    return kRefused;
  }
}
