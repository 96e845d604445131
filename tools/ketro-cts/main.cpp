// ketro-cts: the city database's encryption from the command line.
//
//   ketro-cts rekey FILE --password NEW [--key OLD]
//       Opens FILE (under OLD, else as a plain database) and rewrites it under NEW; an empty NEW
//       makes it plain. On failure the file is unchanged.
//   ketro-cts check FILE [--key PASSWORD]
//       Runs the engine's integrity check and prints its result ("ok"), the page size and the
//       page count.
//   ketro-cts --version
//
// Exit codes: 0 success, 1 the engine failed (its message on stderr) or the check found
// problems, 3 wrong usage (tools/options.h).
#include "base/text.h"
#include "db/ket_database.h"
#include "ket_version.h"
#include "tools/options.h"

#include <cstdio>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr int kFailed = 1;

constexpr std::string_view kUsageText = "usage: ketro-cts rekey FILE --password NEW [--key OLD]\n"
                                        "       ketro-cts check FILE [--key PASSWORD]\n"
                                        "       ketro-cts --version\n";

struct Arguments {
  std::string command;
  std::string file;
  std::optional<std::string> password;
  std::optional<std::string> key;
};

Arguments Parse(int argc, char** argv) {
  if (argc < 2) {
    throw ket::UsageError("no command");
  }
  Arguments a;
  a.command = argv[1];
  const bool rekey = a.command == "rekey";
  if (!rekey && a.command != "check") {
    throw ket::UsageError("unknown command " + a.command);
  }
  const std::span<char* const> rest(argv + 2, argv + argc);
  const ket::CommandLine line =
      rekey ? ket::CommandLine(rest, {{"--password", true}, {"--key", true}})
            : ket::CommandLine(rest, {{"--key", true}});
  a.file = line.Operands(1, a.command + " takes one file")[0];
  if (rekey) {
    a.password = line.Need("--password");
  }
  a.key = line.Value("--key");
  return a;
}

// The engine's own message when there is one, else the exception's.
std::string MessageOf(const ket::EKetDatabase& e) {
  return e.ErrorMessage().empty() ? e.what() : ket::Utf16ToUtf8(e.ErrorMessage());
}

// Opens the file under --key, else as a plain database.
void Open(ket::TKetDatabase& db, const Arguments& a) {
  db.SetDatabaseName(ket::Utf8ToUtf16(a.file));
  db.SetPassword(a.key.value_or(""));
  db.Open();
}

int Rekey(const Arguments& a) {
  ket::TKetDatabase db;
  Open(db, a);
  db.ReKey(*a.password);
  db.Close();
  return 0;
}

int Check(const Arguments& a) {
  ket::TKetDatabase db;
  Open(db, a);
  ket::TKetStatement integrity(db, "PRAGMA integrity_check");
  bool ok = true;
  while (integrity.Step()) {
    const std::string line = ket::Utf16ToUtf8(integrity.ColumnText(0));
    ok = ok && line == "ok";
    std::cout << line << "\n";
  }
  ket::TKetStatement pageSize(db, "PRAGMA page_size");
  ket::TKetStatement pageCount(db, "PRAGMA page_count");
  pageSize.Step();
  pageCount.Step();
  std::cout << "page size " << pageSize.ColumnInt(0) << "\n"
            << "page count " << pageCount.ColumnInt(0) << "\n";
  return ok ? 0 : kFailed;
}

} // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string_view(argv[1]) == "--version") {
    std::cout << "ketro-cts (" KET_PRODUCT_NAME ") " KET_VERSION_TEXT "\n";
    return 0;
  }
  if (argc == 2 && (std::string_view(argv[1]) == "--help" || std::string_view(argv[1]) == "-h")) {
    std::cout << kUsageText;
    return 0;
  }
  Arguments arguments;
  try {
    arguments = Parse(argc, argv);
  } catch (const ket::UsageError& e) {
    return ket::UsageFailure("ketro-cts", e.what(), kUsageText);
  }
  try {
    return arguments.command == "rekey" ? Rekey(arguments) : Check(arguments);
  } catch (const ket::EKetDatabase& e) {
    std::cerr << "ketro-cts: " << arguments.file << ": " << MessageOf(e) << "\n";
    return kFailed;
  }
}
