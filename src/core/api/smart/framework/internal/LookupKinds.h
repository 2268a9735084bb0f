// The kinds of identifier a region lookup takes, one row each: the name its
// log lines carry, the "type" it sends, its members in the order they are
// sent, how each is masked wherever it could reach a log line, and which
// host the lookup goes to. A new kind is one row here plus its two entry
// points on IotGlobalActivation.
#pragma once

#include <string>
#include <vector>

#include "core/support/internal/JsonPtr.h"

namespace iotcloud {
namespace lookup {

// How much of a member's value may be logged. An authorisation code is a
// credential and is withheld whole; of an e-mail address the domain is
// kept and of a phone number its last two digits, enough to tell requests
// apart.
enum class Mask { kNone, kWhole, kEmailDomain, kLastTwoDigits };

// Where a lookup is posted: the API gateway, or (country codes) the API
// gateway for the exact code "CN" and the IoT API host of the Shanghai
// region for any other value.
enum class HostRule { kApiGateway, kChinaOrShanghai };

struct Member {
  const char* key;
  Mask mask;
};

struct Kind {
  const char* function;  // names the lookup in log lines
  const char* type;      // the "type" member, sent first
  std::vector<Member> members;
  HostRule host;
};

extern const Kind kEmail;
extern const Kind kPhone;
extern const Kind kCountryCode;
extern const Kind kAuthCode;

// The identifiers of one lookup, in the order of its kind's members.
struct Identifiers {
  const Kind* kind;
  std::vector<std::string> values;

  // The "params" object: "type", then each member with its value.
  JsonPtr Params() const;
  // The value of the member `key`; empty when the kind has none.
  const std::string& Value(const char* key) const;
  // `text` with every occurrence (ASCII letter case ignored) of a value that
  // is masked replaced by its mask. For text from the network or the cache
  // before it is logged: an answer that echoes the identifier.
  std::string MaskIn(const std::string& text) const;
  // A request body for the log: its "params" members masked; "(withheld)"
  // when the body is not the JSON it should be. The body sent is unchanged.
  std::string BodyForLog(const std::string& body) const;
};

// What of `value` may be logged under `mask`.
std::string Masked(Mask mask, const std::string& value);

}  // namespace lookup
}  // namespace iotcloud
