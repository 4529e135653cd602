#include "app/web_server_client.h"

namespace vt {

TWebServerClient::TWebServerClient(ATCPServer& server) : ThttpServerClient(server) {}

TWebServerClient::~TWebServerClient() = default;

void TWebServerClient::ExecuteCGI(const std::string&, const std::string&) {
  throw ECGIRun("CGI programs cannot be run yet");
}

}  // namespace vt
