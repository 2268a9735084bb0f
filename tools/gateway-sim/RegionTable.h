// The account service behind the local gateway: reads the request envelope of
// a region lookup and answers from a small region table.
//
// Region table format (JSON; tools/gateway-sim/regions.example.json is the
// built-in table written out):
//
//   {
//     "regions": {
//       "<region key>": { "regionId": "...", "mqttEndpoint": "host:1883", "apiGatewayEndpoint": "...",
//                         "oaApiGatewayEndpoint": "...", "regionEnglishName": "...",
//                         "pushChannelEndpoint": "...", "shortRegionId": "..." },
//       ...
//     },
//     "routes": {
//       "PHONE":          { "default": "<region key>", "match": { "<phoneLocationCode>": "<region key>", ... } },
//       "COUNTRY_CODE":   { "default": "<region key>", "match": { "<countryCode>": "<region key>", ... } },
//       "EMAIL":          { "default": "<region key>", "match": { "<address or domain>": "<region key>", ... } },
//       "THIRD_AUTHCODE": { "default": "<region key>", "match": { "<authCode>": "<region key>", ... } }
//     }
//   }
//
// - A region object is sent as the answer's "data" exactly as written (member
//   order kept). Its members must be among the seven names above; a member may
//   be left out, or hold a value that is not a string, so that a test can
//   provoke a client with an incomplete or odd region.
// - All four routes are required, each with a "default"; "match" is optional.
//   Every region key a route names must exist under "regions".
// - Matching is exact and case-sensitive, except for "EMAIL": an entry with
//   an "@" matches the whole address, any other entry matches the part after
//   the last "@"; both without regard to letter case. A whole-address entry
//   wins over a domain entry.
// - "PHONE" routes by "phoneLocationCode" only ("phone" must still be sent).
//
// Service errors (HTTP 200; body {"code":<code>,"message":"<text>"}):
//   400 "Malformed envelope: <why>"   body not JSON, or a member of the envelope
//                                     missing or of the wrong type, or
//                                     "version" not "1.0"
//   400 "Unsupported apiVer: <value>" "request"."apiVer" is not "1.0.2"
//   422 "Missing parameter: <name>"   "type" or a parameter of the lookup is
//                                     absent or not a string
//   404 "Unknown type: <value>"       "type" names no lookup
//
// A RegionTable is immutable once built and may be read from any thread.
#pragma once

#include <map>
#include <string>

struct cJSON;

namespace iotcloud {
namespace gateway {

// The answer of the account service to one region lookup body.
struct ServiceAnswer {
  int code = 200;  // 200 or one of the service error codes above
  std::string message = "success";
  std::string regionKey;  // the region answered with; empty on an error
  std::string body;       // the complete JSON answer
};

class RegionTable {
 public:
  // The built-in table: cn-shanghai (the client's China defaults as built
  // with the default deployment hosts), ap-southeast-1, us-west-1 and
  // eu-central-1, with hosts under example.com.
  static RegionTable BuiltIn();

  // The built-in table as JSON text in the format above.
  static const char* BuiltInJson();

  // Parses `json` into *out. Returns false with *error naming the first
  // problem; *out is then unchanged.
  static bool Parse(const std::string& json, RegionTable* out, std::string* error);

  // Answers one region lookup request body (the envelope).
  ServiceAnswer Answer(const std::string& requestBody) const;

  // The region key a lookup of `type` with the value `value` routes to; empty
  // when `type` is unknown.
  std::string Route(const std::string& type, const std::string& value) const;

  // The "data" object of a region as compact JSON text; empty when unknown.
  std::string RegionJson(const std::string& regionKey) const;

 private:
  struct RouteRule {
    std::string defaultRegion;
    std::map<std::string, std::string> match;  // for "EMAIL" the keys are lower case
  };
  // Parts of Parse: each reads one member of the table into this one, or
  // returns false with *error.
  bool ParseRegions(const cJSON* regions, std::string* error);
  bool ParseRoutes(const cJSON* routes, std::string* error);
  bool ParseRoute(const cJSON* route, RouteRule* rule, std::string* error) const;

  std::map<std::string, std::string> regions_;  // region key -> compact JSON object
  std::map<std::string, RouteRule> routes_;     // lookup type -> rule
};

// Builds the gateway's JSON error or service-error text {"code":..,"message":..}.
std::string ErrorBody(int code, const std::string& message);

}  // namespace gateway
}  // namespace iotcloud
