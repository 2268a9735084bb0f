#include "gateway-sim/RequestCheck.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace iotcloud {
namespace gateway {
namespace {

const char* const kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const char* const kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
int64_t DaysFromCivil(int64_t year, int month, int day) {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// Weekday of a day count since 1970 (a Thursday): 0 = Sunday.
int WeekdayFromDays(int64_t days) { return static_cast<int>((days % 7 + 11) % 7); }

bool IsLeapYear(int64_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int64_t year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Reads `count` decimal digits at text[pos].
bool ReadDigits(const std::string& text, size_t pos, size_t count, int* value) {
  int result = 0;
  for (size_t i = 0; i < count; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return false;
    result = result * 10 + (c - '0');
  }
  *value = result;
  return true;
}

int IndexOfName(const char* const* names, int count, const std::string& text, size_t pos) {
  for (int i = 0; i < count; ++i) {
    if (text.compare(pos, 3, names[i]) == 0) return i;
  }
  return -1;
}

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

std::string ToLower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  return text.substr(begin, end - begin);
}

// Values of the header `name` (any letter case), in arrival order.
std::vector<const std::string*> HeaderValues(const RequestView& request, const std::string& name) {
  std::vector<const std::string*> values;
  for (const auto& header : request.headers) {
    if (EqualsIgnoreCase(header.first, name)) values.push_back(&header.second);
  }
  return values;
}

std::string FirstHeaderValue(const RequestView& request, const std::string& name) {
  auto values = HeaderValues(request, name);
  return values.empty() ? std::string() : *values.front();
}

CheckResult Fail(int status, const std::string& message) {
  CheckResult result;
  result.ok = false;
  result.httpStatus = status;
  result.message = message;
  return result;
}

// The single value of a header the check relies on. A missing or repeated
// header is a failure: two values would leave it open which one was signed.
bool RequireSingleHeader(const RequestView& request, const std::string& name, std::string* value,
                         CheckResult* failure) {
  auto values = HeaderValues(request, name);
  if (values.empty()) {
    *failure = Fail(400, "Missing header: " + name);
    return false;
  }
  if (values.size() > 1) {
    *failure = Fail(400, "Duplicate header: " + name);
    return false;
  }
  *value = *values.front();
  return true;
}

// The "date" header as seconds since 1970, when it is one RFC 1123 date
// within maxSkewSeconds of now.
bool ReadDate(const RequestView& request, int64_t nowSeconds, int maxSkewSeconds, int64_t* dateSeconds,
              CheckResult* failure) {
  std::string date;
  if (!RequireSingleHeader(request, "date", &date, failure)) return false;
  if (!ParseHttpDate(date, dateSeconds)) {
    *failure = Fail(400, "Invalid date: " + Printable(date));
    return false;
  }
  const int64_t skew = *dateSeconds > nowSeconds ? *dateSeconds - nowSeconds : nowSeconds - *dateSeconds;
  if (skew > maxSkewSeconds) {
    const std::string window = maxSkewSeconds % 60 == 0 ? std::to_string(maxSkewSeconds / 60) + "-minute"
                                                        : std::to_string(maxSkewSeconds) + "-second";
    *failure = Fail(400, "Date outside the " + window + " window: " + Printable(date) + " is " + std::to_string(skew) +
                             " s " + (*dateSeconds > nowSeconds ? "ahead of" : "behind") + " the gateway's clock (" +
                             FormatHttpDate(nowSeconds) + ")");
    failure->errorCode = "DateOutsideWindow";
    return false;
  }
  return true;
}

// The names listed in "x-ca-signature-headers", when the list has no empty
// entry, names the headers every signature must cover, and each listed
// header arrived exactly once.
bool ReadSignedHeaders(const RequestView& request, std::vector<std::string>* names, CheckResult* failure) {
  std::string headerList;
  if (!RequireSingleHeader(request, "x-ca-signature-headers", &headerList, failure)) return false;
  for (size_t start = 0;;) {
    const size_t comma = headerList.find(',', start);
    const std::string name = Trim(headerList.substr(start, comma == std::string::npos ? comma : comma - start));
    if (name.empty()) {
      *failure = Fail(400, "Invalid signature headers: empty entry");
      return false;
    }
    names->push_back(name);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  for (const char* required : {"x-ca-key", "x-ca-nonce", "x-ca-signature-method"}) {
    const bool listed = std::any_of(names->begin(), names->end(),
                                    [required](const std::string& name) { return EqualsIgnoreCase(name, required); });
    if (!listed) {
      *failure = Fail(400, std::string("Invalid signature headers: ") + required + " is not signed");
      return false;
    }
  }
  for (const std::string& name : *names) {
    const size_t count = HeaderValues(request, name).size();
    if (count != 1) {
      *failure = Fail(400, (count == 0 ? "Signed header missing: " : "Duplicate header: ") + Printable(name));
      return false;
    }
  }
  return true;
}

}  // namespace

bool ParseHttpDate(const std::string& text, int64_t* secondsSinceEpoch) {
  // "Www, DD Mon YYYY HH:MM:SS GMT"
  //  0    5  8   12   17 20 23 26
  if (text.size() != 29) return false;
  if (text.compare(3, 2, ", ") != 0 || text[7] != ' ' || text[11] != ' ' || text[16] != ' ' || text[19] != ':' ||
      text[22] != ':' || text.compare(25, 4, " GMT") != 0) {
    return false;
  }
  const int weekday = IndexOfName(kDayNames, 7, text, 0);
  const int monthIndex = IndexOfName(kMonthNames, 12, text, 8);
  int day = 0, year = 0, hour = 0, minute = 0, second = 0;
  if (weekday < 0 || monthIndex < 0 || !ReadDigits(text, 5, 2, &day) || !ReadDigits(text, 12, 4, &year) ||
      !ReadDigits(text, 17, 2, &hour) || !ReadDigits(text, 20, 2, &minute) || !ReadDigits(text, 23, 2, &second)) {
    return false;
  }
  const int month = monthIndex + 1;
  if (year < 1970 || day < 1 || day > DaysInMonth(year, month) || hour > 23 || minute > 59 || second > 59) {
    return false;
  }
  const int64_t days = DaysFromCivil(year, month, day);
  if (WeekdayFromDays(days) != weekday) return false;
  *secondsSinceEpoch = days * 86400 + hour * 3600 + minute * 60 + second;
  return true;
}

std::string HmacSha1Base64(const std::string& key, const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestLength = 0;
  if (HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(text.data()),
           text.size(), digest, &digestLength) == nullptr) {
    return std::string();
  }
  // EVP_EncodeBlock writes 4 bytes per 3 input bytes (rounded up) plus a NUL.
  std::string encoded(4 * ((digestLength + 2) / 3) + 1, '\0');
  const int written =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&encoded[0]), digest, static_cast<int>(digestLength));
  encoded.resize(written > 0 ? static_cast<size_t>(written) : 0);
  return encoded;
}

