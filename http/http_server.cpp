#include "http/http_server.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <optional>

#include "http/http_text.h"
#include "http/request_body_reader.h"
#include "http/request_head_reader.h"
#include "http/response_writer.h"
#include "platform/synchronize.h"
#include "platform/ticks.h"
#include "platform/worker_scheduling.h"
#include "sockets/socket_stream.h"
#include "streams/stream.h"
#include "util/text.h"

namespace vt {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds Ms(std::uint32_t ms) { return std::chrono::milliseconds(ms); }

// Compared as a view: most methods differ in length, and are told at once.
constexpr std::string_view kHEAD = "HEAD";

// Counts the request as finished and puts the request object and its header
// block aside for the next request, however the cycle ends.
class TActiveRequest {
 public:
  TActiveRequest(AhttpServer& server, std::unique_ptr<ThttpRequest>& request,
                 std::unique_ptr<ThttpRequest>& spareRequest, std::unique_ptr<THeader>& spareHeader)
      : server_(server), request_(request), spare_request_(spareRequest), spare_header_(spareHeader) {
    server_.RequestCount.fetch_add(1, std::memory_order_relaxed);
    server_.ActiveRequests.fetch_add(1, std::memory_order_relaxed);
  }
  ~TActiveRequest() {
    server_.ActiveRequests.fetch_sub(1, std::memory_order_relaxed);
    if (!request_) return;
    // A block the request never got (its header failed to read) stays where
    // it is; the next request clears it before use.
    if (std::unique_ptr<THeader> header = request_->ReleaseHeader(); header && !spare_header_) {
      spare_header_ = std::move(header);
    }
    // Its body reader borrows the connection's: it goes now.
    request_->ReleaseContentReader();
    spare_request_ = std::move(request_);
  }
  TActiveRequest(const TActiveRequest&) = delete;
  TActiveRequest& operator=(const TActiveRequest&) = delete;

 private:
  AhttpServer& server_;
  std::unique_ptr<ThttpRequest>& request_;
  std::unique_ptr<ThttpRequest>& spare_request_;
  std::unique_ptr<THeader>& spare_header_;
};

}  // namespace

// ---------------------------------------------------------------------------
// AhttpServer

AhttpServer::AhttpServer() { Init(); }

void AhttpServer::Init() { SetListenPort("80"); }

std::string AhttpServer::ApplicationName() const {
  std::lock_guard lock(identity_mutex_);
  return application_name_;
}

void AhttpServer::SetApplicationName(const std::string& value) {
  std::lock_guard lock(identity_mutex_);
  application_name_ = value;
}

std::string AhttpServer::ApplicationVersion() const {
  std::lock_guard lock(identity_mutex_);
  return application_version_;
}

void AhttpServer::SetApplicationVersion(const std::string& value) {
  std::lock_guard lock(identity_mutex_);
  application_version_ = value;
}

std::string AhttpServer::ServerAdmin() const {
  std::lock_guard lock(identity_mutex_);
  return server_admin_;
}

void AhttpServer::SetServerAdmin(const std::string& value) {
  std::lock_guard lock(identity_mutex_);
  server_admin_ = value;
}

void AhttpServer::RaiseError(const std::string& msg) { throw EhttpServer(msg); }

void AhttpServer::StartListening() {
  MinReceiveRate = Limits.MinRequestRate;
  MinReceiveRateGrace = Limits.MinRequestRateGrace;
  SendStallTime = Limits.SendStallTime;
  MaxWaiting = Limits.MaxWaitingConnections;
  ATCPServer::StartListening();
}

// ---------------------------------------------------------------------------
// AhttpServerClient

AhttpServerClient::AhttpServerClient(ATCPServer& server) : TTCPServerClient(server) {
  if (!dynamic_cast<AhttpServer*>(&server)) throw EhttpServer("An HTTP client needs an HTTP server");
}

AhttpServerClient::~AhttpServerClient() {
  request_.reset();
  response_.reset();
}

std::unique_ptr<ThttpResponse> AhttpServerClient::NewResponse(std::int32_t statusCode,
                                                              const std::string& reasonPhrase) {
  if (!spare_response_) {
    return std::make_unique<ThttpResponse>(statusCode, "HTTP", 1, 1, std::string(), nullptr, reasonPhrase);
  }
  spare_response_->Reuse(statusCode, reasonPhrase);
  return std::move(spare_response_);
}

AhttpServer* AhttpServerClient::HttpServer() const { return static_cast<AhttpServer*>(Server()); }

void AhttpServerClient::Init() {
  TTCPServerClient::Init();
  if (AhttpServer* server = HttpServer()) {
    limits_ = server->Limits;
    application_name_ = server->ApplicationName();
    application_version_ = server->ApplicationVersion();
    server_text_ = application_name_.empty() ? std::string() : application_name_ + "/" + application_version_;
    server_admin_ = server->ServerAdmin();
    // Several addresses (or every one) name no single host.
    local_host_ = server->LocalHosts().size() == 1 ? server->LocalHost() : std::string();
  }
}

