// Engine error codes, the error context and the engine's exception.
//
// Every failure inside the table engine is raised through `RaiseEngineError`,
// which records the code and its context strings in one program-wide context
// and throws `ELedraEngineError`, whose message is built from the fixed text
// of the code. Navigation and blob calls return codes instead of raising.
#pragma once

#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

namespace ledra {

using TEngineErrorCode = uint16_t;

enum : TEngineErrorCode {
  LEDRA_NONE = 0,
  LEDRA_BOF = 8705,                  // 0x2201
  LEDRA_EOF = 8706,                  // 0x2202
  LEDRA_KEYORRECDELETED = 8708,      // 0x2204
  LEDRA_NOCURRREC = 8709,            // 0x2205
  LEDRA_RECNOTFOUND = 8710,          // 0x2206
  LEDRA_ENDOFBLOB = 8711,            // 0x2207
  LEDRA_HEADERCORRUPT = 8961,        // 0x2301
  LEDRA_FILECORRUPT = 8962,          // 0x2302
  LEDRA_MEMOCORRUPT = 8963,          // 0x2303
  LEDRA_INDEXCORRUPT = 8965,         // 0x2305
  LEDRA_READERR = 9217,              // 0x2401
  LEDRA_WRITEERR = 9218,             // 0x2402
  LEDRA_FILEDELETEFAIL = 9220,       // 0x2404
  LEDRA_FILENOACCESS = 9221,         // 0x2405
  LEDRA_RECTOOBIG = 9477,            // 0x2505
  LEDRA_TABLEFULL = 9479,            // 0x2507
  LEDRA_INTERNALLIMIT = 9482,        // 0x250A
  LEDRA_INDEXLIMIT = 9487,           // 0x250F
  LEDRA_FLDLIMIT = 9492,             // 0x2514
  LEDRA_OPENBLOBLIMIT = 9494,        // 0x2516
  LEDRA_BLOBLIMIT = 9498,            // 0x251A
  LEDRA_KEYVIOL = 9729,              // 0x2601
  LEDRA_MINVALERR = 9730,            // 0x2602
  LEDRA_MAXVALERR = 9731,            // 0x2603
  LEDRA_REQDERR = 9732,              // 0x2604
  LEDRA_OUTOFRANGE = 9985,           // 0x2701
  LEDRA_PRIMARYKEYREDEFINE = 9993,   // 0x2709
  LEDRA_INVALIDBLOBOFFSET = 9998,    // 0x270E
  LEDRA_INVALIDFLDTYPE = 10000,      // 0x2710
  LEDRA_INVALIDVCHKSTRUCT = 10006,   // 0x2716
  LEDRA_INDEXNAMEREQUIRED = 10010,   // 0x271A
  LEDRA_INVALIDPASSWORD = 10015,     // 0x271F
  LEDRA_INVALIDINDEXNAME = 10022,    // 0x2726
  LEDRA_INVALIDIDXDESC = 10023,      // 0x2727
  LEDRA_INVALIDKEY = 10026,          // 0x272A
  LEDRA_INDEXEXISTS = 10027,         // 0x272B
  LEDRA_INVALIDBLOBLEN = 10029,      // 0x272D
  LEDRA_INVALIDBLOBHANDLE = 10030,   // 0x272E
  LEDRA_TABLEOPEN = 10031,           // 0x272F
  LEDRA_INVALIDFIELDNAME = 10038,    // 0x2736
  LEDRA_NOSUCHFILTER = 10050,        // 0x2742
  LEDRA_INVALIDFILTER = 10051,       // 0x2743
  LEDRA_INVALIDINDEXDELETE = 10055,  // 0x2747
  LEDRA_LOCKED = 10241,              // 0x2801
  LEDRA_UNLOCKFAILED = 10242,        // 0x2802
  LEDRA_LOCKTIMEOUT = 10249,         // 0x2809
  LEDRA_NEEDEXCLACCESS = 10253,      // 0x280D
  LEDRA_RECLOCKFAILED = 10258,       // 0x2812
  LEDRA_NOTSUFFTABLERIGHTS = 10498,  // 0x2902
  LEDRA_NOTABLOB = 10753,            // 0x2A01
  LEDRA_NOTINITIALIZED = 10758,      // 0x2A06
  LEDRA_OSENOENT = 11010,            // 0x2B02
  LEDRA_OSEMFILE = 11012,            // 0x2B04
  LEDRA_OSEACCES = 11013,            // 0x2B05
  LEDRA_OSEBADF = 11014,             // 0x2B06
  LEDRA_OSENOMEM = 11016,            // 0x2B08
  LEDRA_OSEINVMEM = 11017,           // 0x2B09
  LEDRA_OSENODEV = 11023,            // 0x2B0F
  LEDRA_OSENOTSAM = 11025,           // 0x2B11
  LEDRA_OSUNKNOWN = 11047,           // 0x2B27
  LEDRA_REMOTECOMMLOST = 11276,      // 0x2C0C
  LEDRA_REMOTEUNKNOWN = 11279,       // 0x2C0F
  LEDRA_REMOTECONNECT = 11280,       // 0x2C10
  LEDRA_REMOTENOLOGIN = 11281,       // 0x2C11
  LEDRA_REMOTEMAXCONNECT = 11282,    // 0x2C12
  LEDRA_REMOTEADDRESSBLOCK = 11283,  // 0x2C13
  LEDRA_REMOTECALLBACKERR = 11285,   // 0x2C15
  LEDRA_REMOTEVERSION = 11286,       // 0x2C16
  LEDRA_REMOTEINVLOGIN = 11287,      // 0x2C17
  LEDRA_REMOTENOTAUTH = 11288,       // 0x2C18
  LEDRA_REMOTENOTADMIN = 11289,      // 0x2C19
  LEDRA_REMOTEINVUSER = 11290,       // 0x2C1A
  LEDRA_REMOTENOUSER = 11291,        // 0x2C1B
  LEDRA_REMOTEDUPUSER = 11292,       // 0x2C1C
  LEDRA_REMOTEINVDB = 11293,         // 0x2C1D
  LEDRA_REMOTENODB = 11294,          // 0x2C1E
  LEDRA_REMOTEDUPDB = 11295,         // 0x2C1F
  LEDRA_REMOTEINVDBUSER = 11296,     // 0x2C20
  LEDRA_REMOTENODBUSER = 11297,      // 0x2C21
  LEDRA_REMOTEDUPDBUSER = 11298,     // 0x2C22
  LEDRA_REMOTEINVREQUEST = 11299,    // 0x2C23
  LEDRA_IMPORTERROR = 11300,         // 0x2C24
  LEDRA_EXPORTERROR = 11301,         // 0x2C25
  LEDRA_SQLPARSE = 11949,            // 0x2EAD
  LEDRA_OLDVERSION = 12035,          // 0x2F03
  LEDRA_SEARCHCOLREQD = 12292,       // 0x3004
  LEDRA_TABLEEXISTS = 13060,         // 0x3304
  LEDRA_COMPRESS = 15001,            // 0x3A99
  LEDRA_UNCOMPRESS = 15002,          // 0x3A9A
  LEDRA_CANNOTLOADLDDRV = 15878,     // 0x3E06
};

// The component layer's database error: an exception with a message.
class EDatabaseError : public std::runtime_error {
 public:
  explicit EDatabaseError(const std::string& message) : std::runtime_error(message) {}
};

// The details of an error being raised (defined with the error table).
struct TEngineErrorContext;

class ELedraEngineError : public EDatabaseError {
 public:
  // Builds the error for a code from the current error context.
  explicit ELedraEngineError(TEngineErrorCode code);
  // Builds the error for a code from a copy of the context taken by the raiser.
  ELedraEngineError(TEngineErrorCode code, const TEngineErrorContext& context);

