#include "app/RunRecord.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "components/LedraBackup.h"
#include "components/LedraField.h"
#include "platform/Cp1252.h"
#include "platform/File.h"
#include "platform/Folders.h"
#include "platform/System.h"

namespace ostrevo {

std::string OstrevoDataFolder() {
  const std::string base = ledra::platform::UserDataDirectory();
  if (base.empty()) return {};
  return ledra::platform::IncludeTrailingSeparator(base) + "Ostrevo";
}

std::string RunFolderName(double dateTime) {
  using namespace std::chrono;
  // Days since 30 December 1899; the fraction is the time of day.
  const double days = std::floor(dateTime);
  int64_t seconds = std::llround((dateTime - days) * 86400.0);
  int64_t day = int64_t(days);
  if (seconds >= 86400) {
    seconds -= 86400;
    ++day;
  }
  const year_month_day date{sys_days{year{1899} / December / 30} + std::chrono::days{day}};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d.%02d.%02d", int(date.year()),
                unsigned(date.month()), unsigned(date.day()), int(seconds / 3600),
                int(seconds / 60 % 60), int(seconds % 60));
  return text;
}

std::string DecisionText(TTownDecision decision) {
  switch (decision) {
    case TTownDecision::Automatic:
      return "automatic";
    case TTownDecision::ChosenByUser:
      return "chosen by the user";
    case TTownDecision::KeptUpperCased:
      return "kept upper-cased (no new name)";
  }
  return {};
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + "\"";
}

TRunRecord::TRunRecord(ledra::TLedraTable& addressBook)
    : addressBook_(addressBook), started_(ledra::platform::NowDateTime()) {}

void TRunRecord::BeforeFirstChange() {
  const std::string data = OstrevoDataFolder();
  if (data.empty()) {
    throw std::runtime_error(
        "No folder for Ostrevo's own data was found, so the address book could not be backed "
        "up before the update; nothing was changed");
  }
  const char separator = ledra::platform::PathSeparator();
  const std::string backups = data + separator + "Backups" + separator + RunFolderName(started_);
  // Two runs in one second get folders of their own.
  std::string folder = backups;
  for (int n = 2; ledra::platform::DirectoryExists(folder); ++n) {
    folder = backups + " (" + std::to_string(n) + ")";
  }
  folder = ledra::platform::IncludeTrailingSeparator(folder);
  ledra::BackupLedraTable(addressBook_, folder);

  keyFields_.clear();
  for (const ledra::TLedraIndexDef& index : addressBook_.IndexDefs()) {
    if (index.Name.empty()) keyFields_ = index.FieldNames;
  }
  const std::string listName = folder + kChangeListName;
  changes_.open(listName, std::ios::binary | std::ios::trunc);
  std::string header;
  for (const std::string& field : keyFields_) header += CsvField(field) + ",";
  header += "Old town,New town,Decision\r\n";
  changes_ << header << std::flush;
  if (!changes_) {
    throw std::runtime_error("The list of changes " + listName +
                             " cannot be written; nothing was changed");
  }
  folder_ = folder;
}

void TRunRecord::RecordWritten(const std::string& oldTown, const std::string& newTown,
                               TTownDecision decision) {
  auto field = [](const std::string& text) {
    return CsvField(ledra::platform::Cp1252ToUtf8(text));
  };
  std::string line;
  std::string keyText;
  for (const std::string& key : keyFields_) {
    const std::string value = addressBook_.FieldByName(key).AsString();
    line += field(value) + ",";
    keyText += (keyText.empty() ? "" : " ") + value;
  }
  line += field(oldTown) + "," + field(newTown) + "," + DecisionText(decision) + "\r\n";
  changes_ << line << std::flush;
  if (!changes_) {
    throw std::runtime_error("The list of changes in " + folder_ +
                             " cannot be written; the update stopped after writing the record " +
                             keyText + ", which the list may lack");
  }
}

}  // namespace ostrevo
