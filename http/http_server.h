#pragma once

// The HTTP server: the TCP server (tcpserver/tcp_server.h) with an HTTP
// conversation on every connection.
//
// AhttpServer adds the application identity, the HTTP events and the request
// counters. AhttpServerClient replaces the client's Execute with the request
// cycle: read a request, let the application produce a response through the
// events, send it, and repeat while the connection is kept alive.
// ThttpServerClient adds the keep-alive negotiation, a Referer log line and
// the CGI environment. TvtHTTPServer is the component the application uses;
// it makes ThttpServerClient objects.
//
// Threads. The server's own members run on the main thread, as those of
// ATCPServer. The request cycle runs on the connection's worker thread, and
// so do the events OnPreRequest, OnRequestHeader, OnRequest, OnGetResponse,
// OnPreRespond, OnResponseSuccessful, OnFreeResponse and OnContentProgress.
// OnSyncGetResponse, OnSyncResponseSuccessful and OnSyncFreeResponse run on
// the main thread through the client's Synchronize while the worker waits;
// they cost nothing when they are not assigned. Workers read the events, the
// identity strings and the limits: assign the events before activating the
// server (workers only read them), and set the rest whenever you like (a
// client takes its copy of the identity and the limits when it is made).
// The counters are atomic: workers change them, any thread may read them.
//
// Lifetime. The owner deletes the server on the main thread; as every
// server, it is made as a TFinalServer (tcpserver/tcp_server.h), whose
// destructor stops every client and waits for its worker before the events
// and counters go away. A client owns its Request and Response
// and frees them when its cycle ends, or when it is freed itself.
//
// What a peer can do is bounded by ThttpServerLimits (http/limits.h) and by
// the server's TimeOut: a request head or body past its size limit is
// answered with an HTML error page and a 4xx status and the connection is
// closed; a connection silent for TimeOut in the middle of a request is
// closed; a request head or body that takes longer than its time limit is
// answered with 408; a request whose framing could be read two ways gets
// one 400 (or 501, 414) and the close. While every place is taken and a
// connection waits, the limits also decide which connection makes way for
// it (ATCPServer::MakeWay). A response that leaves the connection open always tells its
// length; one that cannot (a body of unknown size without chunked coding)
// closes the connection after it.

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "http/limits.h"
#include "http/message.h"
#include "platform/event_queue.h"
#include "tcpserver/tcp_server.h"

namespace vt {

VT_EXCEPTION_CLASS(EhttpServer, ETCPServer);

class AhttpServer;
class AhttpServerClient;
class TResponseWriter;
class ThttpRequestBodyReader;

// Sender: the server; Client: the connection's client, through which the
// handler reaches Request, Response, KeepAlive and the rest of its state.
using AhttpServerClientEvent = std::function<void(AhttpServer& sender, AhttpServerClient& client)>;

class AhttpServer : public ATCPServer {
 public:
  // Init: ListenPort "80"; every client runs on a worker thread of its own.
  AhttpServer();

  const char* ClassName() const override { return "AhttpServer"; }

  // The application token of the Server field and of SERVER_SOFTWARE
  // (default empty: no Server field).
  std::string ApplicationName() const;
  void SetApplicationName(const std::string& value);
  std::string ApplicationVersion() const;
  void SetApplicationVersion(const std::string& value);
  // SERVER_ADMIN of the CGI environment (default empty).
  std::string ServerAdmin() const;
  void SetServerAdmin(const std::string& value);

  // The bounds a peer meets; each client copies them when it is made.
  ThttpServerLimits Limits;

