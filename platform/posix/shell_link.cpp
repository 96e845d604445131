#include "platform/posix/shell_link.h"

#include "base/error.h"
#include "base/path.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <span>
#include <system_error>

namespace ket {

namespace {

// LinkFlags of the header.
constexpr std::uint32_t kHasLinkInfo = 0x00000002;
constexpr std::uint32_t kHasWorkingDir = 0x00000010;
constexpr std::uint32_t kIsUnicode = 0x00000080;

constexpr std::uint32_t kHeaderSize = 0x4C;
// CLSID 00021401-0000-0000-C000-000000000046 in its stored byte order.
constexpr std::array<std::uint8_t, 16> kLinkClsid = {
    0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr std::uint32_t kShowNormal = 1;

// LinkInfo: a header with the Unicode offsets (size 0x24), a VolumeID, and the local base path
// in both its ANSI and its Unicode form.
constexpr std::uint32_t kLinkInfoHeaderSize = 0x24;
constexpr std::uint32_t kVolumeIdAndLocalBasePath = 0x00000001;
constexpr std::uint32_t kVolumeIdHeaderSize = 0x10;
constexpr std::uint32_t kDriveFixed = 3;

constexpr size_t kMaxStringData = 0xFFFF;

class Bytes {
 public:
  void U16(std::uint16_t v) {
    out_.push_back(static_cast<std::uint8_t>(v));
    out_.push_back(static_cast<std::uint8_t>(v >> 8));
  }
  void U32(std::uint32_t v) {
    U16(static_cast<std::uint16_t>(v));
    U16(static_cast<std::uint16_t>(v >> 16));
  }
  void Zeros(size_t n) { out_.insert(out_.end(), n, 0); }
  void Raw(std::span<const std::uint8_t> bytes) {
    out_.insert(out_.end(), bytes.begin(), bytes.end());
  }
  // NUL-terminated text in the system code page, which a writer on another machine cannot
  // know: ASCII as it is, anything else as "?". Readers take the Unicode copy when present.
  void AnsiZ(std::u16string_view s) {
    for (const char16_t c : s) {
      out_.push_back(c < 0x80 ? static_cast<std::uint8_t>(c) : std::uint8_t{'?'});
    }
    out_.push_back(0);
  }
  void Utf16(std::u16string_view s) {
    for (const char16_t c : s) {
      U16(c);
    }
  }
  void Utf16Z(std::u16string_view s) {
    Utf16(s);
    U16(0);
  }
  size_t Size() const { return out_.size(); }
  std::vector<std::uint8_t> Take() { return std::move(out_); }

 private:
  std::vector<std::uint8_t> out_;
};

std::vector<std::uint8_t> LinkInfo(std::u16string_view localBasePath) {
  Bytes volume;
  volume.U32(kVolumeIdHeaderSize + 1);
  volume.U32(kDriveFixed);
  volume.U32(0);                   // drive serial number: unknown here
  volume.U32(kVolumeIdHeaderSize); // the label follows the header
  volume.AnsiZ(u"");               // no label
  const std::vector<std::uint8_t> volumeId = volume.Take();

  const std::uint32_t volumeIdOffset = kLinkInfoHeaderSize;
  const auto localBasePathOffset = static_cast<std::uint32_t>(volumeIdOffset + volumeId.size());
  const auto commonPathSuffixOffset =
      static_cast<std::uint32_t>(localBasePathOffset + localBasePath.size() + 1);
  const std::uint32_t localBasePathOffsetUnicode = commonPathSuffixOffset + 1;
  const auto commonPathSuffixOffsetUnicode =
      static_cast<std::uint32_t>(localBasePathOffsetUnicode + 2 * (localBasePath.size() + 1));
  const std::uint32_t size = commonPathSuffixOffsetUnicode + 2;

  Bytes info;
  info.U32(size);
  info.U32(kLinkInfoHeaderSize);
  info.U32(kVolumeIdAndLocalBasePath);
  info.U32(volumeIdOffset);
  info.U32(localBasePathOffset);
  info.U32(0); // no CommonNetworkRelativeLink
  info.U32(commonPathSuffixOffset);
  info.U32(localBasePathOffsetUnicode);
  info.U32(commonPathSuffixOffsetUnicode);
  info.Raw(volumeId);
  info.AnsiZ(localBasePath);
  info.AnsiZ(u""); // the whole path is in LocalBasePath: empty suffix
  info.Utf16Z(localBasePath);
  info.Utf16Z(u"");
  return info.Take();
}

bool HasDrive(std::u16string_view p) {
  return p.size() >= 2 && p[1] == u':' &&
         ((p[0] >= u'A' && p[0] <= u'Z') || (p[0] >= u'a' && p[0] <= u'z'));
}

} // namespace

std::vector<std::uint8_t> BuildShellLink(std::u16string_view targetPath,
                                         std::u16string_view workingDirectory) {
  // LinkInfoSize and its offsets are 32-bit; StringData counts are 16-bit.
  if (targetPath.size() > kMaxStringData || workingDirectory.size() > kMaxStringData) {
    throw Error("Shell link text too long");
  }
  Bytes link;
  link.U32(kHeaderSize);
  link.Raw(kLinkClsid);
  link.U32(kHasLinkInfo | kHasWorkingDir | kIsUnicode);
  link.U32(0);   // FileAttributes: nothing known of the target
  link.Zeros(8); // CreationTime
  link.Zeros(8); // AccessTime
  link.Zeros(8); // WriteTime
  link.U32(0);   // FileSize
  link.U32(0);   // IconIndex
  link.U32(kShowNormal);
  link.U16(0); // HotKey
  link.Zeros(2 + 4 + 4);

  link.Raw(LinkInfo(targetPath));

  link.U16(static_cast<std::uint16_t>(workingDirectory.size()));
  link.Utf16(workingDirectory);

  link.U32(0); // TerminalBlock: no extra data
  return link.Take();
}

bool WriteShellLink(const std::filesystem::path& linkPath, std::u16string_view targetPath,
                    std::u16string_view workingDirectory) {
  std::vector<std::uint8_t> bytes;
  try {
    bytes = BuildShellLink(targetPath, workingDirectory);
  } catch (const Error&) {
    return false;
  }
  std::filesystem::path temp = linkPath;
  temp += ".part";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) {
      return false;
    }
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(temp, ignored);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, linkPath, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    return false;
  }
  return true;
}

