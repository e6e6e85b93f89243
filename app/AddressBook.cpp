#include "app/AddressBook.h"

#include <memory>

#include "components/LedraField.h"

namespace ostrevo {

namespace {

struct TFieldSetUp {
  const char* Name;
  int Size;  // 0: the integer field
  const char* Title;
  int Width;
  bool Shown;
};

constexpr TFieldSetUp kAddressFields[] = {
    {"NAD_TYPE_CD", 0, "Type", 0, false},
    {"ACC_NR", 15, "A/C No", 10, true},
    {"NAD_SHORT_NM", 15, "Short Name", 15, true},
    {"NAD_NM", 30, "Company Name", 30, true},
    {"NAD_CITY_NM", 30, "Town", 30, true},
    {"NAD_PCODE_CD", 9, "Postcode", 9, true},
    {"PRV_NM", 30, "State", 30, true},
    {"NAD_ADDR_LINE_1_DS", 30, "Address Line 1", 40, true},
    {"NAD_ADDR_LINE_2_DS", 30, "Address Line 2", 40, true},
    {"NAD_ADDR_LINE_3_DS", 30, "Address Line 3", 40, true},
    {"NAD_VAT_ID", 20, "VAT Code", 20, false},
    {"COU_ID", 3, "Ctry", 3, false},
    {"CPF_NM", 22, "Pref Contact Name", 22, false},
    {"CPF_TEL_NR", 16, "Pref Tel No", 16, false},
    {"CPF_FAX_NR", 16, "Pref Fax No", 16, false},
    {"CPF_EMAIL_TX", 50, "Pref Email", 50, false},
};

}  // namespace

void SetUpAddressBook(ledra::TLedraTable& table) {
  table.SetTableName(kAddressBookTable);
  table.SetEngineVersion("3.12");
  for (const TFieldSetUp& setUp : kAddressFields) {
    std::unique_ptr<ledra::TLedraField> field;
    if (setUp.Size == 0) {
      field = std::make_unique<ledra::TLedraIntegerField>(&table);
    } else {
      field = std::make_unique<ledra::TLedraStringField>(&table, setUp.Size);
    }
    field->SetFieldName(setUp.Name);
    field->SetDisplayLabel(setUp.Title);
    if (setUp.Width != 0) field->SetDisplayWidth(setUp.Width);
    field->SetVisible(setUp.Shown);
    table.AddField(std::move(field));
  }
}

void SetUpNewTownTable(ledra::TLedraTable& table) {
  table.SetTableName(kNewTownTable);
  table.SetEngineVersion("3.12");
}

}  // namespace ostrevo