  // --- Events (see the threads above) ---
  AhttpServerClientEvent OnPreRequest;     // a cycle begins, before the request line is read
  AhttpServerClientEvent OnRequestHeader;  // request line and header parsed, body not yet read
  AhttpServerClientEvent OnRequest;        // the body has been read
  AhttpServerClientEvent OnGetResponse;    // store the answer with the client's SetResponse
  AhttpServerClientEvent OnSyncGetResponse;
  AhttpServerClientEvent OnPreRespond;          // prepared, before the header goes out; may change KeepAlive
  AhttpServerClientEvent OnResponseSuccessful;  // sent completely and the send queue drained
  AhttpServerClientEvent OnSyncResponseSuccessful;
  // The clean-up of every cycle that reached OnGetResponse, before Response
  // is freed (also when nothing could be sent).
  AhttpServerClientEvent OnFreeResponse;
  AhttpServerClientEvent OnSyncFreeResponse;
  AhttpServerClientEvent OnContentProgress;  // the stream reported copy progress
  // A request refused before it reached the application (its head or body
  // too large, too slow or not understood) has had the server's own answer,
  // written whole; the close follows. The client's RefusedStatus says which
  // answer, BytesWritten its size; Request() is the request as far as it
  // was read (its line and, for a refused body, its header), null when its
  // line could not be read. A refusal that could not be sent (the peer was
  // gone) does not fire it.
  AhttpServerClientEvent OnRequestRefused;

  // --- Counters (never reset) ---
  // Requests between reading their request line and the end of their cycle.
  std::atomic<std::int32_t> ActiveRequests{0};
  // Request lines read.
  std::atomic<std::int32_t> RequestCount{0};
  // Responses sent completely.
  std::atomic<std::int32_t> ResponseCount{0};
  // Bytes written to connections, each byte once: responses and the
  // server's own error answers.
  std::atomic<std::int64_t> DataServed{0};

  // Raises EhttpServer.
  [[noreturn]] void RaiseError(const std::string& msg) override;
  // Hands the rules by which a connection makes way for a new one (from
  // Limits: MinRequestRate, MinRequestRateGrace, SendStallTime,
  // MaxWaitingConnections) to the TCP server, then listens.
  void StartListening() override;

 protected:
  void Init();

 private:
  mutable std::mutex identity_mutex_;
  std::string application_name_;
  std::string application_version_;
  std::string server_admin_;
};

class AhttpServerClient : public TTCPServerClient {
 public:
  // `server` must be an AhttpServer.
  explicit AhttpServerClient(ATCPServer& server);
  // Frees Request and Response, then the connection (TTCPServerClient).
  ~AhttpServerClient() override;

  // Server() as the HTTP server; null once detached.
  AhttpServer* HttpServer() const;

  // The last request line read.
  std::string RequestLine;
  // The user the running request was authenticated as (REMOTE_USER of a
  // CGI program); set by the application, cleared when a cycle begins.
  std::string RemoteUser;
  // The request of the running cycle; null between cycles.
  ThttpRequest* Request() const { return request_.get(); }
  // The answer the application set; null until it sets one.
  ThttpResponse* Response() const { return response_.get(); }
  // Takes `response` as the answer, freeing any previous one.
  void SetResponse(std::unique_ptr<ThttpResponse> response) { response_ = std::move(response); }
  // An empty HTTP/1.1 answer with this code and phrase, for SetResponse: the
  // object of the connection's answer before when there is one (see
  // ThttpResponse::Reuse), else a new one.
  std::unique_ptr<ThttpResponse> NewResponse(std::int32_t statusCode, const std::string& reasonPhrase);
  // From OnRequestHeader (or an override of DoRequestHeader): the
  // application reads this request's body itself, as it arrives, instead of
  // having the server read it whole into memory first. The body is then the
  // request's content reader, a ThttpRequestBodyReader (see there for its
  // rules) also given by RequestBody: at most `maxBytes` bytes (a larger
  // Content-Length gets 413 before the handler runs), in by `bodyTime`
  // milliseconds from the end of the head (0: RequestBodyTime). An
  // "Expect: 100-continue" is answered as for a body the server reads. A
  // body the handler leaves unread (or not read to its end by the time the
  // answer's header goes out) closes the connection after the answer: its
  // bytes are never taken for a next request.
  void StreamRequestBody(std::int64_t maxBytes, std::uint32_t bodyTime = 0);
  // The streamed body of the running request; null when it has none or it
  // is not streamed.
  ThttpRequestBodyReader* RequestBody() const { return request_ ? body_ : nullptr; }
  // Bytes copied at the stream's last copy-progress report.
  std::int64_t ContentProgress = 0;
  // GetContentLength of the response when its body is sent.
  std::int64_t ContentSize = 0;
  // Tick counts (GetTickCount) when the cycle and the response body began.
  std::uint32_t RequestStartTime = 0;
  std::uint32_t ResponseStartTime = 0;
  // The connection stays open after this response. True when Execute
  // starts; decided for each request (its version, its Connection field,
  // then the response).
  bool KeepAlive = true;
  // The response was written completely and the send queue drained.
  bool ResponseSuccessful = false;

