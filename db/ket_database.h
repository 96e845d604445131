// TKetDatabase: the connection object of the database layer, and EKetDatabase, its exception.
//
// The installation run uses one connection object per city database it writes: Create with the
// application object as owner, DatabaseName, Open, ReKey with the product's password, Close. The
// owner destroys the object when the program ends.
#pragma once

#include "base/error.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <sqlite3.h>
#include <string>
#include <string_view>
#include <vector>

namespace ket {

class EKetDatabase : public Error {
 public:
  // "SQLite3 Error %d - %s".
  EKetDatabase(int ErrorCode, std::u16string_view ErrorMessage);
  // "SQLite3 Error %d".
  explicit EKetDatabase(int ErrorCode);
  // The text itself; code 0.
  explicit EKetDatabase(std::u16string_view ErrorMessage);
  // A fixed message of the layer: the message alone, code 0, no ErrorMessage.
  static EKetDatabase FromMessage(std::string_view message);

  int ErrorCode() const { return FErrorCode; }
  const std::u16string& ErrorMessage() const { return FErrorMessage; }

 private:
  EKetDatabase(std::string text, int code, std::u16string message);

  int FErrorCode = 0;
  std::u16string FErrorMessage;
};

class TKetComponentOwner;

// Something with a name that an owner may destroy.
class TKetComponent {
 public:
  virtual ~TKetComponent() = default;
  TKetComponent(const TKetComponent&) = delete;
  TKetComponent& operator=(const TKetComponent&) = delete;

  const std::u16string& Name() const { return FName; }
  void SetName(std::u16string_view Value) { FName = Value; }
  TKetComponentOwner* Owner() const { return FOwner; }

 protected:
  explicit TKetComponent(TKetComponentOwner* AOwner) : FOwner(AOwner) {}

 private:
  TKetComponentOwner* FOwner;
  std::u16string FName;
};

// Owns components and destroys them, the last created first, when it is destroyed.
class TKetComponentOwner {
 public:
  TKetComponentOwner() = default;
  ~TKetComponentOwner();
  TKetComponentOwner(const TKetComponentOwner&) = delete;
  TKetComponentOwner& operator=(const TKetComponentOwner&) = delete;

  void InsertComponent(std::unique_ptr<TKetComponent> Component);
  std::size_t ComponentCount() const { return FComponents.size(); }

 private:
  std::vector<std::unique_ptr<TKetComponent>> FComponents;
};

enum class TKetDbOption { oUriFileName };
using TKetDbOptions = std::set<TKetDbOption>;

// The open-flag properties; each covers its own bits of FOpenFlags.
enum class TKetDbAccess : std::int32_t { daReadWrite = 0, daReadOnly = 0x1, daMemory = 0x80 };
enum class TKetDbCache : std::int32_t { dcDefault = 0, dcShared = 0x20000, dcPrivate = 0x40000 };
enum class TKetDbMutex : std::int32_t { dmDefault = 0, dmNoMutex = 0x8000, dmFullMutex = 0x10000 };

class TKetDatabase;
class TKetStatement;

using TKetNotifyEvent = std::function<void(TKetDatabase& Sender)>;

class TKetDatabase : public TKetComponent {
 public:
  // A connection owned by AOwner, which destroys it.
  static TKetDatabase& Create(TKetComponentOwner& AOwner);
  // A connection without an owner; the caller destroys it.
  TKetDatabase();
  ~TKetDatabase() override;

  const std::u16string& DatabaseName() const { return FDatabaseName; }
  void SetDatabaseName(std::u16string_view Value);

  bool Connected() const { return FHandle != nullptr; }
  void SetConnected(bool Value);
  void Open() { SetConnected(true); }
  void Close() { SetConnected(false); }

  // Database passwords are byte strings, passed on unchanged.
  const std::string& Password() const { return FPassword; }
  void SetPassword(std::string_view Value);

  // Rewrites the open database under ANewPassword (empty: plain) and keeps it as Password.
  void ReKey(std::string_view ANewPassword);

  // Raises EKetDatabase for a nonzero engine result code.
  void Check(int AErrorCode) const;

  std::int32_t OpenFlags() const { return FOpenFlags; }
  TKetDbAccess Access() const;
  void SetAccess(TKetDbAccess Value);
  TKetDbCache Cache() const;
  void SetCache(TKetDbCache Value);
  TKetDbMutex Mutex() const;
  void SetMutex(TKetDbMutex Value);
  const TKetDbOptions& Options() const { return FOptions; }
  void SetOptions(TKetDbOptions Value) { FOptions = std::move(Value); }
  const std::u16string& Vfs() const { return FVfs; }
  void SetVfs(std::u16string_view Value) { FVfs = Value; }
  std::int32_t TransactionCount() const { return FTransactionCount; }
  // The engine connection while open, else null.
  sqlite3* Handle() const { return FHandle; }

  // Loading from a stored form: Connected only records the wish until Loaded().
  void BeginLoading() { FLoading = true; }
  void Loaded();
  bool Loading() const { return FLoading; }

  TKetNotifyEvent AfterConnect;
  TKetNotifyEvent AfterCreateDatabase;
  TKetNotifyEvent AfterDisconnect;
  TKetNotifyEvent BeforeConnect;
  TKetNotifyEvent BeforeCreateDatabase;
  TKetNotifyEvent BeforeDisconnect;
  TKetNotifyEvent InitDatabase;

 protected:
  explicit TKetDatabase(TKetComponentOwner* AOwner);

  virtual void DoAfterConnect();
  virtual void DoAfterDisconnect();
  virtual void DoBeforeConnect();
  virtual void DoBeforeDisconnect();
  virtual void DoInitDatabase();

 private:
  friend class TKetStatement;

  void Connect();
  void Disconnect();
  [[noreturn]] void RaiseMessage(std::string_view message) const;
  void DeactivateStatements();
  void AttachStatement(TKetStatement& statement);
  void DetachStatement(TKetStatement& statement);
  void SetFlagBits(std::int32_t mask, std::int32_t bits) {
    FOpenFlags = (FOpenFlags & ~mask) | bits;
  }

  std::u16string FDatabaseName;
  sqlite3* FHandle = nullptr;
  std::int32_t FOpenFlags = 0;
  TKetDbOptions FOptions;
  std::string FPassword;
  std::vector<TKetStatement*> FStatements; // bound statements, not owned
  std::unique_ptr<sqlite3_mutex, void (*)(sqlite3_mutex*)> FStatementsMutex;
  bool FStreamedConnected = false;
  std::int32_t FTransactionCount = 0;
  std::u16string FVfs;
  bool FLoading = false;
};

// A prepared statement bound to a connection. Active prepares it; the connection deactivates its
// statements before it closes and unbinds them when it is destroyed.
class TKetStatement {
 public:
  TKetStatement(TKetDatabase& ADatabase, std::string_view ASql);
  ~TKetStatement();
  TKetStatement(const TKetStatement&) = delete;
  TKetStatement& operator=(const TKetStatement&) = delete;

  bool Active() const { return FHandle != nullptr; }
  void SetActive(bool Value);
  // Steps once: true while a row is there. Activates the statement first when needed.
  bool Step();
  void Reset();
  int ColumnCount() const;
  std::int64_t ColumnInt(int Index) const;
  std::u16string ColumnText(int Index) const;
  TKetDatabase* Database() const { return FDatabase; }

 private:
  friend class TKetDatabase;

  TKetDatabase* FDatabase;
  std::string FSql;
  sqlite3_stmt* FHandle = nullptr;
};

} // namespace ket
