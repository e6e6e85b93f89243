#include "tools/ledra/DemoData.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/errors/EngineError.h"
#include "engine/table/TableCreation.h"
#include "engine/table/TableDefinition.h"
#include "tools/ledra/Importer.h"
#include "tools/ledra/TableArguments.h"
#include "tools/ledra/ToolError.h"
#include "tools/ledra/ToolSession.h"

namespace ledra::tool {

namespace {

// The address book's fields as the application binds them.
constexpr std::array<const char*, 16> kAddressFields = {"NAD_TYPE_CD:integer",
                                                        "ACC_NR:string:15:required",
                                                        "NAD_SHORT_NM:string:15",
                                                        "NAD_NM:string:30",
                                                        "NAD_CITY_NM:string:30",
                                                        "NAD_PCODE_CD:string:9",
                                                        "PRV_NM:string:30",
                                                        "NAD_ADDR_LINE_1_DS:string:30",
                                                        "NAD_ADDR_LINE_2_DS:string:30",
                                                        "NAD_ADDR_LINE_3_DS:string:30",
                                                        "NAD_VAT_ID:string:20",
                                                        "COU_ID:string:3",
                                                        "CPF_NM:string:22",
                                                        "CPF_TEL_NR:string:16",
                                                        "CPF_FAX_NR:string:16",
                                                        "CPF_EMAIL_TX:string:50"};
enum TColumn {
  kType,
  kAccount,
  kShortName,
  kName,
  kTown,
  kPostcode,
  kProvince,
  kLine1,
  kLine2,
  kLine3,
  kVat,
  kCountry,
  kContact,
  kTel,
  kFax,
  kEmail,
  kColumnCount
};

struct TChinaTown {
  const char* Name;
  const char* Province;
  int Prefix;  // the first three digits of its postcodes
  const char* AreaCode;
  std::array<const char*, 4> Districts;
};

constexpr TChinaTown kChinaTowns[] = {
    {"Beijing", "Beijing", 100, "10", {"Chaoyang", "Haidian", "Dongcheng", "Fengtai"}},
    {"Changping", "Beijing", 102, "10", {"Huilongguan", "Nankou", "Shahe", "Xiaotangshan"}},
    {"Shanghai", "Shanghai", 200, "21", {"Huangpu", "Xuhui", "Jing'an", "Changning"}},
    {"Pudong", "Shanghai", 201, "21", {"Lujiazui", "Zhangjiang", "Jinqiao", "Waigaoqiao"}},
    {"Tianjin", "Tianjin", 300, "22", {"Heping", "Hexi", "Nankai", "Binhai"}},
    {"Guangzhou", "Guangdong", 510, "20", {"Tianhe", "Yuexiu", "Haizhu", "Baiyun"}},
    {"Shenzhen", "Guangdong", 518, "755", {"Nanshan", "Futian", "Luohu", "Bao'an"}},
    {"Dongguan", "Guangdong", 523, "769", {"Chang'an", "Humen", "Houjie", "Songshan Lake"}},
    {"Foshan", "Guangdong", 528, "757", {"Shunde", "Nanhai", "Chancheng", "Sanshui"}},
    {"Zhuhai", "Guangdong", 519, "756", {"Xiangzhou", "Jinwan", "Doumen", "Hengqin"}},
    {"Hangzhou", "Zhejiang", 310, "571", {"Xihu", "Binjiang", "Xiaoshan", "Yuhang"}},
    {"Ningbo", "Zhejiang", 315, "574", {"Beilun", "Yinzhou", "Zhenhai", "Jiangbei"}},
    {"Yiwu", "Zhejiang", 322, "579", {"Choucheng", "Futian", "Suxi", "Fotang"}},
    {"Wenzhou", "Zhejiang", 325, "577", {"Lucheng", "Longwan", "Ouhai", "Rui'an"}},
    {"Nanjing", "Jiangsu", 210, "25", {"Gulou", "Xuanwu", "Jiangning", "Pukou"}},
    {"Suzhou", "Jiangsu", 215, "512", {"Gusu", "Wuzhong", "Kunshan", "Zhangjiagang"}},
    {"Wuxi", "Jiangsu", 214, "510", {"Liangxi", "Binhu", "Jiangyin", "Yixing"}},
    {"Jinan", "Shandong", 250, "531", {"Lixia", "Shizhong", "Huaiyin", "Licheng"}},
    {"Qingdao", "Shandong", 266, "532", {"Shinan", "Laoshan", "Huangdao", "Chengyang"}},
    {"Yantai", "Shandong", 264, "535", {"Zhifu", "Laishan", "Fushan", "Penglai"}},
    {"Chengdu", "Sichuan", 610, "28", {"Jinjiang", "Wuhou", "Qingyang", "Pixian"}},
    {"Mianyang", "Sichuan", 621, "816", {"Fucheng", "Youxian", "Jiangyou", "Santai"}},
    {"Wuhan", "Hubei", 430, "27", {"Jianghan", "Wuchang", "Hanyang", "Hongshan"}},
    {"Yichang", "Hubei", 443, "717", {"Xiling", "Wujiagang", "Yiling", "Zhijiang"}},
    {"Fuzhou", "Fujian", 350, "591", {"Gulou", "Taijiang", "Cangshan", "Mawei"}},
    {"Xiamen", "Fujian", 361, "592", {"Siming", "Huli", "Jimei", "Haicang"}},
    {"Quanzhou", "Fujian", 362, "595", {"Licheng", "Fengze", "Jinjiang", "Shishi"}},
    {"Shenyang", "Liaoning", 110, "24", {"Heping", "Shenhe", "Tiexi", "Hunnan"}},
    {"Dalian", "Liaoning", 116, "411", {"Zhongshan", "Xigang", "Shahekou", "Jinzhou"}},
    {"Zhengzhou", "Henan", 450, "371", {"Jinshui", "Erqi", "Zhongyuan", "Huiji"}},
    {"Luoyang", "Henan", 471, "379", {"Laocheng", "Xigong", "Jianxi", "Luolong"}},
    {"Changsha", "Hunan", 410, "731", {"Furong", "Tianxin", "Yuelu", "Kaifu"}},
};

struct TForeignTown {
  const char* Country;
  const char* Town;
  const char* Province;
  const char* PostcodePattern;  // # a digit, @ a letter
  const char* Dial;
};

constexpr TForeignTown kForeignTowns[] = {
    {"GB", "London", "Greater London", "@@# #@@", "+44 20"},
    {"GB", "Manchester", "Greater Manchester", "M# #@@", "+44 161"},
    {"GB", "Felixstowe", "Suffolk", "IP11 #@@", "+44 1394"},
    {"DE", "Hamburg", "Hamburg", "20###", "+49 40"},
    {"DE", "Muenchen", "Bayern", "80###", "+49 89"},
    {"DE", "Duisburg", "Nordrhein-Westfalen", "47###", "+49 203"},
    {"FR", "Paris", "Ile-de-France", "750##", "+33 1"},
    {"FR", "Le Havre", "Normandie", "76###", "+33 2"},
    {"NL", "Rotterdam", "Zuid-Holland", "30## @@", "+31 10"},
    {"NL", "Amsterdam", "Noord-Holland", "10## @@", "+31 20"},
    {"BE", "Antwerpen", "Antwerpen", "2###", "+32 3"},
    {"US", "New York", "NY", "100##", "+1 212"},
    {"US", "Los Angeles", "CA", "900##", "+1 213"},
    {"US", "Chicago", "IL", "606##", "+1 312"},
    {"JP", "Tokyo", "Tokyo", "1##-####", "+81 3"},
    {"JP", "Osaka", "Osaka", "5##-####", "+81 6"},
    {"HK", "Kowloon", "", "", "+852"},
    {"HK", "Hong Kong", "Hong Kong Island", "", "+852"},
    {"TW", "Taipei", "", "1##", "+886 2"},
    {"SG", "Singapore", "", "######", "+65"},
    {"IT", "Milano", "Lombardia", "201##", "+39 02"},
    {"ES", "Madrid", "Madrid", "280##", "+34 91"},
    {"AU", "Sydney", "NSW", "2###", "+61 2"},
    {"KR", "Busan", "", "4####", "+82 51"},
};

constexpr const char* kCompanyWords[] = {
    "Bright",    "Golden", "Pacific",  "Oriental", "United", "Harbour",   "Summit", "Rapid",
    "Evergreen", "Silver", "Northern", "Grand",    "Orient", "Precision", "Star",   "Delta"};
constexpr const char* kTrades[] = {"Electronics", "Logistics", "Textiles", "Machinery", "Trading",
                                   "Plastics",    "Furniture", "Ceramics", "Lighting",  "Toys",
                                   "Packaging",   "Hardware",  "Garments", "Optics"};
constexpr const char* kChineseFamily[] = {"Li",    "Wang", "Zhang", "Liu",  "Chen", "Yang",
                                          "Huang", "Zhao", "Wu",    "Zhou", "Xu",   "Sun"};
constexpr const char* kChineseGiven[] = {"Wei", "Fang", "Min",   "Jing",     "Lei", "Yan",
                                         "Jun", "Hui",  "Qiang", "Xiu Ying", "Tao", "Ling"};
constexpr const char* kWesternFirst[] = {"Anna", "Peter",  "Maria", "James",  "Sophie", "Lukas",
                                         "Emma", "Oliver", "Chloe", "Daniel", "Ines",   "Kenji"};
constexpr const char* kWesternLast[] = {"Smith",  "Muller", "Dubois", "de Vries", "Rossi",
                                        "Garcia", "Tanaka", "Brown",  "Peeters",  "Schmidt"};
constexpr const char* kStreets[] = {"Road", "Street", "Avenue", "Lane", "Way"};
constexpr const char* kChineseStreets[] = {"Renmin",  "Zhongshan", "Jiefang", "Heping",
                                           "Jianshe", "Shennan",   "Binhai",  "Xinhua"};

class TRandom {
 public:
  explicit TRandom(uint32_t seed) : engine_(seed) {}
  // 0 .. n - 1; the same on every platform for a seed.
  uint32_t Below(uint32_t n) { return n == 0 ? 0 : uint32_t(engine_() % n); }
  bool Percent(uint32_t p) { return Below(100) < p; }
  template <class T, size_t N>
  const T& Pick(const T (&items)[N]) {
    return items[Below(N)];
  }
  std::string Digits(int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += char('0' + Below(10));
    return out;
  }