  // The peer's address as text, from the accepted connection; any thread.
  std::string PeerAddressText() const;
  // The status of the server's own refusal, during OnRequestRefused; 0
  // before any.
  std::int32_t RefusedStatus() const { return refused_status_; }

  // The bytes written on the connection in this cycle: the response's
  // header and body (not those of earlier responses on the same connection,
  // nor an interim "100 Continue"); 0 without a stream.
  std::int64_t BytesWritten() const;

  // Main thread, right after the client was made: takes the server's
  // identity, its LocalHost (when it listens on that one address alone)
  // and its limits.
  void Init() override;
  // The request cycle (worker thread).
  void Execute() override;

  // --- Virtual operations, in slot order ---
  // The response's version follows the request's; then a 200 meets the
  // request's conditions and range (http/conditional.h): 304 or 412 when a
  // precondition fails, 206 (or 416) for the first byte range.
  virtual void PrepareResponse();
  // Each fires its event when the client is not Terminated and has a server
  // (DoFreeResponse: OnFreeResponse also when terminated); the Sync variant
  // follows on the main thread only when assigned.
  virtual void DoPreRequest();
  virtual void DoRequestHeader();
  virtual void DoRequest();
  virtual void DoGetResponse();
  virtual void DoPreRespond();
  virtual void DoResponseSuccessful();
  virtual void DoFreeResponse();
  virtual void DoContentProgress();
  virtual void DoRequestRefused();

 protected:
  const ThttpServerLimits& Limits() const { return limits_; }
  std::string ApplicationName() const { return application_name_; }
  std::string ServerAdmin() const { return server_admin_; }
  // The server's LocalHost when the client was made.
  std::string ServerLocalHost() const { return local_host_; }

 private:
  // Runs `steps` (callables returning whether to go on) in order, while
  // each returns true and the client is not terminated: the one place the
  // cycle checks for a stop between its steps. A step that waits ends its
  // wait when the client is terminated (the connection's window gets a
  // quit), so no step can hold up a stop.
  template <typename... Steps>
  bool RunSteps(Steps&&... steps);
  // One cycle; false when Execute is to end.
  bool RunCycle(AhttpServer& server);
  // The response phase: exceptions are caught here and end the connection.
  bool Respond(AhttpServer& server);
  // The body (none for HEAD), flushed; the content bytes written, as the
  // content's WriteContent tells (-1: unknown).
  std::int64_t SendContent(TResponseWriter& writer);
  // Reads the body into the request within RequestBodyTime (past it, the
  // 408 refusal) and MaxRequestBody.
  void ReadBody();
  // Sets the reader of a streamed body as the request's content reader.
  void OpenBodyStream();
  // The most body bytes the request may have: the streamed limit when it
  // asked for one, else MaxRequestBody.
  std::int64_t BodyLimit() const {
    return body_stream_limit_ >= 0 ? body_stream_limit_ : limits_.MaxRequestBody;
  }
  // The request's streamed body was not read to its end.
  bool BodyLeftUnread() const;
  // "Expect: 100-continue": a client asking so waits for the interim
  // answer "100 Continue" before it sends its body (curl for a second,
  // others for good). It gets one when the request is HTTP/1.1 or later,
  // has a body, and the body's framing passes the checks; a body that is
  // refused before it is read raises its EhttpContent here instead.
  void AnswerExpectation(AhttpServer& server);
  // Answers a refused request: the server's log names the peer and the
  // reason, the refusal is sent, and OnRequestRefused follows when `tell`
  // and the answer went out whole. The caller closes the connection.
  void Refuse(const EhttpContent& error, bool tell);
  // Sends the server's HTML error page, unless an answer went out in this
  // cycle already (another would be taken for the answer to the client's
  // next request): a refusal of the request (its reason as the title, the
  // Connection field "close" and the Server field), or, for 500, the
  // internal error page, which carries neither field. True when the page
  // was written whole.
  bool SendRefusal(std::int32_t code, const std::string& text);
  // Sends the server's own answer and counts its bytes; a connection that
  // fails meanwhile is not reported (it is closed next): false then.
  bool SendErrorAnswer(ThttpResponse& answer);
  // Closes the connection, after a lingering read when asked.
  void CloseConnection(bool linger);
  void Linger();
  // Logs without letting a failure to deliver the line escape.
  void LogSafely(int log_class, const std::string& msg);
  // "Class: message" of one of ours, what() of another standard exception.
  static std::string DescribeError(const std::exception_ptr& error);