std::int64_t AhttpServerClient::BytesWritten() const {
  const TSocketStream* stream = Stream();
  if (!stream || !stream->Writer()) return 0;
  return stream->Writer()->GetPosition() - cycle_start_;
}

std::string AhttpServerClient::PeerAddressText() const {
  if (RemotePeer.IsIPv4()) {
    const TInAddr address = RemotePeer.IPv4View().sin_addr.s_addr;
    if (address == 0 || address == kInAddrNone) return std::string();
  }
  return RemotePeer.HostText();
}

std::string AhttpServerClient::DescribeError(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const Exception& own) {
    return std::string(own.ClassName()) + ": " + own.Message();
  } catch (const std::exception& other) {
    return other.what();
  } catch (...) {
    return "an exception of unknown type";
  }
}

void AhttpServerClient::LogSafely(int log_class, const std::string& msg) {
  TellMainThread("Could not log", [&] { Log(log_class, msg); });
}

// --- The request cycle ------------------------------------------------------

void AhttpServerClient::Execute() {
  KeepAlive = true;
  AhttpServer* server = HttpServer();
  if (!server || !Stream()) return;
  try {
    // Once it has had its first answer, a connection that stays waits for
    // its next request as ordinary threads do: a worker that yields to the
    // main thread (which keeps accepting while it starts workers) would
    // also wait for its turn with every request that comes.
    bool answered = false;
    // A client that has ended its side (and sent nothing more) is done.
    while (!Terminated() && KeepAlive && Stream()->IsOpen() && !Stream()->AtEnd()) {
      if (!RunCycle(*server)) break;
      if (!answered) {
        answered = true;
        TWorkerScheduling::WaitAsOrdinaryFromNow();
      }
    }
    // Input left unread (requests pipelined after the last one answered)
    // would make closing reset the connection under the last answer.
    ATCPClientSocket* socket = Stream()->Socket;
    if (!Terminated() && socket && socket->IsConnected() &&
        (socket->Available() > 0 || socket->BytesWaiting() > 0))
      CloseConnection(true);
  } catch (const EhttpContent& error) {
    // A request refused for its size, framing or slowness: the status says
    // why, and the connection cannot go on (its position in the request
    // stream is lost).
    // (A refusal of the request's head or body is dealt with in the cycle;
    // one that comes here was raised once the request reached the
    // application, whose clean-up has logged the request already.)
    Refuse(error, false);
    CloseConnection(true);
  } catch (const EIOError& error) {
    // The connection (or a body reader) failed, the socket included: nothing
    // sensible can be sent any more.
    LogSafely(0, "Stream error: " + error.Message());
    CloseConnection(false);
  } catch (const Exception& error) {
    LogSafely(1, "Exception: " + error.Message());
    SendRefusal(500, std::string("Internal server error: ") + error.ClassName() + ": " + error.Message());
    CloseConnection(true);
  }
  // What the connection kept from one request to the next goes now, on its
  // worker, rather than with the client on the main thread, which runs
  // every other connection's start and end.
  spare_request_.reset();
  spare_header_.reset();
  spare_response_.reset();
}

template <typename... Steps>
bool AhttpServerClient::RunSteps(Steps&&... steps) {
  return ((steps() && !Terminated()) && ...);
}

