#include "db/ket_database.h"

#include "base/text.h"
#include "db/codec.h"
#include "db/codec_vfs.h"
#include "db/secure_wipe.h"

#include <algorithm>
#include <string>

namespace ket {
namespace {

constexpr std::int32_t kAccessBits = 0x1 | 0x80;
constexpr std::int32_t kCacheBits = 0x20000 | 0x40000;
constexpr std::int32_t kMutexBits = 0x8000 | 0x10000;

constexpr std::string_view kClosedMessage = "Cannot perform this operation on a closed database";
constexpr std::string_view kOpenMessage = "Cannot perform this operation on an open database";
constexpr std::string_view kInvalidNameMessage = "Invalid DatabaseName";

std::string Format(int code) {
  return "SQLite3 Error " + std::to_string(code);
}

void FreeMutex(sqlite3_mutex* mutex) {
  sqlite3_mutex_free(mutex);
}

class MutexLock {
 public:
  explicit MutexLock(sqlite3_mutex* mutex) : mutex_(mutex) { sqlite3_mutex_enter(mutex_); }
  ~MutexLock() { sqlite3_mutex_leave(mutex_); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  sqlite3_mutex* mutex_;
};

const void* Bytes(std::string_view s) {
  return s.data();
}

// Replaces a password, wiping the old one's bytes before its buffer is freed or reused.
void ReplacePassword(std::string& password, std::string_view value) {
  std::string next(value); // first: `value` may be the old password itself
  SecureWipe(password.data(), password.size());
  password.swap(next);
}

} // namespace

EKetDatabase::EKetDatabase(std::string text, int code, std::u16string message)
    : Error(std::move(text)), FErrorCode(code), FErrorMessage(std::move(message)) {}

EKetDatabase::EKetDatabase(int ErrorCode, std::u16string_view ErrorMessage)
    : EKetDatabase(Format(ErrorCode) + " - " + Utf16ToUtf8(ErrorMessage), ErrorCode,
                   std::u16string(ErrorMessage)) {}

EKetDatabase::EKetDatabase(int ErrorCode) : EKetDatabase(Format(ErrorCode), ErrorCode, {}) {}

EKetDatabase::EKetDatabase(std::u16string_view ErrorMessage)
    : EKetDatabase(Utf16ToUtf8(ErrorMessage), 0, std::u16string(ErrorMessage)) {}

EKetDatabase EKetDatabase::FromMessage(std::string_view message) {
  return EKetDatabase(std::string(message), 0, {});
}

TKetComponentOwner::~TKetComponentOwner() {
  while (!FComponents.empty()) {
    std::unique_ptr<TKetComponent> last = std::move(FComponents.back());
    FComponents.pop_back();
    last.reset();
  }
}

void TKetComponentOwner::InsertComponent(std::unique_ptr<TKetComponent> Component) {
  FComponents.push_back(std::move(Component));
}

TKetDatabase& TKetDatabase::Create(TKetComponentOwner& AOwner) {
  std::unique_ptr<TKetDatabase> db(new TKetDatabase(&AOwner));
  TKetDatabase& ref = *db;
  AOwner.InsertComponent(std::move(db));
  return ref;
}

TKetDatabase::TKetDatabase() : TKetDatabase(nullptr) {}

TKetDatabase::TKetDatabase(TKetComponentOwner* AOwner)
    : TKetComponent(AOwner),
      // Allocating an engine mutex initialises the engine library when needed.
      FStatementsMutex(sqlite3_mutex_alloc(SQLITE_MUTEX_RECURSIVE), FreeMutex) {
  if (!FStatementsMutex) {
    throw EKetDatabase(SQLITE_NOMEM);
  }
  codec_install();
}

TKetDatabase::~TKetDatabase() {
  {
    const MutexLock lock(FStatementsMutex.get());
    for (auto it = FStatements.rbegin(); it != FStatements.rend(); ++it) {
      (*it)->SetActive(false);
      (*it)->FDatabase = nullptr;
    }
    FStatements.clear();
    try {
      SetConnected(false);
    } catch (const Error&) {
      // Destruction cannot report; the handle is closed (or gone) either way.
    }
  }
  SecureWipe(FPassword.data(), FPassword.size());
}

void TKetDatabase::SetDatabaseName(std::u16string_view Value) {
  if (FHandle != nullptr) {
    RaiseMessage(kOpenMessage);
  }
  FDatabaseName = Value;
}

void TKetDatabase::SetConnected(bool Value) {
  if (FLoading) {
    if (Value) {
      FStreamedConnected = true;
      return;
    }
    FStreamedConnected = false;
  }
  if (Value == Connected()) {
    return;
  }
  if (Value) {
    DoBeforeConnect();
    Connect();
    DoInitDatabase();
    DoAfterConnect();
  } else {
    DoBeforeDisconnect();
    Disconnect();
    DoAfterDisconnect();
  }
}

void TKetDatabase::Loaded() {
  FLoading = false;
  if (FStreamedConnected) {
    FStreamedConnected = false;
    SetConnected(true);
  }
}

void TKetDatabase::Connect() {
  if (!FDatabaseName.empty() && std::all_of(FDatabaseName.begin(), FDatabaseName.end(),
                                            [](char16_t c) { return c <= u' '; })) {
    RaiseMessage(kInvalidNameMessage);
  }
  int flags = FOpenFlags;
  if ((flags & SQLITE_OPEN_READONLY) == 0) {
    flags |= SQLITE_OPEN_READWRITE;
  }
  if (FOptions.contains(TKetDbOption::oUriFileName)) {
    flags |= SQLITE_OPEN_URI;
  }
  // The codec layer sits over whichever VFS is asked for; a name the engine does not know is
  // passed on, for the engine's own error.
  const std::string vfsName = Utf16ToUtf8(FVfs);
  const sqlite3_vfs* layer = CodecVfsOver(vfsName.empty() ? nullptr : vfsName.c_str());
  const char* vfs = layer != nullptr ? layer->zName : (vfsName.empty() ? nullptr : vfsName.c_str());
  const std::string name = Utf16ToUtf8(FDatabaseName);
  const int rc = sqlite3_open_v2(name.c_str(), &FHandle, flags, vfs);
  try {
    Check(rc);
  } catch (...) {
    sqlite3* handle = FHandle;
    FHandle = nullptr;
    sqlite3_close(handle);
    throw;
  }
  FTransactionCount = 0;
  if (!FPassword.empty()) {
    Check(codec_set_key(FHandle, "main", Bytes(FPassword), static_cast<int>(FPassword.size())));
  }
}

void TKetDatabase::Disconnect() {
  if (FHandle == nullptr) {
    return;
  }
  DeactivateStatements();
  sqlite3* handle = FHandle;
  FHandle = nullptr;
  Check(sqlite3_close(handle));
}

void TKetDatabase::DeactivateStatements() {
  const MutexLock lock(FStatementsMutex.get());
  for (auto it = FStatements.rbegin(); it != FStatements.rend(); ++it) {
    (*it)->SetActive(false);
  }
}

void TKetDatabase::SetPassword(std::string_view Value) {
  if (FHandle != nullptr) {
    Check(codec_set_key(FHandle, "main", Bytes(Value), static_cast<int>(Value.size())));
  }
  ReplacePassword(FPassword, Value);
}

void TKetDatabase::ReKey(std::string_view ANewPassword) {
  if (FHandle == nullptr) {
    RaiseMessage(kClosedMessage);
  }
  Check(codec_rekey(FHandle, nullptr, Bytes(ANewPassword), static_cast<int>(ANewPassword.size())));
  ReplacePassword(FPassword, ANewPassword);
}

void TKetDatabase::Check(int AErrorCode) const {
  if (AErrorCode == SQLITE_OK) {
    return;
  }
  if (FHandle != nullptr) {
    throw EKetDatabase(AErrorCode, Utf8ToUtf16(sqlite3_errmsg(FHandle)));
  }
  throw EKetDatabase(AErrorCode);
}

void TKetDatabase::RaiseMessage(std::string_view message) const {
  if (!Name().empty()) {
    throw EKetDatabase(SQLITE_ERROR, Name() + u": " + Utf8ToUtf16(message));
  }
  throw EKetDatabase::FromMessage(message);
}

TKetDbAccess TKetDatabase::Access() const {
  return static_cast<TKetDbAccess>(FOpenFlags & kAccessBits);
}
void TKetDatabase::SetAccess(TKetDbAccess Value) {
  SetFlagBits(kAccessBits, static_cast<std::int32_t>(Value));
}
TKetDbCache TKetDatabase::Cache() const {
  return static_cast<TKetDbCache>(FOpenFlags & kCacheBits);
}
void TKetDatabase::SetCache(TKetDbCache Value) {
  SetFlagBits(kCacheBits, static_cast<std::int32_t>(Value));
}
TKetDbMutex TKetDatabase::Mutex() const {
  return static_cast<TKetDbMutex>(FOpenFlags & kMutexBits);
}
void TKetDatabase::SetMutex(TKetDbMutex Value) {
  SetFlagBits(kMutexBits, static_cast<std::int32_t>(Value));
}

void TKetDatabase::DoAfterConnect() {
  if (AfterConnect) {
    AfterConnect(*this);
  }
}
void TKetDatabase::DoAfterDisconnect() {
  if (AfterDisconnect) {
    AfterDisconnect(*this);
  }
}
void TKetDatabase::DoBeforeConnect() {
  if (BeforeConnect) {
    BeforeConnect(*this);
  }
}
void TKetDatabase::DoBeforeDisconnect() {
  if (BeforeDisconnect) {
    BeforeDisconnect(*this);
  }
}
void TKetDatabase::DoInitDatabase() {
  if (InitDatabase) {
    InitDatabase(*this);
  }
}

void TKetDatabase::AttachStatement(TKetStatement& statement) {
  const MutexLock lock(FStatementsMutex.get());
  FStatements.push_back(&statement);
}

void TKetDatabase::DetachStatement(TKetStatement& statement) {
  const MutexLock lock(FStatementsMutex.get());
  std::erase(FStatements, &statement);
}

TKetStatement::TKetStatement(TKetDatabase& ADatabase, std::string_view ASql)
    : FDatabase(&ADatabase), FSql(ASql) {
  ADatabase.AttachStatement(*this);
}

TKetStatement::~TKetStatement() {
  SetActive(false);
  if (FDatabase != nullptr) {
    FDatabase->DetachStatement(*this);
  }
}

void TKetStatement::SetActive(bool Value) {
  if (Value == Active()) {
    return;
  }
  if (!Value) {
    sqlite3_finalize(FHandle);
    FHandle = nullptr;
    return;
  }
  if (FDatabase == nullptr || FDatabase->Handle() == nullptr) {
    throw EKetDatabase::FromMessage(kClosedMessage);
  }
  sqlite3_stmt* handle = nullptr;
  const int rc = sqlite3_prepare_v2(FDatabase->Handle(), FSql.c_str(),
                                    static_cast<int>(FSql.size()), &handle, nullptr);
  if (rc != SQLITE_OK) {
    sqlite3_finalize(handle);
    FDatabase->Check(rc);
  }
  FHandle = handle;
}

bool TKetStatement::Step() {
  SetActive(true);
  const int rc = sqlite3_step(FHandle);
  if (rc == SQLITE_ROW) {
    return true;
  }
  if (rc == SQLITE_DONE) {
    return false;
  }
  sqlite3_reset(FHandle);
  FDatabase->Check(rc);
  return false;
}

void TKetStatement::Reset() {
  if (FHandle != nullptr) {
    sqlite3_reset(FHandle);
  }
}

int TKetStatement::ColumnCount() const {
  return FHandle != nullptr ? sqlite3_column_count(FHandle) : 0;
}

std::int64_t TKetStatement::ColumnInt(int Index) const {
  return FHandle != nullptr ? sqlite3_column_int64(FHandle, Index) : 0;
}

std::u16string TKetStatement::ColumnText(int Index) const {
  if (FHandle == nullptr) {
    return {};
  }
  const unsigned char* text = sqlite3_column_text(FHandle, Index);
  if (text == nullptr) {
    return {};
  }
  return Utf8ToUtf16({reinterpret_cast<const char*>(text),
                      static_cast<std::size_t>(sqlite3_column_bytes(FHandle, Index))});
}

} // namespace ket
