#include "support/TestHttpsServer.h"

namespace iotcloud_test {

using httplib::Request;
using httplib::Response;

TestHttpsServer::TestHttpsServer(size_t workers) {
  std::string error;
  https_ = iotcloud::tls::LoopbackHttpsServer::CreateWithFreshTls(&caPem_, &error, workers);
  if (!https_) return;
  httplib::Server& s = https_->server();
  s.set_pre_routing_handler([this](const Request&, Response&) {
    state_.Update([](State& state) { ++state.requests; });
    return httplib::Server::HandlerResponse::Unhandled;
  });
  auto number = [](const Request& request) { return std::strtoull(request.matches[1].str().c_str(), nullptr, 10); };
  s.Post("/echo", [](const Request& request, Response& response) {
    const std::string type = request.get_header_value("Content-Type");
    response.set_content(request.body, type.empty() ? "application/octet-stream" : type.c_str());
  });
  s.Post(R"(/delay/(\d+))", [this, number](const Request& request, Response& response) {
    state_.WaitFor([](const State& state) { return state.stopping; }, std::chrono::milliseconds(number(request)));
    response.set_content("delayed", "text/plain");
  });
  s.Post("/empty", [](const Request&, Response& response) { response.status = 200; });
  s.Post(R"(/huge/(\d+))", [number](const Request& request, Response& response) {
    response.set_content(std::string(number(request), 'x'), "application/octet-stream");
  });
}

bool TestHttpsServer::Start(std::string* error) { return https_ && https_->Start("127.0.0.1", 0, error); }

void TestHttpsServer::Stop() {
  state_.Update([](State& s) { s.stopping = true; });
  if (https_) https_->Stop();
}

}  // namespace iotcloud_test
