#include "core/api/smart/framework/IotSmartCountryManager.h"

#include <cctype>

#include "core/support/TovoLog.h"

namespace {
constexpr const char* kFallbackCountryCode = "CN";
constexpr const char* kFallbackPhoneLocationCode = "86";
constexpr const char* kChinaMainlandPhoneLocationCode = "86";
}  // namespace

// Several countries share a calling code (CA/US 1, KZ/RU 7, AU/CC/CX 61); five
// entries carry an area code behind it (AX, GG, IM, JE, SJ).
// One letter a line reads better than one entry a line.
// clang-format off
const std::map<std::string, std::string> IotSmartCountryManager::countryCodePhoneCodeMap_ = {
    // A
    {"AD", "376"}, {"AE", "971"}, {"AF", "93"}, {"AG", "1268"}, {"AI", "1264"}, {"AL", "355"},
    {"AM", "374"}, {"AO", "244"}, {"AQ", "672"}, {"AR", "54"}, {"AS", "1684"}, {"AT", "43"},
    {"AU", "61"}, {"AW", "297"}, {"AX", "35818"}, {"AZ", "994"},
    // B
    {"BA", "387"}, {"BB", "1246"}, {"BD", "880"}, {"BE", "32"}, {"BF", "226"}, {"BG", "359"},
    {"BH", "973"}, {"BI", "257"}, {"BJ", "229"}, {"BL", "590"}, {"BM", "1441"}, {"BN", "673"},
    {"BO", "591"}, {"BQ", "599"}, {"BR", "55"}, {"BS", "1242"}, {"BT", "975"}, {"BV", "47"},
    {"BW", "267"}, {"BY", "375"}, {"BZ", "501"},
    // C
    {"CA", "1"}, {"CC", "61"}, {"CD", "243"}, {"CF", "236"}, {"CG", "242"}, {"CH", "41"},
    {"CI", "225"}, {"CK", "682"}, {"CL", "56"}, {"CM", "237"}, {"CN", "86"}, {"CO", "57"},
    {"CR", "506"}, {"CU", "53"}, {"CV", "238"}, {"CW", "599"}, {"CX", "61"}, {"CY", "357"},
    {"CZ", "420"},
    // D
    {"DE", "49"}, {"DJ", "253"}, {"DK", "45"}, {"DM", "1767"}, {"DO", "1809"}, {"DZ", "213"},
    // E
    {"EC", "593"}, {"EE", "372"}, {"EG", "20"}, {"EH", "212"}, {"ER", "291"}, {"ES", "34"},
    {"ET", "251"},
    // F
    {"FI", "358"}, {"FJ", "679"}, {"FK", "500"}, {"FM", "691"}, {"FO", "298"}, {"FR", "33"},
    // G
    {"GA", "241"}, {"GB", "44"}, {"GD", "1473"}, {"GE", "995"}, {"GF", "594"}, {"GG", "441481"},
    {"GH", "233"}, {"GI", "350"}, {"GL", "299"}, {"GM", "220"}, {"GN", "224"}, {"GP", "590"},
    {"GQ", "240"}, {"GR", "30"}, {"GS", "500"}, {"GT", "502"}, {"GU", "1671"}, {"GW", "245"},
    {"GY", "592"},
    // H
    {"HK", "852"}, {"HM", "672"}, {"HN", "504"}, {"HR", "385"}, {"HT", "509"}, {"HU", "36"},
    // I
    {"ID", "62"}, {"IE", "353"}, {"IL", "972"}, {"IM", "441624"}, {"IN", "91"}, {"IO", "246"},
    {"IQ", "964"}, {"IR", "98"}, {"IS", "354"}, {"IT", "39"},
    // J
    {"JE", "441534"}, {"JM", "1876"}, {"JO", "962"}, {"JP", "81"},
    // K
    {"KE", "254"}, {"KG", "996"}, {"KH", "855"}, {"KI", "686"}, {"KM", "269"}, {"KN", "1869"},
    {"KP", "850"}, {"KR", "82"}, {"KW", "965"}, {"KY", "1345"}, {"KZ", "7"},
    // L
    {"LA", "856"}, {"LB", "961"}, {"LC", "1758"}, {"LI", "423"}, {"LK", "94"}, {"LR", "231"},
    {"LS", "266"}, {"LT", "370"}, {"LU", "352"}, {"LV", "371"}, {"LY", "218"},
    // M
    {"MA", "212"}, {"MC", "377"}, {"MD", "373"}, {"ME", "382"}, {"MF", "590"}, {"MG", "261"},
    {"MH", "692"}, {"MK", "389"}, {"ML", "223"}, {"MM", "95"}, {"MN", "976"}, {"MO", "853"},
    {"MP", "1670"}, {"MQ", "596"}, {"MR", "222"}, {"MS", "1664"}, {"MT", "356"}, {"MU", "230"},
    {"MV", "960"}, {"MW", "265"}, {"MX", "52"}, {"MY", "60"}, {"MZ", "258"},
    // N
    {"NA", "264"}, {"NC", "687"}, {"NE", "227"}, {"NF", "672"}, {"NG", "234"}, {"NI", "505"},
    {"NL", "31"}, {"NO", "47"}, {"NP", "977"}, {"NR", "674"}, {"NU", "683"}, {"NZ", "64"},
    // O
    {"OM", "968"},
    // P
    {"PA", "507"}, {"PE", "51"}, {"PF", "689"}, {"PG", "675"}, {"PH", "63"}, {"PK", "92"},
    {"PL", "48"}, {"PM", "508"}, {"PN", "64"}, {"PR", "1787"}, {"PS", "970"}, {"PT", "351"},
    {"PW", "680"}, {"PY", "595"},
    // Q
    {"QA", "974"},
    // R
    {"RE", "262"}, {"RO", "40"}, {"RS", "381"}, {"RU", "7"}, {"RW", "250"},
    // S
    {"SA", "966"}, {"SB", "677"}, {"SC", "248"}, {"SD", "249"}, {"SE", "46"}, {"SG", "65"},
    {"SH", "290"}, {"SI", "386"}, {"SJ", "4779"}, {"SK", "421"}, {"SL", "232"}, {"SM", "378"},
    {"SN", "221"}, {"SO", "252"}, {"SR", "597"}, {"SS", "211"}, {"ST", "239"}, {"SV", "503"},
    {"SX", "1721"}, {"SY", "963"}, {"SZ", "268"},
    // T
    {"TC", "1649"}, {"TD", "235"}, {"TF", "33"}, {"TG", "228"}, {"TH", "66"}, {"TJ", "992"},
    {"TK", "690"}, {"TL", "670"}, {"TM", "993"}, {"TN", "216"}, {"TO", "676"}, {"TR", "90"},
    {"TT", "1868"}, {"TV", "688"}, {"TW", "886"}, {"TZ", "255"},
    // U
    {"UA", "380"}, {"UG", "256"}, {"UM", "246"}, {"US", "1"}, {"UY", "598"}, {"UZ", "998"},
    // V
    {"VA", "379"}, {"VC", "1784"}, {"VE", "58"}, {"VG", "1284"}, {"VI", "1340"}, {"VN", "84"},
    {"VU", "678"},
    // W
    {"WF", "681"}, {"WS", "685"},
    // Y
    {"YE", "967"}, {"YT", "262"},
    // Z
    {"ZA", "27"}, {"ZM", "260"}, {"ZW", "263"},
};
// clang-format on

