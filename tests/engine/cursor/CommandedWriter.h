// Another process that changes a shared table on the test's command, for the
// cursor tests of what one process sees of another's writes. Kept apart from
// CursorTestSupport.h so that only the tests that start processes see the
// child-process machinery (and, on Windows, the system headers it needs).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "engine/table/DataDirectory.h"
#include "engine/table/DataSession.h"
#include "engine/table/DataTable.h"
#include "tests/support/ChildProcess.h"

namespace ledra::test {

// For each number the test sends, the other process opens the table shared in
// a session of its own, hands it to `change` with the number, closes it and
// answers with the number; 0 lets it go. `change` brackets its writes itself:
// WriteShared for writes made straight into the files, or a cursor of the
// table's directory for a post as a program makes it. It is a plain function,
// not a lambda with captures: on Windows the child is this test program
// started again, and it must run the very same change.
class TCommandedWriter {
 public:
  using TChange = void (*)(TDataTable& table, uint32_t command);

  TCommandedWriter(std::string path, std::string tableName, TChange change)
      : child_([path = std::move(path), tableName = std::move(tableName),
                change](TChildProcess& self) {
          for (;;) {
            const std::optional<uint32_t> command = self.Receive();
            if (!command || *command == 0) return;
            TDataSession session;
            TDataDirectory& directory = session.OpenDirectory("Other", path);
            const TOpenTableResult opened = directory.OpenTable(tableName, false, false, false);
            if (opened.Table == nullptr) {
              throw std::runtime_error("the other process cannot open " + tableName + ": " +
                                       std::to_string(opened.Result));
            }
            change(*opened.Table, *command);
            directory.CloseTable(*opened.Table, false);
            self.Send(*command);
          }
        }) {}

  // Has the other process make change `command` and waits until it has.
  void Run(uint32_t command) {
    child_.Send(command);
    ASSERT_EQ(child_.Receive(), command);
  }
  bool Started() const { return child_.Started(); }

 private:
  TChildProcess child_;
};

}  // namespace ledra::test