bool ConstantTimeEquals(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string BuildStringToSign(const RequestView& request, const std::vector<std::string>& signedHeaders) {
  const std::string contentType = FirstHeaderValue(request, "content-type");
  std::string text;
  text += request.method;
  text += '\n';
  text += FirstHeaderValue(request, "accept");
  text += '\n';
  text += FirstHeaderValue(request, "content-md5");
  text += '\n';
  text += contentType;
  text += '\n';
  text += FirstHeaderValue(request, "date");
  text += '\n';
  for (const std::string& name : signedHeaders) {
    text += name;
    text += ':';
    text += FirstHeaderValue(request, name);
    text += '\n';
  }
  text += request.target;
  static const std::string kFormType = "application/x-www-form-urlencoded";
  if (ToLower(contentType).compare(0, kFormType.size(), kFormType) == 0) {
    text += '?';
    text += request.body;
  }
  return text;
}

CheckResult CheckSignedRequest(const RequestView& request, const std::map<std::string, std::string>& applications,
                               int64_t nowSeconds, int maxSkewSeconds) {
  CheckResult failure;

  std::string appKey;
  if (!RequireSingleHeader(request, "x-ca-key", &appKey, &failure)) return failure;
  auto application = applications.find(appKey);
  if (application == applications.end()) return Fail(403, "Invalid AppKey");

  std::string method;
  if (!RequireSingleHeader(request, "x-ca-signature-method", &method, &failure)) return failure;
  if (method != "HmacSHA1") return Fail(400, "Unsupported signature method: " + Printable(method));

  int64_t dateSeconds = 0;
  if (!ReadDate(request, nowSeconds, maxSkewSeconds, &dateSeconds, &failure)) return failure;

  std::string nonce;
  if (!RequireSingleHeader(request, "x-ca-nonce", &nonce, &failure)) return failure;
  if (nonce.empty()) return Fail(400, "Invalid nonce: empty");

  std::vector<std::string> signedHeaders;
  if (!ReadSignedHeaders(request, &signedHeaders, &failure)) return failure;

  // The headers that shape the rebuilt text must be unambiguous too.
  for (const char* name : {"accept", "content-md5", "content-type"}) {
    if (HeaderValues(request, name).size() > 1) return Fail(400, std::string("Duplicate header: ") + name);
  }
  std::string signature;
  if (!RequireSingleHeader(request, "x-ca-signature", &signature, &failure)) return failure;

  const std::string stringToSign = BuildStringToSign(request, signedHeaders);
  const std::string expected = HmacSha1Base64(application->second, stringToSign);
  if (expected.empty() || !ConstantTimeEquals(expected, signature)) {
    CheckResult result = Fail(400, "Invalid signature");
    result.stringToSign = stringToSign;
    return result;
  }

  CheckResult result;
  result.ok = true;
  result.httpStatus = 200;
  result.appKey = appKey;
  result.nonce = nonce;
  result.dateSeconds = dateSeconds;
  result.stringToSign = stringToSign;
  return result;
}

NonceStore::Outcome NonceStore::Remember(const std::string& appKey, const std::string& nonce, int64_t dateSeconds,
                                         int64_t nowSeconds, int64_t windowSeconds) {
  while (!byExpiry_.empty() && byExpiry_.begin()->first < nowSeconds) {
    expiry_.erase(byExpiry_.begin()->second);
    byExpiry_.erase(byExpiry_.begin());
  }
  std::string key = appKey + '\n' + nonce;
  if (expiry_.count(key) != 0) return Outcome::kReplayed;
  if (expiry_.size() >= capacity_) return Outcome::kFull;
  const int64_t keptUntil = std::max(dateSeconds, nowSeconds) + windowSeconds;
  expiry_.emplace(key, keptUntil);
  byExpiry_.emplace(keptUntil, std::move(key));
  return Outcome::kFresh;
}

int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

std::string FormatHttpDate(int64_t secondsSinceEpoch) {
  // Counted year by year and month by month from 1970 (the library uses era
  // arithmetic; the two are tested against each other), so no C runtime's
  // gmtime, locale or year limit is involved.
  if (secondsSinceEpoch < 0 || secondsSinceEpoch > 253402300799) return std::string();  // 1970 to 9999
  int64_t days = secondsSinceEpoch / 86400;
  const int64_t secondOfDay = secondsSinceEpoch % 86400;
  const int weekday = WeekdayFromDays(days);
  int64_t year = 1970;
  while (days >= (IsLeapYear(year) ? 366 : 365)) days -= IsLeapYear(year++) ? 366 : 365;
  int month = 1;
  while (days >= DaysInMonth(year, month)) days -= DaysInMonth(year, month++);
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDayNames[weekday],
                static_cast<int>(days + 1), kMonthNames[month - 1], static_cast<int>(year),
                static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
                static_cast<int>(secondOfDay % 60));
  return text;
}

std::string Printable(const std::string& text, size_t maxLength) {
  std::string result = text.substr(0, maxLength);
  for (char& c : result) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) c = '?';
  }
  if (text.size() > maxLength) result += "...";
  return result;
}

}  // namespace gateway
}  // namespace iotcloud
