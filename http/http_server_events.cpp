// The request cycle's events: how a client fires those of its server, on
// its worker or, for the Sync ones, on the main thread.

#include "http/conditional.h"
#include "http/http_server.h"

namespace vt {

// --- Response preparation and events ---------------------------------------

void AhttpServerClient::PrepareResponse() {
  if (!response_ || !request_) return;
  response_->MatchRequestVersion(*request_);
  ApplyRequestConditions(*request_, *response_);
}

namespace {

// The client's server, as HttpServer gives it, without a call to another
// file: each event of every request asks for it.
AhttpServer* ServerOf(const AhttpServerClient& client) { return static_cast<AhttpServer*>(client.Server()); }

// Fires a worker-thread event of the client's server.
void FireEvent(AhttpServerClient& client, AhttpServerClientEvent AhttpServer::*event) {
  AhttpServer* server = ServerOf(client);
  if (!server || client.Terminated()) return;
  if (const AhttpServerClientEvent& handler = server->*event) handler(*server, client);
}

// Fires a main-thread event through the client's Synchronize, only when it
// is assigned; the server and Terminated are checked again over there.
void FireSyncEvent(AhttpServerClient& client, AhttpServerClientEvent AhttpServer::*event) {
  AhttpServer* server = ServerOf(client);
  if (!server || client.Terminated() || !(server->*event)) return;
  client.Synchronize([&client, event] {
    AhttpServer* server = ServerOf(client);
    if (!server || client.Terminated()) return;
    if (const AhttpServerClientEvent& handler = server->*event) handler(*server, client);
  });
}

}  // namespace

void AhttpServerClient::DoPreRequest() { FireEvent(*this, &AhttpServer::OnPreRequest); }

void AhttpServerClient::DoRequestHeader() { FireEvent(*this, &AhttpServer::OnRequestHeader); }

void AhttpServerClient::DoRequest() { FireEvent(*this, &AhttpServer::OnRequest); }

void AhttpServerClient::DoGetResponse() {
  FireEvent(*this, &AhttpServer::OnGetResponse);
  FireSyncEvent(*this, &AhttpServer::OnSyncGetResponse);
}

void AhttpServerClient::DoPreRespond() { FireEvent(*this, &AhttpServer::OnPreRespond); }

void AhttpServerClient::DoResponseSuccessful() {
  FireEvent(*this, &AhttpServer::OnResponseSuccessful);
  FireSyncEvent(*this, &AhttpServer::OnSyncResponseSuccessful);
}

void AhttpServerClient::DoFreeResponse() {
  AhttpServer* server = ServerOf(*this);
  if (!server) return;
  // The application releases what it tied to the response here, so this
  // one fires even for a terminated client.
  if (server->OnFreeResponse) server->OnFreeResponse(*server, *this);
  FireSyncEvent(*this, &AhttpServer::OnSyncFreeResponse);
}

void AhttpServerClient::DoContentProgress() { FireEvent(*this, &AhttpServer::OnContentProgress); }

void AhttpServerClient::DoRequestRefused() { FireEvent(*this, &AhttpServer::OnRequestRefused); }

}  // namespace vt