std::u16string WindowsPathForLink(std::u16string_view path) {
  if (HasDrive(path) || path.starts_with(u"\\\\")) {
    return std::u16string(path);
  }
  const std::u16string posix = PlatformPath(path);
  std::error_code ec;
  const std::filesystem::path base =
      posix.empty() ? std::filesystem::current_path(ec) : std::filesystem::path(posix);
  std::filesystem::path full = std::filesystem::absolute(base, ec);
  if (ec) {
    full = base;
  }
  std::u16string out = full.lexically_normal().generic_u16string();
  std::replace(out.begin(), out.end(), u'/', u'\\');
  return u"Z:" + out;
}

void ShellLinkShortcutCreator::CreateShortcut(std::u16string_view FN, std::u16string_view Cap) {
  const std::u16string& dir = state_.InstallDir;
  const auto linkIn = [&](const std::filesystem::path& folder) {
    if (folder.empty()) {
      return;
    }
    try {
      const std::u16string target = WindowsPathForLink(dir + std::u16string(FN));
      const std::u16string workingDirectory = WindowsPathForLink(dir);
      const std::filesystem::path linkPath = folder / (std::u16string(Cap) + u".lnk");
      WriteShellLink(linkPath, target, workingDirectory);
    } catch (const std::exception&) {
      // A link that cannot be made is simply missing.
    }
  };
  if (state_.DesktopShortcut) {
    linkIn(desktopDir_);
  }
  if (state_.StartMenuShortcut) {
    linkIn(programsDir_);
  }
}

} // namespace ket