bool AhttpServerClient::RunCycle(AhttpServer& server) {
  TSocketStream& stream = *Stream();
  ResponseSuccessful = false;
  ContentProgress = 0;
  ContentSize = 0;
  response_.reset();
  RemoteUser.clear();
  RequestStartTime = GetTickCount();
  cycle_start_ = stream.Writer()->GetPosition();
  answered_ = false;
  body_stream_limit_ = -1;
  body_stream_time_ = 0;
  body_ = nullptr;

  Figures.SetState(TConnectionState::Waiting);

  TRequestHeadReader head(stream, limits_, *this);
  // The request counts as being received (TTCPServerClient::MarkRequestStart,
  // from its first byte) until its body is read, however the cycle ends.
  struct TReceived {
    TTCPServerClient& client;
    ~TReceived() { client.MarkRequestRead(); }
  } received{*this};
  // Counts the request from its line on, and frees it however the cycle ends.
  std::optional<TActiveRequest> active;
  bool reached_response = false;
  try {
    reached_response = RunSteps(
        [&] {
          DoPreRequest();
          head.ReadRequestLine(RequestLine);
          return !RequestLine.empty() && stream.IsOpen();
        },
        [&] {
          Figures.SetRequest(RequestLine);
          Figures.SetState(TConnectionState::Reading);
          active.emplace(server, request_, spare_request_, spare_header_);
          if (spare_request_) {
            spare_request_->Reuse(RequestLine);
            request_ = std::move(spare_request_);
          } else {
            request_ = std::make_unique<ThttpRequest>(RequestLine, std::string(), nullptr);
          }
          if (!request_->Protocol().empty()) {
            std::unique_ptr<THeader> header = std::move(spare_header_);
            if (header) {
              header->Clear();
            } else {
              header = std::make_unique<THeader>();
            }
            // Read aside first: a header that fails half read never becomes
            // the request's, as before.
            THeader& fields = *header;
            spare_header_ = std::move(header);
            head.ReadHeader(fields);
            request_->SetHeader(std::move(spare_header_));
          }
          return true;
        },
        [&] {
          KeepAlive = request_->IsHTTP11OrLater();
          DoRequestHeader();
          return true;
        },
        [&] {
          AnswerExpectation(server);
          if (body_stream_limit_ >= 0) {
            OpenBodyStream();
          } else {
            ReadBody();
          }
          return stream.IsOpen();
        },
        [&] {
          DoRequest();
          return true;
        });
  } catch (const EhttpContent& error) {
    // A request refused for its size, framing or slowness: the status says
    // why, and the connection cannot go on (its position in the request
    // stream is lost). Refused here, while the request is still at hand
    // for the refusal's event.
    Refuse(error, true);
    // The request is over before the lingering close, as any request is.
    active.reset();
    CloseConnection(true);
    return false;
  }
  if (!reached_response) return false;

  // From here the cycle has reached the response: the clean-up below runs
  // whatever happens, and an error of the get-response events is handled
  // by Execute only after it.
  std::exception_ptr error;
  bool go_on = false;
  try {
    Figures.SetState(TConnectionState::Preparing);
    DoGetResponse();
    go_on = Respond(server);
    // The rest of a body the handler did not read is no next request.
    if (BodyLeftUnread()) go_on = false;
  } catch (...) {
    error = std::current_exception();
  }
  stream.OnCopyProgress = nullptr;
  server.DataServed.fetch_add(BytesWritten(), std::memory_order_relaxed);
  try {
    DoFreeResponse();
  } catch (...) {
    if (!error) {
      error = std::current_exception();
    } else {
      // Execute reports the first failure; this one would be lost there.
      LogSafely(1, "Freeing the response failed as well: " + DescribeError(std::current_exception()));
    }
  }
  if (response_) {
    // Its body reader may hold a file open: it goes now.
    response_->ReleaseContentReader();
    spare_response_ = std::move(response_);
  }
  if (error) std::rethrow_exception(error);
  return go_on;
}

bool AhttpServerClient::Respond(AhttpServer& server) {
  TSocketStream& stream = *Stream();
  // The header goes to the writer in one piece; a small body joins it in the
  // same send.
  TResponseWriter writer(stream, limits_, this, &send_buffer_);
  std::int64_t written = 0;
  try {
    return RunSteps(
        [&] {
          if (!response_) SetErrorMessage("No response");
          return response_ != nullptr;
        },
        [&] {
          PrepareResponse();
          response_->Prepare();
          // Whoever reads this answer must not be promised a next one
          // while the body before it may still be coming.
          if (BodyLeftUnread()) KeepAlive = false;
          DoPreRespond();
          return true;
        },
        [&] {
          answered_ = true;
          writer.WriteHeader(*response_, server_text_);
          return stream.Socket->IsConnected();
        },
        [&] {
          written = SendContent(writer);
          return stream.Socket->IsConnected();
        },
        [&] {
          if (written < 0 || written >= ContentSize) return true;
          // The content ended early (a file cut short while it was sent):
          // the client still waits for the rest, which only the close can
          // end.
          LogSafely(1, "Response to " + request_->Method + " " + request_->URI +
                           " cut short: its content ended after " + std::to_string(written) + " of " +
                           std::to_string(ContentSize) + " bytes");
          return false;
        },
        // A client that stops reading for TimeOut leaves the answer unsent.
        [&] { return writer.WaitSent() && stream.Socket->IsConnected(); },
        [&] {
          ResponseSuccessful = true;
          DoResponseSuccessful();
          server.ResponseCount.fetch_add(1, std::memory_order_relaxed);
          return true;
        });
  } catch (const EContentOverrun&) {
    LogSafely(1, "Response to " + request_->Method + " " + request_->URI + " cut at its announced " +
                     std::to_string(ContentSize) + " bytes: its content is longer");
    return false;
  } catch (const EIOError&) {
    // The connection failed under the answer (the peer went away or stopped
    // reading): nobody is left to tell, and the connection ends below.
    return false;
  } catch (const std::exception&) {
    // The answer itself or an event handler failed. Either way the
    // connection ends: part of the answer may have gone out (the client
    // would take the next answer's bytes for the rest of this one), or none
    // at all (the client would wait for it until the time-out).
    LogSafely(1, "Response to " + request_->Method + " " + request_->URI +
                     " failed: " + DescribeError(std::current_exception()));
    return false;
  }
}