iotcloud::Mutex IotSmartCountryManager::mutex_;
IotSmartCountryManager* IotSmartCountryManager::pInstance_ = nullptr;

IotSmartCountryManager* IotSmartCountryManager::getInstance() {
  iotcloud::MutexLock lock(&mutex_);
  if (pInstance_ == nullptr) pInstance_ = new IotSmartCountryManager();
  return pInstance_;
}

IotSmartCountryManager::IotSmartCountryManager() { QZ_LOG(1, "new"); }

IotSmartCountryManager::~IotSmartCountryManager() { QZ_LOG(1, "deleted."); }

bool IotSmartCountryManager::setCountryCode(const std::string& countryCode) {
  std::string upper = countryCode;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const auto entry = countryCodePhoneCodeMap_.find(upper);
  const bool known = entry != countryCodePhoneCodeMap_.end();
  {
    // Both members change in one critical section, so a reader never sees
    // the country of one call with the phone code of another.
    iotcloud::MutexLock lock(&stateMutex_);
    if (known) {
      countryCode_ = upper;
      phoneLocationCode_ = entry->second;
    } else {
      countryCode_ = kFallbackCountryCode;
      phoneLocationCode_ = kFallbackPhoneLocationCode;
    }
  }
  if (!known) QZ_LOG(1, "country code=%s is invalid, use CN as default.", countryCode.c_str());
  return known;
}

std::string IotSmartCountryManager::getCountryCode() const {
  iotcloud::MutexLock lock(&stateMutex_);
  return countryCode_;
}

std::string IotSmartCountryManager::getPhoneLocationCode() const {
  iotcloud::MutexLock lock(&stateMutex_);
  return phoneLocationCode_;
}

bool IotSmartCountryManager::isChinaMainlandPhoneLocationCode() const {
  iotcloud::MutexLock lock(&stateMutex_);
  return phoneLocationCode_ == kChinaMainlandPhoneLocationCode;
}
