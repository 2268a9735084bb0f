#include "core/api/smart/framework/internal/AnswerClassifier.h"

#include "core/api/smart/framework/internal/RegionAnswer.h"

namespace iotcloud {
namespace lookup {
namespace {

std::string HeaderValue(const IotResponse& response, const char* lowerName) {
  return response.header(lowerName).substr(0, IotGlobalActivation::kHeaderValueBytes);
}

}  // namespace

void TakeAnswerFields(const IotResponse& response, Result* result) {
  result->httpStatus = response.httpStatus;
  result->gatewayErrorCode = HeaderValue(response, "x-ca-error-code");
  result->gatewayErrorMessage = HeaderValue(response, "x-ca-error-message");
  result->requestId = HeaderValue(response, "x-ca-request-id");
}

void JudgeRefusal(const IotResponse& response, Result* result) {
  const int status = response.httpStatus;
  if (status >= 400 && !result->gatewayErrorCode.empty()) {
    result->outcome = Outcome::kGatewayRefused;
    result->detail = "the gateway refused the request: HTTP " + std::to_string(status) + ", error " +
                     result->gatewayErrorCode +
                     (result->gatewayErrorMessage.empty() ? std::string() : ": " + result->gatewayErrorMessage);
  } else {
    result->outcome = Outcome::kHttpStatus;
    result->detail = "the gateway answered HTTP status " + std::to_string(status);
    if (status >= 300 && status < 400) {
      const std::string location = HeaderValue(response, "location");
      result->detail +=
          ", Location: " + (location.empty() ? std::string("(none)") : location) + " (redirects are not followed)";
    } else if (!result->gatewayErrorMessage.empty()) {
      result->detail += ": " + result->gatewayErrorMessage;
    }
  }
  if (!result->requestId.empty()) result->detail += " (request id " + result->requestId + ")";
}

RegionVerdict ClassifyRegionAnswer(const std::string& body) {
  using Kind = RegionAnswer::Kind;
  RegionVerdict verdict;
  Result& result = verdict.result;
  const RegionAnswer answer = ReadRegionAnswer(body, &verdict.region);
  verdict.save = answer.kind != Kind::kIncomplete;
  switch (answer.kind) {
    case Kind::kRegion:
      verdict.hasRegion = true;
      verdict.absent = answer.absent;
      result.outcome = Outcome::kUnchanged;
      break;
    case Kind::kIncomplete:
      result.outcome = Outcome::kIncompleteAnswer;
      result.serviceMessage = answer.missing;
      result.detail = "the answer names no complete region: \"" + answer.missing + "\" is missing or empty";
      break;
    case Kind::kServiceError:
      result.outcome = Outcome::kServiceError;
      result.serviceCode = answer.code;
      result.serviceMessage = answer.message;
      result.detail = "service error " + std::to_string(answer.code) +
                      (answer.message.empty() ? std::string() : ": " + answer.message);
      break;
    case Kind::kNotJson:
      result.outcome = Outcome::kUnreadableAnswer;
      result.detail = "the answer is not JSON";
      break;
    case Kind::kNoCode:
      result.outcome = Outcome::kUnreadableAnswer;
      result.detail = "the answer has no \"code\"";
      break;
    case Kind::kNulEscape:
      result.outcome = Outcome::kUnreadableAnswer;
      result.detail = "a string in the answer holds \\u0000";
      break;
  }
  return verdict;
}

}  // namespace lookup
}  // namespace iotcloud