std::int64_t AhttpServerClient::SendContent(TResponseWriter& writer) {
  TSocketStream& stream = *Stream();
  if (request_->Method == kHEAD) response_->HasContent = false;
  ResponseStartTime = GetTickCount();
  stream.OnCopyProgress = [this](AStream*, AStream*, int64_t bytesCopied, bool& abort) {
    CopyProgress(bytesCopied, abort);
  };
  ContentSize = response_->GetContentLength();
  if (ContentSize >= 0) writer.LimitTo(writer.GetPosition() + ContentSize);
  const std::int64_t body_start = writer.GetPosition();
  const std::int64_t body = response_->HasContent ? ContentSize : 0;
  Figures.BeginResponse(cycle_start_, body >= 0 ? body_start - cycle_start_ + body : -1);
  Figures.SetState(TConnectionState::Sending);
  std::int64_t written;
  try {
    written = response_->WriteContent(writer);
  } catch (const EReader&) {
    // The content's own reader ran dry (a file measured at its opening and
    // cut short since): what went out is all the client gets.
    written = writer.GetPosition() - body_start;
  }
  writer.Flush();
  return written;
}

void AhttpServerClient::ReadBody() {
  // A request without a body, nearly every one, has nothing to wait for.
  if (std::int64_t length = 0;
      request_->GetContentFraming(limits_.MaxRequestBody, length) == TContentFraming::kNone) {
    MarkRequestRead();
    return;
  }
  TSocketStream& stream = *Stream();
  // The whole body has a time limit of its own, as the head has.
  stream.ReadDeadline = Clock::now() + Ms(limits_.RequestBodyTime);
  struct TUnbounded {
    TSocketStream& stream;
    ~TUnbounded() { stream.ReadDeadline = Deadline::max(); }
  } unbounded{stream};
  try {
    request_->ReadContent(*stream.GetReader(), false, false, limits_.MaxRequestBody);
  } catch (const EReader&) {
    if (Clock::now() >= stream.ReadDeadline) throw EhttpContent(408, "Request body timeout");
    throw;
  }
  MarkRequestRead();
}

void AhttpServerClient::StreamRequestBody(std::int64_t maxBytes, std::uint32_t bodyTime) {
  body_stream_limit_ = maxBytes >= 0 ? maxBytes : limits_.MaxRequestBody;
  body_stream_time_ = bodyTime;
}

void AhttpServerClient::OpenBodyStream() {
  std::int64_t length = 0;
  const TContentFraming framing = request_->GetContentFraming(body_stream_limit_, length);
  if (framing == TContentFraming::kNone) {
    MarkRequestRead();
    return;
  }
  TSocketStream& stream = *Stream();
  const std::uint32_t time = body_stream_time_ != 0 ? body_stream_time_ : limits_.RequestBodyTime;
  auto body =
      std::make_unique<ThttpRequestBodyReader>(*stream.GetReader(), framing, length, body_stream_limit_,
                                               Clock::now() + Ms(time), &stream.ReadDeadline);
  // The request counts as being received until its body has come whole.
  body->OnEnd = [this] { MarkRequestRead(); };
  body_ = body.get();
  request_->SetContentReader(std::move(body));
}

bool AhttpServerClient::BodyLeftUnread() const {
  return body_ && request_ && request_->ContentReader() == body_ && !body_->AtEnd();
}

void AhttpServerClient::AnswerExpectation(AhttpServer& server) {
  if (!request_->IsHTTP11OrLater() || !request_->Header() || !request_->Header()->HasField("Expect")) return;
  if (detail::TrimmedLower(request_->Header()->GetFieldValue("Expect")) != "100-continue") return;
  // Raises the refusal of a body that will not be read (too large, framing
  // not accepted): the client gets that answer instead, and the close.
  std::int64_t length = 0;
  if (request_->GetContentFraming(BodyLimit(), length) == TContentFraming::kNone) return;
  static constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
  TSocketStream& stream = *Stream();
  stream.Writer()->WriteText(std::string(kContinue));
  // An interim answer, not part of the response: the cycle's own bytes
  // start after it.
  cycle_start_ = stream.Writer()->GetPosition();
  server.DataServed.fetch_add(static_cast<std::int64_t>(kContinue.size()), std::memory_order_relaxed);
}

void AhttpServerClient::CopyProgress(std::int64_t bytesCopied, bool& abort) {
  ContentProgress = bytesCopied;
  if (Terminated()) {
    abort = true;
  } else {
    DoContentProgress();
  }
}

}  // namespace vt