 private:
  std::mt19937 engine_;
};

std::string Upper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  }
  return text;
}

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  }
  return text;
}

std::string Cut(std::string text, size_t size) {
  if (text.size() > size) text.resize(size);
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// A spelling of a name as people key it in: mostly as written, sometimes in
// upper or lower case.
std::string Spelling(TRandom& random, const std::string& name, uint32_t upper, uint32_t lower) {
  uint32_t roll = random.Below(100);
  if (roll < upper) return Upper(name);
  if (roll < upper + lower) return Lower(name);
  return name;
}

std::string FromPattern(TRandom& random, const char* pattern) {
  std::string out;
  for (const char* p = pattern; *p != 0; ++p) {
    if (*p == '#') {
      out += char('0' + random.Below(10));
    } else if (*p == '@') {
      out += char('A' + random.Below(26));
    } else {
      out += *p;
    }
  }
  return out;
}

// One postcode of the new-town table and the names it lists.
struct TNewTown {
  std::string Postcode;
  const TChinaTown* Town = nullptr;
  std::array<std::string, 4> Names;
  bool Listed = true;  // in the new-town table at all
};

// The new names of a postcode, in the patterns the town choice meets.
std::array<std::string, 4> NewNames(TRandom& random, const TChinaTown& town) {
  std::array<std::string, 4> names;
  const std::string name = town.Name;
  const std::string province = town.Province;
  auto district = [&](int i) { return std::string(town.Districts[size_t(i) % 4]); };
  const uint32_t roll = random.Below(100);
  if (roll < 28) {
    // One name: chosen without asking.
    names[0] = name + " " + district(int(random.Below(4)));
  } else if (roll < 52) {
    // Several names, one of them naming the province: the record's province
    // settles the choice.
    const size_t count = 2 + random.Below(3);
    const size_t withProvince = random.Below(uint32_t(count));
    for (size_t i = 0; i < count; ++i) {
      names[i] =
          i == withProvince ? district(int(i)) + " " + province : district(int(i)) + " District";
    }
  } else if (roll < 76) {
    // Several names, none naming the province: the user chooses.
    const size_t count = 2 + random.Below(3);
    for (size_t i = 0; i < count; ++i) names[i] = name + " " + district(int(i));
  } else if (roll < 84) {
    // The first name empty: the next one is taken without asking.
    names[1] = name + " " + district(1);
    if (random.Percent(50)) names[3] = name + " " + district(3);
  } else if (roll < 90) {
    // No new name at all: the old town stays.
  } else {
    // A name longer than the address book's town field.
    names[0] = Cut(name + " " + district(0) + " Hi-Tech Industrial Zone", 40);
  }
  return names;
}

std::string RegistryString(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

}  // namespace

TDemoData::TDemoData(TDemoOptions options) : options_(std::move(options)) {}

std::string TDemoData::RegistryText(const std::string& directory) {
  return std::string("Windows Registry Editor Version 5.00\r\n\r\n[") + kRegistryKey + "]\r\n\"" +
         kRegistryValue + "\"=\"" + RegistryString(directory) + "\"\r\n";
}

void TDemoData::Run(std::ostream& out, std::ostream& err) {
  if (options_.Records < 0) throw EToolError("--records is 0 or more");
  std::error_code error;
  std::filesystem::create_directories(options_.Directory, error);
  if (error) throw EToolError("cannot make '" + options_.Directory + "': " + error.message());
  const std::string directory =
      std::filesystem::absolute(options_.Directory).lexically_normal().string();
  std::string dataDirectory = directory;
  while (dataDirectory.size() > 1 && dataDirectory.back() == '/') dataDirectory.pop_back();

  for (const char* table : {kAddressBookTable, kNewTownTable}) {
    TToolSession probe(TTableOptions{options_.Directory, table, "", false});
    if (probe.TableExists()) {
      RaiseTableError(LEDRA_TABLEEXISTS, table, probe.Directory().DatabaseName());
    }
  }

  TRandom random(options_.Seed);

  // The postcodes of China: a few per town, most of them listed in the
  // new-town table.
  std::vector<TNewTown> postcodes;
  const size_t perTown = std::clamp<size_t>(size_t(options_.Records) / 300, 2, 900);
  std::set<std::string> taken;
  for (const TChinaTown& town : kChinaTowns) {
    for (size_t i = 0; i < perTown; ++i) {
      TNewTown code;
      do {
        code.Postcode = std::to_string(town.Prefix) + random.Digits(3);
      } while (!taken.insert(code.Postcode).second);
      code.Town = &town;
      code.Names = NewNames(random, town);
      code.Listed = !random.Percent(12);
      postcodes.push_back(std::move(code));
    }
  }

  // The address book, in account-number order; inserted shuffled below.
  std::vector<std::vector<std::string>> rows;
  int32_t china = 0;
  for (int32_t n = 1; n <= options_.Records; ++n) {
    std::vector<std::string> row(kColumnCount);
    const uint32_t type = random.Below(10);
    row[kType] = type < 6 ? "1" : (type < 9 ? "2" : "3");
    char account[16];
    std::snprintf(account, sizeof account, "TV%06d", int(n));
    row[kAccount] = account;
    const std::string company = random.Pick(kCompanyWords);
    const std::string trade = random.Pick(kTrades);
    if (random.Below(3) == 0) {
      ++china;
      const TNewTown& code = postcodes[random.Below(uint32_t(postcodes.size()))];
      const TChinaTown& town = *code.Town;
      const uint32_t c = random.Below(100);
      // "CHN" is not a country code the update counts as China.
      row[kCountry] = c < 80 ? "CN" : (c < 88 ? "cn" : (c < 93 ? "Cn" : (c < 97 ? " CN" : "CHN")));
      if (row[kCountry] == "CHN") --china;
      const uint32_t p = random.Below(100);
      if (p < 4) {
        row[kPostcode] = "";
      } else if (p < 9) {
        row[kPostcode] = " " + code.Postcode;
      } else if (p < 14) {
        row[kPostcode] = std::to_string(town.Prefix) + random.Digits(3);  // maybe unlisted
      } else {
        row[kPostcode] = code.Postcode;
      }
      row[kTown] = random.Percent(5) ? "" : Spelling(random, town.Name, 35, 15);
      row[kProvince] = random.Percent(15) ? "" : Spelling(random, town.Province, 25, 10);
      row[kName] = Cut(std::string(town.Name) + " " + company + " " + trade + " Co Ltd", 30);
      row[kLine1] = "No. " + std::to_string(1 + random.Below(999)) + " " +
                    random.Pick(kChineseStreets) + " Road";
      row[kLine2] =
          random.Percent(60) ? std::string(town.Districts[random.Below(4)]) + " District" : "";
      row[kLine3] = random.Percent(30) ? "Building " + std::to_string(1 + random.Below(30)) +
                                             ", Room " + std::to_string(101 + random.Below(2000))
                                       : "";
      row[kVat] =
          random.Percent(70) ? "91" + std::to_string(town.Prefix) + "00MA" + random.Digits(8) : "";
      const std::string family = random.Pick(kChineseFamily);
      const std::string given = random.Pick(kChineseGiven);
      row[kContact] = family + " " + given;
      row[kTel] = Cut("+86 " + std::string(town.AreaCode) + " " + random.Digits(8), 16);
      row[kFax] = random.Percent(40)
                      ? Cut("+86 " + std::string(town.AreaCode) + " " + random.Digits(8), 16)
                      : "";
      row[kEmail] =
          Lower(given.substr(0, given.find(' ')) + "." + family + "@" + company + trade + ".cn");
    } else {
      const TForeignTown& town = random.Pick(kForeignTowns);
      row[kCountry] = town.Country;
      row[kPostcode] = FromPattern(random, town.PostcodePattern);
      row[kTown] = random.Percent(4) ? "" : Spelling(random, town.Town, 20, 5);
      row[kProvince] = random.Percent(30) ? "" : town.Province;
      row[kName] = Cut(company + " " + trade + (random.Percent(50) ? " Ltd" : " GmbH"), 30);
      row[kLine1] = std::to_string(1 + random.Below(250)) + " " + random.Pick(kWesternLast) + " " +
                    random.Pick(kStreets);
      row[kLine2] = random.Percent(25) ? "Unit " + std::to_string(1 + random.Below(40)) : "";
      row[kLine3] = "";
      row[kVat] = random.Percent(60) ? std::string(town.Country) + random.Digits(9) : "";
      const std::string first = random.Pick(kWesternFirst);
      const std::string last = random.Pick(kWesternLast);
      row[kContact] = Cut(first + " " + last, 22);
      row[kTel] = Cut(std::string(town.Dial) + " " + random.Digits(7), 16);
      row[kFax] =
          random.Percent(20) ? Cut(std::string(town.Dial) + " " + random.Digits(7), 16) : "";
      std::string mailbox = Lower(first) + "." + Lower(last);
      mailbox.erase(std::remove(mailbox.begin(), mailbox.end(), ' '), mailbox.end());
      row[kEmail] = mailbox + "@" + Lower(company + trade) + ".com";
    }
    row[kShortName] = Cut(Upper(company.substr(0, 6) + " " + trade.substr(0, 8)), 15);
    if (random.Percent(3)) row[kContact] = "";
    rows.push_back(std::move(row));
  }
  for (size_t i = rows.size(); i > 1; --i) std::swap(rows[i - 1], rows[random.Below(uint32_t(i))]);

  // The tables.
  TTableArguments address;
  address.Fields.assign(kAddressFields.begin(), kAddressFields.end());
  address.Primary = "ACC_NR";
  address.Indexes = {"ByShortName:NAD_SHORT_NM:nocase"};
  address.Description = "Address book (demo data)";
  TTableArguments towns;
  towns.Fields = {"PostCode:string:9:required:upper", "TownName1:string:40", "TownName2:string:40",
                  "TownName3:string:40", "TownName4:string:40"};
  towns.Primary = "PostCode";
  towns.Description = "New town names of Chinese postcodes (demo data)";

  int64_t listed = 0;
  auto build = [&](const char* name, const TTableArguments& arguments, auto&& fill) {
    TTableOptions options{options_.Directory, name, "", true};
    TToolSession session(options);
    CreateNewTable(session.Directory(), name, arguments.BuildDefinition());
    TImporter importer(session.OpenCursor(), err);
    fill(importer);
    importer.Write();
    session.CloseCursor();
    if (importer.BadRows() != 0) throw EToolError(std::string("demo rows refused in ") + name);
  };
  build(kAddressBookTable, address, [&](TImporter& importer) {
    std::vector<std::string> names;
    for (const char* arg : kAddressFields) {
      std::string field = arg;
      names.push_back(field.substr(0, field.find(':')));
    }
    importer.SetColumns(names);
    for (size_t i = 0; i < rows.size(); ++i)
      importer.AddRow("record " + std::to_string(i + 1), rows[i]);
  });
  build(kNewTownTable, towns, [&](TImporter& importer) {
    importer.SetColumns({"PostCode", "TownName1", "TownName2", "TownName3", "TownName4"});
    for (const TNewTown& code : postcodes) {
      if (!code.Listed) continue;
      ++listed;
      importer.AddRow("postcode " + code.Postcode,
                      {code.Postcode, code.Names[0], code.Names[1], code.Names[2], code.Names[3]});
    }
  });

  const std::string registry = (std::filesystem::path(directory) / kRegistryFileName).string();
  std::ofstream file(registry, std::ios::binary | std::ios::trunc);
  file << RegistryText(dataDirectory);
  if (!file.flush()) throw EToolError("cannot write '" + registry + "'");

  out << kAddressBookTable << ": " << rows.size() << " addresses, " << china
      << " of them in China\n"
      << kNewTownTable << ": " << listed << " postcodes\n"
      << "Registry file: " << registry << " (DataDirectory = " << dataDirectory << ")\n"
      << "Start the application from " << directory << " with OSTREVO_REGISTRY=" << registry
      << "\n";
}

}  // namespace ledra::tool
