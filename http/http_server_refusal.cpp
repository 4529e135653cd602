// How a connection ends when the cycle cannot go on: the server's own
// answer (a refusal or the internal error page), then the close, after a
// lingering read so that the answer is not lost to a reset.

#include <sys/socket.h>

#include <chrono>

#include "http/http_server.h"
#include "http/http_text.h"
#include "http/protocol.h"
#include "http/response_writer.h"
#include "sockets/socket_stream.h"

namespace vt {

namespace {

using Clock = std::chrono::steady_clock;

std::chrono::milliseconds Ms(std::uint32_t ms) { return std::chrono::milliseconds(ms); }

}  // namespace

void AhttpServerClient::Refuse(const EhttpContent& error, bool tell) {
  // One line per refused connection, each the size of a reason and an
  // address: a refusal always ends its connection, so a flood of them is
  // bounded by the connections the server takes in.
  const std::string address = PeerAddressText();
  LogSafely(0, "Request refused: " + std::to_string(error.StatusCode()) + " " + error.Message() + ", from " +
                   (address.empty() ? std::string("an unknown address") : address));
  // The request is no longer being received: the connection is not to be
  // taken for a slow sender while its refusal goes out.
  MarkRequestRead();
  if (SendRefusal(error.StatusCode(), error.Message()) && tell) {
    refused_status_ = error.StatusCode();
    DoRequestRefused();
  }
}

bool AhttpServerClient::SendRefusal(std::int32_t code, const std::string& text) {
  // Once an answer went out on this cycle, another one would be taken for
  // the answer to the client's next request.
  if (answered_) return false;
  answered_ = true;
  const bool internal = code == 500;
  std::unique_ptr<ThttpResponse> answer =
      CreateHTMLResponse(code, std::string(),
                         HTMLErrorPage(internal ? "Internal server error" : GetReasonPhrase(code), text,
                                       std::string(), std::string()));
  answer->Prepare();
  if (!internal) {
    answer->SetConnectionField(false);
    if (!server_text_.empty()) answer->SetServerField(server_text_);
  }
  return SendErrorAnswer(*answer);
}

bool AhttpServerClient::SendErrorAnswer(ThttpResponse& answer) {
  TSocketStream* stream = Stream();
  if (!stream || Terminated()) return false;
  const std::int64_t before = stream->Writer()->GetPosition();
  bool whole = false;
  try {
    TResponseWriter writer(*stream, limits_, this);
    writer.WriteText(answer.GetHeaderText());
    answer.WriteContent(writer);
    writer.Flush();
    whole = true;
  } catch (const EIOError&) {
    // The peer is gone or stopped reading: the connection is closed next in
    // any case, and there is nobody left to tell.
  }
  if (AhttpServer* server = HttpServer())
    server->DataServed.fetch_add(stream->Writer()->GetPosition() - before, std::memory_order_relaxed);
  return whole;
}

void AhttpServerClient::CloseConnection(bool linger) {
  TSocketStream* stream = Stream();
  if (!stream || Terminated()) return;
  try {
    if (linger) Linger();
    stream->Close();
  } catch (const EIOError&) {
    // The connection failed while it closed: it is closed all the same (the
    // socket goes with the client), and neither side could act on it.
  }
}

void AhttpServerClient::Linger() {
  TSocketStream& stream = *Stream();
  ATCPClientSocket* socket = stream.Socket;
  if (!socket || !socket->IsConnected() || !stream.WaitSendComplete()) return;
  // The answer has reached the system: end the sending side (the client sees
  // the end of the answer) and read what the client still sends, so that
  // the close finds no unread input and does not reset the connection.
  ::shutdown(socket->SocketHandle(), SHUT_WR);
  const Deadline deadline = Clock::now() + Ms(limits_.LingerTime);
  for (;;) {
    if (socket->Available() > 0) stream.Reader()->Skip(socket->Available());
    if (!socket->IsConnected() || socket->ReceiveEnded() || Clock::now() >= deadline) return;
    if (!stream.WaitStep(&deadline)) return;
  }
}

}  // namespace vt
