#include "support/TestHttpsServer.h"

#include <cstdlib>

namespace iotcloud_test {

using httplib::Request;
using httplib::Response;

TestHttpsServer::TestHttpsServer(size_t workers) {
  std::string error;
  https_ = iotcloud::tls::LoopbackHttpsServer::CreateWithFreshTls(&caPem_, &error, workers);
  if (!https_) return;
  // Registers `handler` for GET and POST, counting each request first.
  auto route = [this](const std::string& pattern, std::function<void(const Request&, Response&)> handler) {
    auto counted = [this, handler](const Request& request, Response& response) {
      state_.Update([](State& s) { ++s.requests; });
      handler(request, response);
    };
    https_->server().Get(pattern, counted);
    https_->server().Post(pattern, counted);
  };
  auto number = [](const Request& request) { return std::strtoull(request.matches[1].str().c_str(), nullptr, 10); };

  route("/echo", [](const Request& request, Response& response) {
    std::string type = request.get_header_value("Content-Type");
    response.set_content(request.body, type.empty() ? "application/octet-stream" : type.c_str());
  });
  route(R"(/delay/(\d+))", [this, number](const Request& request, Response& response) {
    state_.WaitFor([](const State& s) { return s.stopping; }, std::chrono::milliseconds(number(request)));
    response.set_content("delayed", "text/plain");
  });
  route("/close-mid-response", [](const Request&, Response& response) {
    response.set_content_provider(1024, "application/octet-stream",
                                  [](size_t offset, size_t, httplib::DataSink& sink) {
                                    if (offset > 0) return false;  // abort: the connection is closed
                                    sink.write(std::string(16, 'p').data(), 16);
                                    return true;
                                  });
  });
  route("/empty", [](const Request&, Response& response) { response.status = 200; });
  route(R"(/huge/(\d+))", [number](const Request& request, Response& response) {
    response.set_content(std::string(number(request), 'x'), "application/octet-stream");
  });
  route(R"(/status/(\d+))", [number](const Request& request, Response& response) {
    response.status = static_cast<int>(number(request));
    response.set_content("status " + request.matches[1].str(), "text/plain");
  });
}

bool TestHttpsServer::Start(std::string* error) {
  if (https_) return https_->Start("127.0.0.1", 0, error);
  if (error != nullptr) *error = "TLS material could not be made";
  return false;
}

void TestHttpsServer::Stop() {
  state_.Update([](State& s) { s.stopping = true; });
  if (https_) https_->Stop();
}

}  // namespace iotcloud_test