  TEngineErrorCode ErrorCode = 0;
  int32_t OSErrorCode = 0;
  int32_t SocketErrorCode = 0;
  std::string ErrorServer;
  std::string ErrorUser;
  std::string ErrorDatabase;
  std::string ErrorTable;
  std::string ErrorField;
  std::string ErrorIndex;
  std::string ErrorText;
};

// The names (and the text) an engine error carries, one per role; a role
// that does not apply stays empty. Named where the error is raised:
//   RaiseEngineError(LEDRA_KEYVIOL, {.Index = indexName, .Table = tableName});
// The members are views: what they show need only live until the raise.
struct TEngineErrorArgs {
  std::string_view Server = {};
  std::string_view User = {};
  std::string_view Text = {};
  std::string_view Index = {};
  std::string_view Field = {};
  std::string_view Table = {};
  std::string_view Database = {};
};

// The one way the engine reports a failure.
[[noreturn]] void RaiseEngineError(TEngineErrorCode code, const TEngineErrorArgs& args = {});

// The common case: an error about one table (a cursor's checks also pass its
// database name).
[[noreturn]] void RaiseTableError(TEngineErrorCode code, std::string_view table,
                                  std::string_view database = {});

// The message text of a code with the current context filled in, at most 254
// characters; "An unknown error occurred" for a code not in the table.
std::string EngineErrorMessage(TEngineErrorCode code);
// The symbolic name of a code ("LEDRA_KEYVIOL"), empty for an unknown code.
std::string EngineErrorName(TEngineErrorCode code);
// Whether a code reports a table file that cannot be read or decoded (its
// header, pages, records or blob chains damaged), as opposed to a refusal
// (another user, no rights, a missing file) that says nothing of the bytes.
bool IsDamagedFileError(TEngineErrorCode code);
// The code of the last error raised.
TEngineErrorCode LastEngineErrorCode();
// The code of a caught exception: an engine error's own code, LEDRA_OSUNKNOWN
// for anything else.
TEngineErrorCode ErrorCodeOf(const std::exception& error);
TEngineErrorCode ErrorCodeOf(std::exception_ptr error);

}  // namespace ledra
