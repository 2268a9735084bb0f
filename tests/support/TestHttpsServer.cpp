#include "support/TestHttpsServer.h"

#include <cstdlib>

namespace iotcloud_test {

TestHttpsServer::TestHttpsServer(size_t workers) {
  std::string error;
  https_ = iotcloud::tls::LoopbackHttpsServer::CreateWithFreshTls(&caPem_, &error, workers);
  if (https_) AddRoutes();
}

TestHttpsServer::~TestHttpsServer() { Stop(); }

bool TestHttpsServer::Start(std::string* error) {
  if (!https_) {
    if (error != nullptr) *error = "TLS material could not be made";
    return false;
  }
  return https_->Start("127.0.0.1", 0, error);
}

void TestHttpsServer::Stop() {
  ReleaseDelayed();
  if (https_) https_->Stop();
}

void TestHttpsServer::Record(const httplib::Request& request) {
  RecordedRequest recorded;
  recorded.method = request.method;
  recorded.path = request.path;
  for (const auto& header : request.headers) recorded.headers.emplace_back(header.first, header.second);
  recorded.body = request.body;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(std::move(recorded));
  }
  changed_.notify_all();
}

std::vector<RecordedRequest> TestHttpsServer::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

size_t TestHttpsServer::RequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_.size();
}

bool TestHttpsServer::WaitForRequests(size_t count, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void TestHttpsServer::ReleaseDelayed() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
  }
  changed_.notify_all();
}

void TestHttpsServer::AddRoutes() {
  httplib::Server& s = https_->server();
  // Registers `handler` for GET and POST, recording each request first.
  auto route = [this, &s](const std::string& pattern, httplib::Server::Handler handler) {
    auto recorded = [this, handler](const httplib::Request& request, httplib::Response& response) {
      Record(request);
      handler(request, response);
    };
    s.Get(pattern, recorded);
    s.Post(pattern, recorded);
  };

  route("/echo", [](const httplib::Request& request, httplib::Response& response) {
    std::string type = request.get_header_value("Content-Type");
    response.set_content(request.body, type.empty() ? "application/octet-stream" : type.c_str());
  });

  route("/echo-headers", [](const httplib::Request& request, httplib::Response& response) {
    std::string text;
    for (const auto& header : request.headers) text += header.first + ": " + header.second + "\n";
    response.set_content(text, "text/plain");
  });

  route(R"(/delay/(\d+))", [this](const httplib::Request& request, httplib::Response& response) {
    const long ms = std::strtol(request.matches[1].str().c_str(), nullptr, 10);
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return released_; });
    }
    response.set_content("delayed", "text/plain");
  });

  route("/close-mid-response", [](const httplib::Request&, httplib::Response& response) {
    response.set_content_provider(
        1024, "application/octet-stream",
        [](size_t offset, size_t, httplib::DataSink& sink) {
          if (offset > 0) return false;  // abort: the connection is closed
          std::string part(16, 'p');
          sink.write(part.data(), part.size());
          return true;
        });
  });

  route("/empty", [](const httplib::Request&, httplib::Response& response) {
    response.status = 200;
  });

  route(R"(/huge/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
    const size_t bytes = std::strtoull(request.matches[1].str().c_str(), nullptr, 10);
    response.set_content(std::string(bytes, 'x'), "application/octet-stream");
  });

  route(R"(/status/(\d+))", [](const httplib::Request& request, httplib::Response& response) {
    response.status = std::atoi(request.matches[1].str().c_str());
    response.set_content("status " + request.matches[1].str(), "text/plain");
  });
}

}  // namespace iotcloud_test
