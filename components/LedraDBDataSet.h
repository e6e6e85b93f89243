// A dataset that works in a database of a session: DatabaseName and
// SessionName, and the binding to the database while the dataset uses it.
//
// The database is bound when the first of sixteen in-use flags is set (the
// "opened" flag at open; others by operations on a closed table) and given
// back to the session when the last is cleared.
#pragma once

#include <bitset>
#include <string>
#include <string_view>

#include "components/LedraDataSet.h"

namespace ledra {

class TLedraDatabase;
class TLedraSession;

enum TDatabaseUse : uint8_t { duOpened = 0, duFieldDefs = 1, duIndexDefs = 2 };

class TLedraDBDataSet : public TLedraDataSet {
 public:
  explicit TLedraDBDataSet(TLedraComponent* owner = nullptr);
  ~TLedraDBDataSet() override;

  const std::string& DatabaseName() const { return databaseName_; }
  virtual void SetDatabaseName(std::string_view name);
  const std::string& SessionName() const { return sessionName_; }
  void SetSessionName(std::string_view name);

  // The database while bound, else null.
  TLedraDatabase* Database() const { return database_; }
  // The session SessionName names ("Session name %s is not valid.").
  TLedraSession& DBSession() const;

 protected:
  // Sets a use flag; the first binds the database (finding the session,
  // opening the database, joining its dataset list).
  void SetDatabaseFlag(TDatabaseUse flag, bool on);
  // Gives back the "opened" use.
  void CloseCursorBinding() override;
  std::string ErrorDatabaseName() const override;

 private:
  friend class TLedraDatabase;
  // The database closes: the dataset closes and forgets it.
  void DatabaseClosing();

  std::string databaseName_;
  std::string sessionName_;
  TLedraDatabase* database_ = nullptr;
  std::bitset<16> databaseFlags_;
};

}  // namespace ledra