  void CopyProgress(std::int64_t bytesCopied, bool& abort);

  std::unique_ptr<ThttpRequest> request_;
  // The request object and header block of the request before, kept for
  // the next one on this connection (Request() is null between requests).
  std::unique_ptr<ThttpRequest> spare_request_;
  std::unique_ptr<THeader> spare_header_;
  std::unique_ptr<ThttpResponse> response_;
  // The answer object of the request before, kept for NewResponse.
  std::unique_ptr<ThttpResponse> spare_response_;
  ThttpServerLimits limits_;
  std::string application_name_;
  std::string application_version_;
  // "name/version" for the Server field, made once per connection; empty
  // without a name.
  std::string server_text_;
  std::string server_admin_;
  std::string local_host_;
  // Where responses are gathered before they go to the connection (the
  // header, and a small body with it), kept from response to response.
  std::string send_buffer_;
  std::int64_t cycle_start_ = 0;  // the writer's position when the cycle began
  bool answered_ = false;         // an answer was handed to the connection in this cycle
  std::int32_t refused_status_ = 0;
  // StreamRequestBody's bounds for the running request; -1: not streamed.
  std::int64_t body_stream_limit_ = -1;
  std::uint32_t body_stream_time_ = 0;
  // The streamed body, owned by the request as its content reader.
  ThttpRequestBodyReader* body_ = nullptr;
};

class ThttpServerClient : public AhttpServerClient {
 public:
  using AhttpServerClient::AhttpServerClient;

  // Logs "Referer: <peer address>;<referer>" (class 0) when the request has
  // one; the Connection options (a comma-separated list, any case, over
  // every Connection field) set KeepAlive: false with "close" among them,
  // else true with "keep-alive"; then OnRequestHeader.
  void DoRequestHeader() override;
  // KeepAlive ends when the response does not keep the connection (its
  // version and Connection field), when its length is undetermined, or when
  // it carries a body whose end the client could not tell; then
  // OnPreRespond; then the Connection field is set from KeepAlive.
  void DoPreRespond() override;

  // Added virtual operation: fills `list` (nothing happens when it is null)
  // with the CGI/1.1 variables of the running request (http/cgi_environment.h)
  // for the program `scriptFileName` published below `documentRoot`.
  // REMOTE_PORT is the peer's port (what CGI programs expect), SERVER_PORT
  // the connection's local port. Call it while Request exists (from
  // OnGetResponse). Socket query failures propagate.
  virtual void BuildCGIEnvironment(std::vector<std::string>* list, const std::string& documentRoot,
                                   const std::string& scriptFileName);
};

// The HTTP server component of the application; its clients are
// ThttpServerClient objects unless OnCreateClient makes others. Made as
// TFinalServer<TvtHTTPServer>.
//
// Published properties, in order: ApplicationName, ApplicationVersion,
// LogTo, OnLog, LocalHost, ListenPort, TimeOut, MaxBacklog, MaxClients,
// ThrottleClientWrite, ThrottleClientWriteRate, OnCreateClient,
// OnClientActive, OnClientInactive, OnClientRemoved, Active, OnActive,
// OnInactive, OnPreRequest, OnRequestHeader, OnRequest, OnGetResponse,
// OnPreRespond, OnResponseSuccessful, OnFreeResponse, OnContentProgress,
// OnSyncGetResponse, OnSyncFreeResponse, OnSyncResponseSuccessful.
class TvtHTTPServer : public AhttpServer {
 public:
  TvtHTTPServer();
  const char* ClassName() const override { return "TvtHTTPServer"; }

 protected:
  void Init();
};

}  // namespace vt
