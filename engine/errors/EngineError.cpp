// The engine's error table, the program-wide error context and the raising of
// engine errors.
#include "engine/errors/EngineError.h"

#include <algorithm>
#include <array>
#include <mutex>

#include "platform/WinError.h"

namespace ledra {

// The details of the error being raised. One instance lives for the whole run
// of the program and is overwritten by each raise; every exception also gets
// its own copy.
struct TEngineErrorContext {
  TEngineErrorCode code = LEDRA_NONE;
  int32_t osError = 0;
  int32_t socketError = 0;
  std::string server;
  std::string user;
  std::string database;
  std::string table;
  std::string field;
  std::string index;
  std::string text;
};

namespace {

// Context strings are short strings: at most 255 characters are kept.
constexpr size_t kMaxContextLength = 255;
// Message texts are returned in a 255-byte buffer with its terminating zero.
constexpr size_t kMaxMessageLength = 254;

constexpr char kUnknownErrorMessage[] = "An unknown error occurred";
constexpr char kMessagePrefix[] = "Ledra Engine Error # ";

// The context slot that fills one "%s" place of a message, in order.
enum TErrorRole : uint8_t {
  kNone = 0,
  kServer,
  kUser,
  kDatabase,
  kTable,
  kField,
  kIndex,
  kText,
  // Passed to the message but never shown by it (LEDRA_OSUNKNOWN).
  kOSError,
};

struct TErrorEntry {
  TEngineErrorCode code;
  const char* name;
  const char* message;
  // Unused places hold kNone.
  std::array<TErrorRole, 3> roles;
};

// Sorted by code, so that a lookup is a binary search; one entry per line, so
// that a message can be found and read whole.
// clang-format off
#define ENTRY(code, message, ...) {code, #code, message, {__VA_ARGS__}}
constexpr TErrorEntry kErrorTable[] = {
    ENTRY(LEDRA_BOF, "Beginning of table '%s' unexpectedly encountered", kTable),
    ENTRY(LEDRA_EOF, "End of table '%s' unexpectedly encountered", kTable),
    ENTRY(LEDRA_KEYORRECDELETED, "Record has been changed or deleted by another user, session, or table cursor in the table '%s'", kTable),
    ENTRY(LEDRA_NOCURRREC, "No current record in the table '%s'", kTable),
    ENTRY(LEDRA_RECNOTFOUND, "Record not found in the table '%s'", kTable),
    ENTRY(LEDRA_ENDOFBLOB, "End of blob data in the table '%s' reached prematurely", kTable),
    ENTRY(LEDRA_HEADERCORRUPT, "Header information corrupt in the table '%s'", kTable),
    ENTRY(LEDRA_FILECORRUPT, "Data record buffers corrupt in the table '%s'", kTable),
    ENTRY(LEDRA_MEMOCORRUPT, "BLOB block buffers corrupt in the table '%s'", kTable),
    ENTRY(LEDRA_INDEXCORRUPT, "Index page buffers corrupt in the table '%s'", kTable),
    ENTRY(LEDRA_READERR, "Error reading from the table '%s'", kTable),
    ENTRY(LEDRA_WRITEERR, "Error writing to the table '%s'", kTable),
    ENTRY(LEDRA_FILEDELETEFAIL, "Cannot delete the table '%s'", kTable),
    ENTRY(LEDRA_FILENOACCESS, "Error accessing header information for the table '%s'", kTable),
    ENTRY(LEDRA_RECTOOBIG, "Maximum record size exceeded in the table '%s'", kTable),
    ENTRY(LEDRA_TABLEFULL, "The table '%s' is full and cannot contain any more data", kTable),
    ENTRY(LEDRA_INTERNALLIMIT, "Too many filters defined for the table '%s'", kTable),
    ENTRY(LEDRA_INDEXLIMIT, "Maximum or minimum limits on number of indexes or fields in an index exceeded in the table '%s'", kTable),
    ENTRY(LEDRA_FLDLIMIT, "Maximum or minimum limits on number of fields, auto-increment field value, or field size exceeded in the table '%s'", kTable),
    ENTRY(LEDRA_OPENBLOBLIMIT, "Too many blobs opened in the table '%s'", kTable),
    ENTRY(LEDRA_BLOBLIMIT, "Too many blob fields or invalid blob block size specified for the table '%s'", kTable),
    ENTRY(LEDRA_KEYVIOL, "Duplicate key found in the index '%s' of the table '%s'", kIndex, kTable),
    ENTRY(LEDRA_MINVALERR, "The value for the field '%s' in the table '%s' is below the minimum allowable value", kField, kTable),
    ENTRY(LEDRA_MAXVALERR, "The value for the field '%s' in the table '%s' is above the maximum allowable value", kField, kTable),
    ENTRY(LEDRA_REQDERR, "A value must be provided for the field '%s' in the table '%s'", kField, kTable),
    ENTRY(LEDRA_OUTOFRANGE, "Invalid field number or name '%s' specified for the table '%s'", kField, kTable),
    ENTRY(LEDRA_PRIMARYKEYREDEFINE, "A primary index is already defined for the table '%s' and cannot be added again", kTable),
    ENTRY(LEDRA_INVALIDBLOBOFFSET, "Invalid blob offset into the table '%s' specified", kTable),
    ENTRY(LEDRA_INVALIDFLDTYPE, "Invalid field definition specified for the field '%s' in the table '%s'", kField, kTable),
    ENTRY(LEDRA_INVALIDVCHKSTRUCT, "Invalid default, min or max validity check, or expression specified for the field '%s' in the table '%s'", kField, kTable),
    ENTRY(LEDRA_INDEXNAMEREQUIRED, "The secondary index name is missing or not specified for the table '%s'", kTable),
    ENTRY(LEDRA_INVALIDPASSWORD, "Password provided for the table '%s' is invalid", kTable),
    ENTRY(LEDRA_INVALIDINDEXNAME, "Invalid secondary index name '%s' specified for the table '%s'", kIndex, kTable),
    ENTRY(LEDRA_INVALIDIDXDESC, "Invalid field number '%s' specified in the index '%s' for the table '%s'", kField, kIndex, kTable),
    ENTRY(LEDRA_INVALIDKEY, "Invalid key size specified in the index '%s' for the table '%s'", kIndex, kTable),
    ENTRY(LEDRA_INDEXEXISTS, "The secondary index '%s' already exists for the table '%s'", kIndex, kTable),
    ENTRY(LEDRA_INVALIDBLOBLEN, "Invalid blob length in the table '%s'", kTable),
    ENTRY(LEDRA_INVALIDBLOBHANDLE, "Invalid blob handle for the table '%s' specified", kTable),
    ENTRY(LEDRA_TABLEOPEN, "The table '%s' is already in use", kTable),
    ENTRY(LEDRA_INVALIDFIELDNAME, "Invalid or duplicate field name '%s' specified for the table '%s'", kField, kTable),
    ENTRY(LEDRA_NOSUCHFILTER, "Invalid filter handle specified for the table '%s'", kTable),
    ENTRY(LEDRA_INVALIDFILTER, "Filter error for the table '%s' - %s", kTable, kText),
    ENTRY(LEDRA_INVALIDINDEXDELETE, "The primary index cannot be removed from the table '%s'", kTable),
    ENTRY(LEDRA_LOCKED, "The table '%s' is already locked by another user", kTable),
    ENTRY(LEDRA_UNLOCKFAILED, "Cannot unlock table or record in the table '%s'", kTable),
    ENTRY(LEDRA_LOCKTIMEOUT, "General lock failure with the table '%s'", kTable),
    ENTRY(LEDRA_NEEDEXCLACCESS, "The table '%s' must be opened exclusively", kTable),
    ENTRY(LEDRA_RECLOCKFAILED, "Record in the table '%s' is in use by another user", kTable),
    ENTRY(LEDRA_NOTSUFFTABLERIGHTS, "Insufficient rights to the table '%s', a password is required", kTable),
    ENTRY(LEDRA_NOTABLOB, "Invalid blob field '%s' specified for the table '%s'", kField, kTable),
    ENTRY(LEDRA_NOTINITIALIZED, "The database engine is not initialized"),
    ENTRY(LEDRA_OSENOENT, "Table '%s' does not exist", kTable),
    ENTRY(LEDRA_OSEMFILE, "Too many operating system files open while attempting to open the table '%s'", kTable),
    ENTRY(LEDRA_OSEACCES, "Access denied to table '%s'", kTable),
    ENTRY(LEDRA_OSEBADF, "Invalid operating system file handle for the table '%s'", kTable),
    ENTRY(LEDRA_OSENOMEM, "There is insufficient operating system memory available for the current operation"),
    ENTRY(LEDRA_OSEINVMEM, "Invalid length for the in-memory table '%s'", kTable),
    ENTRY(LEDRA_OSENODEV, "Access denied to logical operating system device for the table '%s'", kTable),
    ENTRY(LEDRA_OSENOTSAM, "The table '%s' has been moved", kTable),
    ENTRY(LEDRA_OSUNKNOWN, "An unknown operating system error occurred with the table '%s'", kTable, kOSError),
    ENTRY(LEDRA_REMOTECOMMLOST, "The connection to the database server at '%s' has been lost", kServer),
    ENTRY(LEDRA_REMOTEUNKNOWN, "An unknown error ('%s') occurred with the connection to the database server at '%s', please check the server log", kText, kServer),
    ENTRY(LEDRA_REMOTECONNECT, "A connection to the database server at '%s' cannot be established", kServer),
    ENTRY(LEDRA_REMOTENOLOGIN, "A connection to the database server at '%s' cannot be established, the server is not accepting new logins", kServer),
    ENTRY(LEDRA_REMOTEMAXCONNECT, "A connection to the database server at '%s' cannot be established, the maximum number of connections has been reached", kServer),
    ENTRY(LEDRA_REMOTEADDRESSBLOCK, "A connection to the database server at '%s' cannot be established, the client address is blocked", kServer),
    ENTRY(LEDRA_REMOTECALLBACKERR, "A server callback error occurred for the database server at '%s'", kServer),
    ENTRY(LEDRA_REMOTEVERSION, "A call to the database server at '%s' failed, the client engine version does not match the server", kServer),
    ENTRY(LEDRA_REMOTEINVLOGIN, "A connection to the database server at '%s' cannot be established, the login information provided is invalid", kServer),
    ENTRY(LEDRA_REMOTENOTAUTH, "The user '%s' is not authorized to perform this operation with the database '%s' on the database server at '%s'", kUser, kDatabase, kServer),
    ENTRY(LEDRA_REMOTENOTADMIN, "The user '%s' is not authorized to perform administration functions on the database server at '%s'", kUser, kServer),
    ENTRY(LEDRA_REMOTEINVUSER, "The user name is either invalid or blank", kServer),
    ENTRY(LEDRA_REMOTENOUSER, "The user '%s' does not exist on the database server at '%s'", kUser, kServer),
    ENTRY(LEDRA_REMOTEDUPUSER, "The user '%s' already exists on the database server at '%s'", kUser, kServer),
    ENTRY(LEDRA_REMOTEINVDB, "The database name or directory is either invalid or blank", kServer),
    ENTRY(LEDRA_REMOTENODB, "The database '%s' does not exist on the database server at '%s'", kDatabase, kServer),
    ENTRY(LEDRA_REMOTEDUPDB, "The database '%s' already exists on the database server at '%s'", kDatabase, kServer),
    ENTRY(LEDRA_REMOTEINVDBUSER, "The database user name is either invalid or blank", kServer),
    ENTRY(LEDRA_REMOTENODBUSER, "The database user '%s' does not exist for the database '%s' on the database server at '%s'", kUser, kDatabase, kServer),
    ENTRY(LEDRA_REMOTEDUPDBUSER, "The database user '%s' already exists for the database '%s' on the database server at '%s'", kUser, kDatabase, kServer),
    ENTRY(LEDRA_REMOTEINVREQUEST, "An invalid or unknown request was made to the database server at '%s'", kServer),
    ENTRY(LEDRA_IMPORTERROR, "An error occurred during the import into the table '%s' - %s", kTable, kText),
    ENTRY(LEDRA_EXPORTERROR, "An error occurred during the export from the table '%s' - %s", kTable, kText),
    ENTRY(LEDRA_SQLPARSE, "SQL error - %s", kText),
    ENTRY(LEDRA_OLDVERSION, "The table '%s' is not the correct version", kTable),
    ENTRY(LEDRA_SEARCHCOLREQD, "Invalid field '%s' specified for the index '%s' in the table '%s'", kField, kIndex, kTable),
    ENTRY(LEDRA_TABLEEXISTS, "The table '%s' already exists", kTable),
    ENTRY(LEDRA_COMPRESS, "Error compressing data"),
    ENTRY(LEDRA_UNCOMPRESS, "Error uncompressing data"),
    ENTRY(LEDRA_CANNOTLOADLDDRV, "The language driver for the table '%s' is not available or installed", kTable),
};
#undef ENTRY
// clang-format on

constexpr bool TableIsSorted() {
  for (size_t i = 1; i < std::size(kErrorTable); ++i) {
    if (kErrorTable[i - 1].code >= kErrorTable[i].code) return false;
  }
  return true;
}
static_assert(TableIsSorted(), "error table must be in ascending code order");

const TErrorEntry* FindEntry(TEngineErrorCode code) {
  auto found = std::lower_bound(
      std::begin(kErrorTable), std::end(kErrorTable), code,
      [](const TErrorEntry& entry, TEngineErrorCode value) { return entry.code < value; });
  if (found == std::end(kErrorTable) || found->code != code) return nullptr;
  return found;
}

std::mutex& ContextLock() {
  static std::mutex lock;
  return lock;
}

// Guarded by ContextLock().
TEngineErrorContext& Context() {
  static TEngineErrorContext context;
  return context;
}

std::string CutTo(std::string_view text, size_t length) {
  return std::string(text.substr(0, std::min(text.size(), length)));
}

std::string RoleValue(TErrorRole role, const TEngineErrorContext& context) {
  switch (role) {
    case kServer:
      return context.server;
    case kUser:
      return context.user;
    case kDatabase:
      return context.database;
    case kTable:
      return context.table;
    case kField:
      return context.field;
    case kIndex:
      return context.index;
    case kText:
      return context.text;
    case kOSError:
      return std::to_string(context.osError);
    case kNone:
      break;
  }
  return {};
}

// Fills the "%s" places of the code's message from the context. The values
// are copied in as they stand, never used as a format, so a '%' in a table
// name is just a character.
std::string FormatMessage(TEngineErrorCode code, const TEngineErrorContext& context) {
  const TErrorEntry* entry = FindEntry(code);
  if (entry == nullptr) return kUnknownErrorMessage;
  std::string result;
  std::string_view message = entry->message;
  size_t nextRole = 0;
  size_t pos = 0;
  while (pos < message.size()) {
    if (message.compare(pos, 2, "%s") == 0) {
      if (nextRole < entry->roles.size()) {
        result += RoleValue(entry->roles[nextRole++], context);
      }
      pos += 2;
    } else {
      result += message[pos++];
    }
  }
  if (result.size() > kMaxMessageLength) result.resize(kMaxMessageLength);
  return result;
}

std::string ComposeMessage(TEngineErrorCode code, const TEngineErrorContext& context) {
  return kMessagePrefix + std::to_string(code) + " " + FormatMessage(code, context);
}

// The socket library's last error. Nothing here talks to a socket library:
// remote sessions are not part of this build, so there is never a socket
// error to report.
int32_t SocketLastError() {
  return 0;
}

}  // namespace

ELedraEngineError::ELedraEngineError(TEngineErrorCode code)
    : ELedraEngineError(code, [] {
        std::lock_guard<std::mutex> guard(ContextLock());
        return Context();
      }()) {}

ELedraEngineError::ELedraEngineError(TEngineErrorCode code, const TEngineErrorContext& context)
    : EDatabaseError(ComposeMessage(code, context)),
      ErrorCode(code),
      OSErrorCode(context.osError),
      SocketErrorCode(context.socketError),
      ErrorServer(context.server),
      ErrorUser(context.user),
      ErrorDatabase(context.database),
      ErrorTable(context.table),
      ErrorField(context.field),
      ErrorIndex(context.index),
      ErrorText(context.text) {}

void RaiseEngineError(TEngineErrorCode code, const TEngineErrorArgs& args) {
  {
    std::lock_guard<std::mutex> guard(ContextLock());
    Context() = TEngineErrorContext();
  }
  const int32_t socketError = SocketLastError();
  const int32_t osError = static_cast<int32_t>(platform::GetLastError());

  TEngineErrorContext stored;
  stored.code = code;
  stored.osError = osError;
  stored.socketError = socketError;
  stored.server = CutTo(args.Server, kMaxContextLength);
  stored.user = CutTo(args.User, kMaxContextLength);
  stored.database = CutTo(args.Database, kMaxContextLength);
  stored.table = CutTo(args.Table, kMaxContextLength);
  stored.field = CutTo(args.Field, kMaxContextLength);
  stored.index = CutTo(args.Index, kMaxContextLength);
  stored.text = CutTo(args.Text, kMaxContextLength);
  {
    std::lock_guard<std::mutex> guard(ContextLock());
    Context() = stored;
  }
  // The exception is built from what this call stored, not read back from the
  // shared context, so an error raised meanwhile by another thread cannot end
  // up in this one.
  throw ELedraEngineError(code, stored);
}

void RaiseTableError(TEngineErrorCode code, std::string_view table, std::string_view database) {
  RaiseEngineError(code, {.Table = table, .Database = database});
}

std::string EngineErrorMessage(TEngineErrorCode code) {
  TEngineErrorContext context;
  {
    std::lock_guard<std::mutex> guard(ContextLock());
    context = Context();
  }
  return FormatMessage(code, context);
}

std::string EngineErrorName(TEngineErrorCode code) {
  const TErrorEntry* entry = FindEntry(code);
  return entry == nullptr ? std::string() : std::string(entry->name);
}

bool IsDamagedFileError(TEngineErrorCode code) {
  switch (code) {
    case LEDRA_HEADERCORRUPT:
    case LEDRA_OLDVERSION:
    case LEDRA_INDEXCORRUPT:
    case LEDRA_FILECORRUPT:
    case LEDRA_MEMOCORRUPT:
    case LEDRA_READERR:
    case LEDRA_INVALIDBLOBLEN:
    case LEDRA_INVALIDBLOBOFFSET:
    case LEDRA_BLOBLIMIT:
      return true;
    default:
      return false;
  }
}

TEngineErrorCode LastEngineErrorCode() {
  std::lock_guard<std::mutex> guard(ContextLock());
  return Context().code;
}

TEngineErrorCode ErrorCodeOf(const std::exception& error) {
  if (const auto* engineError = dynamic_cast<const ELedraEngineError*>(&error)) {
    return engineError->ErrorCode;
  }
  return LEDRA_OSUNKNOWN;
}

TEngineErrorCode ErrorCodeOf(std::exception_ptr error) {
  if (!error) return LEDRA_OSUNKNOWN;
  try {
    std::rethrow_exception(error);
  } catch (const ELedraEngineError& engineError) {
    return engineError.ErrorCode;
  } catch (...) {
    return LEDRA_OSUNKNOWN;
  }
}

}  // namespace ledra
